// The library against orvex-sim over a pseudo-terminal: what a host sees of real drives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTargetReached = 1 << 10;
constexpr int kHomingAttained = 1 << 12;

class Drives : public ::testing::Test {
  protected:
    void start(std::vector<std::string> options = {}) {
        sim = std::make_unique<SimProcess>(ORVEX_SIM_BINARY, options);
        ASSERT_EQ(Serial_OpenDevice(sim->path().c_str(), 115200), 1);
    }
    void SetUp() override { start(); }
    void TearDown() override {
        Serial_ClosePort();
        if (sim) {
            EXPECT_EQ(sim->stop(), 0);
        }
    }
    // Enabled and set up for fast profile-position moves.
    void ready_for_moves(int node) {
        ASSERT_EQ(CMD_Enable_motor(node), 1);
        ASSERT_EQ(PP_Set(node, 40000, 200000, 200000), 1);
    }
    bool at_target(int node, int position) {
        return (GetMotorStatus(node) & kTargetReached) && GetPosition(node) == position;
    }
    std::unique_ptr<SimProcess> sim;
};

TEST_F(Drives, EnableDisableAndQuickStopMoveThroughThePowerStates) {
    EXPECT_EQ(GetMotorStatus(1) & 0x0F, 0x00);  // switch on disabled
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    ASSERT_EQ(CMD_Enable_motor(1), 1);
    EXPECT_TRUE(eventually([] { return (GetMotorStatus(1) & 0x0F) == 0x07; }));
    ASSERT_EQ(CMD_Disable_motor(1), 1);
    EXPECT_TRUE(eventually([] { return (GetMotorStatus(1) & 0x0F) == 0x03; }));
    ASSERT_EQ(CMD_Enable_motor(1), 1);
    ASSERT_EQ(CMD_Emergency_Stop_motor(1), 1);
    // Quick stop active: operation enabled bits with the (active-low) quick-stop bit 5 clear.
    EXPECT_TRUE(eventually([] { return (read_object(1, 0x6041, 0) & 0x6F) == 0x07; }));
    EXPECT_GE(GetVersions(1), 1);
}

TEST_F(Drives, AbsoluteAndRelativeMovesReachTheirTargets) {
    ready_for_moves(1);
    ASSERT_EQ(PP_Abs_move(1, 20000), 1);
    EXPECT_TRUE(eventually([&] { return at_target(1, 20000); }));
    ASSERT_EQ(PP_Inc_move(1, -5000), 1);
    EXPECT_TRUE(eventually([&] { return at_target(1, 15000); }));
    ASSERT_EQ(PP_Abs_move(1, -3000), 1);
    EXPECT_TRUE(eventually([&] { return at_target(1, -3000); }));
    EXPECT_EQ(GetPosition(2), 0);  // the other drive stayed put
}

