// The drive's power state machine and motion model, with time advanced by hand.
#include "drive_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "pdo.h"

namespace orvex::sim {
namespace {

class DriveTest : public ::testing::Test {
  protected:
    void Write(uint16_t index, uint32_t value, uint8_t subindex = 0) {
        ASSERT_EQ(drive_.Write(index, subindex, value, 0, false), 0u)
            << std::hex << index << "/" << int{subindex};
    }
    void Control(uint16_t controlword) { Write(0x6040, controlword); }
    uint32_t Read(uint16_t index, uint8_t subindex = 0) const {
        uint32_t value = 0;
        std::size_t size = 0;
        EXPECT_EQ(drive_.Read(index, subindex, &value, &size), 0u);
        return value;
    }
    int32_t Position() const { return static_cast<int32_t>(Read(0x6064)); }
    uint16_t Status() const { return drive_.statusword(); }
    bool Reached() const { return (Status() & kStatusTargetReached) != 0; }
    bool ModeBit() const { return (Status() & kStatusModeSpecific) != 0; }

    // Advances in 1 ms steps until `done` or `limit` seconds; returns the time taken.
    template <typename Done>
    double RunUntil(Done done, double limit) {
        double t = 0.0;
        while (!done() && t < limit) {
            drive_.Advance(0.001);
            t += 0.001;
        }
        return t;
    }

    void EnableIn(int8_t mode) {
        Write(0x6060, static_cast<uint8_t>(mode));
        Control(0x000F);
    }

