// The commands of orvex. Each parses all of its words first (usage errors touch no device), then
// opens the port, acts, prints its result on stdout and returns the exit status.
//
// To add a command: write its run function and help text (declared below), then add one line to
// kCommands in command_table.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "options.h"

namespace orvex::cli {

using CommandFunction = int (*)(Arguments& args, const Connection& connection);

// Whom a command addresses: one drive (--node 1..127; node 0, the bus, is refused), or the bus
// or any node (node 0 allowed, or --node not used).
// kDrives: one or more drives (--node 1,2,5); every other command takes one node.
enum class Addressee { kDrive, kDrives, kAnyNode };

struct Command {
    const char* name;
    CommandFunction run;
    const char* help;  // 'orvex NAME --help'
    Addressee addressee = Addressee::kDrive;
};

// The command named `name`, or nullptr.
const Command* FindCommand(const std::string& name);

// One word of a command with subcommands ("pp move"): its function and the options that only it
// takes, space-separated, "=VALUE" on those that take a value ("--relative --wait --timeout=S"), so
// that an option given to the wrong subcommand is named as such.
struct Subcommand {
    const char* name;
    CommandFunction run;
    const char* options;
};

// Takes the subcommand word and runs its entry of `table`.
int RunSubcommand(Arguments& args, const Connection& connection, const Subcommand* table,
                  std::size_t count);
template <std::size_t N>
int RunSubcommand(Arguments& args, const Connection& connection, const Subcommand (&table)[N]) {
    return RunSubcommand(args, connection, table, N);
}

// control.cpp: device control and fault reset.
int RunEnable(Arguments& args, const Connection& connection);
int RunDisable(Arguments& args, const Connection& connection);
int RunQuickStop(Arguments& args, const Connection& connection);
int RunHalt(Arguments& args, const Connection& connection);
int RunReset(Arguments& args, const Connection& connection);
int RunRestart(Arguments& args, const Connection& connection);

// commands.cpp: queries, object access, LED, raw frames.
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
