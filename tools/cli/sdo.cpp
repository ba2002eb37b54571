// orvex sdo: reads and writes objects of any size. Numbers of one to four bytes print in hex and
// decimal; longer objects as text, hex bytes or a file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "commands.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

constexpr std::size_t kSegmentBytes = 7;
constexpr int kDefaultBlockSize = 127;

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

// --size N: 0 when not given.
int TakeSize(Arguments& args) {
    const auto size = args.TakeValue("--size");
    return size ? static_cast<int>(ParseInteger(*size, "--size", 1, 4, args.topic())) : 0;
}

// --block and --block-size N: the block size to use, 0 for none.
int TakeBlock(Arguments& args) {
    const bool block = args.TakeFlag("--block");
    const auto size = args.TakeValue("--block-size");
    if (size) return static_cast<int>(ParseInteger(*size, "--block-size", 1, 127, args.topic()));
    return block ? kDefaultBlockSize : 0;
}

void UseBlocks(const Port& port, int block_size) {
    // Objects of four bytes or fewer go expedited all the same.
    if (block_size > 0) port.Require(Orvex_SetBlockTransfer(4, block_size), "use block transfers");
}

// The low `size` bytes of a value.
std::uint32_t LowBytes(std::uint32_t value, int size) {
    return size >= 4 ? value : value & ((1u << (8 * size)) - 1u);
}

std::uint32_t ValueOf(const std::vector<std::uint8_t>& data, int size) {
    std::uint32_t value = 0;
    for (int i = 0; i < size && i < static_cast<int>(data.size()); ++i)
        value |= static_cast<std::uint32_t>(data[static_cast<std::size_t>(i)]) << (8 * i);
    return value;
}

std::string Bytes(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// A string object's text: a trailing NUL padding is not part of it.
std::string TextOf(const std::vector<std::uint8_t>& data) {
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) --end;
    return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end));
}

bool Printable(const std::string& text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

const char* TransferName(int kind) {
    switch (kind) {
        case ORVEX_TRANSFER_EXPEDITED:
            return "expedited";
        case ORVEX_TRANSFER_SEGMENTED:
            return "segmented";
        case ORVEX_TRANSFER_BLOCK:
            return "block";
        default:
            return "no";
    }
}

// What the library reports of the transfer that just ran, in a few words: "segmented, 5
// segments".
std::string TransferSummary() {
    int kind = 0;
    int segments = 0;
    int flags = 0;
    Orvex_LastTransfer(&kind, &segments, &flags);
    std::string text = TransferName(kind);
    if (kind == ORVEX_TRANSFER_SEGMENTED || kind == ORVEX_TRANSFER_BLOCK)
        text += ", " + std::to_string(segments) + (segments == 1 ? " segment" : " segments");
    return text;
}

// -v: the transfer and each of its segments, as the data lies in them.
void ShowTransfer(const Connection& connection, const char* direction, ObjectRef object,
                  const std::vector<std::uint8_t>& data) {
    if (!connection.verbose) return;
    int kind = 0;
    int segments = 0;
    int flags = 0;
    Orvex_LastTransfer(&kind, &segments, &flags);
    std::cerr << "orvex: " << NodeName(connection.node) << ": " << TransferName(kind) << " "
              << direction << " of " << FormatObject(object) << ", " << Bytes(data.size());
    if (kind == ORVEX_TRANSFER_SEGMENTED || kind == ORVEX_TRANSFER_BLOCK)
        std::cerr << " in " << segments << (segments == 1 ? " segment" : " segments");
    std::cerr << ((flags & ORVEX_TRANSFER_SIZE_INDICATED) != 0 ? ", size indicated"
                                                               : ", size not indicated");
    if ((flags & ORVEX_TRANSFER_CRC) != 0) std::cerr << ", CRC checked";
    if ((flags & ORVEX_TRANSFER_FELL_BACK) != 0) std::cerr << ", block transfer refused";
    if ((flags & ORVEX_TRANSFER_REPEATED) != 0) std::cerr << ", lost segments sent again";
    std::cerr << "\n";
    if (kind != ORVEX_TRANSFER_SEGMENTED && kind != ORVEX_TRANSFER_BLOCK) return;
    const std::size_t count = data.empty() ? 1 : (data.size() + kSegmentBytes - 1) / kSegmentBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(i * kSegmentBytes);
        const auto to = data.begin() +
                        static_cast<std::ptrdiff_t>(std::min(data.size(), (i + 1) * kSegmentBytes));
        std::cerr << "orvex:   segment " << i + 1;
        if (kind == ORVEX_TRANSFER_SEGMENTED) std::cerr << ", toggle " << (i % 2);
        std::cerr << (i + 1 == count ? ", last" : "") << ": "
                  << HexBytes(std::vector<std::uint8_t>(from, to)) << "\n";
    }
}

void PrintNumber(ObjectRef object, std::uint32_t value, int size) {
    std::cout << FormatObject(object) << " = " << HexValue(value, size) << " (" << value;
    const std::uint32_t sign = 1u << (8 * size - 1);
    if (value & sign) {
        const long long negative = static_cast<long long>(value) - (2LL * sign);
        std::cout << ", signed " << negative;
    }
    std::cout << ")\n";
}

