// The orvex command-line tool and the C example against orvex-sim: exit status, stdout and stderr.
// orvex skips the library's load-time delay, so a test may run many commands; the CliStrict group
// runs them against drives that follow CiA 402 to the letter (orvex-sim --strict-402).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace orvex::cli_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

// A time bound in seconds, stretched in a sanitizer build, which runs orvex several times slower.
double Bound(double seconds) {
    return seconds * ORVEX_TIME_SLACK;
}

// Runs orvex against `device` with `words` after the connection options.
RunResult Orvex(const std::string& device, const std::vector<std::string>& words) {
    std::vector<std::string> argv = {ORVEX_CLI_PATH, "--device", device};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv);
}

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.exit_code) + "\n--- stdout:\n" + r.out + "--- stderr:\n" +
           r.err;
}

// Runs orvex and expects exit status 0; the result for further checks.
RunResult OrvexOk(const std::string& device, const std::vector<std::string>& words) {
    const RunResult result = Orvex(device, words);
    std::string command;
    for (const std::string& word : words) command += " " + word;
    EXPECT_EQ(result.exit_code, 0) << "orvex" << command << "\n" << Describe(result);
    return result;
}

// A file of its own in the temporary directory, removed when the object goes.
class TempFile {
  public:
    TempFile() {
        char name[] = "/tmp/orvex-cli-test-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) ::close(fd);
        path_ = name;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The lines of a file that contain `text`, from line `from` (0-based) on.
std::size_t CountLines(const std::string& path, const std::string& text, std::size_t from = 0) {
    std::ifstream file(path);
    std::size_t count = 0;
    std::size_t number = 0;
    for (std::string line; std::getline(file, line); ++number) {
        if (number >= from && line.find(text) != std::string::npos) ++count;
    }
    return count;
}

// ---- Commands that succeed --------------------------------------------------------------------

TEST(CliCommands, StatusAndPositionOfAFreshDrive) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());

    const RunResult status = Orvex(sim.path(), {"status"});
    EXPECT_EQ(status.exit_code, 0) << Describe(status);
    EXPECT_THAT(status.out, HasSubstr("node 1: switch on disabled\n"));
    EXPECT_THAT(status.out, HasSubstr("statusword  0x0240"));
    EXPECT_THAT(status.out, HasSubstr("position    0\n"));
    EXPECT_EQ(status.err, "");

    const RunResult position = Orvex(sim.path(), {"--node", "2", "position"});
    EXPECT_EQ(position.exit_code, 0) << Describe(position);
    EXPECT_EQ(position.out, "0\n");

    // Several drives in one call, in the order named, with the list syntax watch takes.
    for (const auto& words : {std::vector<std::string>{"--node", "2,1", "status"},
                              std::vector<std::string>{"status", "--nodes", "2-1"}}) {
        const RunResult both = Orvex(sim.path(), words);
        if (words[0] == "status") {
            EXPECT_EQ(both.exit_code, 2);  // a range that runs backwards
            continue;
        }
        EXPECT_EQ(both.exit_code, 0) << Describe(both);
        const auto second = both.out.find("node 1: switch on disabled\n");
        EXPECT_NE(second, std::string::npos) << both.out;
        EXPECT_EQ(both.out.rfind("node 2: switch on disabled\n", second), 0u) << both.out;
    }
    const RunResult range = Orvex(sim.path(), {"status", "--nodes", "1-2"});
    EXPECT_EQ(range.exit_code, 0) << Describe(range);
    EXPECT_THAT(range.out, HasSubstr("node 2: switch on disabled\n"));

    EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliCommands, EnableThenStatusShowsOperationEnabledAndTheSummaryAgrees) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());

    const RunResult enable = Orvex(sim.path(), {"--node", "2", "enable"});
    EXPECT_EQ(enable.exit_code, 0) << Describe(enable);

    const RunResult status = Orvex(sim.path(), {"status", "--node", "2"});
    EXPECT_EQ(status.exit_code, 0) << Describe(status);
    EXPECT_THAT(status.out, HasSubstr("node 2: operation enabled\n"));

    const RunResult summary = Orvex(sim.path(), {"summary", "--drives", "2"});
    EXPECT_EQ(summary.exit_code, 0) << Describe(summary);
    EXPECT_THAT(summary.out, HasSubstr("enabled    0x3001  0x00000002  drives: 2\n"));
    EXPECT_THAT(summary.out, HasSubstr("in fault   0x3003  0x00000000  drives: none\n"));
    EXPECT_THAT(summary.out, HasSubstr("  1      no       "));
    EXPECT_THAT(summary.out, HasSubstr("  2      yes      "));
}

TEST(CliCommands, ProfilePositionMoveWithWaitReachesTheTargetInOneWait) {
    const TempFile trace;
    Simulator sim({"--trace", trace.path()});
    ASSERT_FALSE(sim.path().empty());
    ASSERT_EQ(Orvex(sim.path(), {"enable"}).exit_code, 0);
    ASSERT_EQ(Orvex(sim.path(), {"pp", "set", "20000", "100000", "100000"}).exit_code, 0);

    const std::size_t before = CountLines(trace.path(), "");
    const RunResult move = Orvex(sim.path(), {"pp", "move", "20000", "--wait", "--timeout", "10"});
    EXPECT_EQ(move.exit_code, 0) << Describe(move);
    EXPECT_THAT(move.out, HasSubstr("node 1: target 20000 reached in "));
    EXPECT_THAT(move.out, HasSubstr("position 20000\n"));
    // The progress bar goes to stderr and ends full.
    EXPECT_THAT(move.err, HasSubstr("[##############################] 100%  pos 20000 -> 20000"));
    // The move takes over a second; the mode (0x6061) is read by the handshake and by one wait,
    // not once a piece of the wait.
    EXPECT_LE(CountLines(trace.path(), " rx 06 01 40 61 60 00", before), 2u);

    const RunResult position = Orvex(sim.path(), {"position"});
    EXPECT_EQ(position.out, "20000\n") << Describe(position);
}

TEST(CliCommands, HelpListsEveryCommandWithExamples) {
    const RunResult help = RunProgram({ORVEX_CLI_PATH, "--help"});
    EXPECT_EQ(help.exit_code, 0) << Describe(help);
    for (const char* command :
         {"enable",   "disable", "quick-stop", "halt",       "restart",      "status",
          "position", "version", "summary",    "sdo read",   "sdo write",    "led",
          "pp move",  "pv run",  "home start", "torque set", "raw exchange", "scan",
          "monitor",  "watch",   "events",     "doctor",     "Examples:",    "Exit status"}) {
        EXPECT_THAT(help.out, HasSubstr(command));
    }

    EXPECT_THAT(help.out, HasSubstr("reset"));
    EXPECT_THAT(help.out, HasSubstr("--verbose"));
    EXPECT_THAT(help.out, HasSubstr("--version"));
    EXPECT_THAT(help.out, HasSubstr("watch --nodes LIST [--every S] [--count N] [--limit-ms T]"));
    EXPECT_THAT(RunProgram({ORVEX_CLI_PATH, "watch", "--help"}).out,
                HasSubstr("the time the batch's frames take on the line at --baud is added"));
    EXPECT_THAT(RunProgram({ORVEX_CLI_PATH, "doctor", "--help"}).out,
                HasSubstr("Exit status 0 when the bus is healthy, 1 when a cause was named."));
    EXPECT_THAT(RunProgram({ORVEX_CLI_PATH, "events", "--help"}).out, HasSubstr("--json"));

    const RunResult pp_help = RunProgram({ORVEX_CLI_PATH, "pp", "move", "--help"});
    EXPECT_EQ(pp_help.exit_code, 0) << Describe(pp_help);
    EXPECT_THAT(pp_help.out, HasSubstr("--relative"));
    EXPECT_THAT(pp_help.out, HasSubstr("Examples:"));
}

