// Frames in, frames out: the adapter side of the line with the drives behind it.
#include <gtest/gtest.h>

#include "sdo_server.h"
#include "sim_test_util.h"

namespace orvex::sim {
namespace {

using testing::Hex;
using testing::Sdo;
using Frames = std::vector<std::string>;

std::vector<Frame> Send(BusServer& bus, const Frame& request) {
    return bus.Handle(request);
}

TEST(BusServerUpload, AnswersWithTheObjectSizeInTheCommandByte) {
    BusServer bus(ServerOptions{});
    // Given a fresh drive at node 1; the request's own size hint does not matter.
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x1001, 0))),
              Frames{"05 81 4F 01 10 00 00 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x43, 0x6041, 0))),
              Frames{"05 81 4B 41 60 00 40 02 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x4F, 0x1000, 0))),
              Frames{"05 81 43 00 10 00 92 01 02 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(2, 0x40, 0x2001, 1))),
              Frames{"05 82 4B 01 20 01 03 01 00 00 0D 0A"});
}

TEST(BusServerUpload, SignedObjectsComeBackInTheirOwnSize) {
    BusServer bus(ServerOptions{});
    Send(bus, Sdo(1, 0x2F, 0x6098, 0, 0xFFFFFFFE));  // method -2
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x6098, 0))),
              Frames{"05 81 4F 98 60 00 FE 00 00 00 0D 0A"});
    Send(bus, Sdo(1, 0x23, 0x607A, 0, 0xFFFFFF9C));  // -100
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x607A, 0))),
              Frames{"05 81 43 7A 60 00 9C FF FF FF 0D 0A"});
}

TEST(BusServerAbort, RefusesWithTheCodeForEachFault) {
    ServerOptions options;
    options.strict_sizes = true;
    BusServer bus(options);
    struct Case {
        Frame request;
        const char* answer;
    };
    const Case cases[] = {
        {Sdo(1, 0x40, 0x1234, 0), "05 81 80 34 12 00 00 00 02 06 0D 0A"},       // no object
        {Sdo(1, 0x40, 0x6041, 1), "05 81 80 41 60 01 11 00 09 06 0D 0A"},       // no subindex
        {Sdo(1, 0x2B, 0x6041, 0, 7), "05 81 80 41 60 00 02 00 01 06 0D 0A"},    // read-only
        {Sdo(1, 0x2F, 0x1018, 0, 7), "05 81 80 18 10 00 02 00 01 06 0D 0A"},    // read-only sub 0
        {Sdo(1, 0x23, 0x6071, 0, 300), "05 81 80 71 60 00 10 00 07 06 0D 0A"},  // size mismatch
        {Sdo(1, 0x23, 0x6098, 0, 0), "05 81 80 98 60 00 10 00 07 06 0D 0A"},    // size mismatch
        {Sdo(1, 0xE0, 0x607A, 0, 0), "05 81 80 7A 60 00 01 00 04 05 0D 0A"},    // no such command
        {Sdo(1, 0x60, 0x607A, 0, 0), "05 81 80 7A 60 00 01 00 04 05 0D 0A"},  // no upload under way
        {Sdo(1, 0x21, 0x1008, 0, 9), "05 81 80 08 10 00 02 00 01 06 0D 0A"},  // read-only string
        {Sdo(1, 0x21, 0x2010, 0, 4097), "05 81 80 10 20 00 12 00 07 06 0D 0A"},  // DOMAIN too long
        {Sdo(1, 0x21, 0x607A, 0, 5), "05 81 80 7A 60 00 12 00 07 06 0D 0A"},     // number too long
        {Sdo(0, 0x23, 0x3001, 0, 1), "05 80 80 01 30 00 02 00 01 06 0D 0A"},     // bus summary
        {Sdo(0, 0x40, 0x6041, 0), "05 80 80 41 60 00 00 00 02 06 0D 0A"},        // bus: no object
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(Send(bus, c.request)), Frames{c.answer}) << Hex(c.request);
    }
    // The right size passes the strict check.
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x2B, 0x6071, 0, 300))),
              Frames{"05 81 60 71 60 00 00 00 00 00 0D 0A"});
}

