// The library's exports against drives that follow CiA 402 to the letter (orvex-sim --strict-402):
// what the original frames do there, and the stepwise walk a host needs instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "e2e_util.h"
#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

using Clock = std::chrono::steady_clock;

// Statusword values under the masks the drive profile gives each state.
constexpr int kSwitchOnDisabled = 0x40;  // mask 0x4F
constexpr int kReadyToSwitchOn = 0x21;   // mask 0x6F
constexpr int kSwitchedOn = 0x23;
constexpr int kOperationEnabled = 0x27;
constexpr int kQuickStopActive = 0x07;
constexpr int kFault = 0x08;  // mask 0x4F
constexpr int kTargetReached = 1 << 10;
constexpr int kSetPointAcknowledge = 1 << 12;

int statusword(int node) {
    int value = -1;
    EXPECT_EQ(SDO_Read(node, 0x6041, 0, &value, 2), 1);
    return value;
}

int state_bits(int node) {
    const int status = statusword(node);
    return (status & 0x4F) == kSwitchOnDisabled || (status & 0x4F) == kFault ? status & 0x4F
                                                                             : status & 0x6F;
}

class StrictDrives : public ::testing::Test {
  protected:
    void start(std::vector<std::string> options) {
        options.insert(options.begin(), "--strict-402");
        sim = std::make_unique<SimProcess>(ORVEX_SIM_BINARY, options);
        ASSERT_EQ(Serial_OpenDevice(sim->path().c_str(), 115200), 1);
    }
    void SetUp() override { start({}); }
    void TearDown() override {
        Serial_ClosePort();
        if (sim) {
            EXPECT_EQ(sim->stop(), 0);
        }
    }
    // One controlword, then the state it should lead to, read back.
    void step(int node, unsigned controlword, int expected_state) {
        ASSERT_EQ(SDO_Write(node, 0x6040, 0, controlword, 2), 1);
        EXPECT_TRUE(eventually([&] { return state_bits(node) == expected_state; }, 1.0))
            << "controlword 0x" << std::hex << controlword << " left statusword 0x"
            << statusword(node);
    }
    void enable_stepwise(int node) {
        step(node, 0x0006, kReadyToSwitchOn);
        step(node, 0x0007, kSwitchedOn);
        step(node, 0x000F, kOperationEnabled);
    }
    // Profile position, enabled, set up for quick moves.
    void ready_for_moves(int node) {
        enable_stepwise(node);
        ASSERT_EQ(PP_Set(node, 40000, 200000, 200000), 1);
        ASSERT_EQ(state_bits(node), kOperationEnabled);
    }
    bool at_target(int node, int position) {
        return (GetMotorStatus(node) & kTargetReached) && GetPosition(node) == position;
    }
    std::unique_ptr<SimProcess> sim;
};

TEST_F(StrictDrives, TheOneFrameEnableIsIgnoredFromPowerUpAndTheStepwiseWalkWorks) {
    EXPECT_EQ(statusword(1), 0x0240);   // switch on disabled, remote
    ASSERT_EQ(CMD_Enable_motor(1), 1);  // sent and "succeeded", but...
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(state_bits(1), kSwitchOnDisabled) << "0x000F is no transition from here";

    // GetMotorStatus masks with 0x1D0F: it shows 0, 1, 3, 7 along the walk.
    EXPECT_EQ(GetMotorStatus(1) & 0x0F, 0x0);
    enable_stepwise(1);
    EXPECT_EQ(GetMotorStatus(1) & 0x0F, 0x7);
    EXPECT_EQ(statusword(1) & 0x0210, 0x0210) << "voltage enabled and remote";

    // Disable operation and quick stop take their standard ways down.
    ASSERT_EQ(CMD_Disable_motor(1), 1);
    EXPECT_TRUE(eventually([] { return state_bits(1) == kSwitchedOn; }));
    ASSERT_EQ(SDO_Write(1, 0x6040, 0, 0x000F, 2), 1);
    ASSERT_EQ(CMD_Emergency_Stop_motor(1), 1);
    // Quick stop option 6 (the default): quick stop active at rest, and enable operation resumes.
    EXPECT_TRUE(eventually([] { return state_bits(1) == kQuickStopActive; }));
    EXPECT_EQ(read_object(1, 0x605A) & 0xFFFF, 6);
    step(1, 0x000F, kOperationEnabled);
    // Option 2 ends a quick stop in switch on disabled once the motor stands.
    ASSERT_EQ(SDO_Write(1, 0x605A, 0, 2, 2), 1);
    ASSERT_EQ(CMD_Emergency_Stop_motor(1), 1);
    EXPECT_TRUE(eventually([] { return state_bits(1) == kSwitchOnDisabled; }));
}