TEST(CliCommands, VersionNamesTheToolAndWithAPortTheLibraryFileLoaded) {
    const RunResult alone = RunProgram({ORVEX_CLI_PATH, "--version"});
    EXPECT_EQ(alone.exit_code, 0) << Describe(alone);
    EXPECT_THAT(alone.out, MatchesRegex("orvex [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    // The port need not exist: the library's version comes from the file that was loaded.
    const RunResult with_port = Orvex("/nonexistent/orvex-tty", {"--version"});
    EXPECT_EQ(with_port.exit_code, 0) << Describe(with_port);
    EXPECT_THAT(with_port.out, MatchesRegex("orvex [0-9.]+\nORVEX_DLL [0-9]+\\.[0-9]+\\.[0-9]+ "
                                            "\\(/.*/libORVEX_DLL\\.so\\.[0-9.]+\\)\n"));
    const std::string version = alone.out.substr(6);
    EXPECT_THAT(with_port.out, HasSubstr("ORVEX_DLL " + version.substr(0, version.size() - 1)));
}

TEST(CliCommands, AQuickCommandDoesNotWaitForTheLibrarysLoadDelay) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    // The library sleeps 1 s at load unless ORVEX_LOAD_DELAY_MS says otherwise; orvex says 0.
    const RunResult position = OrvexOk(sim.path(), {"position"});
    EXPECT_LT(position.seconds, Bound(0.6)) << Describe(position);
}

TEST(CliCommands, SdoWriteSendsTheValueMaskedToItsSizeAndReadsItBack) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    const RunResult write =
        OrvexOk(sim.path(), {"sdo", "write", "0x6071", "0", "-5", "--size", "2"});
    EXPECT_EQ(write.out, "node 1: 0x6071:00 <- 0xFFFB (2 bytes, read back)\n");
    const RunResult read = OrvexOk(sim.path(), {"sdo", "read", "0x6071", "0", "--size", "2"});
    EXPECT_EQ(read.out, "0x6071:00 = 0xFFFB (65531, signed -5)\n");

    const RunResult unverified =
        OrvexOk(sim.path(), {"sdo", "write", "0x6060", "0", "3", "--size", "1", "--no-verify"});
    EXPECT_EQ(unverified.out, "node 1: 0x6060:00 <- 0x03 (1 byte sent, not read back)\n");

    // A read-only object refuses the write; the read-back reports it.
    const RunResult refused =
        Orvex(sim.path(), {"sdo", "write", "0x6041", "0", "6", "--size", "2"});
    EXPECT_EQ(refused.exit_code, 1) << Describe(refused);
    EXPECT_THAT(refused.err, HasSubstr("0x6041:00"));
}

TEST(CliCommands, SdoReadsAndWritesObjectsOfAnySize) {
    Simulator sim({"--acks"});
    ASSERT_FALSE(sim.path().empty());
    struct Read {
        std::vector<std::string> words;
        std::string out;
    };
    const Read reads[] = {
        {{"sdo", "read", "0x1008", "0"},
         "0x1008:00 = \"orvex-sim CiA 402 servo drive\" (29 bytes)\n"},
        {{"sdo", "read", "0x100A", "0", "--string"}, "orvex-sim 1.3.1\n"},
        {{"--node", "2", "sdo", "read", "0x100A", "0", "--bytes", "--block"},
         "6F 72 76 65 78 2D 73 69 6D 20 31 2E 33 2E 32\n"},
        // Numbers take the size the drive answers with.
        {{"sdo", "read", "0x6041", "0"}, "0x6041:00 = 0x0240 (576)\n"},
    };
    for (const Read& r : reads) EXPECT_EQ(OrvexOk(sim.path(), r.words).out, r.out);

    const TempFile in_file;
    const TempFile out_file;
    const std::string& in = in_file.path();
    const std::string& out = out_file.path();
    std::string data;
    for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 31);
    { std::ofstream(in, std::ios::binary) << data; }
    EXPECT_EQ(OrvexOk(sim.path(), {"sdo", "write", "0x2010", "0", "--file", in, "--block"}).out,
              "node 1: 0x2010:00 <- 300 bytes (block, 43 segments, confirmed)\n");
    const RunResult read = OrvexOk(sim.path(), {"-v", "sdo", "read", "0x2010", "0", "--out", out});
    EXPECT_EQ(read.out, "0x2010:00: 300 bytes to " + out + " (segmented, 43 segments)\n");
    EXPECT_THAT(read.err, HasSubstr("segmented upload of 0x2010:00, 300 bytes in 43 segments, "
                                    "size indicated\n"));
    EXPECT_THAT(read.err, HasSubstr("segment 2, toggle 1: "));
    EXPECT_THAT(read.err, HasSubstr("segment 43, toggle 0, last: "));
    std::ifstream back(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(back), {}), data);

    EXPECT_EQ(OrvexOk(sim.path(), {"sdo", "write", "0x2010", "0", "--string", "abc"}).out,
              "node 1: 0x2010:00 <- 3 bytes (expedited, confirmed)\n");
    EXPECT_EQ(OrvexOk(sim.path(), {"sdo", "read", "0x2010", "0", "--string"}).out, "abc\n");

    // The answer's size wins over --size: part of a value is a wrong value.
    const RunResult narrow = Orvex(sim.path(), {"sdo", "read", "0x6041", "0", "--size", "1"});
    EXPECT_EQ(narrow.exit_code, 1) << Describe(narrow);
    EXPECT_EQ(narrow.out, "");
    EXPECT_EQ(narrow.err,
              "orvex: node 1 answered 2 bytes for 0x6041:00, not the 1 byte of --size 1 (leave "
              "--size out to read the whole object)\n");
    const RunResult refused = Orvex(sim.path(), {"sdo", "write", "0x1008", "0", "--string", "x"});
    EXPECT_EQ(refused.exit_code, 1) << Describe(refused);
    EXPECT_EQ(refused.err,
              "orvex: node 1 refused the write of 0x1008:00: SDO abort 0x06010002 (attempt to "
              "write a read only object)\n");
}

TEST(CliCommands, VerboseShowsTheProcedureAndTheStatesBeforeAndAfter) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    const RunResult enable = OrvexOk(sim.path(), {"-v", "enable"});
    EXPECT_THAT(enable.err, HasSubstr("statusword 0x0240 (switch on disabled)"));
    EXPECT_THAT(enable.err, HasSubstr("Orvex_Enable"));
    EXPECT_THAT(enable.err, HasSubstr("(operation enabled)"));
}

// ---- Failures: exit status 1 and one line on stderr
// ----------------------------------------------

TEST(CliFailures, UnknownObjectGivesTheAbortLine) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    const RunResult read = Orvex(sim.path(), {"sdo", "read", "0x5FFF", "0"});
    EXPECT_EQ(read.exit_code, 1) << Describe(read);
    EXPECT_EQ(read.out, "");
    EXPECT_EQ(read.err,
              "orvex: node 1 refused 0x5FFF:00: SDO abort 0x06020000 (object does not exist in the "
              "object dictionary)\n");
}

