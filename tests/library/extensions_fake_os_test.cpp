// The extension exports on the virtual clock: limits that are exact, never early and never late.
#include <gtest/gtest.h>

#include <functional>

#include "fake_os.h"
#include "orvex.h"
#include "test_frames.h"

namespace orvex::test {
namespace {

using fake_os::Bytes;

class ExtensionsOnFakeOs : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_os::reset();
        ASSERT_EQ(Serial_OpenDevice("fake", 115200), 1);
    }
    void TearDown() override {
        Orvex_SetTimeLimits(800, 3800);
        Serial_ClosePort();
    }
    // Virtual milliseconds `call` took.
    template <typename F>
    std::uint32_t virtual_ms(F&& call) {
        const std::uint32_t start = fake_os::now();
        call();
        return fake_os::now() - start;
    }
};

TEST_F(ExtensionsOnFakeOs, QueriesAndRawExchangesTimeOutJustAfterTheLimitsSet) {
    std::uint8_t request[12] = {0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A};
    std::uint8_t answer[51];
    auto query = [&] { EXPECT_EQ(GetPosition(1), 0); };
    auto raw = [&](int length) {
        return [&, length] {
            EXPECT_EQ(U_Transmit_Validation(nullptr, request, answer, 12, length), -10);
        };
    };
    const struct {
        int query_ms, exchange_ms;
        std::uint32_t query_limit, exchange_limit;
    } rows[] = {
        {0, 0, 800, 3800},  // the defaults, kept by 0
        {1, 0, 1, 3800},   {250, 0, 250, 3800}, {0, 1000, 250, 1000}, {60000, 60000, 60000, 60000},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(Orvex_SetTimeLimits(r.query_ms, r.exchange_ms), 1);
        EXPECT_EQ(virtual_ms(query), r.query_limit + 1) << r.query_ms;
        EXPECT_EQ(virtual_ms(raw(50)), r.query_limit + 1) << r.query_ms;
        EXPECT_EQ(virtual_ms(raw(51)), r.exchange_limit + 1) << r.exchange_ms;
    }
}

TEST_F(ExtensionsOnFakeOs, AnAnswerAtTheLimitIsTakenAndOneAfterItIsNot) {
    ASSERT_EQ(Orvex_SetTimeLimits(40, 0), 1);
    fake_os::deliver(bytes_of(sdo_answer(1, 0x6064, 0, 42)), 40);
    EXPECT_EQ(GetPosition(1), 42);
    fake_os::deliver(bytes_of(sdo_answer(1, 0x6064, 0, 42)), 42);
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(ExtensionsOnFakeOs, ReceiveFrameWaitsExactlyItsTimeoutAndPollsWithZero) {
    unsigned char frame[12];
    for (int timeout : {0, 1, 37, 1000}) {
        EXPECT_EQ(virtual_ms([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, timeout), 0); }),
                  static_cast<std::uint32_t>(timeout));
        EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    }
    // A frame arriving on the last millisecond of the wait is still taken.
    fake_os::deliver(bytes_of(heartbeat(2)), 37);
    EXPECT_EQ(virtual_ms([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, 37), 1); }), 37u);
    EXPECT_EQ(frame[0], 0x07);
    EXPECT_EQ(frame[1], 0x02);
}

TEST_F(ExtensionsOnFakeOs, ReceiveFrameRegainsFramingInAFloodOfNoiseAndStillEndsOnTime) {
    // A frame split by noise that holds CR LF in the wrong place, then noise without end.
    const Bytes beat = bytes_of(heartbeat(6));
    fake_os::deliver(Bytes{0x0D, 0x0A, 0x11, 0x0D});
    fake_os::deliver(beat, 5);
    for (std::uint32_t t = 10; t < 400; t += 2) fake_os::deliver(Bytes{0x0D, 0x55, 0x0A}, t);
    unsigned char frame[12];
    ASSERT_EQ(Orvex_ReceiveFrame(frame, 100), 1);
    EXPECT_TRUE(std::equal(beat.begin(), beat.end(), frame));
    const std::uint32_t ms = virtual_ms([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, 100), 0); });
    EXPECT_GE(ms, 100u);
    EXPECT_LE(ms, 102u);
}

