// The line model with time passed in: serial pacing, the latency timer and CAN bus time.
#include "line_model.h"

#include <gtest/gtest.h>

#include <vector>

#include "sdo_server.h"
#include "sim_test_util.h"

namespace orvex::sim {
namespace {

using testing::Sdo;

constexpr double kByte115200 = 10.0 / 115200;  // 86.8 us
constexpr double kJustAfter = 1e-9;            // past a byte's time, whatever the rounding

TEST(CanFrameBits, AFrameTakesItsFieldsPlusStuffBits) {
    // An eight-byte SDO frame is 111 bits before stuffing and never more than 135 after.
    const Frame request = Sdo(1, 0x40, 0x6041, 0);
    const int sdo_bits = CanFrameBits(0x601, request.data() + 2, 8);
    EXPECT_GE(sdo_bits, 111);
    EXPECT_LE(sdo_bits, 135);
    // Long runs of equal bits need the most stuffing.
    const uint8_t zeros[8] = {};
    EXPECT_GT(CanFrameBits(0x000, zeros, 8), CanFrameBits(0x555, zeros, 8));
    const uint8_t alternating[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_LT(CanFrameBits(0x555, alternating, 8), CanFrameBits(0x000, zeros, 8));
    // A heartbeat has one data byte.
    const uint8_t state = 0x05;
    EXPECT_GE(CanFrameBits(0x701, &state, 1), 55);
    EXPECT_LE(CanFrameBits(0x701, &state, 1), 67);
}

TEST(LineModel, WithEverythingOffBytesPassAtOnce) {
    LineModel line;
    const uint8_t bytes[3] = {1, 2, 3};
    line.FromHost(bytes, 3, 5.0);
    EXPECT_EQ(line.TakeFromHost(5.0), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(line.CarryOnBus(0x601, bytes, 3, 5.0), 5.0);
    line.ToHost(bytes, 3, 5.0);
    EXPECT_EQ(line.NextEvent(), 5.0);
    EXPECT_EQ(line.TakeToHost(5.0), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(line.idle());
    EXPECT_EQ(line.NextEvent(), LineModel::kNever);
}

TEST(LineModel, TheBaudRatePacesEachByteInBothDirections) {
    LineModel line({115200, 0, 0});
    const Frame frame = Sdo(1, 0x40, 0x6041, 0);
    line.FromHost(frame.data(), frame.size(), 1.0);
    // Given a whole frame written at t = 1 s, its last byte is in 12 byte times later.
    EXPECT_EQ(line.TakeFromHost(1.0 + 11.5 * kByte115200).size(), 11u);
    EXPECT_NEAR(line.NextEvent(), 1.0 + 12 * kByte115200, 1e-12);
    EXPECT_EQ(line.TakeFromHost(1.0 + 12 * kByte115200 + kJustAfter).size(), 1u);
    // A reader that needs a whole frame need not wake before its last byte is in.
    line.FromHost(frame.data(), frame.size(), 1.5);
    EXPECT_NEAR(line.NextEvent(), 1.5 + kByte115200, 1e-12);
    EXPECT_NEAR(line.NextEvent(12), 1.5 + 12 * kByte115200, 1e-12);
    EXPECT_EQ(line.NextEvent(13), LineModel::kNever);
    line.TakeFromHost(2.0);

    // Bytes sent while the line is busy queue behind the earlier ones.
    line.ToHost(frame.data(), frame.size(), 2.0);
    line.ToHost(frame.data(), frame.size(), 2.0);
    EXPECT_EQ(line.TakeToHost(2.0 + 12.5 * kByte115200).size(), 12u);
    EXPECT_EQ(line.TakeToHost(2.0 + 24 * kByte115200 + kJustAfter).size(), 12u);
}

TEST(LineModel, TheLatencyTimerHoldsBytesUntilItRunsOutOrTheBufferFills) {
    LineModel line({0, 16, 0});
    const Frame frame = Sdo(1, 0x40, 0x6041, 0);
    line.ToHost(frame.data(), frame.size(), 1.0);
    line.ToHost(frame.data(), frame.size(), 1.010);  // joins the held bytes
    EXPECT_TRUE(line.TakeToHost(1.0159).empty());
    EXPECT_NEAR(line.NextEvent(), 1.016, 1e-12);
    EXPECT_EQ(line.TakeToHost(1.016).size(), 24u);

    // 62 held bytes go at once, the rest wait for a new timer from their first byte.
    std::vector<uint8_t> burst(70, 0xAA);
    line.ToHost(burst.data(), burst.size(), 2.0);
    EXPECT_EQ(line.TakeToHost(2.0).size(), 62u);
    EXPECT_TRUE(line.TakeToHost(2.0159).empty());
    EXPECT_EQ(line.TakeToHost(2.016).size(), 8u);

    // At a real rate the buffer fills when its 62nd byte arrives, before the timer.
    LineModel slow({115200, 16, 0});
    slow.ToHost(burst.data(), burst.size(), 0.0);
    EXPECT_NEAR(slow.NextEvent(), 62 * kByte115200, 1e-12);
    EXPECT_EQ(slow.TakeToHost(62 * kByte115200 + kJustAfter).size(), 62u);
    EXPECT_NEAR(slow.NextEvent(), 63 * kByte115200 + 0.016, 1e-12);
}

TEST(LineModel, TheBusCarriesOneFrameAtATime) {
    LineModel line({0, 0, 500});
    const Frame a = Sdo(1, 0x40, 0x6041, 0);
    const double one = CanFrameBits(0x601, a.data() + 2, 8) / 500000.0;
    EXPECT_NEAR(line.CarryOnBus(0x601, a.data() + 2, 8, 1.0), 1.0 + one, 1e-12);
    // A frame ready while the bus is busy waits for it.
    EXPECT_NEAR(line.CarryOnBus(0x601, a.data() + 2, 8, 1.0), 1.0 + 2 * one, 1e-12);
    EXPECT_NEAR(line.CarryOnBus(0x601, a.data() + 2, 8, 3.0), 3.0 + one, 1e-12);
}

}  // namespace
}  // namespace orvex::sim
