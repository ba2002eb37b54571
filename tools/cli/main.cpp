// orvex: the command-line tool over ORVEX_DLL. Reads the global options, picks the command, and
// turns usage errors into exit status 2 and failures of the port or a drive into exit status 1.
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "help.h"
#include "options.h"

using namespace orvex::cli;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Run(int argc, const char* const* argv) {
    Arguments args(argc, argv);
    const bool help = args.TakeFlag("--help") | args.TakeFlag("-h");
    const Connection connection = TakeConnection(args);
    if (!args.HasPositional()) {
        if (help) {
            std::cout << GeneralHelp();
            return 0;
        }
        args.ExpectEnd();  // an unknown option is the better message
        throw UsageError("no command given");
    }
    const std::string name = args.Next("command");
    if (name == "help") {
        const std::string topic = args.HasPositional() ? args.Next("command") : "";
        const std::string text = topic.empty() ? GeneralHelp() : CommandHelp(topic);
        if (text.empty()) throw UsageError("no help for unknown command '" + topic + "'");
        std::cout << text;
        return 0;
    }
    const Command* command = FindCommand(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'");
    if (help) {
        std::cout << CommandHelp(name);
        return 0;
    }
    args.set_topic(name);
    return command->run(args, connection);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "orvex: " << error.what() << "\n";
        if (error.topic().empty()) {
            std::cerr << "Try 'orvex --help' for the commands and options.\n";
        } else {
            std::cerr << "Try 'orvex " << error.topic() << " --help' for its usage.\n";
        }
        return kExitUsage;
    } catch (const Failure& failure) {
        std::cout.flush();
        std::cerr << "orvex: " << failure.what() << "\n";
        return kExitFailure;
    } catch (const std::exception& error) {
        std::cerr << "orvex: " << error.what() << "\n";
        return kExitFailure;
    }
}