TEST(CliFailures, AnAbortOnlyAWriteCausesIsNamedAsTheAnswerToAnEarlierWrite) {
    // With every answer 50 ms late, the write's abort comes after the read-back has sent its
    // request: the read-back takes it (the same object, and SDO answers carry no transaction id).
    Simulator sim({"--delay-ms", "50"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult refused =
        Orvex(sim.path(), {"sdo", "write", "0x6041", "0", "6", "--size", "2"});
    EXPECT_EQ(refused.exit_code, 1) << Describe(refused);
    EXPECT_EQ(refused.err,
              "orvex: node 1 refused 0x6041:00: SDO abort 0x06010002 (attempt to write a read only "
              "object); a read does not cause this abort: it may answer an earlier write to "
              "0x6041:00 (SDO answers carry no transaction id)\n");
}

TEST(CliFailures, LateAnswerGivesTheNoAnswerLine) {
    Simulator sim({"--delay-ms", "900"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult position = Orvex(sim.path(), {"--node", "1", "position"});
    EXPECT_EQ(position.exit_code, 1) << Describe(position);
    EXPECT_EQ(position.out, "");
    EXPECT_EQ(position.err, "orvex: no answer from node 1 within 800 ms\n");
}

TEST(CliFailures, MissingDeviceGivesTheSystemReason) {
    const RunResult status = Orvex("/nonexistent/orvex-tty", {"status"});
    EXPECT_EQ(status.exit_code, 1) << Describe(status);
    EXPECT_EQ(status.err, "orvex: cannot open /nonexistent/orvex-tty: No such file or directory\n");
}

TEST(CliFailures, BadUsageGivesExitStatus2AndAHint) {
    const RunResult no_command = RunProgram({ORVEX_CLI_PATH, "--device", "/nonexistent/orvex-tty"});
    EXPECT_EQ(no_command.exit_code, 2) << Describe(no_command);
    EXPECT_THAT(no_command.err, HasSubstr("orvex: no command given\n"));
    EXPECT_THAT(no_command.err, HasSubstr("orvex --help"));

    // Checked before any device is opened: the device here does not exist.
    const RunResult missing = Orvex("/nonexistent/orvex-tty", {"sdo", "read", "0x6041"});
    EXPECT_EQ(missing.exit_code, 2) << Describe(missing);
    EXPECT_THAT(missing.err, HasSubstr("orvex: missing SUB\n"));
    EXPECT_THAT(missing.err, HasSubstr("orvex sdo --help"));
}

TEST(CliFailures, UsageErrorsAreCaughtBeforeAnyDeviceIsOpened) {
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        {{"sdo", "frob"}, "unknown sdo command 'frob' (read or write)"},
        {{"sdo", "write", "0x6060", "0", "300", "--size", "1"},
         "VALUE 300 does not fit --size 1 (-128 to 255)"},
        {{"sdo", "write", "0x6071", "0", "-32769", "--size", "2"},
         "VALUE -32769 does not fit --size 2 (-32768 to 65535)"},
        // 6040 is decimal 0x1798; the write would go to the wrong object.
        {{"sdo", "write", "6040", "0", "6", "--size", "2"}, "INDEX 6040 is decimal"},
        {{"sdo", "read", "0x1008", "0", "--string", "--bytes"},
         "choose one of --size, --string, --bytes and --out"},
        {{"sdo", "write", "0x2010", "0", "--string", "x", "--size", "2"}, "belong to a VALUE"},
        {{"sdo", "write", "0x6060", "0", "3", "--block"}, "--block belongs to --string and --file"},
        {{"sdo", "read", "0x2010", "0", "--block-size", "128"}, "--block-size"},
        {{"--node", "0", "enable"}, "--node 0 is the bus, not a drive"},
        {{"--node", "0", "pp", "move", "100"}, "--node 0 is the bus, not a drive"},
        // A second --node is refused, not taken in place of the first.
        {{"--node", "1", "--node", "2", "status"}, "--node given more than once"},
        {{"--node", "1", "enable", "--nodes", "2"}, "--node given more than once"},
        {{"--node", "1,2", "enable"}, "enable takes one node, not a list"},
        {{"pp", "set", "1", "2", "3", "--wait"}, "--wait belongs to pp move"},
        {{"pp", "set", "-1", "1", "1"}, "VEL"},
        // The library waits one hour at most: a longer limit would start a move it cannot follow.
        {{"pp", "move", "100", "--wait", "--timeout", "7200"}, "at most 3600 seconds"},
        {{"home", "set", "17", "-1", "1", "1"}, "SPEED_SWITCH"},
        {{"home", "set", "0", "1", "1", "40000"}, "TORQUE"},
        {{"torque", "set", "-5", "100"}, "MAXVEL"},
        {{"pv", "--for", "2", "speed", "100"}, "--for belongs to pv run"},
        {{"raw", "send", "00", "--answer", "12"}, "--answer belongs to raw exchange"},
        // monitor --send reads its frames as raw send reads its bytes.
        {{"raw", "send", "123"}, "'123' has an odd number of hex digits"},
        {{"monitor", "--send", "000 01 00 00 00 00 00 00 00 00 0D 0A"},
         "has an odd number of hex digits"},
    };
    for (const Case& c : cases) {
        const RunResult result = Orvex("/nonexistent/orvex-tty", c.words);
        EXPECT_EQ(result.exit_code, 2) << c.message << "\n" << Describe(result);
        EXPECT_THAT(result.err, HasSubstr(c.message));
    }
}

TEST(CliFailures, OutputThatCannotBeWrittenFailsInOneFormForEveryCommand) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    RunOptions options;
    options.stdout_path = "/dev/full";
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"--help"},
          {"status", "--help"},
          {"status"},
          {"--nodes", "1-2", "status"},
          {"watch", "--count", "3", "--every", "0.05"},
          {"monitor", "--for", "1", "--send", "07 01 05 00 00 00 00 00 00 00 0D 0A"}}) {
        std::vector<std::string> argv = {ORVEX_CLI_PATH, "--device", sim.path()};
        argv.insert(argv.end(), words.begin(), words.end());
        const RunResult result = RunProgram(argv, options);
        EXPECT_EQ(result.exit_code, 1) << words[0] << "\n" << Describe(result);
        EXPECT_EQ(result.err, "orvex: cannot write the output: No space left on device\n")
            << words[0];
    }
}

TEST(CliFailures, SignalsDuringALibraryWaitExitWithTheirStatus) {
    struct Case {
        int signal;
        int exit_code;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        // Every answer comes too late: the library waits out its 800 ms limit.
        Simulator sim({"--delay-ms", "900"});
        ASSERT_FALSE(sim.path().empty());
        RunOptions options;
        options.signal = c.signal;
        options.signal_after = 0.3;
        const RunResult position =
            RunProgram({ORVEX_CLI_PATH, "--device", sim.path(), "position"}, options);
        EXPECT_EQ(position.exit_code, c.exit_code) << Describe(position);
        EXPECT_EQ(position.err, "orvex: interrupted\n");
        // At once, not when the library's 800 ms wait is over.
        EXPECT_LT(position.seconds, 0.3 + Bound(0.4)) << Describe(position);
    }
}

