// The drive procedures against orvex-sim, on drives that follow CiA 402 to the letter
// (--strict-402) and on the lenient drives the original frames were made for, each behind an
// adapter that forwards the drives' confirmations and behind one that forwards none (--no-acks):
// enabling from every state, moves in a row, waits that end because another master stopped the
// drive, homing that ends at once or in an error, and a node that is not there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "e2e_util.h"
#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

int state_of(int node) {
    unsigned statusword = 0;
    return Orvex_GetState(node, &statusword);
}

// Runs `other` on a second thread (a second master on the same port) once `after` has passed.
class OtherMaster {
  public:
    OtherMaster(std::chrono::milliseconds after, std::function<void()> other)
        : thread_([after, other] {
              std::this_thread::sleep_for(after);
              other();
          }) {}
    ~OtherMaster() { thread_.join(); }

  private:
    std::thread thread_;
};

// Strict drives or lenient ones; an adapter that forwards confirmations or one that forwards none.
using Setting = std::tuple<bool, bool>;

class Procedures : public ::testing::TestWithParam<Setting> {
  protected:
    static bool strict() { return std::get<0>(GetParam()); }
    void start(std::vector<std::string> options = {}) {
        Serial_ClosePort();
        sim.reset();
        if (strict()) options.insert(options.begin(), "--strict-402");
        if (!std::get<1>(GetParam())) options.insert(options.begin(), "--no-acks");
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
    // Enabled and in profile position, set up for quick moves.
    void ready_for_moves(int node, int velocity = 40000) {
        ASSERT_EQ(Orvex_Enable(node, 2000), 1) << Orvex_LastResult();
        ASSERT_EQ(PP_Set(node, velocity, 200000, 200000), 1);
    }
    std::unique_ptr<SimProcess> sim;
};

TEST_P(Procedures, EnableReachesOperationEnabledFromEveryState) {
    const struct {
        const char* from;
        std::vector<unsigned> controlwords;  // written by hand to get there from operation enabled
        int state;
    } rows[] = {
        {"switch on disabled", {0x0000}, ORVEX_STATE_SWITCH_ON_DISABLED},
        {"ready to switch on", {0x0006}, ORVEX_STATE_READY_TO_SWITCH_ON},
        {"switched on", {0x0007}, ORVEX_STATE_SWITCHED_ON},
        {"operation enabled", {}, ORVEX_STATE_OPERATION_ENABLED},
        {"quick stop active", {0x0002}, ORVEX_STATE_QUICK_STOP_ACTIVE},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(Orvex_Enable(1, 2000), 1) << row.from;
        for (unsigned controlword : row.controlwords)
            ASSERT_EQ(SDO_Write(1, 0x6040, 0, controlword, 2), 1);
        EXPECT_TRUE(eventually([&] { return state_of(1) == row.state; }, 2.0)) << row.from;
        EXPECT_EQ(Orvex_Enable(1, 2000), 1) << row.from << ": " << Orvex_LastResult();
        EXPECT_EQ(state_of(1), ORVEX_STATE_OPERATION_ENABLED) << row.from;
    }
    // A quick stop that ends in switch on disabled (option code 2) is walked up from there. (The
    // lenient drives stay in quick stop active whatever the option code.)
    if (!strict()) return;
    ASSERT_EQ(SDO_Write(1, 0x605A, 0, 2, 2), 1);
    ASSERT_EQ(Orvex_QuickStop(1, 2000), 1);
    EXPECT_EQ(state_of(1), ORVEX_STATE_SWITCH_ON_DISABLED);
    EXPECT_EQ(Orvex_Enable(1, 2000), 1);
    EXPECT_EQ(state_of(1), ORVEX_STATE_OPERATION_ENABLED);
}

TEST_P(Procedures, PowerStateProceduresAreConfirmed) {
    ASSERT_EQ(Orvex_Enable(1, 2000), 1);
    ASSERT_EQ(Orvex_QuickStop(1, 2000), 1);  // option code 6 by default: stays, standing
    EXPECT_EQ(state_of(1), ORVEX_STATE_QUICK_STOP_ACTIVE);
    ASSERT_EQ(Orvex_Disable(1, 2000), 1);
    EXPECT_EQ(state_of(1), ORVEX_STATE_SWITCH_ON_DISABLED);
    ASSERT_EQ(Orvex_Enable(1, 2000), 1);
    ASSERT_EQ(Orvex_Disable(1, 2000), 1);
    EXPECT_EQ(state_of(1), ORVEX_STATE_SWITCHED_ON);
    EXPECT_EQ(Orvex_Disable(1, 2000), 1) << "already disabled: nothing to do";
    // Halt never switches a drive on.
    EXPECT_EQ(Orvex_Halt(1, 2000), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_WRONG_STATE);
    EXPECT_EQ(state_of(1), ORVEX_STATE_SWITCHED_ON);
}

TEST_P(Procedures, MovesInARowEachReachTheirTarget) {
    ready_for_moves(1);
    const struct {
        int position, flags, expected;
    } moves[] = {{3000, 0, 3000},
                 {-2000, ORVEX_MOVE_RELATIVE, 1000},
                 {5000, 0, 5000},
                 {5000, 0, 5000},
                 {500, ORVEX_MOVE_RELATIVE | ORVEX_MOVE_IMMEDIATE, 5500}};
    for (const auto& move : moves) {
        ASSERT_EQ(Orvex_MoveTo(1, move.position, move.flags, 2000), 1) << Orvex_LastResult();
        int position = 0;
        EXPECT_EQ(Orvex_WaitTarget(1, 5000, &position), 1) << Orvex_LastResult();
        EXPECT_EQ(position, move.expected);
        EXPECT_EQ(GetPosition(1), move.expected);
    }
}

TEST_P(Procedures, AWaitEndsAtOnceWhenAnotherMasterStopsTheDrive) {
    const struct {
        const char* what;
        unsigned controlword;
        int outcome;
    } rows[] = {
        {"quick stop", 0x0002, ORVEX_STATE_CHANGED},
        {"halt", 0x010F, ORVEX_STATE_CHANGED},
        {"disable operation", 0x0007, ORVEX_STATE_CHANGED},
    };
    for (const auto& row : rows) {
        ready_for_moves(1, 2000);
        const int start = GetPosition(1);
        ASSERT_EQ(Orvex_MoveTo(1, start + 100000, 0, 2000), 1);
        int position = 0;
        int waited = 1;
        {
            const OtherMaster other(std::chrono::milliseconds(150),
                                    [&] { SDO_Write(1, 0x6040, 0, row.controlword, 2); });
            waited = Orvex_WaitTarget(1, 20000, &position);
        }
        EXPECT_EQ(waited, 0) << row.what;
        EXPECT_EQ(Orvex_LastResult(), row.outcome) << row.what;
        EXPECT_LT(position, start + 100000) << row.what;
        EXPECT_GT(position, start) << row.what;
    }
}

TEST_P(Procedures, AFaultDuringAWaitIsReportedAndResetClearsIt) {
    start({"--fault-node", "2:0x2310"});
    unsigned cleared = 0;
    EXPECT_EQ(Orvex_Enable(2, 2000), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_DRIVE_FAULT);
    ASSERT_EQ(Orvex_ResetFault(2, 2000, &cleared), 1);
    EXPECT_EQ(cleared, 0x2310u);
    EXPECT_EQ(state_of(2), ORVEX_STATE_SWITCH_ON_DISABLED);
    ready_for_moves(2, 2000);
    ASSERT_EQ(Orvex_MoveTo(2, 100000, 0, 2000), 1);
    int waited = 1;
    {
        // NMT reset node: drive 2 powers up in fault again.
        const unsigned char reset_node[12] = {0, 0, 0x81, 2, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A};
        const OtherMaster other(std::chrono::milliseconds(150),
                                [&] { U_Transmit(reset_node, sizeof reset_node); });
        waited = Orvex_WaitTarget(2, 20000, nullptr);
    }
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_DRIVE_FAULT);
    EXPECT_EQ(Orvex_ResetFault(2, 2000, &cleared), 1);
    EXPECT_EQ(Orvex_ResetFault(2, 2000, &cleared), 1) << "not in fault: nothing to do";
    EXPECT_EQ(cleared, 0u);
}

