// Command-line words: global options, per-command options and positionals, and number parsing.
// A word that starts with '-' and a digit is a (negative) number, never an option.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvex::cli {

// Bad usage: exit status 2. `topic` names the command whose help to suggest ("" for the general
// help).
class UsageError : public std::runtime_error {
  public:
    explicit UsageError(const std::string& message, std::string topic = "")
        : std::runtime_error(message), topic_(std::move(topic)) {}
    const std::string& topic() const { return topic_; }

  private:
    std::string topic_;
};

// The drive or the port failed: exit status 1, the message is the one line on stderr.
class Failure : public std::runtime_error {
  public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// Standard output cannot be written (a full disk, a closed pipe): the command ends and main
// reports it in one form, with the system's reason `error`.
class OutputError : public std::runtime_error {
  public:
    explicit OutputError(int error)
        : std::runtime_error("cannot write the output"), error_(error) {}
    int error() const { return error_; }

  private:
    int error_;
};

// Flushes standard output; throws OutputError when it cannot be written. Commands that print as
// they go (monitor, watch) flush with it, so they stop at the first output that fails.
void FlushOutput();

// Where the adapter is and how to talk to it, and the global options every command shares.
struct Connection {
    std::string device;  // a device path, or empty when `port` is used
    int port = 0;        // COM port number for Serial_OpenPort, 0 when `device` is used
    int baud = 115200;
    int node = 1;               // the first of `nodes`
    std::vector<int> nodes{1};  // the drives named: --node N, --node 1,2,5 or --nodes 1-4
    bool node_given = false;    // --node or --nodes was given (monitor filters by it)
    bool verbose = false;       // -v, --verbose: objects written and states read, on stderr
};

class Arguments {
  public:
    Arguments(int argc, const char* const* argv);

    // The command these words belong to, named in usage errors ("pp", "sdo", ...).
    void set_topic(const std::string& topic) { topic_ = topic; }
    const std::string& topic() const { return topic_; }

    // Removes "--name" wherever it is; true when it was there.
    bool TakeFlag(const std::string& name);
    // Removes "--name VALUE" or "--name=VALUE" wherever it is.
    std::optional<std::string> TakeValue(const std::string& name);
    // Every value of "--name VALUE" / "--name=VALUE", in order.
    std::vector<std::string> TakeValues(const std::string& name);

    // True when "--name" or "--name=VALUE" is among the words.
    bool Has(const std::string& name) const;

    bool HasPositional() const;
    // The next positional word; a usage error naming `what` when there is none.
    std::string Next(const std::string& what);
    // The first word that is neither an option nor the value of one of `valued` ("--timeout"),
    // wherever it is: a subcommand may follow its options.
    std::string TakeFirstPositional(const std::string& what,
                                    const std::vector<std::string>& valued);
    // A usage error for any word left over.
    void ExpectEnd() const;

  private:
    // Words are taken from the front one by one (raw send's bytes may be many): a deque keeps
    // that constant time.
    std::deque<std::string> words_;
    std::string topic_;
};

bool LooksLikeOption(const std::string& word);

// Numbers: decimal or hexadecimal with 0x, an optional sign. A usage error names `what`.
long long ParseInteger(const std::string& text, const std::string& what, long long min,
                       long long max, const std::string& topic);
int ParseInt32(const std::string& text, const std::string& what, const std::string& topic);
// Any 32-bit pattern: -2147483648 .. 4294967295, returned as its unsigned bits.
std::uint32_t ParseBits32(const std::string& text, const std::string& what,
                          const std::string& topic);
double ParseSeconds(const std::string& text, const std::string& what, const std::string& topic);
// Appends the hex bytes of one word: "06", "060140", "06:01:40", "0x06,0x01" (separators ':', ',',
// ' ', '-'; a lone digit is one byte; otherwise an odd number of digits is refused).
void AppendHexBytes(const std::string& word, std::vector<std::uint8_t>& bytes,
                    const std::string& topic);

// "1-8", "1,3,5-7": distinct nodes 1..127 in the order given; usage errors name `option`.
std::vector<int> ParseNodeList(const std::string& text, const std::string& option,
                               const std::string& topic);

// Reads --device, --port, --baud, --node (one node, or a list as --nodes takes), --nodes from
// anywhere among the words
// ($ORVEX_DEVICE is the default device).
Connection TakeConnection(Arguments& args);

}  // namespace orvex::cli
