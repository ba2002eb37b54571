#include "commands.h"

#include <cstdio>
#include <iostream>

#include "bus_commands.h"
#include "drive.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

// Hex bytes given as separate words ("06 01 40"), run together ("060140") or with separators
// ("06:01:40", "0x06,0x01").
std::vector<std::uint8_t> ParseHexBytes(Arguments& args) {
    std::vector<std::uint8_t> bytes;
    while (args.HasPositional()) AppendHexBytes(args.Next("bytes"), bytes, args.topic());
    if (bytes.empty()) throw UsageError("missing bytes to send", args.topic());
    return bytes;
}

}  // namespace

namespace {

void PrintStatus(const Port& port, int node, bool verbose) {
    const Drive drive(port, node, verbose);
    // The whole statusword: GetMotorStatus masks away bits 4-6, which tell a quick stop from
    // operation enabled.
    const std::uint16_t statusword = drive.ReadStatusword();
    std::uint32_t mode_bits = 0;
    const bool has_mode = port.ReadIfPresent(node, kModesDisplay, 1, &mode_bits);
    const int mode = has_mode ? static_cast<std::int8_t>(mode_bits & 0xFF) : -1000;
    const int position = port.Position(node);
    const PowerState state = StateOf(statusword);
    const bool in_fault = InFault(statusword);
    // A drive may keep a code after its fault was reset (or show a warning with one).
    const FaultDetail fault = drive.ReadFault();
    const bool show_fault = in_fault || (fault.error_code && *fault.error_code != 0);

    std::cout << drive.name() << ": " << StateName(state) << "\n";
    const std::string flags = Join(StatusFlags(statusword, mode), ", ");
    std::cout << "  statusword  " << HexValue(statusword, 2) << "  "
              << (flags.empty() ? "no bits set" : flags) << "\n";
    if (has_mode) std::cout << "  mode        " << mode << " (" << ModeName(mode) << ")\n";
    std::cout << "  position    " << position << "\n";
    if (show_fault) {
        if (fault.error_code) {
            std::cout << "  error code  " << HexValue(*fault.error_code, 2) << "  "
                      << ErrorCodeMeaning(*fault.error_code) << "\n";
        }
        if (fault.error_register) {
            const std::string bits = Join(ErrorRegisterFlags(*fault.error_register), ", ");
            std::cout << "  error reg.  " << HexValue(*fault.error_register, 1) << "  "
                      << (bits.empty() ? "no bits set" : bits) << "\n";
        }
        if (in_fault) std::cout << "  'orvex reset' clears the fault\n";
    }
    // The latest emergency the library heard from the drive (a fault reset clears the history).
    OrvexEvent latest{};
    if (Orvex_Emergencies(node, &latest, 1) == 1) {
        std::cout << "  last EMCY   " << EmergencyText(latest) << "\n";
    }
}

}  // namespace

int RunStatus(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    if (connection.nodes.size() == 1) {
        PrintStatus(port, connection.node, connection.verbose);
        return 0;
    }
    // Several drives: one that fails is reported and the others are still shown.
    int status = 0;
    for (const int node : connection.nodes) {
        try {
            PrintStatus(port, node, connection.verbose);
        } catch (const Failure& failure) {
            std::cout.flush();
            std::cerr << "orvex: " << failure.what() << "\n";
            status = 1;
        }
    }
    return status;
}

int RunPosition(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    std::cout << port.Position(connection.node) << "\n";
    return 0;
}

int RunVersion(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const std::uint16_t version = port.Version(connection.node);
    std::cout << NodeName(connection.node) << ": version " << HexValue(version, 2) << " ("
              << version << ")\n";
    return 0;
}

int RunSummary(Arguments& args, const Connection& connection) {
    const auto drives_word = args.TakeValue("--drives");
    const int drives_given =
        drives_word ? static_cast<int>(ParseInteger(*drives_word, "--drives", 1, 32, args.topic()))
                    : 0;
    args.ExpectEnd();
    Port port(connection);
    const std::uint32_t enabled = port.Summary(kSummaryEnabled);
    const std::uint32_t reached = port.Summary(kSummaryReached);
    const std::uint32_t fault = port.Summary(kSummaryFault);

    int drives = drives_given;
    if (drives == 0) {
        const std::uint32_t any = enabled | reached | fault;
        for (int bit = 0; bit < 32; ++bit) {
            if (any & (1u << bit)) drives = bit + 1;
        }
        if (drives == 0) drives = 1;
    }
    std::cout << "bus summary (node 0)\n";
    std::cout << "  enabled    0x3001  " << HexValue(enabled, 4)
              << "  drives: " << DriveList(enabled) << "\n";
    std::cout << "  at target  0x3002  " << HexValue(reached, 4)
              << "  drives: " << DriveList(reached) << "\n";
    std::cout << "  in fault   0x3003  " << HexValue(fault, 4) << "  drives: " << DriveList(fault)
              << "\n";
    std::cout << "  drive  enabled  at target  fault\n";
    auto yes_no = [](std::uint32_t mask, int drive) {
        return mask & (1u << (drive - 1)) ? "yes" : "no";
    };
    for (int drive = 1; drive <= drives; ++drive) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-5d  %-7s  %-9s  %s", drive, yes_no(enabled, drive),
                      yes_no(reached, drive), yes_no(fault, drive));
        std::cout << line << "\n";
    }
    return 0;
}

namespace {

int RunRawSend(Arguments& args, const Connection& connection) {
    const std::vector<std::uint8_t> bytes = ParseHexBytes(args);
    args.ExpectEnd();
    Port port(connection);
    const std::string count =
        std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    port.Require(U_Transmit(bytes.data(), static_cast<int>(bytes.size())), "send " + count);
    std::cout << "sent " << count << ": " << HexBytes(bytes) << "\n";
    return 0;
}

int RunRawExchange(Arguments& args, const Connection& connection) {
    const auto answer_word = args.TakeValue("--answer");
    if (!answer_word) throw UsageError("raw exchange needs --answer N", args.topic());
    const int answer_length =
        static_cast<int>(ParseInteger(*answer_word, "--answer", 1, 4096, args.topic()));
    const std::vector<std::uint8_t> bytes = ParseHexBytes(args);
    args.ExpectEnd();
    Port port(connection);
    std::cout << HexBytes(port.Exchange(bytes, answer_length)) << "\n";
    return 0;
}

const Subcommand kRawCommands[] = {
    {"send", RunRawSend, ""},
    {"exchange", RunRawExchange, "--answer=N"},
};

}  // namespace

int RunLed(Arguments& args, const Connection& connection) {
    const std::uint32_t value = ParseBits32(args.Next("VALUE"), "VALUE", args.topic());
    args.ExpectEnd();
    Port port(connection);
    port.Require(LED_Set(connection.node, static_cast<int>(value)),
                 "set the LED of " + NodeName(connection.node));
    std::cout << NodeName(connection.node) << ": LED " << FormatObject(kLed) << " <- "
              << HexValue(value, 4) << "\n";
    return 0;
}

int RunRaw(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kRawCommands);
}

}  // namespace orvex::cli