TEST_P(Procedures, HomingThatEndsAtOnceOrAfterARunIsDone) {
    ASSERT_EQ(Orvex_Enable(1, 2000), 1);
    for (int method : {35, 37, 17, 35}) {
        ASSERT_EQ(PP_Set(1, 40000, 200000, 200000), 1);
        ASSERT_EQ(Orvex_MoveTo(1, 700, 0, 2000), 1);
        ASSERT_EQ(Orvex_WaitTarget(1, 5000, nullptr), 1);
        ASSERT_EQ(HM_Set(1, 20000, 5000, 200000, method), 1);
        EXPECT_EQ(Orvex_Home(1, 5000), 1) << "method " << method << ": " << Orvex_LastResult();
        EXPECT_EQ(GetPosition(1), 0) << "method " << method;
    }
    // Homing needs homing mode.
    ASSERT_EQ(PP_Set(1, 40000, 200000, 200000), 1);
    EXPECT_EQ(Orvex_Home(1, 1000), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_WRONG_STATE);
}

TEST_P(Procedures, AHomingErrorFailsAtOnce) {
    start({"--homing-error-node", "1"});
    ASSERT_EQ(Orvex_Enable(1, 2000), 1);
    for (int method : {35, 17}) {
        ASSERT_EQ(HM_Set(1, 20000, 5000, 200000, method), 1);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(Orvex_Home(1, 20000), 0) << method;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_HOMING_ERROR) << method;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << method;
    }
}

TEST_P(Procedures, TorqueIsSetAsTheTwoByteObjectItIs) {
    ASSERT_EQ(Orvex_SetTorque(1, -150), 1) << Orvex_LastResult();
    int value = 0;
    ASSERT_EQ(SDO_Read(1, 0x6071, 0, &value, 2), 1);
    EXPECT_EQ(value & 0xFFFF, 0xFF6A);
}

TEST_P(Procedures, AnAbsentNodeTimesOutWithinTheQueryLimit) {
    for (const auto& call : std::vector<std::function<int()>>{
             [] { return Orvex_Enable(9, 100); }, [] { return Orvex_GetState(9, nullptr) + 1; },
             [] { return Orvex_MoveTo(9, 1, 0, 100); }}) {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(call(), 0);
        EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
    }
}

INSTANTIATE_TEST_SUITE_P(BothKindsOfDriveAndAdapter, Procedures,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Setting>& info) {
                             return std::string(std::get<0>(info.param) ? "Strict402" : "Lenient") +
                                    (std::get<1>(info.param) ? "Forwarding" : "NoAcks");
                         });

}  // namespace
}  // namespace orvex::test