TEST(CliFailures, ASilentBusSummaryIsNamedAsSuch) {
    Simulator sim({"--drop-every", "1"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult summary = Orvex(sim.path(), {"summary"});
    EXPECT_EQ(summary.exit_code, 1) << Describe(summary);
    EXPECT_THAT(summary.err, HasSubstr("the bus summary 0x3001:00 got no answer within 800 ms"));
}

// ---- Strict CiA 402 drives (orvex-sim --strict-402) -------------------------------------------

// A strict simulator whose drive 1 is enabled and set up for profile position.
std::vector<std::string> StrictOptions(std::vector<std::string> more = {}) {
    more.insert(more.begin(), "--strict-402");
    return more;
}

TEST(CliStrict, EnableWalksTheDriveFromPowerUpToOperationEnabled) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: switch on disabled\n"));

    // The library's one frame (0x000F) is no transition from switch on disabled.
    EXPECT_THAT(OrvexOk(sim.path(), {"enable", "--one-frame"}).out, HasSubstr("not confirmed"));
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: switch on disabled\n"));

    const RunResult enable = OrvexOk(sim.path(), {"-v", "enable"});
    EXPECT_EQ(enable.out, "node 1: operation enabled (was switch on disabled)\n");
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: operation enabled\n"));

    const RunResult again = OrvexOk(sim.path(), {"-v", "enable"});
    EXPECT_EQ(again.out, "node 1: operation already enabled (nothing written)\n");
    EXPECT_THAT(again.err, Not(HasSubstr("Orvex_Enable")));
}

TEST(CliStrict, MovesInARowEachReachTheirTarget) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    // Before 'pp set' the drive is in no mode: a set-point would be ignored.
    const RunResult no_mode = Orvex(sim.path(), {"pp", "move", "3000"});
    EXPECT_EQ(no_mode.exit_code, 1) << Describe(no_mode);
    EXPECT_THAT(no_mode.err, HasSubstr("not profile position: 'orvex pp set' selects it"));
    OrvexOk(sim.path(), {"pp", "set", "50000", "500000", "500000"});
    struct Move {
        std::vector<std::string> words;
        std::string target;
    };
    const Move moves[] = {
        {{"pp", "move", "3000", "--wait", "--timeout", "10"}, "3000"},
        {{"pp", "move", "-2000", "--relative", "--wait", "--timeout", "10"}, "1000"},
        {{"pp", "move", "5000", "--wait", "--timeout", "10"}, "5000"},
        {{"pp", "move", "500", "--relative", "--wait", "--timeout", "10"}, "5500"},
    };
    for (const Move& move : moves) {
        const RunResult result = OrvexOk(sim.path(), move.words);
        EXPECT_THAT(result.out, HasSubstr("target " + move.target + " reached in "));
        EXPECT_EQ(OrvexOk(sim.path(), {"position"}).out, move.target + "\n");
    }
    // Without --wait the handshake still leaves bit 4 low for the next move.
    OrvexOk(sim.path(), {"pp", "move", "0"});
    EXPECT_THAT(OrvexOk(sim.path(), {"pp", "move", "100", "--wait"}).out,
                HasSubstr("target 100 reached"));
}

TEST(CliStrict, HomingStartsOnARisingEdgeEachTime) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    OrvexOk(sim.path(), {"home", "set", "17", "20000", "5000", "200000"});
    for (int run = 0; run < 2; ++run) {
        const RunResult home = OrvexOk(sim.path(), {"home", "start", "--wait", "--timeout", "10"});
        EXPECT_THAT(home.out, HasSubstr("homing attained in "));
        EXPECT_EQ(OrvexOk(sim.path(), {"position"}).out, "0\n");
    }
}

TEST(CliStrict, QuickStopIsConfirmedAndEnableBringsTheDriveBack) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    const RunResult stop = OrvexOk(sim.path(), {"quick-stop"});
    EXPECT_THAT(stop.out, HasSubstr("node 1: "));
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, Not(HasSubstr("operation enabled\n")));
    // A motion needs operation enabled; the drive is not.
    const RunResult move = Orvex(sim.path(), {"pp", "move", "100"});
    EXPECT_EQ(move.exit_code, 1) << Describe(move);
    EXPECT_THAT(move.err, HasSubstr("not operation enabled: 'orvex enable' enables it"));
    OrvexOk(sim.path(), {"enable"});
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: operation enabled\n"));
}

TEST(CliStrict, DisableAndHaltAreConfirmedThroughTheStatusword) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    OrvexOk(sim.path(), {"pv", "set", "5000", "50000", "50000"});
    OrvexOk(sim.path(), {"pv", "start"});
    const RunResult halt = OrvexOk(sim.path(), {"halt"});
    EXPECT_THAT(halt.out, HasSubstr("node 1: halted at position "));
    // Re-read once the drive stands: a second read gives the same position.
    const std::string halted_at = halt.out.substr(halt.out.rfind(' ') + 1);
    EXPECT_EQ(OrvexOk(sim.path(), {"position"}).out, halted_at);

    EXPECT_EQ(OrvexOk(sim.path(), {"disable"}).out,
              "node 1: operation disabled, now switched on\n");
    EXPECT_EQ(OrvexOk(sim.path(), {"disable"}).out,
              "node 1: operation already disabled (switched on; nothing written)\n");
}

TEST(CliStrict, AFaultShowsItsCodeRefusesCommandsAndResetClearsIt) {
    Simulator sim(StrictOptions({"--fault-node", "1:0x2310"}));
    ASSERT_FALSE(sim.path().empty());
    const RunResult status = OrvexOk(sim.path(), {"status"});
    EXPECT_THAT(status.out, HasSubstr("node 1: fault\n"));
    EXPECT_THAT(status.out, HasSubstr("error code  0x2310"));
    EXPECT_THAT(status.out, HasSubstr("'orvex reset' clears the fault"));

    for (const std::vector<std::string>& words : {std::vector<std::string>{"enable"},
                                                  {"pp", "move", "100"},
                                                  {"pv", "run", "100"},
                                                  {"torque", "set", "2000", "100"},
                                                  {"home", "start"}}) {
        const RunResult refused = Orvex(sim.path(), words);
        EXPECT_EQ(refused.exit_code, 1) << words[0] << "\n" << Describe(refused);
        EXPECT_THAT(refused.err, HasSubstr("node 1 is in fault: error code 0x2310 ("));
        EXPECT_THAT(refused.err, HasSubstr("'orvex reset' clears it"));
        EXPECT_EQ(refused.out, "");
    }

    const RunResult reset = OrvexOk(sim.path(), {"reset"});
    EXPECT_THAT(reset.out, HasSubstr("node 1: fault reset, error code 0x2310"));
    EXPECT_THAT(reset.out, HasSubstr("now switch on disabled"));
    EXPECT_THAT(OrvexOk(sim.path(), {"reset"}).out, HasSubstr("not in fault"));
    EXPECT_THAT(OrvexOk(sim.path(), {"enable"}).out, HasSubstr("operation enabled"));
}

TEST(CliStrict, TorqueIsWrittenAsTheTwoByteObjectItIs) {
    // --strict-402 checks sizes: a 4-byte write of 0x6071 would be refused.
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    EXPECT_THAT(OrvexOk(sim.path(), {"torque", "set", "2000", "-150"}).out,
                HasSubstr("torque -150 at most velocity 2000"));
    EXPECT_EQ(OrvexOk(sim.path(), {"sdo", "read", "0x6071", "0", "--size", "2"}).out,
              "0x6071:00 = 0xFF6A (65386, signed -150)\n");
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("4 (profile torque)"));
    EXPECT_THAT(OrvexOk(sim.path(), {"halt"}).out, HasSubstr("halted at position"));
}

TEST(CliStrict, AnAbsentNodeFailsCleanly) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    for (const char* command : {"enable", "reset", "status"}) {
        const RunResult absent = Orvex(sim.path(), {"--node", "9", command});
        EXPECT_EQ(absent.exit_code, 1) << command << "\n" << Describe(absent);
        EXPECT_EQ(absent.err, "orvex: no answer from node 9 within 800 ms\n") << command;
        EXPECT_EQ(absent.out, "");
    }
}