    Drive drive_{1};
};

TEST_F(DriveTest, ControlwordsFromTheHostReachTheirStatesDirectly) {
    EXPECT_EQ(Status(), 0x0240);  // switch on disabled, remote
    struct Step {
        uint16_t controlword;
        DriveState state;
        uint16_t status_low;  // statusword bits 0-6
    };
    const Step steps[] = {
        {0x000F, DriveState::kOperationEnabled, 0x37},
        {0x0007, DriveState::kSwitchedOn, 0x33},
        {0x0006, DriveState::kReadyToSwitchOn, 0x31},
        {0x000F, DriveState::kOperationEnabled, 0x37},
        {0x0002, DriveState::kQuickStopActive, 0x17},
        {0x000F, DriveState::kOperationEnabled, 0x37},
        {0x0000, DriveState::kSwitchOnDisabled, 0x40},
        {0x0007, DriveState::kSwitchedOn, 0x33},
        {0x0002, DriveState::kSwitchOnDisabled, 0x40},  // quick stop outside operation
        {0x010F, DriveState::kOperationEnabled, 0x37},  // enabled, held by halt
    };
    for (const Step& s : steps) {
        Control(s.controlword);
        EXPECT_EQ(drive_.state(), s.state) << std::hex << s.controlword;
        EXPECT_EQ(Status() & 0x7F, s.status_low) << std::hex << s.controlword;
        EXPECT_NE(Status() & 0x0200, 0) << "remote";
    }
}

TEST_F(DriveTest, FaultHoldsUntilARisingFaultResetEdge) {
    Control(0x0080);  // bit 7 already high when the fault comes: no edge afterwards
    drive_.InjectFault(0x2310);
    EXPECT_EQ(Status() & 0x4F, 0x08);
    EXPECT_EQ(Read(0x603F), 0x2310u);
    EXPECT_EQ(Read(0x1001) & 1u, 1u);

    Control(0x000F);
    EXPECT_EQ(drive_.state(), DriveState::kFault);
    Control(0x0080);  // 0 -> 1 on bit 7
    EXPECT_EQ(drive_.state(), DriveState::kSwitchOnDisabled);
    EXPECT_EQ(Read(0x603F), 0u);
    EXPECT_EQ(Read(0x1001), 0u);
    Control(0x000F);
    EXPECT_EQ(drive_.state(), DriveState::kOperationEnabled);
}

TEST_F(DriveTest, ModesDisplayFollowsModesOfOperation) {
    Write(0x6060, 0xFA);  // -6
    EXPECT_EQ(Read(0x6061), 0xFAu);
    Write(0x6060, 3);
    EXPECT_EQ(Read(0x6061), 3u);
}

TEST_F(DriveTest, ProfilePositionMovesFollowTheTrapezoidAndStopOnTarget) {
    EnableIn(kModeProfilePosition);
    Write(0x6081, 1000);
    Write(0x6083, 10000);
    Write(0x6084, 10000);
    EXPECT_TRUE(Reached());  // no set-point yet

    // 500 units: 0.1 s up, 0.4 s at 1000 units/s, 0.1 s down.
    Write(0x607A, 500);
    Control(0x003F);
    EXPECT_FALSE(Reached());
    EXPECT_TRUE(ModeBit());  // set-point acknowledged
    double top_speed = 0.0;
    const double t = RunUntil(
        [&] {
            top_speed = std::max(top_speed, std::fabs(drive_.velocity()));
            return Reached();
        },
        5.0);
    EXPECT_NEAR(t, 0.6, 0.02);
    EXPECT_LE(top_speed, 1000.0);
    EXPECT_EQ(Position(), 500);
    EXPECT_EQ(drive_.velocity(), 0.0);

    // Relative moves count from the current target; 0x003F again (bit 4 never cleared) triggers.
    Write(0x607A, static_cast<uint32_t>(-200));
    Control(0x007F);
    RunUntil([&] { return Reached(); }, 5.0);
    EXPECT_EQ(Position(), 300);
    Write(0x607A, 800);
    Control(0x003F);
    RunUntil([&] { return Reached(); }, 5.0);
    EXPECT_EQ(Position(), 800);
    EXPECT_EQ(Status() & 0x0400, 0x0400);
}

TEST_F(DriveTest, ProfilePositionChangeImmediatelyOrAfterTheCurrentSetPoint) {
    EnableIn(kModeProfilePosition);
    Write(0x607A, 100000);
    Control(0x003F);
    drive_.Advance(0.2);
    ASSERT_GT(Position(), 0);

    // Immediately: a target behind the motor makes it turn round.
    Write(0x607A, static_cast<uint32_t>(-50));
    Control(0x003F);
    RunUntil([&] { return Reached(); }, 10.0);
    EXPECT_EQ(Position(), -50);

    // Without bit 5 the new set-point waits for the one in progress.
    Write(0x607A, 1000);
    Control(0x003F);
    drive_.Advance(0.01);
    Write(0x607A, 200);
    Control(0x001F);
    bool passed_first = false;
    RunUntil(
        [&] {
            passed_first = passed_first || Position() == 1000;
            return Reached();
        },
        10.0);
    EXPECT_TRUE(passed_first);
    EXPECT_EQ(Position(), 200);
}

TEST_F(DriveTest, HaltStopsTheMotorAndTheMoveResumesOnRelease) {
    EnableIn(kModeProfilePosition);
    Write(0x607A, 20000);
    Control(0x003F);
    drive_.Advance(0.5);
    Control(0x013F);
    RunUntil([&] { return drive_.velocity() == 0.0; }, 2.0);
    EXPECT_EQ(drive_.state(), DriveState::kOperationEnabled);
    EXPECT_TRUE(Reached());  // halted at standstill
    const int32_t held = Position();
    drive_.Advance(0.5);
    EXPECT_EQ(Position(), held);

    Control(0x000F);
    RunUntil([&] { return Reached(); }, 10.0);
    EXPECT_EQ(Position(), 20000);
}

TEST_F(DriveTest, VelocityModeRampsWithAccelerationAndDeceleration) {
    Write(0x6083, 10000);
    Write(0x6084, 20000);
    Write(0x60FF, 1000);
    EnableIn(kModeProfileVelocity);
    drive_.Advance(0.05);
    EXPECT_NEAR(drive_.velocity(), 500.0, 1.0);
    EXPECT_FALSE(Reached());
    drive_.Advance(0.06);
    EXPECT_EQ(static_cast<int32_t>(Read(0x606C)), 1000);
    EXPECT_TRUE(Reached());

    // Reversing brakes at the deceleration down to 0, then accelerates.
    Write(0x60FF, static_cast<uint32_t>(-1000));
    EXPECT_FALSE(Reached());
    drive_.Advance(0.05);
    EXPECT_NEAR(drive_.velocity(), 0.0, 1.0);
    drive_.Advance(0.05);
    EXPECT_NEAR(drive_.velocity(), -500.0, 1.0);

    Control(0x010F);  // halt
    RunUntil([&] { return drive_.velocity() == 0.0; }, 1.0);
    EXPECT_TRUE(Reached());
    EXPECT_TRUE(ModeBit());  // speed zero
}

TEST_F(DriveTest, ElapsedTimeInSmallPiecesAddsUpToTheSameMotion) {
    Drive whole(2);
    for (Drive* d : {&drive_, &whole}) {
        d->Write(0x6060, 0, 3, 1, false);
        d->Write(0x60FF, 0, 2000, 4, false);
        d->Write(0x6040, 0, 0x0F, 2, false);
    }
    for (int i = 0; i < 1000; ++i) drive_.Advance(0.0003);
    whole.Advance(0.3);
    EXPECT_NEAR(drive_.position(), whole.position(), 2.0);
    EXPECT_EQ(drive_.velocity(), whole.velocity());
}

TEST_F(DriveTest, TorqueModeAcceleratesByTorqueUpToTheSpeedLimit) {
    Write(0x607F, 500);
    Write(0x6071, 100);  // 10 % of rated torque
    EnableIn(kModeProfileTorque);
    drive_.Advance(0.002);
    const double early = drive_.velocity();
    EXPECT_NEAR(early, 0.002 * Drive::kRatedAcceleration / 10.0, 1.0);
    EXPECT_EQ(static_cast<int16_t>(Read(0x6077)), 100);
    drive_.Advance(2.0);
    EXPECT_EQ(drive_.velocity(), 500.0);

    Write(0x6071, static_cast<uint32_t>(-300));
    drive_.Advance(2.0);
    EXPECT_EQ(drive_.velocity(), -500.0);

    Control(0x010F);
    RunUntil([&] { return drive_.velocity() == 0.0; }, 1.0);
    EXPECT_EQ(drive_.velocity(), 0.0);
    EXPECT_TRUE(Reached());
}

TEST_F(DriveTest, QuickStopBrakesWithItsOwnDecelerationAndStaysActive) {
    Write(0x6085, 10000);
    Write(0x60FF, 1000);
    EnableIn(kModeProfileVelocity);
    drive_.Advance(0.5);
    Control(0x0002);
    EXPECT_EQ(drive_.state(), DriveState::kQuickStopActive);
    EXPECT_FALSE(Reached());
    const double t = RunUntil([&] { return drive_.velocity() == 0.0; }, 2.0);
    EXPECT_NEAR(t, 0.1, 0.005);
    EXPECT_EQ(drive_.state(), DriveState::kQuickStopActive);
    EXPECT_TRUE(Reached());
    drive_.Advance(0.5);
    EXPECT_EQ(drive_.velocity(), 0.0);
}

TEST_F(DriveTest, DisablingOperationStopsTheMotor) {
    Write(0x60FF, 1000);
    EnableIn(kModeProfileVelocity);
    drive_.Advance(0.5);
    Control(0x0007);
    drive_.Advance(0.5);
    EXPECT_EQ(drive_.velocity(), 0.0);
    EXPECT_EQ(drive_.state(), DriveState::kSwitchedOn);
}

TEST_F(DriveTest, NothingMovesUnlessOperationIsEnabled) {
    Write(0x6060, kModeProfileVelocity);
    Write(0x60FF, 1000);
    Control(0x0007);
    drive_.Advance(1.0);
    EXPECT_EQ(Position(), 0);
}

TEST_F(DriveTest, HomingWithASwitchMethodRunsThenZeroesThePosition) {
    EnableIn(kModeProfilePosition);
    Write(0x607A, 3000);
    Control(0x003F);
    RunUntil([&] { return Reached(); }, 5.0);

    // The sequence HM_Set then HM_start_motor writes.
    Control(0x010F);
    Write(0x6060, kModeHoming);
    Write(0x6098, 17);
    Write(0x6099, 2000, 1);
    Write(0x6099, 500, 2);
    Write(0x609A, 20000);
    EXPECT_FALSE(ModeBit());
    Control(0x001F);
    EXPECT_FALSE(Reached());
    drive_.Advance(0.05);
    EXPECT_LT(drive_.velocity(), 0.0);  // method 17 searches towards the negative end
    EXPECT_FALSE(Reached());
    const double t = RunUntil([&] { return ModeBit(); }, 10.0);
    EXPECT_LT(t, 3.0);
    EXPECT_EQ(Position(), 0);
    EXPECT_TRUE(Reached());
    EXPECT_EQ(Status() & 0x1400, 0x1400);
    EXPECT_FALSE(drive_.moving());
}

TEST_F(DriveTest, HomingMethodZeroRunsAgainstAHardStopByTorque) {
    Control(0x010F);
    Write(0x6060, kModeHoming);
    Write(0x6098, 0);
    Write(0x607F, 2000);
    Write(0x6071, 300, 0);
    Control(0x001F);
    bool pressed = false;
    double top_speed = 0.0;
    const double t = RunUntil(
        [&] {
            top_speed = std::max(top_speed, drive_.velocity());
            pressed = pressed || static_cast<int16_t>(Read(0x6077)) == 300;
            return ModeBit();
        },
        10.0);
    EXPECT_LT(t, 3.0);
    EXPECT_TRUE(pressed);
    EXPECT_LE(top_speed, 2000.0);
    EXPECT_GT(top_speed, 0.0);
    EXPECT_EQ(Position(), 0);
    EXPECT_EQ(Status() & 0x1400, 0x1400);
}

TEST_F(DriveTest, HaltInterruptsHomingAndANewStartRunsItAgain) {
    Control(0x010F);
    Write(0x6060, kModeHoming);
    Control(0x001F);
    drive_.Advance(0.1);
    Control(0x011F);
    RunUntil([&] { return drive_.velocity() == 0.0; }, 2.0);
    EXPECT_FALSE(drive_.homing());
    EXPECT_FALSE(ModeBit());
    EXPECT_NE(Position(), 0);
    Control(0x001F);
    RunUntil([&] { return ModeBit(); }, 10.0);
    EXPECT_EQ(Position(), 0);
}

// ---- the strict CiA 402 drive ---------------------------------------------------------------

// Transmit PDOs: the objects' power-on values, their change rules, the packing and the timers.
class TpdoTest : public DriveTest {
  protected:
    uint32_t Try(uint16_t index, uint8_t subindex, uint32_t value) {
        return drive_.Write(index, subindex, value, 0, false);
    }
    // Frames per identifier sent over `seconds` of motion and timers run in `step` pieces.
    std::map<uint16_t, int> Count(double seconds, double step) {
        std::map<uint16_t, int> frames;
        for (double t = 0.0; t < seconds - 1e-9; t += step) {
            drive_.Advance(step);
            for (const codec::Frame& f : drive_.TransmitPdos(step)) ++frames[codec::CobId(f)];
        }
        return frames;
    }
    // TPDO `pdo` (0-3) sending every `period_ms` on its default identifier.
    void Stream(int pdo, uint16_t period_ms) {
        const auto comm = static_cast<uint16_t>(0x1800 + pdo);
        Write(comm, period_ms, 5);
        Write(comm, 0x180u + 0x100u * static_cast<uint32_t>(pdo) + 1, 1);
    }
};

TEST_F(TpdoTest, FourTpdosPowerUpInvalidWithTheirDefaultIdentifiersAndMappings) {
    const uint32_t mappings[4][3] = {{1, 0x60410010, 0},
                                     {2, 0x60410010, 0x60610008},
                                     {2, 0x60410010, 0x60640020},
                                     {2, 0x60410010, 0x606C0020}};
    for (int pdo = 0; pdo < 4; ++pdo) {
        const auto comm = static_cast<uint16_t>(0x1800 + pdo);
        const auto map = static_cast<uint16_t>(0x1A00 + pdo);
        EXPECT_EQ(Read(comm, 0), 5u) << pdo;
        EXPECT_EQ(Read(comm, 1), 0x80000000u + 0x181u + 0x100u * static_cast<uint32_t>(pdo));
        EXPECT_EQ(Read(comm, 2), 255u);
        EXPECT_EQ(Read(comm, 3), 0u);
        EXPECT_EQ(Read(comm, 5), 0u);
        for (int sub = 0; sub < 3; ++sub)
            EXPECT_EQ(Read(map, static_cast<uint8_t>(sub)), mappings[pdo][sub]);
        EXPECT_EQ(Read(map, 8), 0u);
    }
    uint32_t value = 0;
    std::size_t size = 0;
    EXPECT_EQ(drive_.Read(0x1800, 4, &value, &size), 0x06090011u) << "sub 4 is reserved";
    EXPECT_EQ(drive_.Read(0x1804, 1, &value, &size), 0x06020000u);
    EXPECT_EQ(Try(0x1800, 0, 6), 0x06010002u);
    Drive other(5);
    EXPECT_EQ(other.Read(0x1803, 1, &value, &size), 0u);
    EXPECT_EQ(value, 0x80000485u);
}

TEST_F(TpdoTest, MappingAndIdentifierChangeOnlyAsTheRulesAllow) {
    constexpr uint32_t kState = 0x08000022;
    constexpr uint32_t kCannotMap = 0x06040041;
    constexpr uint32_t kTooLong = 0x06040042;
    constexpr uint32_t kBadValue = 0x06090030;
    struct Step {
        uint16_t index;
        uint8_t subindex;
        uint32_t value;
        uint32_t abort;
        const char* what;
    };
    const Step steps[] = {
        {0x1A00, 1, 0x60640020, kState, "entry while the count is 1"},
        {0x1A00, 0, 0, 0, "count 0"},
        {0x1800, 1, 0x181, kState, "valid with nothing mapped"},
        {0x1A00, 1, 0x60400010, kCannotMap, "controlword is not mappable"},
        {0x1A00, 1, 0x20030020, kCannotMap, "LED is not mappable"},
        {0x1A00, 1, 0x12340020, kCannotMap, "no such object"},
        {0x1A00, 1, 0x60410110, kCannotMap, "no such subindex"},
        {0x1A00, 1, 0x60640010, kCannotMap, "position is 32 bits, not 16"},
        {0x1A00, 1, 0x60410020, kCannotMap, "statusword is 16 bits, not 32"},
        {0x1A00, 1, 0x60640020, 0, "position"},
        {0x1A00, 2, 0x606C0020, 0, "velocity"},
        {0x1A00, 3, 0x60410010, 0, "statusword"},
        {0x1A00, 4, 0, 0, "an empty entry"},
        {0x1A00, 0, 3, kTooLong, "80 bits"},
        {0x1A00, 0, 9, kTooLong, "nine entries"},
        {0x1A00, 0, 2, 0, "64 bits"},
        {0x1A00, 3, 0x60770010, kState, "entry while the count is 2"},
        {0x1800, 1, 0x581, kBadValue, "an SDO identifier"},
        {0x1800, 1, 0x701, kBadValue, "a heartbeat identifier"},
        {0x1800, 1, 0x20000181, kBadValue, "a 29-bit identifier"},
        {0x1800, 1, 0x181, 0, "valid"},
        {0x1A00, 0, 0, kState, "count while valid"},
        {0x1A00, 3, 0x60770010, kState, "entry while valid"},
        {0x1800, 1, 0x1C1, kState, "another identifier while valid"},
        {0x1800, 1, 0x40000181, 0, "the same identifier, no remote request"},
        {0x1800, 3, 50, kState, "inhibit time while valid"},
        {0x1800, 5, 10, 0, "event timer while valid"},
        {0x1800, 2, 245, kBadValue, "reserved transmission type"},
        {0x1800, 2, 254, 0, "transmission type while valid"},
        {0x1800, 1, 0x80000181, 0, "invalid"},
        {0x1800, 3, 50, 0, "inhibit time while invalid"},
        {0x1800, 1, 0x1C1, 0, "valid on another identifier"},
    };
    for (const Step& s : steps) {
        const uint32_t before = Read(s.index, s.subindex);
        EXPECT_EQ(Try(s.index, s.subindex, s.value), s.abort) << s.what;
        EXPECT_EQ(Read(s.index, s.subindex), s.abort == 0 ? s.value : before)
            << s.what << ": a refused write changes nothing";
    }
    EXPECT_EQ(Read(0x1A00, 0), 2u);
    EXPECT_EQ(Read(0x1A00, 3), 0x60410010u);
}

TEST(TpdoPacking, MappedValuesGoLeastSignificantFirstWithTheirSignAndLength) {
    struct Case {
        std::vector<std::pair<uint32_t, uint32_t>> entries;  // mapping entry, object value
        codec::Data data;
    };
    const Case cases[] = {
        {{{0x60610008, 0xFA}, {0x60770010, 0xFF6A}, {0x60640020, 0xFFFFFFFE}},
         {0xFA, 0x6A, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x00}},
        {{{0x60410010, 0x1237}, {0x606C0020, 0x01020304}},
         {0x37, 0x12, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00}},
        {{{0x60FD0020, 0x80000001}, {0x60640020, 0x7FFFFFFF}},
         {0x01, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}},
        {{{0x603F0010, 0x2310}, {0x10010008, 0x03}, {0x60610008, 0x01}},
         {0x10, 0x23, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {std::vector<std::pair<uint32_t, uint32_t>>(8, {0x10010008, 0x21}),
         {0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        ObjectDictionary od = MakeDriveDictionary(1);
        uint8_t sub = 0;
        for (const auto& [entry, value] : c.entries) {
            od.Set(0x1A01, ++sub, entry);
            od.Set(static_cast<uint16_t>(entry >> 16), static_cast<uint8_t>(entry >> 8), value);
        }
        od.Set(0x1A01, 0, sub);
        EXPECT_EQ(PackTpdo(od, 1), c.data) << c.entries.size() << " entries";
    }
}

TEST_F(TpdoTest, EventTimersSendOnlyWhileOperationalValidAndEventDriven) {
    Stream(0, 10);
    EXPECT_TRUE(Count(1.0, 0.001).empty()) << "pre-operational";
    EXPECT_LT(drive_.SecondsToNextPdo(), 0.0);

    drive_.set_nmt_state(NmtState::kOperational);
    EXPECT_GT(drive_.SecondsToNextPdo(), 0.0);
    EXPECT_LE(drive_.SecondsToNextPdo(), 0.010 + 1e-9);
    // The first frame one period after the start, carrying the statusword.
    EXPECT_TRUE(drive_.TransmitPdos(0.009).empty());
    const std::vector<codec::Frame> first = drive_.TransmitPdos(0.001);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(codec::CobId(first[0]), 0x181);
    EXPECT_EQ(first[0][2] | first[0][3] << 8, Status());
    EXPECT_EQ(first[0][4], 0);

    // 100 a second, in any size of time steps; a second TPDO at its own period.
    Stream(1, 25);
    for (const double step : {0.001, 0.003, 0.0007}) {
        const std::map<uint16_t, int> frames = Count(1.0, step);
        EXPECT_GE(frames.at(0x181), 98) << step;
        EXPECT_LE(frames.at(0x181), 101) << step;
        EXPECT_GE(frames.at(0x281), 38) << step;
        EXPECT_LE(frames.at(0x281), 41) << step;
    }
    // A caller that stalls gets one frame per TPDO, not the missed ones.
    EXPECT_EQ(drive_.TransmitPdos(0.5).size(), 2u);

    // The inhibit time stretches a shorter event timer.
    Write(0x1801, 0x80000281, 1);
    Write(0x1800, 0x80000181, 1);
    Write(0x1800, 200, 3);  // 20 ms
    Write(0x1800, 0x181, 1);
    std::map<uint16_t, int> frames = Count(1.0, 0.001);
    EXPECT_EQ(frames.count(0x281), 0u) << "invalid again";
    EXPECT_GE(frames[0x181], 48);
    EXPECT_LE(frames[0x181], 51);

    // No frames when stopped, pre-operational, synchronous or without an event timer.
    for (const NmtState state : {NmtState::kStopped, NmtState::kPreOperational}) {
        drive_.set_nmt_state(state);
        EXPECT_TRUE(Count(0.2, 0.001).empty()) << NmtStateName(state);
    }
    drive_.set_nmt_state(NmtState::kOperational);
    Write(0x1800, 1, 2);
    EXPECT_TRUE(Count(0.2, 0.001).empty()) << "synchronous: no SYNC here";
    Write(0x1800, 254, 2);
    Write(0x1800, 0, 5);
    EXPECT_TRUE(Count(0.2, 0.001).empty()) << "no event timer";
    Write(0x1800, 10, 5);
    EXPECT_GE(Count(0.2, 0.001)[0x181], 9) << "254 sends like 255";
}

class StrictDriveTest : public DriveTest {
  protected:
    StrictDriveTest() { drive_ = Drive(1, true); }

    // Walks a fresh drive to `state` along transitions the state machine has.
    void Reach(DriveState state) {
        switch (state) {
            case DriveState::kSwitchOnDisabled:
                break;
            case DriveState::kReadyToSwitchOn:
                Control(0x0006);
                break;
            case DriveState::kSwitchedOn:
                Control(0x0006);
                Control(0x0007);
                break;
            case DriveState::kOperationEnabled:
                Control(0x0006);
                Control(0x000F);
                break;
            case DriveState::kQuickStopActive:
                Reach(DriveState::kOperationEnabled);
                Control(0x0002);
                break;
            case DriveState::kFault:
                drive_.InjectFault(kFollowingError);
                break;
        }
        ASSERT_EQ(drive_.state(), state) << StateName(state);
    }

    void EnableStrictIn(int8_t mode) {
        Write(0x6060, static_cast<uint8_t>(mode));
        Reach(DriveState::kOperationEnabled);
    }
};

constexpr DriveState kSOD = DriveState::kSwitchOnDisabled;
constexpr DriveState kRTSO = DriveState::kReadyToSwitchOn;
constexpr DriveState kSO = DriveState::kSwitchedOn;
constexpr DriveState kOE = DriveState::kOperationEnabled;
constexpr DriveState kQSA = DriveState::kQuickStopActive;
constexpr DriveState kFLT = DriveState::kFault;

TEST_F(StrictDriveTest, EachCommandIsTakenOnlyWhereTheStateMachineHasItsTransition) {
    EXPECT_EQ(Status(), 0x0240);  // power-up: switch on disabled, remote
    struct Row {
        DriveState from;
        // The state after: disable voltage, quick stop, shutdown, switch on, enable operation,
        // and a controlword with bit 7 high.
        DriveState after[6];
    };
    const uint16_t commands[6] = {0x0000, 0x0002, 0x0006, 0x0007, 0x000F, 0x008F};
    const Row table[] = {
        {kSOD, {kSOD, kSOD, kRTSO, kSOD, kSOD, kSOD}},
        {kRTSO, {kSOD, kSOD, kRTSO, kSO, kOE, kRTSO}},
        {kSO, {kSOD, kSOD, kRTSO, kSO, kOE, kSO}},
        {kOE, {kSOD, kQSA, kRTSO, kSO, kOE, kOE}},
        {kQSA, {kSOD, kQSA, kQSA, kQSA, kOE, kQSA}},   // quick stop option 6 (the default)
        {kFLT, {kFLT, kFLT, kFLT, kFLT, kFLT, kSOD}},  // only the rising bit 7 leaves fault
    };
    for (const Row& row : table) {
        for (int c = 0; c < 6; ++c) {
            drive_ = Drive(1, true);
            Reach(row.from);
            Control(commands[c]);
            EXPECT_EQ(drive_.state(), row.after[c])
                << StateName(row.from) << " + 0x" << std::hex << commands[c] << " gave "
                << StateName(drive_.state());
        }
    }
}

TEST_F(StrictDriveTest, StatuswordShowsTheStateUnderItsMask) {
    struct Row {
        DriveState state;
        uint16_t mask;
        uint16_t value;
    };
    const Row rows[] = {
        {kSOD, 0x4F, 0x40}, {kRTSO, 0x6F, 0x21}, {kSO, 0x6F, 0x23},
        {kOE, 0x6F, 0x27},  {kQSA, 0x6F, 0x07},  {kFLT, 0x4F, 0x08},
    };
    for (const Row& row : rows) {
        drive_ = Drive(1, true);
        Reach(row.state);
        EXPECT_EQ(Status() & row.mask, row.value) << StateName(row.state);
        EXPECT_NE(Status() & 0x0200, 0) << "remote";
        const bool powered = row.state != kSOD && row.state != kFLT;
        EXPECT_EQ((Status() & 0x0010) != 0, powered) << "voltage enabled, " << StateName(row.state);
    }
}

TEST_F(StrictDriveTest, TheOneFrameEnableDoesNothingFromPowerUpButTheStepsDo) {
    Control(0x000F);
    EXPECT_EQ(drive_.state(), kSOD);
    Control(0x0006);
    EXPECT_EQ(drive_.state(), kRTSO);
    Control(0x0007);
    EXPECT_EQ(drive_.state(), kSO);
    Control(0x000F);
    EXPECT_EQ(drive_.state(), kOE);
}

TEST_F(StrictDriveTest, QuickStopEndsAsItsOptionCodeSays) {
    // Option 2: brake on the quick stop ramp, then switch on disabled; no way back to operation.
    Write(0x605A, 2);
    Write(0x6085, 10000);
    Write(0x60FF, 1000);
    EnableStrictIn(kModeProfileVelocity);
    drive_.Advance(0.5);
    Control(0x000B);
    EXPECT_EQ(drive_.state(), kQSA);
    Control(0x000F);
    EXPECT_EQ(drive_.state(), kQSA);
    const double t = RunUntil([&] { return drive_.state() != kQSA; }, 2.0);
    EXPECT_NEAR(t, 0.1, 0.005);
    EXPECT_EQ(drive_.state(), kSOD);
    EXPECT_EQ(drive_.velocity(), 0.0);

    // Option 6 (the default): stays in quick stop active at standstill; enable operation goes
    // back.
    drive_ = Drive(1, true);
    Write(0x60FF, 1000);
    EnableStrictIn(kModeProfileVelocity);
    drive_.Advance(0.2);
    Control(0x0002);
    RunUntil([&] { return drive_.velocity() == 0.0; }, 2.0);
    drive_.Advance(0.1);
    EXPECT_EQ(drive_.state(), kQSA);
    EXPECT_TRUE(Reached());
    Control(0x000F);
    EXPECT_EQ(drive_.state(), kOE);

    // Option 0: straight to switch on disabled.
    drive_ = Drive(1, true);
    Write(0x605A, 0);
    Reach(kOE);
    Control(0x0002);
    EXPECT_EQ(drive_.state(), kSOD);
}

TEST_F(StrictDriveTest, ASetPointIsTakenOnlyOnARisingBitFourAndAcknowledgedWhileItIsHigh) {
    EnableStrictIn(kModeProfilePosition);
    Write(0x6081, 100000);
    Write(0x607A, 500);
    Control(0x003F);  // bit 4 rises: taken at once (bit 5)
    EXPECT_TRUE(ModeBit());
    EXPECT_FALSE(Reached());
    RunUntil([&] { return Reached(); }, 5.0);
    EXPECT_EQ(Position(), 500);
    EXPECT_TRUE(ModeBit()) << "acknowledge holds while bit 4 is high";

    // The library's second move: bit 4 is still high, so no edge and no move.
    Write(0x607A, 900);
    Control(0x003F);
    drive_.Advance(0.5);
    EXPECT_EQ(Position(), 500);
    EXPECT_TRUE(Reached());

    // Bit 4 low drops the acknowledge; the next rise takes the new target.
    Control(0x002F);
    EXPECT_FALSE(ModeBit());
    Control(0x003F);
    EXPECT_TRUE(ModeBit());
    RunUntil([&] { return Reached(); }, 5.0);
    EXPECT_EQ(Position(), 900);

    // Relative (bit 6): counted from the target just reached.
    Control(0x002F);
    Write(0x607A, static_cast<uint32_t>(-300));
    Control(0x007F);
    RunUntil([&] { return Reached(); }, 5.0);
    EXPECT_EQ(Position(), 600);

    // A rising edge outside operation enabled is not remembered for later.
    Control(0x0007);
    Write(0x607A, 0);
    Control(0x0017);
    Control(0x001F);
    drive_.Advance(0.5);
    EXPECT_EQ(Position(), 600);
}

TEST_F(StrictDriveTest, ASecondSetPointWaitsInTheBufferAndHoldsTheAcknowledge) {
    EnableStrictIn(kModeProfilePosition);
    Write(0x607A, 2000);
    Control(0x001F);  // not immediate, but nothing runs: taken at once
    drive_.Advance(0.05);
    Control(0x000F);
    EXPECT_FALSE(ModeBit());

    Write(0x607A, 100);
    Control(0x001F);  // buffered behind the move in progress
    EXPECT_TRUE(ModeBit());
    Control(0x000F);
    EXPECT_TRUE(ModeBit()) << "the one buffer place is full";

    Write(0x607A, 5000);
    Control(0x001F);  // no room: ignored
    Control(0x000F);

    bool passed_first = false;
    RunUntil(
        [&] {
            passed_first = passed_first || Position() == 2000;
            return !ModeBit();
        },
        10.0);
    EXPECT_TRUE(passed_first);
    RunUntil([&] { return Reached(); }, 10.0);
    EXPECT_EQ(Position(), 100);
}

TEST_F(StrictDriveTest, HomingStartsOnARisingEdgeAndAFallingOneInterruptsIt) {
    Write(0x6060, kModeHoming);
    Control(0x0006);
    Control(0x0017);  // bit 4 rises while switched on: no homing outside operation enabled
    Control(0x001F);
    drive_.Advance(0.1);
    EXPECT_EQ(drive_.state(), kOE);
    EXPECT_FALSE(drive_.homing());

    Control(0x000F);
    Control(0x001F);
    EXPECT_TRUE(drive_.homing());
    drive_.Advance(0.1);
    Control(0x000F);
    EXPECT_FALSE(drive_.homing());
    RunUntil([&] { return Reached(); }, 2.0);
    EXPECT_FALSE(ModeBit());

    Control(0x001F);
    RunUntil([&] { return ModeBit(); }, 10.0);
    EXPECT_EQ(Position(), 0);
    EXPECT_EQ(Status() & 0x1400, 0x1400);
}

TEST_F(StrictDriveTest, OnlyModelledModesAreTakenAndTheDisplayFollows) {
    EXPECT_EQ(Read(0x6502), 0x2Du);
    Write(0x6060, kModeProfileVelocity);
    EXPECT_EQ(Read(0x6061), 3u);
    for (const uint8_t refused : {2, 5, 7, 8, 9, 10, 0xFF}) {
        EXPECT_EQ(drive_.Write(0x6060, 0, refused, 1, true), kAbortInvalidValue) << int{refused};
        EXPECT_EQ(Read(0x6061), 3u);
        EXPECT_EQ(Read(0x6060), 3u);
    }
    Write(0x6060, 0);
    EXPECT_EQ(Read(0x6061), 0u);
}

TEST_F(StrictDriveTest, AFaultRaisesAnEmergencyAndItsResetAnother) {
    Reach(kOE);
    drive_.InjectFault(0x8611);
    EXPECT_EQ(Read(0x603F), 0x8611u);
    EXPECT_EQ(Read(0x1001), 0x21u);  // generic + device profile
    std::vector<Emergency> raised = drive_.TakeEmergencies();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].error_code, 0x8611);
    EXPECT_EQ(raised[0].error_register, 0x21);
    EXPECT_TRUE(drive_.TakeEmergencies().empty());

    Control(0x008F);  // rising bit 7
    EXPECT_EQ(drive_.state(), kSOD);
    EXPECT_EQ(Read(0x603F), 0u);
    raised = drive_.TakeEmergencies();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].error_code, 0);
    Control(0x000F);
    EXPECT_EQ(drive_.state(), kSOD) << "bit 7 falling is no command; 0x0F still needs shutdown";
}

TEST(ErrorRegister, EachErrorClassSetsItsBitBesideGeneric) {
    const std::pair<uint16_t, uint8_t> cases[] = {
        {0x0000, 0x00}, {0x1000, 0x01}, {0x2310, 0x03}, {0x3210, 0x05}, {0x4310, 0x09},
        {0x8110, 0x11}, {0x8611, 0x21}, {0x7500, 0x01}, {0xFF01, 0x81},
    };
    for (const auto& [code, bits] : cases) {
        EXPECT_EQ(ErrorRegisterFor(code), bits) << std::hex << code;
    }
}

}  // namespace
}  // namespace orvex::sim
