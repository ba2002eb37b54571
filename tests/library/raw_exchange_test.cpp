// The raw exchange: byte counts, its two time limits, and what it leaves queued.
#include <thread>

#include "library_fixture.h"

namespace orvex::test {
namespace {

using RawExchange = LibraryTest;

const Frame kRequest = frame_of({0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A});

TEST_F(RawExchange, CopiesWhateverArrivesUnexamined) {
    const Bytes answer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    adapter.set_responder([&](const Frame&) { return std::vector<Reply>{Reply{answer}}; });
    std::uint8_t got[17] = {};
    EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), got, 12, 17), 0);
    EXPECT_EQ(Bytes(got, got + 17), answer);
    EXPECT_EQ(frames_of(1), std::vector<std::string>{hex(kRequest)});
}

TEST_F(RawExchange, WithNoAnswerLengthSendsAndReturnsAtOnce) {
    adapter.silence();
    const long long ms = millis_of(
        [] { EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), nullptr, 12, 0), 0); });
    EXPECT_LT(ms, 200);
    EXPECT_EQ(frames_of(1).size(), 1u);
}

TEST_F(RawExchange, Waits800MsUpTo50BytesAnd3800MsBeyond) {
    adapter.silence();
    std::uint8_t answer[51];
    long long ms = millis_of(
        [&] { EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), answer, 12, 50), -10); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 1500);
    ms = millis_of(
        [&] { EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), answer, 12, 51), -10); });
    EXPECT_GE(ms, 3800);
    EXPECT_LT(ms, 4500);
}

TEST_F(RawExchange, LeavesALateAnswerQueuedForTheNextExchange) {
    // Half an answer in time, the rest after the limit: the next exchange reads it first.
    adapter.set_responder([](const Frame&) {
        return std::vector<Reply>{Reply{Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}},
                                  Reply{Bytes{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6}, 950}};
    });
    std::uint8_t answer[12] = {};
    EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), answer, 12, 12), -10);
    ASSERT_TRUE(adapter.wait_until_library_has(12));
    adapter.silence();
    EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), answer, 12, 12), 0);
    EXPECT_EQ(answer[0], 0xA1);
    EXPECT_EQ(answer[11], 0xB6);
}

TEST_F(RawExchange, FlushesThePurgeHandleButNotItsOwnPortOtherwise) {
    adapter.answer_uploads_with(0x01020304);
    std::uint8_t answer[12] = {};
    // Without a purge handle, stale bytes are read as the start of the answer.
    adapter.send(Bytes{0xEE, 0xEE, 0xEE});
    ASSERT_TRUE(adapter.wait_until_library_has(3));
    EXPECT_EQ(U_Transmit_Validation(nullptr, kRequest.data(), answer, 12, 12), 0);
    EXPECT_EQ(answer[0], 0xEE);
    ASSERT_TRUE(adapter.wait_until_library_has(3));  // the rest of that answer
    // With a handle on the same line, they are flushed before the request goes out.
    void* handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(adapter.slave_fd()));
    adapter.send(Bytes{0xEE, 0xEE, 0xEE});
    ASSERT_TRUE(adapter.wait_until_library_has(6));
    EXPECT_EQ(U_Transmit_Validation(handle, kRequest.data(), answer, 12, 12), 0);
    EXPECT_EQ(hex(Frame{answer[0], answer[1], answer[2], answer[3], answer[4], answer[5], answer[6],
                        answer[7], answer[8], answer[9], answer[10], answer[11]}),
              hex(sdo_answer(1, 0x6064, 0, 0x01020304)));
}

}  // namespace
}  // namespace orvex::test