TEST(BusServerSilence, AbsentNodesOtherTrafficAndClientAbortsGetNoAnswer) {
    BusServer bus(ServerOptions{});
    EXPECT_TRUE(Send(bus, Sdo(3, 0x40, 0x6041, 0)).empty());
    EXPECT_TRUE(Send(bus, Sdo(0x7F, 0x40, 0x6041, 0)).empty());
    EXPECT_TRUE(Send(bus, MakeFrame(0x581, {0x4B, 0x41, 0x60, 0, 0, 0, 0, 0})).empty());
    EXPECT_TRUE(Send(bus, Sdo(1, 0x80, 0x6041, 0)).empty());
    EXPECT_TRUE(Send(bus, MakeFrame(0x000, {0x01, 0x00, 0, 0, 0, 0, 0, 0})).empty());  // start
}

TEST(BusServerDownload, LenientSizesStoreTheLowBytesOfTheObject) {
    BusServer bus(ServerOptions{});
    // Target torque -150 as a 4-byte download, the homing method 256 as 1 byte with 4 value bytes.
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x23, 0x6071, 0, 0xFFFFFF6A))),
              Frames{"05 81 60 71 60 00 00 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x2F, 0x6098, 0, 0x100))),
              Frames{"05 81 60 98 60 00 00 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x6071, 0))),
              Frames{"05 81 4B 71 60 00 6A FF 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x6098, 0))),
              Frames{"05 81 4F 98 60 00 00 00 00 00 0D 0A"});
    // An LED write with no size announced (0x22) is taken whole.
    EXPECT_EQ(Hex(Send(bus, Sdo(2, 0x22, 0x2003, 0x14, 0x01020304))),
              Frames{"05 82 60 03 20 14 00 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(2, 0x40, 0x2003, 0x14))),
              Frames{"05 82 43 03 20 14 04 03 02 01 0D 0A"});
}

TEST(BusServerAcks, ConfirmationsAndBootUpsUnlessTheAdapterForwardsNone) {
    const char* const boot_up_1 = "07 01 00 00 00 00 00 00 00 00 0D 0A";
    const char* const boot_up_2 = "07 02 00 00 00 00 00 00 00 00 0D 0A";
    struct Case {
        const char* adapter;
        bool no_acks;  // the options as they come, or with acks turned off
        Frames power_up;
        Frames confirmation;  // of the expedited enable
        Frames reset_two;
        Frames reset_all;
    };
    const Case cases[] = {
        {"forwarding everything (the default)",
         false,
         {boot_up_1, boot_up_2},
         {"05 81 60 40 60 00 00 00 00 00 0D 0A"},
         {boot_up_2},
         {boot_up_1, boot_up_2}},
        {"forwarding nothing but answers", true, {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter);
        ServerOptions options;
        if (c.no_acks) options.acks = false;
        BusServer bus(options);
        EXPECT_EQ(Hex(bus.Advance(0.0)), c.power_up);
        EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x2B, 0x6040, 0, 0x0F))), c.confirmation);
        // A refused download gets its abort either way, never a confirmation.
        EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x2B, 0x6041, 0, 0x0F))),
                  Frames{"05 81 80 41 60 00 02 00 01 06 0D 0A"});
        // The initiate of a segmented download is the transfer's own answer: always sent.
        EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x21, 0x2010, 0, 9))),
                  Frames{"05 81 60 10 20 00 00 00 00 00 0D 0A"});
        EXPECT_TRUE(Send(bus, Sdo(1, 0x80, 0x2010, 0, 0x05040000)).empty());
        EXPECT_EQ(Hex(Send(bus, MakeFrame(0x000, {0x82, 0x02, 0, 0, 0, 0, 0, 0}))), c.reset_two);
        EXPECT_EQ(Hex(Send(bus, MakeFrame(0x000, {0x82, 0x00, 0, 0, 0, 0, 0, 0}))), c.reset_all);
        // Resetting communication leaves the drive enabled.
        EXPECT_EQ(bus.drive(1).state(), DriveState::kOperationEnabled);
    }
}

