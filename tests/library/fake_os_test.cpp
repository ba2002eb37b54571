// The library's portable code over the in-memory OS layer: exact time limits on a virtual clock,
// a counter that wraps, and writes that fail at a chosen frame.
#include "fake_os.h"

#include <gtest/gtest.h>

#include <functional>

#include "orvex.h"
#include "test_frames.h"

namespace orvex::test {
namespace {

using fake_os::Bytes;

Bytes answer(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t value) {
    return bytes_of(sdo_answer(node, index, sub, value));
}

class FakeOs : public ::testing::Test {
  protected:
    void open(std::uint32_t start_tick = 1000) {
        fake_os::reset(start_tick);
        ASSERT_EQ(Serial_OpenDevice("fake", 115200), 1);
    }
    void TearDown() override { Serial_ClosePort(); }
};

TEST_F(FakeOs, AnAnswerIsTakenUpToTheLimitAndLateOnesAreNot) {
    open();
    std::uint32_t start = fake_os::now();
    fake_os::deliver(answer(1, 0x6064, 0, 42), 800);
    EXPECT_EQ(GetPosition(1), 42);
    EXPECT_EQ(fake_os::now() - start, 800u);

    start = fake_os::now();
    fake_os::deliver(answer(1, 0x6064, 0, 42), 802);
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_EQ(fake_os::now() - start, 801u);  // strictly more than 800 ms, and no later
}

TEST_F(FakeOs, RawLimitsAre800UpTo50BytesAnd3800Beyond) {
    open();
    std::uint8_t request[12] = {0x06, 0x01, 0x40};
    std::uint8_t into[51];
    for (const auto& [length, limit] : {std::pair{12, 800u}, {50, 800u}, {51, 3800u}}) {
        const std::uint32_t start = fake_os::now();
        EXPECT_EQ(U_Transmit_Validation(nullptr, request, into, 12, length), -10) << length;
        EXPECT_EQ(fake_os::now() - start, limit + 1) << length;
    }
}

TEST_F(FakeOs, TheLimitHoldsWhenTheTickCounterWrapsDuringAQuery) {
    open(0xFFFFFF00u);  // wraps 256 ms into the wait
    const std::uint32_t start = fake_os::now();
    EXPECT_EQ(GetMotorStatus(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_EQ(static_cast<std::uint32_t>(fake_os::now() - start), 801u);

    fake_os::deliver(answer(1, 0x6041, 0, 0x0637), 500);
    EXPECT_EQ(GetMotorStatus(1), 0x0407);
}

TEST_F(FakeOs, AnAnswerInPiecesIsAssembled) {
    open();
    const Bytes whole = answer(2, 0x2001, 1, 0x0103);
    for (std::size_t i = 0; i < whole.size(); ++i)
        fake_os::deliver(Bytes{whole[i]}, static_cast<std::uint32_t>(10 * (i + 1)));
    EXPECT_EQ(GetVersions(2), 0x0103);
}

// Each multi-frame command, its frame count, and a call that runs it.
struct Sequence {
    const char* name;
    int frames;
    std::function<int()> run;
};

TEST_F(FakeOs, MultiFrameCommandsStopAtTheirFirstFailedWrite) {
    const Sequence sequences[] = {
        {"PV_Set", 5, [] { return PV_Set(1, 1, 2, 3); }},
        {"PP_Set", 5, [] { return PP_Set(1, 1, 2, 3); }},
        {"PP_Abs_move", 2, [] { return PP_Abs_move(1, 5); }},
        {"PP_Inc_move", 2, [] { return PP_Inc_move(1, 5); }},
        {"HM_Set method 17", 6, [] { return HM_Set(1, 1, 2, 3, 17); }},
        {"HM_Set method 0", 5, [] { return HM_Set(1, 1, 2, 3, 0); }},
        {"PT_Set", 4, [] { return PT_Set(1, 1, 2); }},
        {"PT_start_motor", 2, [] { return PT_start_motor(1); }},
    };
    for (const Sequence& s : sequences) {
        for (int failing = 0; failing < s.frames; ++failing) {
            open();
            fake_os::fail_write(failing);
            EXPECT_EQ(s.run(), 0) << s.name << " failing at " << failing;
            EXPECT_EQ(fake_os::writes().size(), static_cast<std::size_t>(failing + 1)) << s.name;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
            EXPECT_EQ(Orvex_LastSystemError(), 5);
        }
        open();
        EXPECT_EQ(s.run(), 1) << s.name;
        EXPECT_EQ(fake_os::writes().size(), static_cast<std::size_t>(s.frames)) << s.name;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    }
}

TEST_F(FakeOs, AQueryWhoseRequestCannotBeWrittenFailsAtOnce) {
    open();
    fake_os::fail_write(0);
    const std::uint32_t start = fake_os::now();
    int value = 9;
    EXPECT_EQ(SDO_Read(1, 0x6064, 0, &value, 4), 0);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(fake_os::now(), start);
}

TEST_F(FakeOs, InputWaitingBeforeAQueryIsDiscardedButARawExchangeReadsIt) {
    open();
    fake_os::deliver(answer(1, 0x6064, 0, 1));
    fake_os::deliver(answer(1, 0x6064, 0, 2), 5);
    EXPECT_EQ(GetPosition(1), 2);

    fake_os::deliver(Bytes{0xAA, 0xBB});
    fake_os::deliver(answer(1, 0x6064, 0, 3), 5);
    std::uint8_t request[12] = {0x06, 0x01, 0x40, 0x64, 0x60};
    std::uint8_t into[12];
    EXPECT_EQ(U_Transmit_Validation(nullptr, request, into, 12, 12), 0);
    EXPECT_EQ(into[0], 0xAA);
    EXPECT_EQ(into[1], 0xBB);
    EXPECT_EQ(fake_os::unread(), 2u);  // the rest stays queued for whoever reads next
}

}  // namespace
}  // namespace orvex::test
