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

// Where the adapter is and how to talk to it, and the global options every command shares.
struct Connection {
    std::string device;  // a device path, or empty when `port` is used
    int port = 0;        // COM port number for Serial_OpenPort, 0 when `device` is used
    int baud = 115200;
    int node = 1;
    bool node_given = false;  // --node was given (monitor filters by it)
    bool verbose = false;     // -v, --verbose: objects written and states read, on stderr
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

// Reads --device, --port, --baud, --node and -v/--verbose from anywhere among the words
// ($ORVEX_DEVICE is the default device).
Connection TakeConnection(Arguments& args);

}  // namespace orvex::cli
