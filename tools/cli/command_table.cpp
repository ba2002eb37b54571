// The one table of orvex's commands: name, function and help text. The general help lists them
// by purpose (help.cpp).
#include <algorithm>
#include <sstream>
#include <vector>

#include "bus_commands.h"
#include "commands.h"
#include "help.h"

namespace orvex::cli {
namespace {

const Command kCommands[] = {
    {"enable", RunEnable, kEnableHelp},
    {"disable", RunDisable, kDisableHelp},
    {"quick-stop", RunQuickStop, kQuickStopHelp},
    {"halt", RunHalt, kHaltHelp},
    {"reset", RunReset, kResetHelp},
    {"restart", RunRestart, kRestartHelp, Addressee::kAnyNode},
    {"status", RunStatus, kStatusHelp, Addressee::kDrives},
    {"position", RunPosition, kPositionHelp},
    {"version", RunVersion, kVersionHelp},
    {"summary", RunSummary, kSummaryHelp, Addressee::kAnyNode},
    {"sdo", RunSdo, kSdoHelp},
    {"led", RunLed, kLedHelp},
    {"pp", RunProfilePosition, kProfilePositionHelp},
    {"pv", RunProfileVelocity, kProfileVelocityHelp},
    {"home", RunHoming, kHomingHelp},
    {"torque", RunTorque, kTorqueHelp},
    {"raw", RunRaw, kRawHelp, Addressee::kAnyNode},
    {"scan", RunScan, kScanHelp, Addressee::kAnyNode},
    {"monitor", RunMonitor, kMonitorHelp, Addressee::kAnyNode},
    {"watch", RunWatch, kWatchHelp, Addressee::kDrives},
    {"stream", RunStream, kStreamHelp},
    {"events", RunEvents, kEventsHelp, Addressee::kDrives},
    {"doctor", RunDoctor, kDoctorHelp, Addressee::kDrives},
};

// The option names of a Subcommand::options text; `valued` collects those that take a value.
std::vector<std::string> OptionNames(const char* text, std::vector<std::string>* valued = nullptr) {
    std::istringstream stream(text);
    std::vector<std::string> names;
    for (std::string word; stream >> word;) {
        const std::size_t equals = word.find('=');
        names.push_back(word.substr(0, equals));
        if (valued != nullptr && equals != std::string::npos) valued->push_back(names.back());
    }
    return names;
}

bool Contains(const std::vector<std::string>& words, const std::string& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

const Command* FindCommand(const std::string& name) {
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& command) { return name == command.name; });
    return found == std::end(kCommands) ? nullptr : found;
}

int RunSubcommand(Arguments& args, const Connection& connection, const Subcommand* table,
                  std::size_t count) {
    const std::string topic = args.topic();
    std::string names;  // "set, move, target or stop"
    std::vector<std::string> valued;
    for (std::size_t i = 0; i < count; ++i) {
        names += (i == 0 ? "" : i + 1 == count ? " or " : ", ") + std::string(table[i].name);
        OptionNames(table[i].options, &valued);
    }
    const std::string word = args.TakeFirstPositional(topic + " command (" + names + ")", valued);
    const Subcommand* chosen = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (word == table[i].name) chosen = &table[i];
    }
    if (chosen == nullptr) {
        throw UsageError("unknown " + topic + " command '" + word + "' (" + names + ")", topic);
    }
    const std::vector<std::string> own = OptionNames(chosen->options);
    for (std::size_t i = 0; i < count; ++i) {
        for (const std::string& option : OptionNames(table[i].options)) {
            if (!Contains(own, option) && args.Has(option)) {
                throw UsageError(option + " belongs to " + topic + " " + table[i].name, topic);
            }
        }
    }
    return chosen->run(args, connection);
}

}  // namespace orvex::cli