TEST(CliStrict, CtrlCDuringAFollowedMoveHaltsTheDrive) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    OrvexOk(sim.path(), {"pp", "set", "2000", "10000", "10000"});
    RunOptions options;
    options.signal = SIGINT;
    options.signal_after = 0.5;
    const RunResult move = RunProgram(
        {ORVEX_CLI_PATH, "--device", sim.path(), "pp", "move", "100000", "--wait"}, options);
    EXPECT_EQ(move.exit_code, 130) << Describe(move);
    EXPECT_THAT(move.err, HasSubstr("orvex: interrupted; halt sent to node 1 at position "));
    // The signal cancels the wait for the 50 s move at once.
    EXPECT_LT(move.seconds, 0.5 + Bound(1.5)) << Describe(move);
    // The halted drive comes to a stand well short of the target.
    const RunResult halt = OrvexOk(sim.path(), {"halt"});
    EXPECT_THAT(halt.out, HasSubstr("halted at position"));
    EXPECT_LT(std::stoi(OrvexOk(sim.path(), {"position"}).out), 10000);
}

TEST(CliStrict, CtrlCEndsAVelocityRunWithItsExitStatusAfterTheHalt) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    RunOptions options;
    options.signal = SIGINT;
    options.signal_after = 0.4;
    const RunResult run =
        RunProgram({ORVEX_CLI_PATH, "--device", sim.path(), "pv", "run", "3000"}, options);
    EXPECT_EQ(run.exit_code, 130) << Describe(run);
    EXPECT_THAT(run.out, HasSubstr("halted at position"));
}

// A second master on the bus: writes one frame straight to the simulator's terminal while orvex
// holds the port (the port lock keeps other programs out, except a superuser's). False when it
// cannot.
bool SecondMasterWrites(const std::string& path, const std::vector<unsigned char>& frame) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) return false;
    const bool written =
        ::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    ::close(fd);
    return written;
}

