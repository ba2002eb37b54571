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

// Sets the library's query limit for one command and its default back afterwards (the library's
// limit cannot be read back, and orvex sets it nowhere else).
class QueryLimit {
  public:
    QueryLimit(int query_ms, const Port& port) {
        port.Require(Orvex_SetTimeLimits(query_ms, 0),
                     "set the query limit to " + std::to_string(query_ms) + " ms");
    }
    ~QueryLimit() { Orvex_SetTimeLimits(kAnswerLimitMs, 0); }
    QueryLimit(const QueryLimit&) = delete;
    QueryLimit& operator=(const QueryLimit&) = delete;
};

int RunScan(Arguments& args, const Connection& connection);
int RunMonitor(Arguments& args, const Connection& connection);
int RunWatch(Arguments& args, const Connection& connection);

extern const char kScanHelp[];
extern const char kMonitorHelp[];
extern const char kWatchHelp[];

}  // namespace orvex::cli
