// The adapter disappears (unplugged USB adapter, closed terminal) while the library is busy with
// it: calls fail promptly with the system's reason, nothing hangs, and a new device works.

#include <atomic>
#include <thread>

#include "reliability_fixture.h"

namespace orvex::test {
namespace {

class Vanish : public ::testing::Test {
  protected:
    void open(FakeAdapter& adapter) {
        ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    }
    void TearDown() override { Serial_ClosePort(); }
};

// Waits until `done` holds, for at most five seconds (the checks that follow tell a failure).
template <typename Done>
void wait_for(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Opens a replacement adapter and checks that commands and queries work on it again.
void expect_usable_again(FakeAdapter& replacement) {
    replacement.answer_uploads_with(31);
    ASSERT_EQ(Serial_OpenDevice(replacement.path().c_str(), 115200), 1);
    EXPECT_EQ(PP_Set(1, 1000, 2000, 3000), 1);
    EXPECT_EQ(replacement.frames(5).size(), 5u);
    EXPECT_EQ(GetPosition(1), 31);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
}

TEST_F(Vanish, DuringMultiFrameCommandsTheyFailFromThenOnWithTheSystemsReason) {
    FakeAdapter adapter;
    adapter.answer_uploads_with(4242);
    open(adapter);
    std::atomic<bool> gone{false};
    std::atomic<int> succeeded{0}, failed_after{0}, bad_outcomes{0};
    std::thread host([&] {
        for (int i = 0; i < 100000; ++i) {
            const bool saw_gone = gone;
            const int ok = (i % 2) ? PV_Set(1, i, 2, 3) : HM_Set(2, i, 5, 6, 17);
            if (ok == 1) {
                ++succeeded;
                continue;
            }
            if (Orvex_LastResult() != ORVEX_SYSTEM_ERROR || Orvex_LastSystemError() == 0)
                ++bad_outcomes;
            if (saw_gone && ++failed_after >= 20) return;
        }
    });
    wait_for([&] { return succeeded >= 10; });
    adapter.vanish();
    gone = true;
    host.join();
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_EQ(failed_after.load(), 20);
    EXPECT_EQ(bad_outcomes.load(), 0);

    FakeAdapter replacement;
    expect_usable_again(replacement);
}

TEST_F(Vanish, DuringAQueryItFailsWithoutWaitingOutTheLimit) {
    FakeAdapter adapter;  // silent
    open(adapter);
    std::thread unplug([&] {
        adapter.frames(1);  // the request is out: the query is waiting
        adapter.vanish();
    });
    const long long ms = millis_of([] { EXPECT_EQ(GetPosition(1), 0); });
    unplug.join();
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_LT(ms, 700);

    FakeAdapter replacement;
    expect_usable_again(replacement);
}

TEST_F(Vanish, DuringARawExchangeItFailsWithoutWaitingOutTheLongLimit) {
    FakeAdapter adapter;  // silent
    open(adapter);
    const Frame request = frame_of({0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A});
    std::uint8_t answer[60] = {};
    std::thread unplug([&] {
        adapter.frames(1);  // the request is out: the exchange is waiting
        adapter.vanish();
    });
    const long long ms = millis_of(
        [&] { EXPECT_EQ(U_Transmit_Validation(nullptr, request.data(), answer, 12, 60), -10); });
    unplug.join();
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_LT(ms, 1000);  // the limit for 60 bytes is 3800 ms

    FakeAdapter replacement;
    expect_usable_again(replacement);
}

TEST_F(Vanish, DuringARawExchangeWithPartOfTheAnswerInItStillFailsPromptly) {
    // Part of the answer is queued when the adapter goes: no more can come, so waiting is
    // pointless.
    FakeAdapter adapter;
    adapter.set_responder([](const Frame&) {
        return std::vector<Reply>{Reply{Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5}}};
    });
    open(adapter);
    const Frame request = frame_of({0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A});
    std::uint8_t answer[60] = {};
    std::thread unplug([&] {
        adapter.frames(1);
        adapter.wait_until_library_has(5);  // the part of the answer is queued
        adapter.vanish();
    });
    const long long ms = millis_of(
        [&] { EXPECT_EQ(U_Transmit_Validation(nullptr, request.data(), answer, 12, 60), -10); });
    unplug.join();
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_LT(ms, 1000);

    FakeAdapter replacement;
    expect_usable_again(replacement);
}

TEST_F(Vanish, WhileThreadsQueryAndCommandNoCallHangsAndNoValueIsWrong) {
    FakeAdapter adapter;
    adapter.answer_uploads_with(4242);
    open(adapter);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, slow{0}, calls{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&, t] {
            while (!stop) {
                long long ms = 0;
                if (t == 0) {
                    ms = millis_of([&] { EXPECT_GE(PP_Set(1, 1, 2, 3), 0); });
                } else {
                    int position = 0;
                    ms = millis_of([&] { position = GetPosition(t); });
                    if (Orvex_LastResult() == ORVEX_OK ? position != 4242 : position != 0) ++wrong;
                }
                if (ms > 1500) ++slow;
                ++calls;
            }
        });
    }
    wait_for([&] { return calls >= 10; });
    adapter.vanish();
    const int at_vanish = calls;
    wait_for([&] { return calls >= at_vanish + 10; });
    stop = true;
    for (auto& h : hosts) h.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(slow.load(), 0);
    EXPECT_GT(calls.load(), 10);

    FakeAdapter replacement;
    expect_usable_again(replacement);
}

}  // namespace
}  // namespace orvex::test