TEST(CliStrict, AMoveStoppedByAnotherMasterIsAFailureNotATargetReached) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    OrvexOk(sim.path(), {"pp", "set", "2000", "10000", "10000"});
    RunResult move;
    std::thread follower([&] {
        move = Orvex(sim.path(), {"pp", "move", "100000", "--wait", "--timeout", "20"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bool written = SecondMasterWrites(
        sim.path(),
        {0x06, 0x01, 0x2B, 0x40, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0D, 0x0A});  // quick stop
    follower.join();
    if (!written) GTEST_SKIP() << "a second program cannot open the terminal here";
    EXPECT_EQ(move.exit_code, 1) << Describe(move);
    EXPECT_THAT(move.err, HasSubstr("left operation enabled during reach 100000: now quick stop "
                                    "active at position "));
    EXPECT_THAT(move.out, Not(HasSubstr("reached")));
}

TEST(CliStrict, HomingThatEndsAtOnceOrInAnErrorIsToldAsSuch) {
    Simulator sim(StrictOptions({"--homing-error-node", "2"}));
    ASSERT_FALSE(sim.path().empty());
    for (const char* node : {"1", "2"}) {
        OrvexOk(sim.path(), {"--node", node, "enable"});
        OrvexOk(sim.path(), {"--node", node, "home", "set", "35", "0", "0", "0"});
    }
    // Method 35 homes on the spot, faster than any poll.
    EXPECT_THAT(OrvexOk(sim.path(), {"home", "start", "--wait", "--timeout", "5"}).out,
                HasSubstr("node 1: homing attained in "));
    const RunResult failed =
        Orvex(sim.path(), {"--node", "2", "home", "start", "--wait", "--timeout", "20"});
    EXPECT_EQ(failed.exit_code, 1) << Describe(failed);
    EXPECT_THAT(failed.err, HasSubstr("node 2 reports a homing error"));
    EXPECT_LT(failed.seconds, 5);
}

TEST(CliStrict, HaltAndStopNeverSwitchADriveOn) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    OrvexOk(sim.path(), {"disable"});
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"halt"}, {"pp", "stop"}, {"pv", "stop"}}) {
        EXPECT_THAT(OrvexOk(sim.path(), words).out,
                    HasSubstr("switched on, not operation enabled: it does not move (nothing "
                              "written)"));
        EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: switched on\n"));
    }
    // The mode set-ups write no controlword: the drive is set up and stays switched on.
    struct SetUp {
        std::vector<std::string> words;
        std::string mode;
        std::string written;  // `sdo read` of an object the set-up wrote
        std::vector<std::string> object;
    };
    const SetUp set_ups[] = {
        {{"pp", "set", "1000", "2000", "3000"}, "1 (profile position)", "(2000)", {"0x6083", "0"}},
        {{"pv", "set", "-500", "4000", "5000"},
         "3 (profile velocity)",
         "signed -500",
         {"0x60FF", "0"}},
        {{"home", "set", "17", "2000", "500", "6000"}, "6 (homing)", "(6000)", {"0x609A", "0"}},
        {{"home", "set", "0", "2000", "0", "-150"},
         "6 (homing)",
         "signed -150",
         {"0x6071", "0", "--size", "2"}},
    };
    for (const SetUp& set_up : set_ups) {
        OrvexOk(sim.path(), set_up.words);
        const std::string status = OrvexOk(sim.path(), {"status"}).out;
        EXPECT_THAT(status, HasSubstr("node 1: switched on\n")) << set_up.words[0];
        EXPECT_THAT(status, HasSubstr(set_up.mode)) << set_up.words[0];
        std::vector<std::string> read = {"sdo", "read"};
        read.insert(read.end(), set_up.object.begin(), set_up.object.end());
        EXPECT_THAT(OrvexOk(sim.path(), read).out, HasSubstr(set_up.written)) << set_up.words[0];
    }
    // Enabled, `pv set` halts the drive: the velocity waits for `pv start`.
    OrvexOk(sim.path(), {"enable"});
    EXPECT_THAT(OrvexOk(sim.path(), {"pv", "set", "5000", "50000", "50000"}).out,
                HasSubstr("(halted; 'orvex pv start' runs it)"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_THAT(OrvexOk(sim.path(), {"sdo", "read", "0x606C", "0"}).out, HasSubstr("(0)"));
}

TEST(CliStrict, HomingTorqueGoesOutAsTwoBytesAndMayBeNegative) {
    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    OrvexOk(sim.path(), {"enable"});
    EXPECT_THAT(OrvexOk(sim.path(), {"home", "set", "0", "2000", "0", "-150"}).out,
                HasSubstr("torque -150"));
    EXPECT_THAT(OrvexOk(sim.path(), {"sdo", "read", "0x6071", "0", "--size", "2"}).out,
                HasSubstr("signed -150"));
}

// ---- The bus: scan, monitor, watch
// ---------------------------------------------------------------

// The seconds a scan reports on its last line ("..., 2.7 s").
double ScanSeconds(const std::string& out) {
    const std::size_t end = out.rfind(" s\n");
    const std::size_t start = out.rfind(", ", end);
    if (end == std::string::npos || start == std::string::npos) return -1;
    return std::stod(out.substr(start + 2, end - start - 2));
}

TEST(CliBus, ScanFindsExactlyTheSimulatedDrivesWithTheirIdentity) {
    Simulator sim({"--drives", "3", "--fault-node", "3"});
    ASSERT_FALSE(sim.path().empty());

    const RunResult scan = Orvex(sim.path(), {"scan"});
    EXPECT_EQ(scan.exit_code, 0) << Describe(scan);
    const std::string row = "  0x00020192   402      0x000005A1  0x00004402  0x00010003  0x2024000";
    EXPECT_THAT(scan.out, HasSubstr("   1" + row + "1  switch on disabled\n"));
    EXPECT_THAT(scan.out, HasSubstr("   2" + row + "2  switch on disabled\n"));
    EXPECT_THAT(scan.out, HasSubstr("   3" + row +
                                    "3  fault\n"
                                    "      name \"orvex-sim CiA 402 servo drive\", software "
                                    "\"orvex-sim 1.3.3\"\n"));
    EXPECT_THAT(scan.out, HasSubstr("3 nodes answered in 1-127 (20 ms a node), "));
    // A heading, a row and a names line a drive, the summary.
    EXPECT_EQ(std::count(scan.out.begin(), scan.out.end(), '\n'), 8) << scan.out;
    // 124 silent nodes at a little over 20 ms each: never early, and clearly not the 800 ms query
    // limit (the scan's speed itself is measured, not asserted, as the machine may be loaded).
    const double seconds = ScanSeconds(scan.out);
    EXPECT_GT(seconds, 124 * 0.020) << scan.out;
    EXPECT_LT(seconds, 124 * 0.100) << scan.out;
    // The progress line is for terminals only.
    EXPECT_EQ(scan.err, "");

    // The normal limit is back afterwards: nothing to see from outside the process, but a range
    // and a longer limit are taken as given.
    const RunResult part =
        Orvex(sim.path(), {"scan", "--from", "2", "--to", "5", "--limit-ms", "50"});
    EXPECT_EQ(part.exit_code, 0) << Describe(part);
    EXPECT_THAT(part.out, Not(HasSubstr("\n   1  ")));
    EXPECT_THAT(part.out, HasSubstr("2 nodes answered in 2-5 (50 ms a node), "));

    const RunResult backwards = Orvex(sim.path(), {"scan", "--from", "5", "--to", "2"});
    EXPECT_EQ(backwards.exit_code, 2) << Describe(backwards);
}

TEST(CliBus, AScanOfASlowBusSaysHowToWaitLonger) {
    Simulator sim({"--drives", "2", "--delay-ms", "300"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult scan = Orvex(sim.path(), {"scan", "--to", "3"});
    EXPECT_EQ(scan.exit_code, 0) << Describe(scan);
    EXPECT_THAT(scan.out, HasSubstr("no node answered in 1-3 (20 ms a node), "));
    EXPECT_THAT(scan.err, HasSubstr("answers may take longer than 20 ms a node"));
    EXPECT_THAT(scan.err, HasSubstr("--limit-ms"));
    // The advice works: with a limit above the delay, both drives are found, without it.
    const RunResult patient = Orvex(sim.path(), {"scan", "--to", "3", "--limit-ms", "1000"});
    EXPECT_THAT(patient.out, HasSubstr("2 nodes answered in 1-3 (1000 ms a node), "));
    EXPECT_EQ(patient.err, "");
}

TEST(CliBus, MonitorDecodesWhatTheBusSends) {
    Simulator sim({"--drives", "2", "--acks", "--heartbeat-ms", "200", "--fault-node", "2"});
    ASSERT_FALSE(sim.path().empty());

    // An NMT reset brings boot-ups and drive 2's emergency; an SDO read, a write and a read of a
    // missing object bring an answer, an acknowledgement and an abort.
    const std::string frames =
        "00 00 81 00 00 00 00 00 00 00 0D 0A "  // NMT reset node, all nodes
        "06 01 40 18 10 04 00 00 00 00 0D 0A "  // read 0x1018:04 of node 1
        "06 01 23 81 60 00 10 27 00 00 0D 0A "  // write 0x6081 of node 1
        "06 02 40 FF 5F 00 00 00 00 00 0D 0A";  // read 0x5FFF of node 2
    const RunResult monitor = Orvex(sim.path(), {"monitor", "--for", "1.5", "--send", frames});
    EXPECT_EQ(monitor.exit_code, 0) << Describe(monitor);
    for (const char* line : {
             "000  NMT reset node, all nodes  (sent)\n",
             "601  node 1  SDO read 0x1018:04 identity: serial number  (sent)\n",
             "601  node 1  SDO write 0x6081:00 profile velocity <- 0x00002710 (10000)  (sent)\n",
             "701  node 1  boot-up\n",
             "702  node 2  boot-up\n",
             "082  node 2  EMCY 0x8611 following error, error register 0x",
             "581  node 1  SDO answer 0x1018:04 identity: serial number = 0x20240001 (539230209)\n",
             "581  node 1  SDO write confirmed 0x6081:00 profile velocity\n",
             "582  node 2  SDO abort 0x5FFF:00: 0x06020000 object does not exist in the object "
             "dictionary\n",
             "701  node 1  heartbeat pre-operational\n",
             "702  node 2  heartbeat pre-operational\n",
         }) {
        EXPECT_THAT(monitor.out, HasSubstr(line)) << Describe(monitor);
    }
    EXPECT_THAT(monitor.err, HasSubstr("monitor: "));
    EXPECT_THAT(monitor.err, HasSubstr("emcy 1"));
    EXPECT_THAT(monitor.err, HasSubstr("boot-up 2"));
    EXPECT_THAT(monitor.err, HasSubstr("sdo-response 3"));

    // One node's frames only, as bytes that 'raw send' takes back.
    const RunResult raw = Orvex(sim.path(), {"--node", "2", "monitor", "--raw", "--for", "0.7"});
    EXPECT_EQ(raw.exit_code, 0) << Describe(raw);
    EXPECT_THAT(raw.out, HasSubstr("07 02 "));
    EXPECT_THAT(raw.out, Not(HasSubstr("07 01 ")));
    EXPECT_THAT(raw.out, ::testing::MatchesRegex("(([0-9A-F]{2} ){11}[0-9A-F]{2}\n)+"));
}

TEST(CliBus, WatchReadsManyDrivesAndNamesTheSilentOne) {
    Simulator sim({"--drives", "3"});
    ASSERT_FALSE(sim.path().empty());
    ASSERT_EQ(Orvex(sim.path(), {"--node", "2", "enable"}).exit_code, 0);

    const RunResult watch =
        Orvex(sim.path(), {"watch", "--nodes", "1-2,5", "--count", "2", "--every", "0.2"});
    EXPECT_EQ(watch.exit_code, 0) << Describe(watch);
    EXPECT_EQ(std::count(watch.out.begin(), watch.out.end(), '\n'), 6) << watch.out;
    EXPECT_THAT(watch.out,
                HasSubstr("node 1  position 0  statusword 0x0240  switch on disabled\n"));
    EXPECT_THAT(watch.out, HasSubstr("node 2  position 0  statusword 0x"));
    EXPECT_THAT(watch.out, HasSubstr("operation enabled\n"));
    EXPECT_THAT(watch.out, HasSubstr("node 5  position -  statusword -  no answer\n"));

    // A short limit: three refreshes with a silent drive end long before one 800 ms limit would.
    const RunResult quick = Orvex(sim.path(), {"watch", "--nodes", "1,5", "--count", "3", "--every",
                                               "0", "--limit-ms", "30"});
    EXPECT_EQ(quick.exit_code, 0) << Describe(quick);
    EXPECT_EQ(std::count(quick.out.begin(), quick.out.end(), '\n'), 6) << quick.out;
    EXPECT_LT(quick.seconds, Bound(0.8)) << Describe(quick);

    const RunResult twice = Orvex(sim.path(), {"watch", "--nodes", "1-3,2"});
    EXPECT_EQ(twice.exit_code, 2) << Describe(twice);
    EXPECT_THAT(twice.err, HasSubstr("--nodes names node 2 twice"));
}

// watch --stream follows the drives from their own PDOs: no request a refresh, values with
// their age; stream read prints one drive's newest values; a refused mapping is named.
TEST(CliBus, WatchStreamAndStreamReadFollowTheDrivesOwnPdos) {
    Simulator sim({"--drives", "2", "--trace", ::testing::TempDir() + "orvex-cli-stream.trace"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult watch = Orvex(sim.path(), {"watch", "--nodes", "1-2", "--stream", "--period-ms",
                                               "5", "--count", "3", "--every", "0.1"});
    EXPECT_EQ(watch.exit_code, 0) << Describe(watch);
    EXPECT_EQ(std::count(watch.out.begin(), watch.out.end(), '\n'), 6) << watch.out;
    EXPECT_THAT(watch.out,
                HasSubstr("node 2  position 0  statusword 0x0240  switch on disabled, "));
    EXPECT_THAT(watch.out, HasSubstr(" ms old\n"));

    const RunResult read =
        Orvex(sim.path(), {"--node", "2", "stream", "read", "--map", "0x60410010,0x60610008"});
    EXPECT_EQ(read.exit_code, 0) << Describe(read);
    EXPECT_THAT(read.out, HasSubstr("0x6041:0  576  (0x00000240)"));
    const RunResult unmappable =
        Orvex(sim.path(), {"--node", "2", "stream", "start", "--map", "0x10080020"});
    EXPECT_EQ(unmappable.exit_code, 1) << Describe(unmappable);
    EXPECT_THAT(unmappable.err, HasSubstr("0x06040041"));
}

TEST(CliBus, EventsShowEmergenciesHeartbeatsLostAndBackAndTheirJson) {
    // Drive 1 faults at 1.2 s; drive 2 is off the bus from 0.8 s to 1.8 s.
    Simulator sim({"--drives", "2", "--heartbeat-ms", "100", "--fault-at-ms", "1:1200",
                   "--silence-at-ms", "2:800:1800"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult events =
        Orvex(sim.path(), {"--nodes", "1-2", "events", "--for", "2.5", "--heartbeat-ms", "300"});
    EXPECT_EQ(events.exit_code, 0) << Describe(events);
    EXPECT_THAT(events.out,
                HasSubstr("node 1   emergency       0x8611 following error, error register 0x21"));
    EXPECT_THAT(events.out,
                HasSubstr("node 2   heartbeat-lost  no heartbeat within the consumer time\n"));
    EXPECT_THAT(events.out,
                HasSubstr("node 2   heartbeat-back  heartbeat back, pre-operational\n"));
    // Once each, lost before back.
    EXPECT_EQ(events.out.find("heartbeat-lost"), events.out.rfind("heartbeat-lost"));
    EXPECT_LT(events.out.find("heartbeat-lost"), events.out.find("heartbeat-back"));
    EXPECT_THAT(events.err, HasSubstr("events: "));

    // Machines: one object a line, the node filter applied. The reset of drive 1 (NMT, by
    // another program) shows as a boot-up and, the fault found again at power-up, no more.
    std::thread resetter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        SecondMasterWrites(sim.path(), {0x00, 0x00, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A});
    });
    const RunResult json = Orvex(sim.path(), {"--node", "1", "events", "--for", "1", "--json"});
    resetter.join();
    EXPECT_EQ(json.exit_code, 0) << Describe(json);
    EXPECT_THAT(json.out, MatchesRegex("(\\{\"time_ms\":[0-9]+,\"seconds\":-?[0-9.]+,\"node\":1,"
                                       "\"kind\":\"[a-z-]+\",[^\n]*\"text\":\"[^\n]*\"\\}\n)+"));
    EXPECT_THAT(json.out, Not(HasSubstr("\"node\":2")));

    const RunResult usage = Orvex(sim.path(), {"events", "--heartbeat-ms", "100"});
    EXPECT_EQ(usage.exit_code, 2) << Describe(usage);
    EXPECT_THAT(usage.err, HasSubstr("--heartbeat-ms watches the nodes given"));
}

// ---- orvex doctor: each cause it names, one case each --------------------------------------

// A pseudo-terminal that the test holds: nothing answers on it unless the test writes.
class QuietTerminal {
  public:
    QuietTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            char name[128];
            if (ptsname_r(master_, name, sizeof name) == 0) path_ = name;
        }
    }
    ~QuietTerminal() {
        if (master_ >= 0) ::close(master_);
    }
    QuietTerminal(const QuietTerminal&) = delete;
    QuietTerminal& operator=(const QuietTerminal&) = delete;
    const std::string& path() const { return path_; }
    int master() const { return master_; }

  private:
    int master_ = -1;
    std::string path_;
};

RunResult Doctor(const std::string& device, const std::vector<std::string>& words = {},
                 const RunOptions& options = RunOptions()) {
    std::vector<std::string> argv = {ORVEX_CLI_PATH, "--device", device};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back("doctor");
    return RunProgram(argv, options);
}

// The one CAUSE line, and it is the last line.
void ExpectCause(const RunResult& doctor, const std::string& text) {
    EXPECT_EQ(doctor.exit_code, 1) << Describe(doctor);
    const std::size_t cause = doctor.out.find("CAUSE  ");
    ASSERT_NE(cause, std::string::npos) << Describe(doctor);
    EXPECT_EQ(doctor.out.find('\n', cause), doctor.out.size() - 1) << "stops at the first cause\n"
                                                                   << Describe(doctor);
    EXPECT_THAT(doctor.out.substr(cause), HasSubstr(text)) << Describe(doctor);
}

TEST(CliDoctor, APortThatDoesNotOpenIsNamedWithItsReason) {
    TempFile file;
    struct Case {
        std::string path;
        const char* cause;
    };
    const Case cases[] = {
        {"/dev/orvex-no-such-adapter", "does not exist: the adapter is unplugged"},
        {file.path(), "is no device: not a serial device"},
        {"/tmp", "is a directory: not a serial device"},
        {"/dev/null", "refuses serial settings (Inappropriate ioctl for device): not a serial"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ExpectCause(Doctor(c.path), c.cause);
    }

    // Held by another program: the library's own lock (flock), as a second orvex would meet it.
    QuietTerminal terminal;
    ASSERT_FALSE(terminal.path().empty());
    const int held = ::open(terminal.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    ExpectCause(Doctor(terminal.path()), "is busy, held by process " + std::to_string(getpid()) +
                                             " (cli_tests): another program has the port");
    ::close(held);
}

TEST(CliDoctor, PermissionDeniedNamesTheGroupToJoin) {
    QuietTerminal terminal;
    ASSERT_FALSE(terminal.path().empty());
    RunOptions options;
    if (geteuid() == 0) {
        // Root opens anything: run the check as an unprivileged user instead.
        options.user_id = 65534;
        if (access(ORVEX_CLI_PATH, X_OK) != 0) GTEST_SKIP() << "orvex not executable";
    } else {
        ASSERT_EQ(chmod(terminal.path().c_str(), 0), 0);
    }
    const RunResult doctor = Doctor(terminal.path(), {}, options);
    if (doctor.exit_code == 126) GTEST_SKIP() << "cannot drop to an unprivileged user here";
    ExpectCause(doctor, "permission denied opening " + terminal.path() + " (mode 0");
    // A terminal's group may write, not read: only its owner may use it.
    EXPECT_THAT(doctor.out, HasSubstr(": only the device's owner may use it; give a group read "
                                      "and write access with a udev rule"));
}

TEST(CliDoctor, NothingConnectedAndNoiseAreToldApart) {
    QuietTerminal silent;
    ASSERT_FALSE(silent.path().empty());
    const RunResult nothing = Doctor(silent.path());
    ExpectCause(nothing, "nothing arrived within 1.5 s, nor to a request to every node");
    EXPECT_THAT(nothing.out, HasSubstr("ok     port " + silent.path() + " opens"));

    // An adapter at another serial rate: bytes keep coming, but never a frame.
    QuietTerminal noisy;
    ASSERT_FALSE(noisy.path().empty());
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        unsigned char byte = 0x21;
        while (!stop) {
            unsigned char burst[32];
            for (unsigned char& b : burst)
                b = byte = static_cast<unsigned char>(0x20 + (byte * 7 + 3) % 0x5F);
            if (::write(noisy.master(), burst, sizeof burst) < 0) {
                // Nobody reads yet: the terminal's buffer is full.
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const RunResult noise_result = Doctor(noisy.path(), {"--baud", "57600"});
    stop = true;
    noise.join();
    ExpectCause(noise_result,
                "no 12-byte frame ending in CR LF: noise: the adapter sends at "
                "another serial rate than 57600 baud");

    // An adapter that gives the host's frames back and nothing else: the CAN side is silent.
    QuietTerminal echoing;
    ASSERT_FALSE(echoing.path().empty());
    fcntl(echoing.master(), F_SETFL, fcntl(echoing.master(), F_GETFL) | O_NONBLOCK);
    std::atomic<bool> done{false};
    std::thread echo([&] {
        unsigned char bytes[256];
        while (!done) {
            const ssize_t got = ::read(echoing.master(), bytes, sizeof bytes);
            if (got > 0 && ::write(echoing.master(), bytes, static_cast<std::size_t>(got)) < 0) {
                break;
            }
            if (got <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const RunResult echoed = Doctor(echoing.path());
    done = true;
    echo.join();
    ExpectCause(echoed,
                "only the echo of the host's own frame came back within 1.5 s: the "
                "adapter is there and echoes, but nothing on the CAN side answers");
}

TEST(CliDoctor, NodesThatDoNotAnswerAreNamedWithTheirReason) {
    Simulator sim({"--drives", "2", "--heartbeat-ms", "200", "--fault-node", "2"});
    ASSERT_FALSE(sim.path().empty());
    ExpectCause(Doctor(sim.path(), {"--node", "5"}),
                "node 5: no SDO answer within 1500 ms and no heartbeat (nodes 1, 2 answer): there "
                "is no node 5 on this bus");
    const RunResult fault = Doctor(sim.path());
    ExpectCause(fault, "node 2 is in fault, error code 0x8611 (following error)");
    EXPECT_THAT(fault.out, HasSubstr("'orvex --node 2 reset'"));
    EXPECT_THAT(fault.out, HasSubstr("ok     nodes 1, 2 answer SDO\n"));

    // Node 1 stopped by NMT: its heartbeats show 0x04, its SDO server is silent.
    ASSERT_TRUE(
        SecondMasterWrites(sim.path(), {0x00, 0x00, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A}));
    const RunResult stopped = Doctor(sim.path(), {"--node", "1"});
    ExpectCause(stopped,
                "node 1 sends heartbeats showing NMT stopped (0x04) and answers no SDO: a "
                "stopped node answers no SDO; start it (NMT start): orvex raw send 00 00 01 01");
    // Node 1 stopped, node 5 asked for: the one node that answers is named.
    ExpectCause(Doctor(sim.path(), {"--node", "5"}), "(node 2 answers): there is no node 5");
    // Healthy once started (drive 2's fault is not asked about).
    ASSERT_TRUE(
        SecondMasterWrites(sim.path(), {0x00, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A}));
    const RunResult healthy = Doctor(sim.path(), {"--node", "1"});
    EXPECT_EQ(healthy.exit_code, 0) << Describe(healthy);
    EXPECT_THAT(healthy.out, HasSubstr("ok     the bus answers: no cause found\n"));
    EXPECT_THAT(healthy.out, Not(HasSubstr("CAUSE")));
}

TEST(CliDoctor, AnswersLaterThanTheLimitAreNamedWithALimitThatFits) {
    Simulator sim({"--drives", "1", "--delay-ms", "1000"});
    ASSERT_FALSE(sim.path().empty());
    const RunResult slow = Doctor(sim.path());
    ExpectCause(slow,
                "later than the 800 ms limit: queries with that limit fail as 'no answer'; "
                "raise the limit: --limit-ms ");
    // With a limit that fits, the same bus is healthy.
    const RunResult fits =
        RunProgram({ORVEX_CLI_PATH, "--device", sim.path(), "doctor", "--limit-ms", "1500"});
    EXPECT_EQ(fits.exit_code, 0) << Describe(fits);
    EXPECT_THAT(fits.out, HasSubstr("ok     answers within the 1500 ms limit\n"));
}

// ---- The C example
// ---------------------------------------------------------------------------------

TEST(CliExample, MoveAndWaitReachesItsTarget) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    const RunResult example = RunProgram({ORVEX_EXAMPLE_PATH, sim.path(), "2", "-4000"});
    EXPECT_EQ(example.exit_code, 0) << Describe(example);
    EXPECT_THAT(example.out, HasSubstr("node 2: moving to -4000\n"));
    EXPECT_THAT(example.out, HasSubstr("target reached in "));

    const RunResult position = Orvex(sim.path(), {"--node", "2", "position"});
    EXPECT_EQ(position.out, "-4000\n") << Describe(position);
}

// The README's first program, text and all: it ends, successfully and soon, on a standard drive.
TEST(CliExample, TheReadmesFirstMoveEndsOnAStrictDrive) {
    std::ifstream readme_file(std::string(ORVEX_SOURCE_DIR) + "/README.md");
    std::ifstream example_file(std::string(ORVEX_SOURCE_DIR) + "/examples/first_move.c");
    const std::string readme{std::istreambuf_iterator<char>(readme_file), {}};
    const std::string example{std::istreambuf_iterator<char>(example_file), {}};
    const std::size_t start = readme.find("```c\n#include <stdio.h>\n");
    ASSERT_NE(start, std::string::npos) << "README.md has no C block starting #include <stdio.h>";
    const std::size_t code = start + 5;
    const std::string shown = readme.substr(code, readme.find("```", code) - code);
    ASSERT_NE(example.find("*/\n#include"), std::string::npos);
    EXPECT_EQ(shown, example.substr(example.find("*/\n#include") + 3))
        << "README.md's first C block and examples/first_move.c differ";

    Simulator sim(StrictOptions());
    ASSERT_FALSE(sim.path().empty());
    const RunResult run = RunProgram({ORVEX_FIRST_MOVE_PATH, sim.path()}, Bound(20));
    EXPECT_EQ(run.exit_code, 0) << Describe(run);
    EXPECT_EQ(run.out, "at 20000\n") << Describe(run);
    EXPECT_LT(run.seconds, Bound(10)) << Describe(run);
    EXPECT_THAT(OrvexOk(sim.path(), {"status"}).out, HasSubstr("node 1: switched on\n"));
}

}  // namespace
}  // namespace orvex::cli_test
