// orvex stream start|read|stop: a drive's transmit PDO set up to send chosen objects by itself,
// their newest values, and the stream stopped. The library does the set-up and the decoding.
#include <iostream>
#include <string>
#include <vector>

#include "bus_commands.h"
#include "commands.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {

const char kStreamHelp[] =
    "Usage: orvex [connection] [--node N] stream start [--period-ms P] [--map LIST]\n"
    "       orvex [connection] [--node N] stream read\n"
    "       orvex [connection] [--node N] stream stop\n"
    "\n"
    "start: sets up a free transmit PDO of the drive to send the objects of LIST every P ms by\n"
    "       itself (Orvex_StreamStart: each write confirmed, the PDO made valid last), then "
    "starts\n"
    "       the node (NMT operational: PDOs flow only there). A refused mapping is reported with\n"
    "       its abort code and leaves the PDO invalid. The stream lasts until 'stream stop' or\n"
    "       until the drive is reset; this program's own port closes when it ends, so follow the\n"
    "       values with 'watch --stream', which starts, reads and stops streams itself.\n"
    "read:  starts the stream, waits two periods and prints the newest values once.\n"
    "stop:  makes the PDO's COB-ID invalid again (Orvex_StreamStop).\n"
    "--period-ms P  how often the drive sends (1-65535, default 10)\n"
    "--map LIST     what it sends, comma-separated CiA 301 mapping entries index<<16 |\n"
    "               subindex<<8 | bits, 64 bits in all (default 0x60640020,0x60410010:\n"
    "               position and statusword)\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 --node 2 stream start --period-ms 5\n"
    "  orvex --device /dev/ttyUSB0 --node 2 stream read --map 0x60410010,0x606C0020\n";

namespace {

struct StreamSetup {
    std::vector<unsigned> entries{0x60640020, 0x60410010};
    int period_ms = 10;
};

StreamSetup TakeSetup(Arguments& args) {
    StreamSetup setup;
    const std::string topic = args.topic();
    if (const auto period = args.TakeValue("--period-ms"))
        setup.period_ms = static_cast<int>(ParseInteger(*period, "--period-ms", 1, 65535, topic));
    if (const auto map = args.TakeValue("--map")) {
        setup.entries.clear();
        std::string rest = *map;
        for (std::size_t comma; !rest.empty();
             rest = comma == std::string::npos ? "" : rest.substr(comma + 1)) {
            comma = rest.find(',');
            setup.entries.push_back(ParseBits32(rest.substr(0, comma), "--map", topic));
        }
        if (setup.entries.empty() || setup.entries.size() > 8)
            throw UsageError("--map takes 1 to 8 entries", topic);
    }
    return setup;
}

void Start(const Port& port, int node, const StreamSetup& setup) {
    port.Require(Orvex_StreamStart(node, setup.entries.data(),
                                   static_cast<int>(setup.entries.size()), setup.period_ms),
                 "start the stream of " + NodeName(node));
}

int RunStreamStart(Arguments& args, const Connection& connection) {
    const StreamSetup setup = TakeSetup(args);
    args.ExpectEnd();
    Port port(connection);
    Start(port, connection.node, setup);
    std::cout << NodeName(connection.node) << ": streaming " << setup.entries.size()
              << " objects every " << setup.period_ms << " ms (NMT operational)\n";
    return 0;
}

int RunStreamRead(Arguments& args, const Connection& connection) {
    const StreamSetup setup = TakeSetup(args);
    args.ExpectEnd();
    Port port(connection);
    Start(port, connection.node, setup);
    std::vector<unsigned> values(setup.entries.size(), 0);
    int age = -1;
    unsigned frames = 0;
    int read = 0;
    for (int tries = 0; tries < 50 && read != 1; ++tries) {
        OrvexEvent ignored{};  // a wait that reads the line
        Orvex_NextEvent(&ignored, 2 * setup.period_ms);
        read = Orvex_StreamRead(connection.node, values.data(), static_cast<int>(values.size()),
                                &age, &frames);
    }
    port.Require(read, "read the stream of " + NodeName(connection.node));
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::cout << NodeName(connection.node) << "  " << HexValue(setup.entries[i] >> 16, 2) << ":"
                  << (setup.entries[i] >> 8 & 0xFF) << "  " << static_cast<int>(values[i]) << "  ("
                  << HexValue(values[i], 4) << ")\n";
    }
    std::cout << "  " << frames << " frames, newest " << age << " ms old\n";
    Orvex_StreamStop(connection.node);
    return 0;
}

int RunStreamStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    port.Require(Orvex_StreamStop(connection.node),
                 "stop the stream of " + NodeName(connection.node));
    std::cout << NodeName(connection.node) << ": stream stopped\n";
    return 0;
}

const Subcommand kStreamCommands[] = {
    {"start", RunStreamStart, "--period-ms=P --map=LIST"},
    {"read", RunStreamRead, "--period-ms=P --map=LIST"},
    {"stop", RunStreamStop, ""},
};

}  // namespace

int RunStream(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kStreamCommands);
}

}  // namespace orvex::cli
