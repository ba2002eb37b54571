#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <set>

namespace orvex::cli {

Arguments::Arguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) words_.emplace_back(argv[i]);
}

void FlushOutput() {
    // Output longer than the stream's buffer is written while it is put out: a write that failed
    // then left its reason in errno, and the flush below finds the stream failed already without
    // writing again.
    const bool failed_before = std::ferror(stdout) || !std::cout;
    const int earlier = failed_before ? errno : 0;
    errno = 0;
    std::cout.flush();
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout;
    if (failed) throw OutputError(errno != 0 ? errno : earlier != 0 ? earlier : EIO);
}

bool LooksLikeOption(const std::string& word) {
    return word.size() >= 2 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
}

bool Arguments::TakeFlag(const std::string& name) {
    bool found = false;
    for (auto it = words_.begin(); it != words_.end();) {
        if (*it == name) {
            it = words_.erase(it);
            found = true;
        } else if (it->rfind(name + "=", 0) == 0) {
            throw UsageError(name + " takes no value", topic_);
        } else {
            ++it;
        }
    }
    return found;
}

std::optional<std::string> Arguments::TakeValue(const std::string& name) {
    const std::vector<std::string> values = TakeValues(name);
    if (values.empty()) return std::nullopt;
    return values.back();
}

std::vector<std::string> Arguments::TakeValues(const std::string& name) {
    std::vector<std::string> values;
    for (auto it = words_.begin(); it != words_.end();) {
        if (*it == name) {
            if (std::next(it) == words_.end()) throw UsageError(name + " needs a value", topic_);
            values.push_back(*std::next(it));
            it = words_.erase(it, std::next(it, 2));
        } else if (it->rfind(name + "=", 0) == 0) {
            values.push_back(it->substr(name.size() + 1));
            it = words_.erase(it);
        } else {
            ++it;
        }
    }
    return values;
}

bool Arguments::Has(const std::string& name) const {
    for (const std::string& word : words_) {
        if (word == name || word.rfind(name + "=", 0) == 0) return true;
    }
    return false;
}

std::string Arguments::TakeFirstPositional(const std::string& what,
                                           const std::vector<std::string>& valued) {
    for (auto it = words_.begin(); it != words_.end(); ++it) {
        if (!LooksLikeOption(*it)) {
            std::string word = *it;
            words_.erase(it);
            return word;
        }
        const bool takes_value = std::find(valued.begin(), valued.end(), *it) != valued.end();
        if (takes_value && std::next(it) != words_.end()) ++it;
    }
    throw UsageError("missing " + what, topic_);
}

bool Arguments::HasPositional() const {
    for (const std::string& word : words_) {
        if (!LooksLikeOption(word)) return true;
    }
    return false;
}

std::string Arguments::Next(const std::string& what) {
    if (words_.empty()) throw UsageError("missing " + what, topic_);
    if (LooksLikeOption(words_.front())) {
        throw UsageError("unknown option " + words_.front(), topic_);
    }
    std::string word = words_.front();
    words_.erase(words_.begin());
    return word;
}

void Arguments::ExpectEnd() const {
    if (words_.empty()) return;
    const std::string& word = words_.front();
    if (LooksLikeOption(word)) throw UsageError("unknown option " + word, topic_);
    throw UsageError("unexpected argument '" + word + "'", topic_);
}

long long ParseInteger(const std::string& text, const std::string& what, long long min,
                       long long max, const std::string& topic) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int base = 10;
    if (text.size() > pos + 1 && text[pos] == '0' &&
        (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    const std::string digits = text.substr(pos);
    bool valid = !digits.empty();
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        if (base == 16 ? !std::isxdigit(u) : !std::isdigit(u)) valid = false;
    }
    if (!valid) {
        throw UsageError(what + " must be a number (decimal or 0x hex), not '" + text + "'", topic);
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
    const bool too_big = errno == ERANGE || magnitude > (1ULL << 62);
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (too_big || value < min || value > max) {
        throw UsageError(what + " " + text + " is out of range (" + std::to_string(min) + " to " +
                             std::to_string(max) + ")",
                         topic);
    }
    return value;
}

int ParseInt32(const std::string& text, const std::string& what, const std::string& topic) {
    return static_cast<int>(ParseInteger(text, what, std::numeric_limits<int>::min(),
                                         std::numeric_limits<int>::max(), topic));
}

std::uint32_t ParseBits32(const std::string& text, const std::string& what,
                          const std::string& topic) {
    const long long value = ParseInteger(text, what, std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::uint32_t>::max(), topic);
    return static_cast<std::uint32_t>(value);
}

double ParseSeconds(const std::string& text, const std::string& what, const std::string& topic) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || !std::isfinite(value) ||
        value < 0 || value > 86400) {
        throw UsageError(what + " must be a number of seconds (0 to 86400), not '" + text + "'",
                         topic);
    }
    return value;
}