TEST(BusServerSummaries, NodeZeroReportsOneBitPerDrive) {
    ServerOptions options;
    options.drive_count = 3;
    BusServer bus(options);
    bus.drive(3).InjectFault(0x2310);
    Send(bus, Sdo(2, 0x2B, 0x6040, 0, 0x0F));  // drive 2 enabled, mode 0, standing: reached

    EXPECT_EQ(Hex(Send(bus, Sdo(0, 0x40, 0x3001, 0))),
              Frames{"05 80 43 01 30 00 02 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(0, 0x40, 0x3002, 0))),
              Frames{"05 80 43 02 30 00 02 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(0, 0x40, 0x3003, 0))),
              Frames{"05 80 43 03 30 00 04 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(0, 0x40, 0x3001, 1))),
              Frames{"05 80 80 01 30 01 11 00 09 06 0D 0A"});

    // Starting a velocity run clears drive 2's target-reached bit until it is up to speed.
    Send(bus, Sdo(2, 0x2F, 0x6060, 0, 3));
    Send(bus, Sdo(2, 0x23, 0x60FF, 0, 1000));
    EXPECT_EQ(testing::ValueOf(Send(bus, Sdo(0, 0x40, 0x3002, 0)).at(0)), 0u);
    bus.Advance(1.0);
    EXPECT_EQ(testing::ValueOf(Send(bus, Sdo(0, 0x40, 0x3002, 0)).at(0)), 2u);
}

TEST(BusServerStrict, StrictDrivesCheckSizesAndWalkTheStateMachine) {
    ServerOptions options;
    options.strict_402 = true;
    BusServer bus(options);
    // The library's 4-byte target torque is refused by a drive that checks sizes.
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x23, 0x6071, 0, 40))),
              Frames{"05 81 80 71 60 00 10 00 07 06 0D 0A"});
    Send(bus, Sdo(1, 0x2B, 0x6040, 0, 0x0F));  // the one-frame enable
    EXPECT_EQ(bus.drive(1).state(), DriveState::kSwitchOnDisabled);
    Send(bus, Sdo(1, 0x2B, 0x6040, 0, 0x06));
    Send(bus, Sdo(1, 0x2B, 0x6040, 0, 0x0F));
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x6041, 0))),
              Frames{"05 81 4B 41 60 00 37 06 00 00 0D 0A"});
    // Supported drive modes in the lenient drive too.
    BusServer lenient(ServerOptions{});
    EXPECT_EQ(Hex(Send(lenient, Sdo(2, 0x40, 0x6502, 0))),
              Frames{"05 82 43 02 65 00 2D 00 00 00 0D 0A"});
}

