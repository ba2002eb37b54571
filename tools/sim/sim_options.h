// Command-line options of orvex-sim.
#pragma once

#include <string>

#include "line_model.h"
#include "sdo_server.h"

namespace orvex::sim {

struct SimOptions {
    ServerOptions server;
    LineSettings line;
    std::string link_path;    // symlink to the slave, empty for none
    bool force_link = false;  // take the link over even from a running simulator
    int delay_ms = 0;         // answer delay
    int drop_every = 0;       // every Nth answer is not sent; 0 = off
    int garbage_every = 0;    // garbage bytes before every Nth answer; 0 = off
    std::string trace_path;   // frame trace file, empty for none
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::string eds_path;  // --write-eds: write the drive's EDS there ("-": stdout) and exit
};

// Fills `options` from the arguments; returns an empty string or what is wrong with them.
std::string ParseOptions(int argc, const char* const* argv, SimOptions* options);

std::string UsageText(const std::string& program);

}  // namespace orvex::sim
