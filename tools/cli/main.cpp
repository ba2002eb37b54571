// orvex: the command-line tool over ORVEX_DLL. Reads the global options, picks the command, and
// turns usage errors into exit status 2, failures of the port or a drive (or of stdout) into exit
// status 1, and Ctrl-C or SIGTERM into 130 or 143.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "commands.h"
#include "drive_objects.h"
#include "help.h"
#include "interrupt.h"
#include "library.h"
#include "options.h"

using namespace orvex::cli;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Run(int argc, const char* const* argv) {
    Arguments args(argc, argv);
    const bool help = args.TakeFlag("--help") | args.TakeFlag("-h");
    const bool version = args.TakeFlag("--version");
    const Connection connection = TakeConnection(args);
    if (version) {
        args.ExpectEnd();
        std::cout << "orvex " << ORVEX_VERSION << "\n";
        // With a port given, the library that would drive it.
        if (!connection.device.empty() || connection.port != 0) {
            const std::string path = LoadedLibraryPath();
            const std::string library_version = LibraryFileVersion(path);
            std::cout << "ORVEX_DLL "
                      << (library_version.empty() ? "(version unknown)" : library_version) << " ("
                      << path << ")\n";
        }
        return 0;
    }
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
    if (command->addressee != Addressee::kDrives && connection.nodes.size() > 1) {
        throw UsageError(name + " takes one node, not a list (status and watch take several)",
                         name);
    }
    if (command->addressee != Addressee::kAnyNode && connection.node == kBusNode) {
        throw UsageError("--node 0 is the bus, not a drive: give the drive's node, 1 to " +
                             std::to_string(kMaxNode),
                         name);
    }
    return command->run(args, connection);
}

// Output that could not be written (a full disk, a closed pipe) is a failure too.
int ReportOutputError(const OutputError& failure) {
    std::cerr << "orvex: " << failure.what() << ": " << std::strerror(failure.error()) << "\n";
    return kExitFailure;
}

// Output that cannot be written fails the command, in one form whatever the command.
int CheckOutput(int status) {
    try {
        FlushOutput();
    } catch (const OutputError& failure) {
        const int reported = ReportOutputError(failure);
        return status == 0 ? reported : status;
    }
    return status;
}

int Interrupt(const Interrupted& interrupted) {
    std::cout.flush();
    std::cerr << "orvex: interrupted\n";
    return interrupted.exit_status();
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandlers();
    try {
        const int status = Run(argc, argv);
        ThrowIfInterrupted();  // a signal during the last library call
        return CheckOutput(status);
    } catch (const OutputError& failure) {
        return ReportOutputError(failure);
    } catch (const Interrupted& interrupted) {
        return CheckOutput(Interrupt(interrupted));
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
        return CheckOutput(kExitFailure);
    } catch (const std::exception& error) {
        std::cerr << "orvex: " << error.what() << "\n";
        return kExitFailure;
    }
}