TEST_F(StrictDrives, ASetPointNeedsARisingBitFourSoTheSecondLibraryMoveIsIgnored) {
    ready_for_moves(1);
    // PP_Set left 0x010F; PP_Abs_move's 0x003F raises bit 4: taken.
    ASSERT_EQ(PP_Abs_move(1, 20000), 1);
    EXPECT_TRUE(eventually([&] { return at_target(1, 20000); }));
    EXPECT_NE(statusword(1) & kSetPointAcknowledge, 0) << "acknowledged while bit 4 is high";

    // A second PP_Abs_move writes 0x003F again: no edge, the drive stays where it is.
    ASSERT_EQ(PP_Abs_move(1, 5000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(GetPosition(1), 20000);

    // Three moves in a row with the handshake: bit 4 low, acknowledge gone, then the move.
    const struct {
        bool relative;
        int value;
        int expected;
    } moves[] = {{false, 5000, 5000}, {true, -2000, 3000}, {false, -1000, -1000}};
    for (const auto& move : moves) {
        ASSERT_EQ(SDO_Write(1, 0x6040, 0, 0x000F, 2), 1);
        EXPECT_TRUE(eventually([] { return (statusword(1) & kSetPointAcknowledge) == 0; }));
        ASSERT_EQ(move.relative ? PP_Inc_move(1, move.value) : PP_Abs_move(1, move.value), 1);
        EXPECT_TRUE(eventually([] { return (statusword(1) & kSetPointAcknowledge) != 0; }));
        EXPECT_TRUE(eventually([&] { return at_target(1, move.expected); }))
            << "to " << move.expected << ", at " << GetPosition(1);
    }
}

TEST_F(StrictDrives, HomingStartsOnTheEdgeFromHaltToStart) {
    enable_stepwise(1);
    ASSERT_EQ(PP_Set(1, 40000, 200000, 200000), 1);
    ASSERT_EQ(PP_Abs_move(1, 3000), 1);
    EXPECT_TRUE(eventually([&] { return at_target(1, 3000); }));
    // HM_Set writes 0x010F (bit 4 low), HM_start_motor 0x001F: a rising edge.
    ASSERT_EQ(HM_Set(1, 5000, 1000, 50000, 17), 1);
    EXPECT_EQ(read_object(1, 0x6061) & 0xFF, 6);
    ASSERT_EQ(HM_start_motor(1), 1);
    EXPECT_TRUE(eventually([] { return (GetMotorStatus(1) & 0x1400) == 0x1400; }));
    EXPECT_EQ(GetPosition(1), 0);
}

TEST_F(StrictDrives, SizesAreCheckedSoTheLibrarysFourByteTorqueIsRefused) {
    enable_stepwise(1);
    // PT_Set sends target torque (INTEGER16) as a 4-byte download: the drive aborts it and keeps 0.
    ASSERT_EQ(PT_Set(1, 2000, 300), 1);  // the export does not wait for the answer
    // Let the abort arrive and be purged: an upload of 0x6071 would otherwise take it as its own
    // answer (expedited SDO carries no transaction id).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(read_object(1, 0x6071) & 0xFFFF, 0);
    EXPECT_EQ(read_object(1, 0x6061) & 0xFF, 4);
    // The right size is taken.
    ASSERT_EQ(SDO_Write(1, 0x6071, 0, 300, 2), 1);
    EXPECT_EQ(read_object(1, 0x6071) & 0xFFFF, 300);
    EXPECT_TRUE(eventually([] { return GetPosition(1) > 100; }));
    // Modes the drive does not run are refused; 0x6502 lists those it does.
    EXPECT_EQ(read_object(1, 0x6502), 0x2D);
    ASSERT_EQ(SDO_Write(1, 0x6060, 0, 7, 1), 1);
    EXPECT_EQ(read_object(1, 0x6061) & 0xFF, 4);
}

TEST_F(StrictDrives, AFaultShowsItsCodeRefusesTheWalkAndResetsOnBitSeven) {
    TearDown();
    start({"--fault-node", "2:0x2310", "--acks"});
    EXPECT_EQ(state_bits(2), kFault);
    EXPECT_EQ(read_object(2, 0x603F) & 0xFFFF, 0x2310);
    EXPECT_EQ(read_object(2, 0x1001) & 0xFF, 0x03);  // generic + current
    EXPECT_EQ(Get_ALL_Err_Status(), 2);

    // The walk goes nowhere in fault.
    for (unsigned controlword : {0x0006u, 0x0007u, 0x000Fu}) {
        ASSERT_EQ(SDO_Write(2, 0x6040, 0, controlword, 2), 1);
    }
    EXPECT_EQ(state_bits(2), kFault);
    // The rising edge of bit 7 (0x000F was last) resets it; then the walk works.
    step(2, 0x0080, kSwitchOnDisabled);
    EXPECT_EQ(read_object(2, 0x603F) & 0xFFFF, 0);
    enable_stepwise(2);
    EXPECT_EQ(Get_ALL_Err_Status(), 0);
    EXPECT_EQ(Get_ALL_Enable_Status(), 2);
}

TEST_F(StrictDrives, QueriesGetTheirOwnAnswerAmidHeartbeatsAndAnAbsentNodeTimesOut) {
    TearDown();
    start({"--acks", "--heartbeat-ms", "5", "--drives", "3"});
    for (int round = 0; round < 20; ++round) {
        for (int node = 1; node <= 3; ++node) {
            EXPECT_EQ(read_object(node, 0x1018, 4), 0x20240000 + node) << "serial of " << node;
        }
    }
    EXPECT_EQ(GetMotorStatus(4), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(StrictDrives, TheModelledLineHoldsEachAnswerForTheLatencyTimer) {
    TearDown();
    start({"--baud", "115200", "--latency-ms", "16", "--can-kbit", "500"});
    const auto begin = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(statusword(1), 0x0240);
    const double each = std::chrono::duration<double>(Clock::now() - begin).count() / 5;
    // Two frames of 1.04 ms, two CAN frames, then the timer: never under 16 ms a query.
    EXPECT_GE(each, 0.016);
    EXPECT_LT(each, 0.1);
}

#ifdef ORVEX_STRICT_DRIVE_EXAMPLE
// The C example against a drive that starts in fault: exit status and output.
int run_example(const std::vector<std::string>& args, std::string* out) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(ORVEX_STRICT_DRIVE_EXAMPLE)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        dup2(pipe_fds[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(pipe_fds[0]);
        setenv("ORVEX_LOAD_DELAY_MS", "0", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        out->append(buffer, static_cast<std::size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(StrictDrives, TheCExampleRecoversEnablesMovesThreeTimesAndHomesWithProceduresOnly) {
    TearDown();
    start({"--fault-node", "1"});
    const std::string path = sim->path();
    Serial_ClosePort();  // the example takes the port for itself

    std::string out;
    EXPECT_EQ(run_example({path, "1"}, &out), 0) << out;
    for (const char* step : {"fault reset: error code 0x8611 cleared", "operation enabled",
                             "reached 20000", "reached -5000", "reached 12000", "homed", "done"})
        EXPECT_NE(out.find(step), std::string::npos) << step << "\n" << out;
    out.clear();
    EXPECT_EQ(run_example({path, "1", "x"}, &out), 2);

    ASSERT_EQ(Serial_OpenDevice(path.c_str(), 115200), 1);
    EXPECT_EQ(state_bits(1), kSwitchedOn) << "disabled at the end";
    EXPECT_EQ(GetPosition(1), 0) << "homed on the spot";
}
#endif

}  // namespace
}  // namespace orvex::test