// A frame of zeros whose data holds 0D 0A at bytes `at` and `at` + 1.
Frame crlf_in_data(unsigned id, std::size_t at) {
    Frame f{};
    f[0] = static_cast<std::uint8_t>(id >> 8);
    f[1] = static_cast<std::uint8_t>(id);
    f[at] = 0x0D;
    f[at + 1] = 0x0A;
    f[10] = 0x0D;
    f[11] = 0x0A;
    return f;
}

TEST_F(ExtensionsOnFakeOs, ReceiveFrameFindsEveryFrameAfterNoiseWhereverItsDataHoldsCrLf) {
    const Bytes beat = bytes_of(heartbeat(4));
    unsigned char frame[12];
    auto receive = [&](const Bytes& expected, const std::string& what) {
        ASSERT_EQ(Orvex_ReceiveFrame(frame, 0), 1) << what;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame)) << what;
    };
    // Framing not known yet (the port just opened): noise, then a frame with 0D 0A in its data.
    for (std::size_t noise = 1; noise <= 11; ++noise) {
        for (std::size_t at = 2; at <= 8; ++at) {
            const std::string what =
                std::to_string(noise) + " noise, 0D 0A at " + std::to_string(at);
            ASSERT_EQ(Serial_OpenDevice("fake", 115200), 1);
            const Bytes framed = bytes_of(crlf_in_data(0x0185, at));
            fake_os::deliver(concat({Bytes(noise, 0x55), framed, beat}));
            receive(framed, what);
            receive(beat, what);
            EXPECT_EQ(Orvex_ReceiveFrame(frame, 0), 0) << what;
        }
    }
    // After a frame, the next 12 bytes are the next frame: the tail of a torn frame that follows
    // it is dropped, not the frame.
    const Bytes framed = bytes_of(crlf_in_data(0x0185, 4));
    fake_os::deliver(concat({beat, framed, Bytes{0x00, 0x00, 0x0D, 0x0A}, beat}));
    for (const Bytes& expected : {beat, framed, beat}) receive(expected, "torn tail");
}

// What the drive answers GetPosition with below: noise, then the answer; the answer's tail after
// the 0D 0A in its value comes 3 ms later when `split`.
struct NoisyAnswer {
    std::size_t noise;
    std::uint32_t value;
    bool split;
};
NoisyAnswer g_noisy_answer;

Bytes answer_after_noise(const Bytes&) {
    const NoisyAnswer& a = g_noisy_answer;
    const Bytes answer = bytes_of(sdo_answer(1, 0x6064, 0, a.value));
    std::size_t head = answer.size();
    for (std::size_t i = 6; a.split && i < 10; ++i)
        if (answer[i] == 0x0D && answer[i + 1] == 0x0A) head = i + 2;
    fake_os::deliver(Bytes(answer.begin() + static_cast<long>(head), answer.end()), 3);
    return concat(
        {Bytes(a.noise, 0x55), Bytes(answer.begin(), answer.begin() + static_cast<long>(head))});
}

TEST_F(ExtensionsOnFakeOs, AQueryFindsItsAnswerAfterNoiseWhereverItsValueHoldsCrLf) {
    fake_os::set_responder(answer_after_noise);
    for (std::size_t noise = 1; noise <= 11; ++noise) {
        for (std::uint32_t value : {0x00000A0Du, 0x000A0D00u, 0x0A0D0000u, 0x0A0D0A0Du}) {
            for (bool split : {false, true}) {
                g_noisy_answer = NoisyAnswer{noise, value, split};
                EXPECT_EQ(GetPosition(1), static_cast<int>(value))
                    << noise << " noise, value " << std::hex << value << (split ? " split" : "");
            }
        }
    }
    fake_os::set_responder(nullptr);
}