int RunSdoRead(Arguments& args, const Connection& connection) {
    const int size = TakeSize(args);
    const bool as_string = args.TakeFlag("--string");
    const bool as_bytes = args.TakeFlag("--bytes");
    const auto out_path = args.TakeValue("--out");
    const int block_size = TakeBlock(args);
    if ((size != 0) + as_string + as_bytes + out_path.has_value() > 1)
        throw UsageError("choose one of --size, --string, --bytes and --out", args.topic());
    const ObjectWords words = TakeObject(args);
    const ObjectRef object = words.object;
    args.ExpectEnd();
    if (words.hint) std::cerr << "orvex: note: " << *words.hint << "\n";
    Port port(connection);
    UseBlocks(port, block_size);
    const std::vector<std::uint8_t> data = port.Upload(connection.node, object);
    ShowTransfer(connection, "upload", object, data);

    if (out_path) {
        std::ofstream out(*out_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) throw Failure("cannot write " + *out_path + ": " + std::strerror(errno));
        std::cout << FormatObject(object) << ": " << Bytes(data.size()) << " to " << *out_path
                  << " (" << TransferSummary() << ")\n";
        return 0;
    }
    if (as_string) {
        std::cout << TextOf(data) << "\n";
        return 0;
    }
    if (as_bytes) {
        std::cout << HexBytes(data) << "\n";
        return 0;
    }
    int flags = 0;
    Orvex_LastTransfer(nullptr, nullptr, &flags);
    const bool size_told = (flags & ORVEX_TRANSFER_SIZE_INDICATED) != 0;
    if (size != 0) {
        // The answer's own size wins: printing part of a value would be a wrong value.
        if (size_told && data.size() != static_cast<std::size_t>(size)) {
            throw Failure(NodeName(connection.node) + " answered " + Bytes(data.size()) + " for " +
                          FormatObject(object) + ", not the " +
                          Bytes(static_cast<std::size_t>(size)) + " of --size " +
                          std::to_string(size) + " (leave --size out to read the whole object)");
        }
        PrintNumber(object, LowBytes(ValueOf(data, size), size), size);
        return 0;
    }
    if (!data.empty() && data.size() <= 4) {
        const int bytes = static_cast<int>(data.size());
        PrintNumber(object, ValueOf(data, bytes), bytes);
        return 0;
    }
    const std::string text = TextOf(data);
    if (!text.empty() && Printable(text)) {
        std::cout << FormatObject(object) << " = \"" << text << "\" (" << Bytes(data.size())
                  << ")\n";
    } else {
        std::cout << FormatObject(object) << " = " << HexBytes(data) << (data.empty() ? "" : " ")
                  << "(" << Bytes(data.size()) << ")\n";
    }
    return 0;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read " + path + ": " + std::strerror(errno));
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (in.bad()) throw Failure("cannot read " + path + ": " + std::strerror(errno));
    if (data.size() > Port::kMaxObjectBytes)
        throw Failure(path + " holds " + Bytes(data.size()) + ", more than an object takes here");
    return data;
}

// sdo write --string TEXT / --file FILE: one confirmed download of any size.
int WriteBytes(Arguments& args, const Connection& connection,
               const std::optional<std::string>& text, const std::optional<std::string>& file,
               int block_size) {
    const ObjectWords words = TakeObject(args);
    const ObjectRef object = words.object;
    args.ExpectEnd();
    if (words.hint)
        throw UsageError(*words.hint + " (0x" + HexValue(object.index, 2).substr(2) +
                             " if that is what you mean)",
                         args.topic());
    const std::vector<std::uint8_t> data =
        text ? std::vector<std::uint8_t>(text->begin(), text->end()) : ReadFile(*file);
    Port port(connection);
    UseBlocks(port, block_size);
    port.Download(connection.node, object, data);
    ShowTransfer(connection, "download", object, data);
    std::cout << NodeName(connection.node) << ": " << FormatObject(object) << " <- "
              << Bytes(data.size()) << " (" << TransferSummary() << ", confirmed)\n";
    return 0;
}

int RunSdoWrite(Arguments& args, const Connection& connection) {
    const int size_given = TakeSize(args);
    const bool verify = !args.TakeFlag("--no-verify");
    const auto text = args.TakeValue("--string");
    const auto file = args.TakeValue("--file");
    const int block_size = TakeBlock(args);
    if (text || file) {
        if (text && file) throw UsageError("choose one of --string and --file", args.topic());
        if (size_given != 0 || !verify)
            throw UsageError(std::string(text ? "--string" : "--file") +
                                 " writes bytes the drive confirms: --size and --no-verify "
                                 "belong to a VALUE",
                             args.topic());
        return WriteBytes(args, connection, text, file, block_size);
    }
    if (block_size != 0)
        throw UsageError("--block belongs to --string and --file (a VALUE is at most four bytes)",
                         args.topic());
    const int size = size_given != 0 ? size_given : 4;
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
                                HexValue(value, size) + " (" +
                                Bytes(static_cast<std::size_t>(size));
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

const Subcommand kSdoCommands[] = {
    {"read", RunSdoRead, "--size=N --string --bytes --out=FILE --block --block-size=N"},
    {"write", RunSdoWrite, "--size=N --no-verify --string=TEXT --file=FILE --block --block-size=N"},
};

}  // namespace

int RunSdo(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kSdoCommands);
}

}  // namespace orvex::cli
