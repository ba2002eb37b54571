// Commands that look at the whole bus rather than one drive: scan (which nodes answer and what
// they are), monitor (every frame on the line, decoded) and watch (many drives' position and
// state, refreshed).
#pragma once

#include "options.h"

namespace orvex::cli {

int RunScan(Arguments& args, const Connection& connection);
int RunMonitor(Arguments& args, const Connection& connection);
int RunWatch(Arguments& args, const Connection& connection);

extern const char kScanHelp[];
extern const char kMonitorHelp[];
extern const char kWatchHelp[];

}  // namespace orvex::cli