TEST_F(ExtensionsOnFakeOs, NoFloodOfNoiseStretchesAWaitBeyondWhatWasWaitingAtItsLimit) {
    // Noise comes faster than it is read: 300 bytes a millisecond, 50 reads a millisecond. Once
    // the limit has passed, a wait reads at most the 4096 bytes a terminal holds, then ends.
    ASSERT_EQ(Orvex_SetTimeLimits(100, 0), 1);
    unsigned char frame[12];
    const int nodes[] = {1, 2};
    const int indexes[] = {0x6064, 0x6064};
    const int subs[] = {0, 0};
    unsigned values[2];
    int results[2];
    const struct {
        const char* what;
        std::function<void()> wait;
        std::uint32_t limit;
        bool drains;  // takes in what is waiting before it sends: the terminal's bytes once more
    } waits[] = {
        {"GetPosition", [] { EXPECT_EQ(GetPosition(1), 0); }, 101, true},
        {"ReceiveFrame", [&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, 100), 0); }, 100, false},
        {"ReadMany",
         [&] { EXPECT_EQ(Orvex_ReadMany(2, nodes, indexes, subs, values, results), 0); }, 106,
         true},  // the limit and the wire time of 2 requests and answers
    };
    for (const auto& w : waits) {
        fake_os::flood(Bytes{0x55, 0x0D, 0xAA}, 300, 10000);
        fake_os::set_reads_per_ms(50);
        const std::uint32_t ms = virtual_ms(w.wait);
        fake_os::set_reads_per_ms(0);
        fake_os::flood(Bytes{}, 0, 0);
        EXPECT_GE(ms, w.limit) << w.what;
        EXPECT_LE(ms, w.limit + (w.drains ? 2 : 1) * (4096 / 50 + 2)) << w.what;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT) << w.what;
    }
}

// Answers the requests of a batch write from the value table below, in reverse order.
Bytes answer_batch_in_reverse(const Bytes& write) {
    Bytes answers;
    for (std::size_t at = write.size(); at >= 12; at -= 12) {
        const std::uint8_t* request = write.data() + at - 12;
        const int node = request[1];
        if (node == 2) continue;  // the silent drive
        const Bytes one =
            bytes_of(sdo_answer(node, static_cast<std::uint16_t>(request[3] | request[4] << 8),
                                request[5], 1000u * static_cast<unsigned>(node)));
        answers.insert(answers.end(), one.begin(), one.end());
    }
    return answers;
}

TEST_F(ExtensionsOnFakeOs, ReadManyIsOneWriteAndEndsJustAfterTheLimitPlusItsWireTime) {
    fake_os::set_responder(answer_batch_in_reverse);
    const int nodes[] = {1, 2, 3};
    const int indexes[] = {0x6064, 0x6064, 0x6041};
    const int subs[] = {0, 0, 0};
    unsigned values[3] = {7, 7, 7};
    int results[3];
    // 3 requests and 3 answers of 120 bits at 115200 baud: 6.25 ms, counted as 7.
    for (const auto& [limit, expected] : {std::pair{800, 808u}, {20, 28u}}) {
        ASSERT_EQ(Orvex_SetTimeLimits(limit, 0), 1);
        EXPECT_EQ(virtual_ms([&] {
                      EXPECT_EQ(Orvex_ReadMany(3, nodes, indexes, subs, values, results), 2);
                  }),
                  expected);
    }
    fake_os::set_responder(nullptr);
    EXPECT_EQ(results[0], ORVEX_OK);
    EXPECT_EQ(results[1], ORVEX_TIMEOUT);
    EXPECT_EQ(results[2], ORVEX_OK);
    EXPECT_EQ(values[0], 1000u);
    EXPECT_EQ(values[1], 7u);
    EXPECT_EQ(values[2], 3000u);
    const auto& writes = fake_os::writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().size(), 36u);
}

TEST_F(ExtensionsOnFakeOs, ReadManyWithAFailedWriteFailsEveryItemAtOnce) {
    fake_os::fail_write(0);
    const int nodes[] = {1, 2};
    const int indexes[] = {0x6064, 0x6064};
    const int subs[] = {0, 0};
    unsigned values[2] = {7, 7};
    int results[2];
    EXPECT_EQ(
        virtual_ms([&] { EXPECT_EQ(Orvex_ReadMany(2, nodes, indexes, subs, values, results), 0); }),
        0u);
    EXPECT_EQ(results[0], ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(results[1], ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(Orvex_LastSystemError(), 5);
}

}  // namespace
}  // namespace orvex::test