TEST(BusServerEmergency, AFaultSendsItsCodeAndRegisterWhenTheAdapterForwards) {
    ServerOptions options;
    options.fault_node = 2;
    options.fault_code = 0x2310;
    options.acks = false;
    BusServer quiet(options);
    EXPECT_TRUE(quiet.Advance(0.0).empty());
    EXPECT_EQ(quiet.drive(2).state(), DriveState::kFault);

    options.acks = true;
    options.fault_code = kFollowingError;
    BusServer bus(options);
    // Given a drive found in fault at power-up: the boot-ups, then its emergency.
    EXPECT_EQ(Hex(bus.Advance(0.0)),
              (Frames{"07 01 00 00 00 00 00 00 00 00 0D 0A", "07 02 00 00 00 00 00 00 00 00 0D 0A",
                      "00 82 11 86 21 00 00 00 00 00 0D 0A"}));
    EXPECT_TRUE(bus.Advance(0.1).empty());
    EXPECT_EQ(Hex(Send(bus, Sdo(2, 0x40, 0x603F, 0))),
              Frames{"05 82 4B 3F 60 00 11 86 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(bus, Sdo(2, 0x40, 0x1001, 0))),
              Frames{"05 82 4F 01 10 00 21 00 00 00 0D 0A"});
    // The fault reset: acknowledgement, then the error-reset emergency.
    EXPECT_EQ(
        Hex(Send(bus, Sdo(2, 0x2B, 0x6040, 0, 0x80))),
        (Frames{"05 82 60 40 60 00 00 00 00 00 0D 0A", "00 82 00 00 00 00 00 00 00 00 0D 0A"}));
    EXPECT_EQ(bus.drive(2).state(), DriveState::kSwitchOnDisabled);
    // A reset node is a power-up: boot-up, then the fault it finds again.
    EXPECT_EQ(
        Hex(Send(bus, MakeFrame(0x000, {0x81, 0x02, 0, 0, 0, 0, 0, 0}))),
        (Frames{"07 02 00 00 00 00 00 00 00 00 0D 0A", "00 82 11 86 21 00 00 00 00 00 0D 0A"}));
    EXPECT_EQ(bus.drive(2).state(), DriveState::kFault);
}

TEST(BusServerHeartbeat, EachDriveReportsItsNetworkStateAtItsPeriod) {
    ServerOptions options;
    options.heartbeat_ms = 100;
    options.strict_402 = true;
    BusServer bus(options);
    EXPECT_EQ(Hex(bus.Advance(0.099)), (Frames{"07 01 00 00 00 00 00 00 00 00 0D 0A",
                                               "07 02 00 00 00 00 00 00 00 00 0D 0A"}));
    EXPECT_NEAR(bus.SecondsToNextHeartbeat(), 0.001, 1e-9);
    EXPECT_EQ(Hex(bus.Advance(0.001)), (Frames{"07 01 7F 00 00 00 00 00 00 00 0D 0A",
                                               "07 02 7F 00 00 00 00 00 00 00 0D 0A"}));

    struct Step {
        uint8_t command;
        uint8_t state;
    };
    const Step steps[] = {{0x01, 0x05}, {0x02, 0x04}, {0x80, 0x7F}, {0x01, 0x05}, {0x82, 0x7F}};
    for (const Step& step : steps) {
        Send(bus, MakeFrame(0x000, {step.command, 0x01, 0, 0, 0, 0, 0, 0}));
        const std::vector<Frame> beats = bus.Advance(0.1);
        ASSERT_EQ(beats.size(), 2u);
        EXPECT_EQ(beats[0][2], step.state) << std::hex << int{step.command};
        EXPECT_EQ(beats[1][2], 0x7F) << "drive 2 was not addressed";
    }

    // A stopped strict drive leaves SDO unanswered; a host can change the period through 0x1017.
    Send(bus, MakeFrame(0x000, {0x02, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(Send(bus, Sdo(1, 0x40, 0x6041, 0)).empty());
    Send(bus, MakeFrame(0x000, {0x80, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x2B, 0x1017, 0, 0))),
              Frames{"05 81 60 17 10 00 00 00 00 00 0D 0A"});
    EXPECT_EQ(bus.Advance(1.0).size(), 1u);  // drive 2 only, once however long the gap
}

TEST(BusServerTimed, ADriveFaultsAtItsTimeAndASilencedOneIsOffTheBusUntilItReturns) {
    ServerOptions options;
    options.heartbeat_ms = 100;
    options.faults_at = {{1, 250}};
    options.silences = {{2, 150, 450}};
    BusServer bus(options);
    EXPECT_EQ(bus.Advance(0.0).size(), 2u);  // the boot-ups
    EXPECT_NEAR(bus.SecondsToNextTimedEvent(), 0.150, 1e-9);
    EXPECT_EQ(bus.Advance(0.1).size(), 2u);  // both heartbeats
    EXPECT_EQ(Hex(bus.Advance(0.1)), Frames{"07 01 7F 00 00 00 00 00 00 00 0D 0A"});
    EXPECT_TRUE(bus.silenced(2));
    // Silent: no answer to SDO, deaf to NMT, and no boot-up from a reset it did not hear.
    EXPECT_TRUE(Send(bus, Sdo(2, 0x40, 0x6041, 0)).empty());
    EXPECT_TRUE(Send(bus, MakeFrame(0x000, {0x81, 0x02, 0, 0, 0, 0, 0, 0})).empty());
    // Drive 1 faults at 250 ms: its EMCY (following error, register 0x21), then heartbeats go on.
    EXPECT_EQ(Hex(bus.Advance(0.05)), Frames{"00 81 11 86 21 00 00 00 00 00 0D 0A"});
    EXPECT_EQ(bus.drive(1).state(), DriveState::kFault);
    EXPECT_EQ(bus.Advance(0.05).size(), 1u);
    EXPECT_EQ(bus.Advance(0.1).size(), 1u);
    // Back at 450 ms: it answers and beats again, and it kept its state (no reset reached it).
    bus.Advance(0.05);
    EXPECT_FALSE(bus.silenced(2));
    EXPECT_EQ(Send(bus, Sdo(2, 0x40, 0x6041, 0)).size(), 1u);
    const std::vector<Frame> beats = bus.Advance(0.1);
    ASSERT_EQ(beats.size(), 2u);
    EXPECT_EQ(Hex(beats[1]), "07 02 7F 00 00 00 00 00 00 00 0D 0A");
    EXPECT_LT(bus.SecondsToNextTimedEvent(), 0.0) << "nothing more is due";

    // A stopped drive answers no SDO whether it is strict or not, and its heartbeat shows 0x04;
    // NMT to all nodes reaches every drive.
    Send(bus, MakeFrame(0x000, {0x02, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(Send(bus, Sdo(1, 0x40, 0x6041, 0)).empty());
    EXPECT_TRUE(Send(bus, Sdo(2, 0x40, 0x6041, 0)).empty());
    for (const Frame& beat : bus.Advance(0.1)) EXPECT_EQ(beat[2], 0x04) << Hex(beat);
    Send(bus, MakeFrame(0x000, {0x01, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Send(bus, Sdo(1, 0x40, 0x6041, 0)).size(), 1u);
    // A fault reset of the timed fault sends the error-reset EMCY.
    EXPECT_EQ(
        Hex(Send(bus, Sdo(1, 0x2B, 0x6040, 0, 0x80))),
        (Frames{"05 81 60 40 60 00 00 00 00 00 0D 0A", "00 81 00 00 00 00 00 00 00 00 0D 0A"}));
}

TEST(BusServerTimed, ADriveSilentFromTheStartSendsNoBootUp) {
    ServerOptions options;
    options.silences = {{1, 0, -1}};
    BusServer bus(options);
    EXPECT_EQ(Hex(bus.Advance(0.0)), Frames{"07 02 00 00 00 00 00 00 00 00 0D 0A"});
    EXPECT_TRUE(Send(bus, Sdo(1, 0x40, 0x6041, 0)).empty());
    EXPECT_LT(bus.SecondsToNextTimedEvent(), 0.0);
}

TEST(BusServerPdo, ATpdoSetUpOverSdoStreamsWhileOperationalUntilAResetTakesItBack) {
    BusServer bus(ServerOptions{});
    bus.Advance(0.0);  // boot-ups
    auto ack = [](uint16_t index, uint8_t subindex) {
        return Hex(codec::SdoFrame(0x581, 0x60, index, subindex, 0));
    };
    auto refused = [](uint16_t index, uint8_t subindex, uint32_t code) {
        return Hex(codec::SdoFrame(0x581, 0x80, index, subindex, code));
    };
    struct Step {
        Frame request;
        std::string answer;
    };
    const Step steps[] = {
        {Sdo(1, 0x2F, 0x1A00, 0, 0), ack(0x1A00, 0)},
        {Sdo(1, 0x23, 0x1A00, 1, 0x60400010), refused(0x1A00, 1, 0x06040041)},
        {Sdo(1, 0x23, 0x1A00, 1, 0x60640020), ack(0x1A00, 1)},
        {Sdo(1, 0x23, 0x1A00, 2, 0x60410010), ack(0x1A00, 2)},
        {Sdo(1, 0x23, 0x1A00, 3, 0x60610008), ack(0x1A00, 3)},
        {Sdo(1, 0x23, 0x1A00, 4, 0x10010008), ack(0x1A00, 4)},
        {Sdo(1, 0x23, 0x1A00, 5, 0x60770010), ack(0x1A00, 5)},
        {Sdo(1, 0x2F, 0x1A00, 0, 6), refused(0x1A00, 0, 0x06040041)},  // sub 6 is empty
        {Sdo(1, 0x2F, 0x1A00, 0, 5), refused(0x1A00, 0, 0x06040042)},  // 80 bits
        {Sdo(1, 0x2F, 0x1A00, 0, 4), ack(0x1A00, 0)},
        {Sdo(1, 0x2B, 0x1800, 5, 10), ack(0x1800, 5)},
        {Sdo(1, 0x23, 0x1800, 1, 0x181), ack(0x1800, 1)},
        {Sdo(1, 0x2F, 0x1A00, 0, 0), refused(0x1A00, 0, 0x08000022)},
    };
    for (const Step& step : steps)
        EXPECT_EQ(Hex(Send(bus, step.request)), Frames{step.answer}) << Hex(step.request);

    // Position, statusword, mode display, error register; nothing from drive 2 or the unconfigured
    // TPDOs.
    const char* const pdo = "01 81 00 00 00 00 40 02 00 00 0D 0A";
    auto run = [&bus](double seconds) {
        std::vector<Frame> frames;
        for (double t = 0.0; t < seconds - 1e-9; t += 0.001) {
            const std::vector<Frame> now = bus.Advance(0.001);
            frames.insert(frames.end(), now.begin(), now.end());
        }
        return Hex(frames);
    };
    EXPECT_TRUE(run(0.1).empty()) << "pre-operational";
    auto start = [&bus](uint8_t command) {
        Send(bus, MakeFrame(0x000, {command, 0, 0, 0, 0, 0, 0, 0}));
    };
    start(0x01);
    Frames frames = run(0.1);
    EXPECT_GE(frames.size(), 9u);
    EXPECT_LE(frames.size(), 10u);
    EXPECT_EQ(frames, Frames(frames.size(), pdo));
    start(0x02);
    EXPECT_TRUE(run(0.1).empty()) << "stopped";
    start(0x01);
    EXPECT_GE(run(0.1).size(), 9u);

    // A reset of communication puts the TPDO back to its power-on objects: invalid again.
    start(0x82);
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x1800, 1))),
              Frames{Hex(codec::SdoFrame(0x581, 0x43, 0x1800, 1, 0x80000181))});
    EXPECT_EQ(Hex(Send(bus, Sdo(1, 0x40, 0x1A00, 1))),
              Frames{Hex(codec::SdoFrame(0x581, 0x43, 0x1A00, 1, 0x60410010))});
    start(0x01);
    EXPECT_TRUE(run(0.1).empty());
    EXPECT_LT(bus.SecondsToNextPdo(), 0.0);
}

// ---- transfers of any size: the server's side of each dialogue, frame by frame ----------------

Frame Data(int node, std::initializer_list<uint8_t> bytes) {
    codec::Data data{};
    std::size_t i = 0;
    for (uint8_t b : bytes) data[i++] = b;
    return codec::MakeFrame(static_cast<uint16_t>(0x600 + node), data);
}

struct Exchange {
    Frame request;
    Frames answers;
};

void Play(BusServer& bus, const std::vector<Exchange>& dialogue) {
    for (const Exchange& step : dialogue)
        EXPECT_EQ(Hex(Send(bus, step.request)), step.answers) << Hex(step.request);
}

TEST(BusServerTransfers, SegmentedUploadOfTheNameTogglesAndEnds) {
    BusServer bus(ServerOptions{});
    // "orvex-sim CiA 402 servo drive": 29 bytes, four full segments and one of one byte.
    Play(bus, {
                  {Sdo(1, 0x40, 0x1008, 0), {"05 81 41 08 10 00 1D 00 00 00 0D 0A"}},
                  {Data(1, {0x60}), {"05 81 00 6F 72 76 65 78 2D 73 0D 0A"}},
                  {Data(1, {0x70}), {"05 81 10 69 6D 20 43 69 41 20 0D 0A"}},
                  {Data(1, {0x60}), {"05 81 00 34 30 32 20 73 65 72 0D 0A"}},
                  {Data(1, {0x70}), {"05 81 10 76 6F 20 64 72 69 76 0D 0A"}},
                  {Data(1, {0x60}), {"05 81 0D 65 00 00 00 00 00 00 0D 0A"}},
                  // Over: another segment request is out of place.
                  {Data(1, {0x70}), {"05 81 80 00 00 00 01 00 04 05 0D 0A"}},
              });
    // A repeated toggle is refused, and the abort names the object.
    Play(bus, {
                  {Sdo(1, 0x40, 0x1008, 0), {"05 81 41 08 10 00 1D 00 00 00 0D 0A"}},
                  {Data(1, {0x60}), {"05 81 00 6F 72 76 65 78 2D 73 0D 0A"}},
                  {Data(1, {0x60}), {"05 81 80 08 10 00 00 00 03 05 0D 0A"}},
              });
}

TEST(BusServerTransfers, SegmentedDownloadIsStoredOnlyWhenWhole) {
    BusServer bus(ServerOptions{});
    Play(bus, {
                  {Sdo(1, 0x21, 0x2010, 0, 9), {"05 81 60 10 20 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0x00, 1, 2, 3, 4, 5, 6, 7}), {"05 81 20 00 00 00 00 00 00 00 0D 0A"}},
                  // A client abort ends the transfer: nothing is stored.
                  {Sdo(1, 0x80, 0x2010, 0, 0x05040000), {}},
                  {Sdo(1, 0x40, 0x2010, 0), {"05 81 41 10 20 00 00 04 00 00 0D 0A"}},
                  {Sdo(1, 0x80, 0x2010, 0, 0x05040000), {}},
                  {Sdo(1, 0x21, 0x2010, 0, 9), {"05 81 60 10 20 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0x00, 1, 2, 3, 4, 5, 6, 7}), {"05 81 20 00 00 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0x1B, 8, 9}), {"05 81 30 00 00 00 00 00 00 00 0D 0A"}},
                  {Sdo(1, 0x40, 0x2010, 0), {"05 81 41 10 20 00 09 00 00 00 0D 0A"}},
              });
}

TEST(BusServerTransfers, BlockDownloadAcknowledgesTheLastSegmentInOrder) {
    BusServer bus(ServerOptions{});
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint16_t crc = codec::BlockCrc(data, sizeof data);
    Play(bus, {
                  {Sdo(1, 0xC6, 0x2010, 0, 16), {"05 81 A4 10 20 00 7F 00 00 00 0D 0A"}},
                  {Data(1, {0x01, 1, 2, 3, 4, 5, 6, 7}), {}},
                  // Segment 2 is lost: 3 is out of order and ends the transfer's data.
                  {Data(1, {0x83, 15, 16}), {"05 81 A2 01 7F 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0x01, 8, 9, 10, 11, 12, 13, 14}), {}},
                  {Data(1, {0x82, 15, 16}), {"05 81 A2 02 7F 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0xD5, static_cast<uint8_t>(crc ^ 1), static_cast<uint8_t>(crc >> 8)}),
                   {"05 81 80 10 20 00 04 00 04 05 0D 0A"}},  // CRC mismatch
              });
    Play(bus, {
                  {Sdo(1, 0xC6, 0x2010, 0, 16), {"05 81 A4 10 20 00 7F 00 00 00 0D 0A"}},
                  {Data(1, {0x01, 1, 2, 3, 4, 5, 6, 7}), {}},
                  {Data(1, {0x02, 8, 9, 10, 11, 12, 13, 14}), {}},
                  {Data(1, {0x83, 15, 16}), {"05 81 A2 03 7F 00 00 00 00 00 0D 0A"}},
                  {Data(1, {0xD5, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}),
                   {"05 81 A1 00 00 00 00 00 00 00 0D 0A"}},
                  {Sdo(1, 0x40, 0x2010, 0), {"05 81 41 10 20 00 10 00 00 00 0D 0A"}},
              });
}

TEST(BusServerTransfers, OptionsRefuseBlocksAndInjectFaultsPerNode) {
    ServerOptions options;
    options.refuse_block = true;
    options.sdo_faults = {{2, SdoFaultKind::kLoseSegment, 2}};
    BusServer refusing(options);
    EXPECT_EQ(Hex(Send(refusing, Sdo(1, 0xA4, 0x1008, 0, 0x7F))),
              Frames{"05 81 80 08 10 00 01 00 04 05 0D 0A"});
    EXPECT_EQ(Hex(Send(refusing, Sdo(1, 0xC6, 0x2010, 0, 8))),
              Frames{"05 81 80 10 20 00 01 00 04 05 0D 0A"});

    options.refuse_block = false;
    BusServer lossy(options);
    // Node 2 loses its second block segment, once; node 1 sends all of them. Blocks of 3.
    const Frame initiate = Sdo(2, 0xA4, 0x1008, 0, 0x03);
    EXPECT_EQ(Hex(Send(lossy, initiate)), Frames{"05 82 C6 08 10 00 1D 00 00 00 0D 0A"});
    EXPECT_EQ(Hex(Send(lossy, Data(2, {0xA3}))), (Frames{"05 82 01 6F 72 76 65 78 2D 73 0D 0A",
                                                         "05 82 03 34 30 32 20 73 65 72 0D 0A"}));
    EXPECT_EQ(Hex(Send(lossy, Data(2, {0xA2, 1, 3}))),
              (Frames{"05 82 01 69 6D 20 43 69 41 20 0D 0A", "05 82 02 34 30 32 20 73 65 72 0D 0A",
                      "05 82 03 76 6F 20 64 72 69 76 0D 0A"}));
    EXPECT_EQ(Hex(Send(lossy, Sdo(1, 0xA4, 0x1008, 0, 0x03))),
              Frames{"05 81 C6 08 10 00 1D 00 00 00 0D 0A"});
    EXPECT_EQ(Send(lossy, Data(1, {0xA3})).size(), 3u);
}

}  // namespace
}  // namespace orvex::sim
