#include "commands.h"

#include <cstdio>
#include <iostream>
#include <optional>

#include "drive.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

int ParseSize(Arguments& args) {
    const auto size = args.TakeValue("--size");
    if (!size) return 4;
    return static_cast<int>(ParseInteger(*size, "--size", 1, 4, args.topic()));
}

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

bool IsKnownObject(unsigned index) {
    const auto index16 = static_cast<std::uint16_t>(index);
    return codec::ObjectName(index16, 0) != nullptr || codec::ObjectName(index16, 1) != nullptr;
}

// A four-digit INDEX without 0x that names no known object, while its hex reading does, was
// most likely meant as hex ("6041" for 0x6041); the reading that was taken, or nothing.
std::optional<std::string> DecimalIndexHint(const std::string& word, unsigned index) {
    if (word.size() != 4 || word.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const auto as_hex = static_cast<unsigned>(std::stoul(word, nullptr, 16));
    if (IsKnownObject(index) || !IsKnownObject(as_hex)) return std::nullopt;
    return "INDEX " + word + " is decimal, object " + HexValue(index, 2) + "; write 0x" + word +
           " for object " + HexValue(as_hex, 2);
}

struct ObjectWords {
    ObjectRef object;
    std::optional<std::string> hint;
};

ObjectWords TakeObject(Arguments& args) {
    const std::string& topic = args.topic();
    const std::string index_word = args.Next("INDEX");
    const auto index = static_cast<unsigned>(ParseInteger(index_word, "INDEX", 0, 0xFFFF, topic));
    const auto subindex = static_cast<int>(ParseInteger(args.Next("SUB"), "SUB", 0, 0xFF, topic));
    return {{index, subindex}, DecimalIndexHint(index_word, index)};
}

// The low `size` bytes of a value.
std::uint32_t LowBytes(std::uint32_t value, int size) {
    return size >= 4 ? value : value & ((1u << (8 * size)) - 1u);
}

int RunSdoRead(Arguments& args, const Connection& connection) {
    const int size = ParseSize(args);
    const ObjectWords words = TakeObject(args);
    const ObjectRef object = words.object;
    args.ExpectEnd();
    if (words.hint) std::cerr << "orvex: note: " << *words.hint << "\n";
    Port port(connection);
    const std::uint32_t value = LowBytes(port.Read(connection.node, object, size), size);
    std::cout << FormatObject(object) << " = " << HexValue(value, size) << " (" << value;
    const std::uint32_t sign = 1u << (8 * size - 1);
    if (value & sign) {
        const long long negative = static_cast<long long>(value) - (2LL * sign);
        std::cout << ", signed " << negative;
    }
    std::cout << ")\n";
    return 0;
}

int RunSdoWrite(Arguments& args, const Connection& connection) {
    const int size = ParseSize(args);
    const bool verify = !args.TakeFlag("--no-verify");
    const ObjectWords words = TakeObject(args);
    const ObjectRef object = words.object;
    // Signed or unsigned, the value must fit the object's size: -128..255 for one byte.
    const int bits = 8 * size;
    const long long lowest = -(1LL << (bits - 1));
    const long long highest = (1LL << bits) - 1;
    const std::string value_word = args.Next("VALUE");
    const long long value_given =
        ParseInteger(value_word, "VALUE", -(1LL << 31), (1LL << 32) - 1, args.topic());
    if (value_given < lowest || value_given > highest) {
        throw UsageError("VALUE " + value_word + " does not fit --size " + std::to_string(size) +
                             " (" + std::to_string(lowest) + " to " + std::to_string(highest) + ")",
                         args.topic());
    }
    args.ExpectEnd();
    // Writing the wrong object is worse than a refused command.
    if (words.hint)
        throw UsageError(*words.hint + " (0x" + HexValue(object.index, 2).substr(2) +
                             " if that is what you mean)",
                         args.topic());
    const std::uint32_t value = LowBytes(static_cast<std::uint32_t>(value_given), size);
    const int node = connection.node;
    Port port(connection);
    port.Require(SDO_Write(node, object.index, object.subindex, value, size),
                 "write " + FormatObject(object) + " of " + NodeName(node));
    const std::string written = NodeName(node) + ": " + FormatObject(object) + " <- " +
                                HexValue(value, size) + " (" + std::to_string(size) +
                                (size == 1 ? " byte" : " bytes");
    if (!verify) {
        std::cout << written << " sent, not read back)\n";
        return 0;
    }
    std::uint32_t held = 0;
    if (!port.ReadIfPresent(node, object, size, &held)) {
        if (Orvex_LastAbortCode() != codec::kAbortWriteOnly) port.FailQuery(node, object);
        std::cout << written << " sent; the object is write-only, not read back)\n";
        return 0;
    }
    held = LowBytes(held, size);
    if (held != value) {
        throw Failure(NodeName(node) + " holds " + HexValue(held, size) + " in " +
                      FormatObject(object) + " after the write of " + HexValue(value, size) +
                      " (refused, out of range, or changed by the drive)");
    }
    std::cout << written << ", read back)\n";
    return 0;
}

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

const Subcommand kSdoCommands[] = {
    {"read", RunSdoRead, "--size=N"},
    {"write", RunSdoWrite, "--size=N --no-verify"},
};

const Subcommand kRawCommands[] = {
    {"send", RunRawSend, ""},
    {"exchange", RunRawExchange, "--answer=N"},
};

}  // namespace

int RunSdo(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kSdoCommands);
}

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
