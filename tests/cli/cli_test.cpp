// The orvex command-line tool and the C example against orvex-sim: exit status, stdout and stderr.
// Every orvex run loads ORVEX_DLL (about 1 s), so each test runs only the few commands it needs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace orvex::cli_test {
namespace {

using ::testing::HasSubstr;

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

TEST(CliCommands, ProfilePositionMoveWithWaitReachesTheTarget) {
    Simulator sim;
    ASSERT_FALSE(sim.path().empty());
    ASSERT_EQ(Orvex(sim.path(), {"enable"}).exit_code, 0);
    ASSERT_EQ(Orvex(sim.path(), {"pp", "set", "20000", "100000", "100000"}).exit_code, 0);

    const RunResult move = Orvex(sim.path(), {"pp", "move", "20000", "--wait", "--timeout", "10"});
    EXPECT_EQ(move.exit_code, 0) << Describe(move);
    EXPECT_THAT(move.out, HasSubstr("node 1: target 20000 reached in "));
    EXPECT_THAT(move.out, HasSubstr("position 20000\n"));
    // The progress bar goes to stderr and ends full.
    EXPECT_THAT(move.err, HasSubstr("[##############################] 100%  pos 20000 -> 20000"));

    const RunResult position = Orvex(sim.path(), {"position"});
    EXPECT_EQ(position.out, "20000\n") << Describe(position);
}

TEST(CliCommands, HelpListsEveryCommandWithExamples) {
    const RunResult help = RunProgram({ORVEX_CLI_PATH, "--help"});
    EXPECT_EQ(help.exit_code, 0) << Describe(help);
    for (const char* command :
         {"enable", "disable", "quick-stop", "halt", "restart", "status", "position", "version",
          "summary", "sdo read", "sdo write", "led", "pp move", "pv run", "home start",
          "torque set", "raw exchange", "Examples:", "Exit status"}) {
        EXPECT_THAT(help.out, HasSubstr(command));
    }

    const RunResult pp_help = RunProgram({ORVEX_CLI_PATH, "pp", "move", "--help"});
    EXPECT_EQ(pp_help.exit_code, 0) << Describe(pp_help);
    EXPECT_THAT(pp_help.out, HasSubstr("--relative"));
    EXPECT_THAT(pp_help.out, HasSubstr("Examples:"));
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
              "orvex: node 1 refused 0x5FFF:00: SDO abort 0x06020000 (object does not exist)\n");
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

}  // namespace
}  // namespace orvex::cli_test