Connection TakeConnection(Arguments& args) {
    Connection connection;
    const auto device = args.TakeValue("--device");
    const auto port = args.TakeValue("--port");
    const auto baud = args.TakeValue("--baud");
    const std::vector<std::string> node_words = args.TakeValues("--node");
    const auto nodes = args.TakeValue("--nodes");
    if (node_words.size() > 1 || (nodes && !node_words.empty())) {
        // Silently taking the last would act on a drive the user may not mean.
        throw UsageError(
            "--node given more than once: name several drives in one list, "
            "'--node 1,2,5' or '--nodes 1-4'");
    }
    const std::optional<std::string> node = nodes ? nodes
                                            : node_words.empty()
                                                ? std::nullopt
                                                : std::optional(node_words.front());
    if (device && port) throw UsageError("give either --device or --port, not both");
    if (device) {
        if (device->empty()) throw UsageError("--device needs a path");
        connection.device = *device;
    } else if (port) {
        connection.port = static_cast<int>(ParseInteger(*port, "--port", 1, 255, ""));
    } else if (const char* env = std::getenv("ORVEX_DEVICE"); env != nullptr && *env != '\0') {
        connection.device = env;
    }
    if (baud) {
        connection.baud =
            static_cast<int>(ParseInteger(*baud, "--baud", 1, std::numeric_limits<int>::max(), ""));
    }
    if (node) {
        const bool list = nodes || node->find_first_of(",-", 1) != std::string::npos;
        connection.nodes =
            list ? ParseNodeList(*node, nodes ? "--nodes" : "--node", "")
                 : std::vector<int>{static_cast<int>(ParseInteger(*node, "--node", 0, 127, ""))};
        connection.node = connection.nodes.front();
    }
    connection.node_given = node.has_value();
    connection.verbose = args.TakeFlag("--verbose") | args.TakeFlag("-v");
    return connection;
}

std::vector<int> ParseNodeList(const std::string& text, const std::string& option,
                               const std::string& topic) {
    std::vector<int> nodes;
    std::set<int> seen;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = text.find(',', at);
        const std::string part =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (part.empty()) throw UsageError(option + " '" + text + "' has an empty entry", topic);
        // A dash after the first character separates a range ("3-5"); a leading one is a sign.
        const std::size_t dash = part.find('-', 1);
        const int first =
            static_cast<int>(ParseInteger(part.substr(0, dash), option, 1, 127, topic));
        const int last =
            dash == std::string::npos
                ? first
                : static_cast<int>(ParseInteger(part.substr(dash + 1), option, 1, 127, topic));
        if (last < first) throw UsageError(option + " range '" + part + "' runs backwards", topic);
        for (int node = first; node <= last; ++node) {
            if (!seen.insert(node).second) {
                throw UsageError(option + " names node " + std::to_string(node) + " twice", topic);
            }
            nodes.push_back(node);
        }
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return nodes;
}

void AppendHexBytes(const std::string& word, std::vector<std::uint8_t>& bytes,
                    const std::string& topic) {
    std::string piece;
    auto flush = [&]() {
        if (piece.rfind("0x", 0) == 0 || piece.rfind("0X", 0) == 0) piece.erase(0, 2);
        if (piece.empty()) return;
        for (char c : piece) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                throw UsageError("'" + word + "' is not hex bytes", topic);
            }
        }
        if (piece.size() == 1) piece.insert(0, "0");
        if (piece.size() % 2 != 0) {
            throw UsageError("'" + word + "' has an odd number of hex digits", topic);
        }
        for (std::size_t i = 0; i < piece.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(piece.substr(i, 2), nullptr, 16)));
        }
        piece.clear();
    };
    for (char c : word) {
        if (c == ':' || c == ',' || c == ' ' || c == '-') {
            flush();
        } else {
            piece += c;
        }
    }
    flush();
}

}  // namespace orvex::cli
