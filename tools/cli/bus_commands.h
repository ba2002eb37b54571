// Commands that look at the whole bus rather than one drive: scan (which nodes answer and what
// they are), monitor (every frame on the line, decoded) and watch (many drives' position and
// state, refreshed).
#pragma once

#include <string>

#include "drive_objects.h"
#include "options.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {

// Sets the library's query limit for one command and the one it had back afterwards.
class QueryLimit {
  public:
    QueryLimit(int query_ms, const Port& port) {
        Orvex_GetTimeLimits(&before_ms_, nullptr);
        port.Require(Orvex_SetTimeLimits(query_ms, 0),
                     "set the query limit to " + std::to_string(query_ms) + " ms");
    }
    ~QueryLimit() { Orvex_SetTimeLimits(before_ms_, 0); }
    QueryLimit(const QueryLimit&) = delete;
    QueryLimit& operator=(const QueryLimit&) = delete;

  private:
    int before_ms_ = 0;
};

int RunScan(Arguments& args, const Connection& connection);
int RunMonitor(Arguments& args, const Connection& connection);
int RunWatch(Arguments& args, const Connection& connection);
int RunStream(Arguments& args, const Connection& connection);
int RunEvents(Arguments& args, const Connection& connection);
int RunDoctor(Arguments& args, const Connection& connection);

// An emergency's code with its meaning and its error register ("0x8611 following error, error
// register 0x21 (generic error, ...)"); what any other event means (events.cpp).
std::string EmergencyText(const OrvexEvent& event);
std::string EventText(const OrvexEvent& event);

extern const char kScanHelp[];
extern const char kMonitorHelp[];
extern const char kWatchHelp[];
extern const char kStreamHelp[];
extern const char kEventsHelp[];
extern const char kDoctorHelp[];

}  // namespace orvex::cli
