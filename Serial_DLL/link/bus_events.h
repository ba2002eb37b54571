// What the drives say by themselves, decoded: emergencies (0x080+node), boot-ups and the NMT state
// their heartbeats show (0x700+node), and a heartbeat consumer that notices a drive gone silent.
// Fed with every frame the bus sends unasked, whoever reads the line; no thread of its own. The
// heartbeat consumer is judged whenever a call uses the line or asks for events.
#pragma once

#include <cstdint>

#include "orvex.h"

namespace orvex {

constexpr int kEventsKept = 256;
constexpr int kEmergenciesKept = 8;

class BusEvents {
  public:
    // A frame the bus sent unasked, arrived at tick `now`.
    void observe(const std::uint8_t* frame, std::uint32_t now);
    // Heartbeats overdue at `now` become "lost" events, once each.
    void judge(std::uint32_t now);
    // Milliseconds from `now` until a watched heartbeat becomes overdue; -1 when none can.
    int ms_to_next_judgement(std::uint32_t now) const;

    bool next(OrvexEvent& event);
    // Watches node's heartbeat with a consumer time of `consumer_ms` (0 stops watching).
    void watch(int node, int consumer_ms, std::uint32_t now);
    // The node's last emergencies, newest first; returns how many were stored.
    int emergencies(int node, OrvexEvent* into, int capacity) const;
    void clear_emergencies(int node);
    std::uint32_t dropped() const { return dropped_; }
    // Another line: its bus has said nothing yet. The heartbeats watched stay watched, counted
    // from `now`.
    void reset(std::uint32_t now);

  private:
    void push(const OrvexEvent& event);

    struct Node {
        int nmt_state = -1;  // -1: none seen yet
        int consumer_ms = 0;
        std::uint32_t last_heartbeat = 0;
        bool lost = false;
        OrvexEvent emergencies[kEmergenciesKept] = {};
        int emergency_count = 0;  // stored, at most kEmergenciesKept
        int newest = -1;          // slot of the newest
    };
    Node nodes_[128];
    OrvexEvent events_[kEventsKept] = {};
    int first_ = 0;
    int count_ = 0;
    int watched_ = 0;
    std::uint32_t dropped_ = 0;
};

}  // namespace orvex