TEST_F(Drives, AHaltStopsAMoveShortOfItsTarget) {
    ready_for_moves(1);
    ASSERT_EQ(PP_Set(1, 5000, 50000, 50000), 1);
    ASSERT_EQ(PP_Abs_move(1, 100000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(PP_stop_motor(1), 1);
    int last = GetPosition(1);
    EXPECT_TRUE(eventually([&] {
        const int now = GetPosition(1);
        const bool still = now == last;
        last = now;
        return still;
    }));
    EXPECT_GT(last, 0);
    EXPECT_LT(last, 100000);
}

TEST_F(Drives, AVelocityRunMovesAndAHaltStopsIt) {
    ASSERT_EQ(PV_Set(1, 20000, 100000, 100000), 1);
    ASSERT_EQ(PV_start_motor(1), 1);
    EXPECT_TRUE(eventually([] { return read_object(1, 0x606C, 0) == 20000; }));
    const int before = GetPosition(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(GetPosition(1), before);
    ASSERT_EQ(PV_Set_Vel(1, -10000), 1);
    EXPECT_TRUE(eventually([] { return read_object(1, 0x606C, 0) == -10000; }));
    ASSERT_EQ(PV_stop_motor(1), 1);
    EXPECT_TRUE(eventually([] { return read_object(1, 0x606C, 0) == 0; }));
    EXPECT_EQ(GetMotorStatus(1) & 0x0F, 0x07);  // halted, still enabled
}

TEST_F(Drives, HomingAttainsAndZeroesThePositionForMethod17AndMethod0) {
    ready_for_moves(1);
    ASSERT_EQ(PP_Abs_move(1, 3000), 1);
    ASSERT_TRUE(eventually([&] { return at_target(1, 3000); }));
    ASSERT_EQ(HM_Set(1, 20000, 5000, 100000, 17), 1);
    ASSERT_EQ(HM_start_motor(1), 1);
    EXPECT_TRUE(eventually([] { return (GetMotorStatus(1) & kHomingAttained) != 0; }));
    EXPECT_EQ(GetPosition(1), 0);

    ASSERT_EQ(CMD_Enable_motor(2), 1);
    ASSERT_EQ(HM_Set(2, 20000, 0, 300, 0), 1);
    EXPECT_EQ(read_object(2, 0x6071, 0), 300);  // the four-byte torque write was taken
    ASSERT_EQ(HM_start_motor(2), 1);
    EXPECT_TRUE(eventually([] { return (GetMotorStatus(2) & kHomingAttained) != 0; }));
    EXPECT_EQ(GetPosition(2), 0);
}

TEST_F(Drives, TorqueMovesTheMotorWithinItsSpeedLimit) {
    ASSERT_EQ(CMD_Enable_motor(1), 1);
    ASSERT_EQ(PT_Set(1, 3000, -200), 1);
    EXPECT_TRUE(eventually([] { return read_object(1, 0x606C, 0) == -3000; }));
    EXPECT_LT(GetPosition(1), 0);
    ASSERT_EQ(PT_stop_motor(1), 1);
    EXPECT_TRUE(eventually([] { return read_object(1, 0x606C, 0) == 0; }));
    ASSERT_EQ(PT_start_motor(1), 1);
    EXPECT_EQ(read_object(1, 0x6061, 0), 4);
}

TEST_F(Drives, SummariesFollowTheDrives) {
    EXPECT_EQ(Get_ALL_Enable_Status(), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    ASSERT_EQ(CMD_Enable_motor(2), 1);
    EXPECT_TRUE(eventually([] { return Get_ALL_Enable_Status() == 0b10; }));
    ASSERT_EQ(PV_start_motor(1), 1);
    EXPECT_TRUE(eventually([] { return Get_ALL_Enable_Status() == 0b11; }));
    EXPECT_EQ(Get_ALL_Err_Status(), 0);
    ready_for_moves(1);
    ASSERT_EQ(PP_Abs_move(1, 1000), 1);
    EXPECT_TRUE(eventually([] { return (Get_ALL_Reached_Status() & 1) != 0; }));
}

TEST_F(Drives, ObjectAccessReadsBackWritesAndReportsAborts) {
    ASSERT_EQ(SDO_Write(1, 0x6081, 0, 12345, 4), 1);
    EXPECT_EQ(read_object(1, 0x6081, 0), 12345);
    ASSERT_EQ(LED_Set(1, 3), 1);
    EXPECT_EQ(read_object(1, 0x2003, 0x14), 3);
    int value = -7;
    EXPECT_EQ(SDO_Read(1, 0x5FFF, 0, &value, 4), 0);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06020000u);
    EXPECT_EQ(GetPosition(9), 0);  // no such drive: silence
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(Drives, WithAcknowledgementsForwardedQueriesStillGetTheirOwnValue) {
    sim.reset();
    Serial_ClosePort();
    start({"--acks"});
    for (int i = 0; i < 20; ++i) ASSERT_EQ(SDO_Write(1, 0x6081, 0, 1000u + i, 4), 1);
    ASSERT_EQ(CMD_Restart_motor(1), 1);  // a boot-up message follows
    ASSERT_EQ(PP_Set(2, 777, 888, 999), 1);
    EXPECT_EQ(read_object(1, 0x6081, 0), 1019);
    EXPECT_EQ(read_object(2, 0x6083, 0), 888);
    EXPECT_EQ(read_object(2, 0x6084, 0), 999);
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
}

TEST_F(Drives, ADrivePastTheTimeLimitGivesATimeOut) {
    sim.reset();
    Serial_ClosePort();
    start({"--delay-ms", "900"});
    const auto started = Clock::now();
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(800));
    // The late answer does not poison the next query.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(Drives, ADriveInFaultShowsInTheErrorSummary) {
    sim.reset();
    Serial_ClosePort();
    start({"--fault-node", "2"});
    EXPECT_EQ(Get_ALL_Err_Status(), 0b10);
    EXPECT_EQ(GetMotorStatus(2) & 0x08, 0x08);
}

// Events from the drives themselves: an emergency while another thread polls positions, a node
// that falls off the bus and comes back, a boot-up after a restart.
TEST_F(Drives, EventsTellAnEmergencyASilentNodeAndABootUpOnce) {
    sim.reset();
    Serial_ClosePort();
    start({"--heartbeat-ms", "50", "--fault-at-ms", "1:600", "--silence-at-ms", "2:1000:1800"});
    const Clock::time_point started = Clock::now();
    ASSERT_EQ(Orvex_WatchHeartbeat(2, 200), 1);
    std::atomic<bool> polling{true};
    std::atomic<int> polls{0};
    std::thread poller([&] {
        while (polling) {
            GetPosition(1);
            ++polls;
        }
    });
    std::vector<OrvexEvent> seen;
    double lost_at = -1, back_at = -1;
    while (Clock::now() - started < std::chrono::seconds(4) && back_at < 0) {
        OrvexEvent event{};
        if (Orvex_NextEvent(&event, 100) != 1) continue;
        seen.push_back(event);
        const double at = std::chrono::duration<double>(Clock::now() - started).count();
        if (event.kind == ORVEX_EVENT_HEARTBEAT_LOST && event.node == 2) lost_at = at;
        if (event.kind == ORVEX_EVENT_HEARTBEAT_BACK && event.node == 2) back_at = at;
    }
    polling = false;
    poller.join();
    EXPECT_GT(polls.load(), 10);

    int emergencies = 0;
    for (const OrvexEvent& event : seen) {
        if (event.kind != ORVEX_EVENT_EMERGENCY) continue;
        ++emergencies;
        EXPECT_EQ(event.node, 1);
        EXPECT_EQ(event.error_code, 0x8611u);
        EXPECT_EQ(event.error_register, 0x21);
        EXPECT_STREQ(Orvex_ErrorCodeText(event.error_code), "following error");
    }
    EXPECT_EQ(emergencies, 1) << "delivered once";
    // Silent from 1.0 s: lost within the consumer time (0.2 s) and one poll (0.1 s), with slack.
    EXPECT_GT(lost_at, 0.9);
    EXPECT_LT(lost_at, 1.0 + 0.2 + 0.1 + 0.3);
    EXPECT_GT(back_at, lost_at);

    // A restart (NMT reset communication) brings the drive's boot-up as an event.
    ASSERT_EQ(CMD_Restart_motor(1), 1);
    bool booted = false;
    OrvexEvent event{};
    while (!booted && Orvex_NextEvent(&event, 500) == 1)
        booted = event.kind == ORVEX_EVENT_BOOT_UP && event.node == 1 && event.nmt_state == 0;
    EXPECT_TRUE(booted);
}

// Two drives stream statusword and position by themselves; the values follow the drives, no
// frame is lost to the queries that run meanwhile, and none reaches Orvex_ReceiveFrame.
TEST_F(Drives, StreamsFollowTwoDrivesBesideQueries) {
    const unsigned entries[] = {0x60410010, 0x60640020};
    for (int node : {1, 2}) {
        ready_for_moves(node);
        ASSERT_EQ(Orvex_StreamStart(node, entries, 2, 10), 1) << Orvex_LastResult();
    }
    ASSERT_EQ(PP_Abs_move(2, 3000), 1);
    const Clock::time_point started = Clock::now();
    int queries = 0;
    while (Clock::now() - started < std::chrono::milliseconds(600)) {
        int value = 0;
        ASSERT_EQ(SDO_Read(1, 0x6081, 0, &value, 4), 1) << "a query beside the streams";
        EXPECT_EQ(value, 40000);
        ++queries;
    }
    unsigned values[2] = {};
    int age = -1;
    unsigned frames = 0;
    ASSERT_EQ(Orvex_StreamRead(2, values, 2, &age, &frames), 1) << Orvex_LastResult();
    EXPECT_EQ(static_cast<int>(values[1]), 3000) << "the position the drive moved to";
    EXPECT_EQ(values[0] & 0x6F, 0x27u) << "operation enabled";
    EXPECT_LT(age, 100);
    // About 60 frames in 600 ms at 10 ms: none may be lost to the queries.
    EXPECT_GE(frames, 45u) << queries << " queries ran meanwhile";
    unsigned char frame[12];
    while (Orvex_ReceiveFrame(frame, 50) == 1) {
        const unsigned id = static_cast<unsigned>(frame[0]) << 8 | frame[1];
        EXPECT_FALSE(id == 0x181 || id == 0x182) << "a stream's frame handed out";
    }
    for (int node : {1, 2}) EXPECT_EQ(Orvex_StreamStop(node), 1);
}

}  // namespace
}  // namespace orvex::test
