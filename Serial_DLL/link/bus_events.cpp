#include "bus_events.h"

#include <cstring>

#include "can_serial_frame.h"

namespace orvex {
namespace {

constexpr unsigned kEmergencyBase = 0x080;
constexpr unsigned kHeartbeatBase = 0x700;
constexpr int kBootUp = 0x00;

bool elapsed_past(std::uint32_t now, std::uint32_t since, int limit_ms) {
    return static_cast<std::uint32_t>(now - since) > static_cast<std::uint32_t>(limit_ms);
}

}  // namespace

void BusEvents::push(const OrvexEvent& event) {
    if (count_ == kEventsKept) {
        first_ = (first_ + 1) % kEventsKept;
        --count_;
        ++dropped_;
    }
    events_[(first_ + count_) % kEventsKept] = event;
    ++count_;
}

bool BusEvents::next(OrvexEvent& event) {
    if (count_ == 0) return false;
    event = events_[first_];
    first_ = (first_ + 1) % kEventsKept;
    --count_;
    return true;
}

void BusEvents::observe(const std::uint8_t* frame, std::uint32_t now) {
    const unsigned id = frame_id(frame);
    const std::uint8_t* data = frame + 2;
    OrvexEvent event{};
    event.time_ms = now;
    if (id > kEmergencyBase && id < kEmergencyBase + 0x80u) {
        event.kind = ORVEX_EVENT_EMERGENCY;
        event.node = static_cast<int>(id - kEmergencyBase);
        event.error_code = static_cast<unsigned>(data[0] | data[1] << 8);
        event.error_register = data[2];
        std::memcpy(event.data, data + 3, sizeof event.data);
        Node& node = nodes_[event.node];
        node.newest = (node.newest + 1) % kEmergenciesKept;
        node.emergencies[node.newest] = event;
        if (node.emergency_count < kEmergenciesKept) ++node.emergency_count;
        push(event);
        return;
    }
    if (id <= kHeartbeatBase || id >= kHeartbeatBase + 0x80u) return;
    event.node = static_cast<int>(id - kHeartbeatBase);
    event.nmt_state = data[0] & 0x7F;
    Node& node = nodes_[event.node];
    node.last_heartbeat = now;
    if (node.lost) {
        node.lost = false;
        event.kind = ORVEX_EVENT_HEARTBEAT_BACK;
        push(event);
    }
    if (event.nmt_state == kBootUp) {
        event.kind = ORVEX_EVENT_BOOT_UP;
        push(event);
    } else if (event.nmt_state != node.nmt_state) {
        event.kind = ORVEX_EVENT_STATE_CHANGED;
        push(event);
    }
    node.nmt_state = event.nmt_state;
}

void BusEvents::watch(int node, int consumer_ms, std::uint32_t now) {
    Node& watched = nodes_[node];
    if (watched.consumer_ms == 0 && consumer_ms > 0) ++watched_;
    if (watched.consumer_ms > 0 && consumer_ms == 0) --watched_;
    watched.consumer_ms = consumer_ms;
    watched.last_heartbeat = now;  // the consumer time counts from now
    watched.lost = false;
}

void BusEvents::judge(std::uint32_t now) {
    if (watched_ == 0) return;
    for (int n = 1; n < 128; ++n) {
        Node& node = nodes_[n];
        if (node.consumer_ms == 0 || node.lost) continue;
        if (!elapsed_past(now, node.last_heartbeat, node.consumer_ms)) continue;
        node.lost = true;
        OrvexEvent event{};
        event.kind = ORVEX_EVENT_HEARTBEAT_LOST;
        event.node = n;
        event.time_ms = now;
        event.nmt_state = node.nmt_state < 0 ? 0 : static_cast<unsigned char>(node.nmt_state);
        push(event);
    }
}

int BusEvents::ms_to_next_judgement(std::uint32_t now) const {
    int soonest = -1;
    if (watched_ == 0) return soonest;
    for (const Node& node : nodes_) {
        if (node.consumer_ms == 0 || node.lost) continue;
        const std::uint32_t since = now - node.last_heartbeat;
        const long long left = static_cast<long long>(node.consumer_ms) + 1 - since;
        const int wait = left < 0 ? 0 : static_cast<int>(left);
        if (soonest < 0 || wait < soonest) soonest = wait;
    }
    return soonest;
}

int BusEvents::emergencies(int node, OrvexEvent* into, int capacity) const {
    const Node& n = nodes_[node];
    int stored = 0;
    for (int i = 0; i < n.emergency_count && stored < capacity; ++i) {
        const int slot = (n.newest - i + kEmergenciesKept) % kEmergenciesKept;
        into[stored++] = n.emergencies[slot];
    }
    return stored;
}

void BusEvents::reset(std::uint32_t now) {
    first_ = count_ = 0;
    for (Node& node : nodes_) {
        node.nmt_state = -1;
        node.last_heartbeat = now;
        node.lost = false;
        node.emergency_count = 0;
        node.newest = -1;
    }
}

void BusEvents::clear_emergencies(int node) {
    nodes_[node].emergency_count = 0;
    nodes_[node].newest = -1;
}

}  // namespace orvex
