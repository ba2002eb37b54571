// The subcommands of orvex. Each parses all of its words first (usage errors touch no device),
// then opens the port, acts, prints its result on stdout and returns the exit status.
#pragma once

#include <string>

#include "options.h"

namespace orvex::cli {

using CommandFunction = int (*)(Arguments& args, const Connection& connection);

struct Command {
    const char* name;
    CommandFunction run;
};

// The command named `name`, or nullptr.
const Command* FindCommand(const std::string& name);

// commands.cpp: device control, queries, object access, LED, raw frames.
int RunEnable(Arguments& args, const Connection& connection);
int RunDisable(Arguments& args, const Connection& connection);
int RunQuickStop(Arguments& args, const Connection& connection);
int RunHalt(Arguments& args, const Connection& connection);
int RunRestart(Arguments& args, const Connection& connection);
int RunStatus(Arguments& args, const Connection& connection);
int RunPosition(Arguments& args, const Connection& connection);
int RunVersion(Arguments& args, const Connection& connection);
int RunSummary(Arguments& args, const Connection& connection);
int RunSdo(Arguments& args, const Connection& connection);
int RunLed(Arguments& args, const Connection& connection);
int RunRaw(Arguments& args, const Connection& connection);

// motion.cpp: the operating modes and waiting for their completion.
int RunProfilePosition(Arguments& args, const Connection& connection);
int RunProfileVelocity(Arguments& args, const Connection& connection);
int RunHoming(Arguments& args, const Connection& connection);
int RunTorque(Arguments& args, const Connection& connection);

}  // namespace orvex::cli
