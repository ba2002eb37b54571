// The extension exports over a pseudo-terminal: time limits a host sets, frames received as they
// come, and pipelined reads matched in any order.
#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <iterator>
#include <thread>

#include "library_fixture.h"

namespace orvex::test {
namespace {

constexpr std::uint16_t kPosition = 0x6064;
constexpr std::uint16_t kStatusword = 0x6041;

// The value a drive answers for an object in these tests: wrong matches show as wrong values.
std::uint32_t value_for(int node, std::uint16_t index) {
    return static_cast<std::uint32_t>(node) << 16 | index;
}

Reply answer_to(const Frame& request) {
    return Reply{bytes_of(sdo_answer(request[1], index_of(request), request[5],
                                     value_for(request[1], index_of(request))))};
}

class Extensions : public LibraryTest {
  protected:
    void TearDown() override {
        Orvex_SetTimeLimits(800, 3800);
        LibraryTest::TearDown();
    }
};

// ---- time limits -----------------------------------------------------------------------------

TEST_F(Extensions, TimeLimitsOutOfRangeAreRefusedAndChangeNothing) {
    ASSERT_EQ(Orvex_SetTimeLimits(120, 0), 1);
    const struct {
        int query_ms, exchange_ms;
    } refused[] = {{-1, 0}, {0, -1}, {60001, 0}, {0, 60001}, {INT_MIN, 500}, {500, INT_MAX}};
    for (const auto& r : refused) {
        EXPECT_EQ(Orvex_SetTimeLimits(r.query_ms, r.exchange_ms), 0) << r.query_ms;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    }
    adapter.silence();
    const long long ms = millis_of([] { EXPECT_EQ(GetPosition(1), 0); });
    EXPECT_GE(ms, 120);  // still the limit set before the refusals
    EXPECT_LT(ms, 400);
    EXPECT_EQ(Orvex_SetTimeLimits(1, 60000), 1);  // both ends of the range
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
}

TEST_F(Extensions, ANewLimitAppliesToQueriesAndShortRawExchanges) {
    adapter.silence();
    ASSERT_EQ(Orvex_SetTimeLimits(150, 0), 1);
    std::uint8_t request[12] = {0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A};
    std::uint8_t answer[12];
    long long ms =
        millis_of([&] { EXPECT_EQ(U_Transmit_Validation(nullptr, request, answer, 12, 12), -10); });
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 450);
    ms = millis_of([] { EXPECT_EQ(GetMotorStatus(1), 0); });
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 450);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(Extensions, AQueryRunningWhileTheLimitChangesKeepsTheLimitItStartedWith) {
    adapter.silence();
    ASSERT_EQ(Orvex_SetTimeLimits(600, 0), 1);
    std::atomic<long long> ms{0};
    std::thread query([&] { ms = millis_of([] { GetPosition(1); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the query is waiting by now
    EXPECT_EQ(Orvex_SetTimeLimits(50, 0), 1);
    query.join();
    EXPECT_GE(ms.load(), 600);
    // The next one starts under the new limit.
    EXPECT_LT(millis_of([] { GetPosition(1); }), 400);
}

// ---- receiving frames ------------------------------------------------------------------------

// Every frame Orvex_ReceiveFrame hands over until one wait of `timeout_ms` ends empty.
std::vector<std::string> received(int timeout_ms) {
    std::vector<std::string> got;
    unsigned char frame[12];
    while (Orvex_ReceiveFrame(frame, timeout_ms) == 1) {
        Frame f;
        std::copy(frame, frame + 12, f.begin());
        got.push_back(hex(f));
    }
    return got;
}

TEST_F(Extensions, ReceiveFrameHandsOverEachFrameAndRegainsFramingAfterNoise) {
    const Frame beat = heartbeat(3);
    const Frame emcy = emergency(2, 0x2310, 0x03);
    adapter.send(concat({Bytes{0x55, 0x0D, 0x0A, 0x99, 0x42}, bytes_of(beat), Bytes{0x17, 0x0A},
                         bytes_of(emcy), bytes_of(beat)}));
    EXPECT_EQ(received(200), (std::vector<std::string>{hex(beat), hex(emcy), hex(beat)}));
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

// What the bus says by itself while others use the line is kept for ReceiveFrame, in order: what
// was waiting before a query, and what came between its request and its answer. Stale answers
// are not kept; a full queue drops its oldest frames and counts them.
TEST_F(Extensions, FramesTheBusSendsBesideQueriesAreKeptInOrder) {
    const Frame emcy = emergency(2, 0x8611, 0x21);
    const Frame boot = heartbeat(3, 0x00);
    adapter.send(bytes_of(emcy));
    ASSERT_TRUE(adapter.wait_until_library_has(12));
    adapter.set_responder([&](const Frame& request) {
        return std::vector<Reply>{Reply{concat({bytes_of(sdo_answer(1, 0x6064, 0, 1)),  // stale
                                                bytes_of(boot), bytes_of(heartbeat(3)),
                                                bytes_of(sdo_answer(request[1], 0x6041, 0, 7))})}};
    });
    EXPECT_EQ(GetMotorStatus(1), 7);
    EXPECT_EQ(received(50), (std::vector<std::string>{hex(emcy), hex(boot), hex(heartbeat(3))}));

    adapter.silence();
    const unsigned dropped = Orvex_FramesDropped();
    Bytes flood;
    for (int i = 0; i < 300; ++i) {
        const Bytes beat = bytes_of(heartbeat(1 + i % 100));
        flood.insert(flood.end(), beat.begin(), beat.end());
    }
    adapter.send(flood);
    ASSERT_TRUE(adapter.wait_until_library_has(flood.size()));
    ASSERT_EQ(Orvex_SetTimeLimits(20, 0), 1);
    EXPECT_EQ(GetPosition(1), 0);  // takes the flood in before it sends
    EXPECT_EQ(Orvex_FramesDropped() - dropped, 300u - 256u);
    unsigned char frame[12];
    ASSERT_EQ(Orvex_ReceiveFrame(frame, 0), 1);
    EXPECT_EQ(frame[1], 0x01 + 44 % 100) << "the oldest were dropped";
    Orvex_SetTimeLimits(800, 0);
}

// Orvex_Cancel ends every wait in progress, whatever the thread and whatever it waits for,
// including a call still waiting for the line; a call made after it is not affected.
TEST_F(Extensions, CancelEndsEveryWaitInProgressAndNoLaterOne) {
    adapter.silence();
    ASSERT_EQ(Orvex_SetTimeLimits(60000, 60000), 1);
    const std::function<int()> waits[] = {
        [] { return GetPosition(1); },
        [] {
            unsigned char frame[12];
            return Orvex_ReceiveFrame(frame, 60000);
        },
        [] { return Orvex_WaitTarget(1, 3600000, nullptr); },
        [] {
            unsigned char buffer[64];
            int length = 0;
            return Orvex_SdoUpload(1, 0x1008, 0, buffer, 64, &length);
        },
    };
    std::vector<int> outcomes(std::size(waits), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < std::size(waits); ++i)
        threads.emplace_back([&, i] {
            waits[i]();
            outcomes[i] = Orvex_LastResult();
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long ms = millis_of([&] {
        Orvex_Cancel();
        for (std::thread& t : threads) t.join();
    });
    EXPECT_LT(ms, 500);
    EXPECT_EQ(outcomes, std::vector<int>(std::size(waits), ORVEX_CANCELLED));
    ASSERT_EQ(Orvex_SetTimeLimits(50, 800), 1);
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    Orvex_SetTimeLimits(800, 3800);
}

// A stop never waits behind another thread's transfer: it goes out between two of its frames,
// and the transfer to another node goes on.
TEST_F(Extensions, AStopGoesOutInTheMiddleOfATransfer) {
    // Node 2's server sends 70 bytes in ten segments, each 30 ms after its request.
    auto segments = std::make_shared<std::atomic<int>>(0);
    adapter.set_responder([segments](const Frame& request) {
        std::vector<Reply> out;
        if (request[0] != 0x06 || request[1] != 0x02) return out;
        Bytes data;
        if (request[2] == 0x40) {
            data = {0x05, 0x82, 0x41, 0x08, 0x10, 0x00, 70, 0, 0, 0, 0x0D, 0x0A};
        } else {
            const bool last = ++*segments == 10;
            data = {0x05, 0x82, static_cast<std::uint8_t>((request[2] & 0x10) | (last ? 1 : 0)),
                    'a',  'b',  'c',
                    'd',  'e',  'f',
                    'g',  0x0D, 0x0A};
        }
        out.push_back(Reply{data, 30});
        return out;
    });
    std::atomic<int> result{-1};
    std::atomic<long long> transfer_ms{0};
    std::thread transfer([&] {
        unsigned char buffer[80];
        int length = 0;
        transfer_ms =
            millis_of([&] { result = Orvex_SdoUpload(2, 0x1008, 0, buffer, 80, &length); });
    });
    adapter.frames(3);  // the transfer is under way
    const long long ms = millis_of([] { EXPECT_EQ(CMD_Emergency_Stop_motor(1), 1); });
    transfer.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_GE(transfer_ms.load(), 300);
    EXPECT_LT(ms, 100) << "the stop waited for the transfer";
    std::vector<std::string> frames;
    for (const Frame& f : adapter.frames()) frames.push_back(hex(f));
    const auto stop =
        std::find(frames.begin(), frames.end(), "06 01 2B 40 60 00 02 00 00 00 0D 0A");
    ASSERT_NE(stop, frames.end());
    EXPECT_NE(stop + 1, frames.end()) << "the stop went out only after the transfer";
}

// ---- events -------------------------------------------------------------------------------

// An emergency that comes while another thread polls positions is one event, decoded, and the
// node's history keeps it; a fault reset that succeeds clears the history.
TEST_F(Extensions, AnEmergencyBesidePollingIsOneDecodedEventAndHistory) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if (request[0] != 0x06) return {};
        const std::uint16_t index = index_of(request);
        if (request[2] != 0x40 && (request[2] & 0xE0) != 0x40)
            return {Reply{bytes_of(sdo_answer(request[1], index, request[5], 0, 0x60))}};
        const std::uint32_t value = index == 0x6041 ? 0x0250 : 0;  // switch on disabled
        return {Reply{bytes_of(sdo_answer(request[1], index, request[5], value))}};
    });
    std::atomic<bool> done{false};
    std::thread poll([&] {
        while (!done) GetPosition(1);
    });
    for (int i = 0; i < 10; ++i) {
        Frame emcy = emergency(2, static_cast<std::uint16_t>(0x8611 + i), 0x21);
        emcy[9] = static_cast<std::uint8_t>(i);  // the last manufacturer byte
        adapter.send(bytes_of(emcy));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<OrvexEvent> got;
    OrvexEvent event{};
    while (Orvex_NextEvent(&event, 100) == 1) got.push_back(event);
    done = true;
    poll.join();
    ASSERT_EQ(got.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(got[i].kind, ORVEX_EVENT_EMERGENCY);
        EXPECT_EQ(got[i].node, 2);
        EXPECT_EQ(got[i].error_code, 0x8611u + i);
        EXPECT_EQ(got[i].error_register, 0x21);
        EXPECT_EQ(got[i].data[4], i);
    }
    OrvexEvent history[10] = {};
    ASSERT_EQ(Orvex_Emergencies(2, history, 10), 8);
    EXPECT_EQ(history[0].error_code, 0x8611u + 9) << "newest first";
    EXPECT_EQ(history[7].error_code, 0x8611u + 2);
    EXPECT_EQ(Orvex_Emergencies(3, history, 10), 0);
    EXPECT_EQ(Orvex_ResetFault(2, 100, nullptr), 1);  // not in fault: success
    EXPECT_EQ(Orvex_Emergencies(2, history, 10), 0);
}

// The heartbeat consumer: one "lost" once a watched drive's heartbeat is overdue, one "back" when
// it comes again; a boot-up after a reset of communication is an event of its own.
TEST_F(Extensions, HeartbeatsLostAndBackAndABootUpAreEvents) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if (request[0] == 0x00 && request[1] == 0x00)  // NMT: the node starts again
            return {Reply{bytes_of(heartbeat(request[3], 0x00)), 5}};
        return {};
    });
    ASSERT_EQ(Orvex_WatchHeartbeat(3, 100), 1);
    OrvexEvent event{};
    for (int i = 0; i < 5; ++i) {
        adapter.send(bytes_of(heartbeat(3, 0x05)));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_EQ(Orvex_NextEvent(&event, 50), 1);
    EXPECT_EQ(event.kind, ORVEX_EVENT_STATE_CHANGED);
    EXPECT_EQ(event.nmt_state, 0x05);
    const long long ms = millis_of([&] { ASSERT_EQ(Orvex_NextEvent(&event, 1000), 1); });
    EXPECT_EQ(event.kind, ORVEX_EVENT_HEARTBEAT_LOST);
    EXPECT_EQ(event.node, 3);
    EXPECT_LT(ms, 100 + 20) << "judged no later than the consumer time";
    EXPECT_EQ(Orvex_NextEvent(&event, 150), 0) << "lost once";
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    adapter.send(bytes_of(heartbeat(3, 0x05)));
    ASSERT_EQ(Orvex_NextEvent(&event, 200), 1);
    EXPECT_EQ(event.kind, ORVEX_EVENT_HEARTBEAT_BACK);
    EXPECT_EQ(Orvex_WatchHeartbeat(3, 0), 1);

    ASSERT_EQ(CMD_Restart_motor(4), 1);
    ASSERT_EQ(Orvex_NextEvent(&event, 500), 1);
    EXPECT_EQ(event.kind, ORVEX_EVENT_BOOT_UP);
    EXPECT_EQ(event.node, 4);
}

TEST_F(Extensions, ReceiveFrameKeepsAFrameThatArrivesInPiecesAcrossCalls) {
    const Bytes beat = bytes_of(heartbeat(5));
    unsigned char frame[12] = {};
    adapter.send(Bytes(beat.begin(), beat.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Orvex_ReceiveFrame(frame, 0), 0);  // a poll: only part of the frame is there
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_EQ(frame[0], 0);  // untouched
    adapter.send(Bytes(beat.begin() + 5, beat.end()));
    ASSERT_EQ(Orvex_ReceiveFrame(frame, 500), 1);
    EXPECT_TRUE(std::equal(beat.begin(), beat.end(), frame));

    // A piece held when the port is opened again belongs to the old device and is dropped: the
    // new device's first byte does not complete it.
    adapter.send(Bytes(beat.begin(), beat.end() - 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Orvex_ReceiveFrame(frame, 0), 0);
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    const Bytes emcy = bytes_of(emergency(2, 0x2310, 0x03));
    adapter.send(concat({Bytes{0x0A}, emcy}));
    ASSERT_EQ(Orvex_ReceiveFrame(frame, 500), 1);
    EXPECT_TRUE(std::equal(emcy.begin(), emcy.end(), frame));
}

TEST_F(Extensions, ReceiveFrameWaitsAtMostItsTimeout) {
    adapter.silence();
    unsigned char frame[12];
    for (int timeout : {0, 100}) {
        const long long ms = millis_of([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, timeout), 0); });
        EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
        EXPECT_GE(ms, timeout - 1);  // the tick counter may step just after the call starts
        EXPECT_LT(ms, timeout + 100);
    }
}

TEST_F(Extensions, ReceiveFrameRefusesBadArgumentsAndSaysWhenThereIsNoPort) {
    unsigned char frame[12];
    for (const auto& [buffer, timeout] : {std::pair<unsigned char*, int>{nullptr, 10},
                                          {frame, -1},
                                          {frame, INT_MIN},
                                          {frame, 60001}}) {
        EXPECT_EQ(Orvex_ReceiveFrame(buffer, timeout), 0) << timeout;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    }
    Serial_ClosePort();
    const long long ms = millis_of([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, 1000), 0); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
    EXPECT_LT(ms, 100);  // at once
}

TEST_F(Extensions, ReceivingNeverTakesTheAnswerOfAQueryInAnotherThread) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        return {Reply{bytes_of(heartbeat(9)), 1}, answer_to(request)};
    });
    std::atomic<bool> done{false};
    std::atomic<int> answers_received{0}, frames_received{0};
    std::thread receiver([&] {
        unsigned char frame[12];
        while (!done) {
            if (Orvex_ReceiveFrame(frame, 20) != 1) continue;
            ++frames_received;
            if (frame[0] == 0x05 && frame[1] == 0x81) ++answers_received;
        }
    });
    int wrong = 0;
    for (int i = 0; i < 30; ++i) {
        if (GetPosition(1) != static_cast<int>(value_for(1, kPosition))) ++wrong;
        // Unsolicited traffic between the queries, for the receiver.
        adapter.send(bytes_of(heartbeat(4)));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    receiver.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(answers_received.load(), 0);
    EXPECT_GT(frames_received.load(), 0);
}

// ---- pipelined reads -------------------------------------------------------------------------

// A batch and the arrays the export takes.
struct Batch {
    std::vector<int> nodes, indexes, subs;
    std::vector<unsigned> values;
    std::vector<int> results;

    void add(int node, int index, int sub = 0) {
        nodes.push_back(node);
        indexes.push_back(index);
        subs.push_back(sub);
        values.push_back(0xDEADBEEF);
        results.push_back(99);
    }
    int count() const { return static_cast<int>(nodes.size()); }
    int run() {
        return Orvex_ReadMany(count(), nodes.data(), indexes.data(), subs.data(), values.data(),
                              results.data());
    }
};

// Position and statusword of drives 1..n.
Batch drives(int n) {
    Batch b;
    for (int node = 1; node <= n; ++node) {
        b.add(node, kPosition);
        b.add(node, kStatusword);
    }
    return b;
}

TEST_F(Extensions, ReadManyWritesEveryRequestBackToBackAndMatchesAnswersInAnyOrder) {
    Batch b = drives(4);
    adapter.answer_batches(8, [](const std::vector<Frame>& requests) {
        std::vector<Reply> replies;
        for (auto it = requests.rbegin(); it != requests.rend(); ++it)
            replies.push_back(answer_to(*it));
        std::swap(replies[2], replies[5]);
        return replies;
    });
    EXPECT_EQ(b.run(), 8);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    for (int i = 0; i < b.count(); ++i) {
        EXPECT_EQ(b.results[i], ORVEX_OK) << i;
        EXPECT_EQ(b.values[i], value_for(b.nodes[i], static_cast<std::uint16_t>(b.indexes[i])));
    }
    // Plain upload requests (0x40), in the order given, arriving as one stream.
    const std::vector<std::string> frames = frames_of(8);
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[0], "06 01 40 64 60 00 00 00 00 00 0D 0A");
    EXPECT_EQ(frames[7], "06 04 40 41 60 00 00 00 00 00 0D 0A");
}

TEST_F(Extensions, ReadManySkipsAcknowledgementsHeartbeatsEmergenciesAndNoise) {
    Batch b = drives(2);
    adapter.answer_batches(4, [](const std::vector<Frame>& requests) {
        std::vector<Reply> replies;
        for (const Frame& request : requests) {
            replies.push_back(Reply{concat({bytes_of(download_ack(request[1], kPosition, 0)),
                                            bytes_of(heartbeat(request[1])), Bytes{0x33, 0x0D},
                                            Bytes{0x0A}, bytes_of(emergency(7, 0x8611, 0x81))})});
            replies.push_back(answer_to(request));
        }
        return replies;
    });
    EXPECT_EQ(b.run(), 4);
    for (int i = 0; i < b.count(); ++i) EXPECT_EQ(b.results[i], ORVEX_OK) << i;
    EXPECT_EQ(b.values[3], value_for(2, kStatusword));
}

TEST_F(Extensions, ReadManyNeverTakesAnEchoedRequestForItsAnswer) {
    // An adapter that echoes the host's frames: each request comes back before its answer, and
    // the whole batch once more after all of them.
    Batch b = drives(2);
    adapter.answer_batches(4, [](const std::vector<Frame>& requests) {
        std::vector<Reply> replies;
        for (const Frame& request : requests)
            replies.push_back(Reply{concat({bytes_of(request), answer_to(request).bytes})});
        for (const Frame& request : requests) replies.push_back(Reply{bytes_of(request)});
        return replies;
    });
    EXPECT_EQ(b.run(), 4);
    for (int i = 0; i < b.count(); ++i)
        EXPECT_EQ(b.values[i], value_for(b.nodes[i], static_cast<std::uint16_t>(b.indexes[i])));

    // Echoes only: every item times out, none takes its own request as a value of 0.
    adapter.set_responder(
        [](const Frame& request) { return std::vector<Reply>{Reply{bytes_of(request)}}; });
    ASSERT_EQ(Orvex_SetTimeLimits(50, 0), 1);
    Batch echoed = drives(2);
    EXPECT_EQ(echoed.run(), 0);
    for (int r : echoed.results) EXPECT_EQ(r, ORVEX_TIMEOUT);
    for (unsigned v : echoed.values) EXPECT_EQ(v, 0xDEADBEEFu);
}

TEST_F(Extensions, ReadManyTakesABusSummaryFromAnySdoIdButNeverFromADriveWithItsOwnItem) {
    // The same object asked of the bus (node 0) and of drive 1. The device answering for the bus
    // may use its own identifier (0x582 here): that answer cannot be drive 1's, so the bus item
    // takes it. Drive 1's answers, however many, are never the bus's; 0x580 is the bus's own and
    // replaces an answer taken from another identifier while the batch runs.
    ASSERT_EQ(Orvex_SetTimeLimits(100, 0), 1);
    struct Answer {
        int node;
        std::uint32_t value;
    };
    const struct {
        const char* what;
        std::vector<Answer> answers;
        int bus_result;
        unsigned bus_value;
    } rows[] = {
        {"0x582 then drive 1 twice", {{2, 0x22}, {1, 0x11}, {1, 0x0F}}, ORVEX_OK, 0x22},
        {"drive 1 twice, then 0x580", {{1, 0x11}, {1, 0x0F}, {0, 0x33}}, ORVEX_OK, 0x33},
        {"drive 1 twice, no bus", {{1, 0x11}, {1, 0x0F}}, ORVEX_TIMEOUT, 0xDEADBEEF},
        {"0x582, then 0x580, then drive 1", {{2, 0x22}, {0, 0x33}, {1, 0x11}}, ORVEX_OK, 0x33},
    };
    for (const auto& r : rows) {
        Batch b;
        b.add(0, 0x3001);
        b.add(1, 0x3001);
        adapter.answer_batches(2, [answers = r.answers](const std::vector<Frame>&) {
            Bytes all;
            for (const Answer& a : answers)
                all = concat({all, bytes_of(sdo_answer(a.node, 0x3001, 0, a.value))});
            return std::vector<Reply>{Reply{all}};
        });
        b.run();
        EXPECT_EQ(b.results[0], r.bus_result) << r.what;
        EXPECT_EQ(b.values[0], r.bus_value) << r.what;
        EXPECT_EQ(b.results[1], ORVEX_OK) << r.what;
        EXPECT_EQ(b.values[1], 0x11u) << r.what;
    }
}

TEST_F(Extensions, ReadManyDiscardsInputWaitingBeforeTheBatch) {
    adapter.send(bytes_of(sdo_answer(1, kPosition, 0, 111)));  // late answer to an earlier request
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    adapter.set_responder(
        [](const Frame& request) { return std::vector<Reply>{answer_to(request)}; });
    Batch b;
    b.add(1, kPosition);
    EXPECT_EQ(b.run(), 1);
    EXPECT_EQ(b.values[0], value_for(1, kPosition));
}

TEST_F(Extensions, ReadManyWithASilentNodeEndsAtTheLimitWithTheOthersRead) {
    Batch b = drives(3);
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if (request[1] == 2) return {};
        return {answer_to(request)};
    });
    const long long ms = millis_of([&] { EXPECT_EQ(b.run(), 4); });
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 1300);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    const std::vector<int> expected{ORVEX_OK,      ORVEX_OK, ORVEX_TIMEOUT,
                                    ORVEX_TIMEOUT, ORVEX_OK, ORVEX_OK};
    EXPECT_EQ(b.results, expected);
    EXPECT_EQ(b.values[2], 0xDEADBEEFu);  // untouched
    EXPECT_EQ(b.values[4], value_for(3, kPosition));

    // With a shorter query limit the batch is shorter too.
    ASSERT_EQ(Orvex_SetTimeLimits(100, 0), 1);
    Batch again = drives(3);
    const long long short_ms = millis_of([&] { EXPECT_EQ(again.run(), 4); });
    EXPECT_GE(short_ms, 100);
    EXPECT_LT(short_ms, 500);
}

TEST_F(Extensions, ReadManyFailsOnlyTheItemThatWasAborted) {
    Batch b = drives(2);
    b.add(1, 0x5FFF, 3);
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if (index_of(request) == 0x5FFF)
            return {Reply{bytes_of(sdo_abort(request[1], 0x5FFF, request[5], 0x06020000))}};
        return {answer_to(request)};
    });
    const long long ms = millis_of([&] { EXPECT_EQ(b.run(), 4); });
    EXPECT_LT(ms, 500);  // an abort is an answer: nothing is waited out
    EXPECT_EQ(b.results[4], ORVEX_SDO_ABORT);
    EXPECT_EQ(b.values[4], 0xDEADBEEFu);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06020000u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b.results[i], ORVEX_OK) << i;
}

TEST_F(Extensions, ReadManyAndSingleQueriesFromOtherThreadsEachGetTheirOwnAnswers) {
    // A slow adapter makes overlap likely if the batch did not hold the exchange lock.
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        Reply reply = answer_to(request);
        reply.delay_ms = 1;
        return {reply};
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            Batch b = drives(4);
            if (b.run() != 8) ++wrong;
            for (int k = 0; k < b.count(); ++k)
                if (b.values[k] != value_for(b.nodes[k], static_cast<std::uint16_t>(b.indexes[k])))
                    ++wrong;
        }
    });
    for (int node : {1, 5}) {
        threads.emplace_back([&, node] {
            for (int i = 0; i < 30; ++i) {
                int value = 0;
                if (SDO_Read(node, kPosition, 0, &value, 4) != 1 ||
                    value != static_cast<int>(value_for(node, kPosition)))
                    ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Extensions, ReadManyRefusesBadArgumentsAndSendsNothing) {
    adapter.answer_uploads_with(1);
    struct Case {
        const char* what;
        void (*spoil)(Batch&, int& count);
    };
    const Case cases[] = {
        {"count 0", [](Batch&, int& count) { count = 0; }},
        {"count -1", [](Batch&, int& count) { count = -1; }},
        {"count 128", [](Batch&, int& count) { count = 128; }},
        {"node -1", [](Batch& b, int&) { b.nodes[1] = -1; }},
        {"node 128", [](Batch& b, int&) { b.nodes[1] = 128; }},
        {"index -1", [](Batch& b, int&) { b.indexes[0] = -1; }},
        {"index 0x10000", [](Batch& b, int&) { b.indexes[0] = 0x10000; }},
        {"subindex -1", [](Batch& b, int&) { b.subs[2] = -1; }},
        {"subindex 256", [](Batch& b, int&) { b.subs[2] = 256; }},
        {"the same item twice",
         [](Batch& b, int& count) {
             b.add(1, kStatusword);
             count = b.count();
         }},
    };
    for (const Case& c : cases) {
        Batch b = drives(2);
        int count = b.count();
        c.spoil(b, count);
        if (count > b.count()) {
            // 128 items, all distinct, so that only the count is wrong.
            b = Batch{};
            for (int i = 0; i < 128; ++i) b.add(1, 0x2000 + i);
        }
        EXPECT_EQ(Orvex_ReadMany(count, b.nodes.data(), b.indexes.data(), b.subs.data(),
                                 b.values.data(), b.results.data()),
                  0)
            << c.what;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << c.what;
        EXPECT_EQ(b.values[0], 0xDEADBEEFu) << c.what;
        if (count > 0 && count <= 127) {
            EXPECT_EQ(b.results[0], ORVEX_BAD_ARGUMENT) << c.what;
        }
    }
    Batch b = drives(1);
    int results[2];
    unsigned values[2];
    EXPECT_EQ(Orvex_ReadMany(2, nullptr, b.indexes.data(), b.subs.data(), values, results), 0);
    EXPECT_EQ(Orvex_ReadMany(2, b.nodes.data(), nullptr, b.subs.data(), values, results), 0);
    EXPECT_EQ(Orvex_ReadMany(2, b.nodes.data(), b.indexes.data(), nullptr, values, results), 0);
    EXPECT_EQ(Orvex_ReadMany(2, b.nodes.data(), b.indexes.data(), b.subs.data(), nullptr, results),
              0);
    EXPECT_EQ(Orvex_ReadMany(2, b.nodes.data(), b.indexes.data(), b.subs.data(), values, nullptr),
              0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(adapter.raw_byte_count(), 0u);
}

TEST_F(Extensions, ReadManyTakesTheWholeRangeOfItems) {
    // 127 items, the most a batch takes, with the same object read from every node 1..127.
    Batch b;
    for (int node = 1; node <= 127; ++node) b.add(node, kStatusword);
    adapter.answer_batches(127, [](const std::vector<Frame>& requests) {
        std::vector<Reply> replies;
        for (const Frame& request : requests) replies.push_back(answer_to(request));
        std::reverse(replies.begin(), replies.end());
        return replies;
    });
    EXPECT_EQ(b.run(), 127);
    EXPECT_EQ(b.values[126], value_for(127, kStatusword));
}

TEST_F(Extensions, ABatchOrAReceiveOnADeviceThatVanishesFailsAtOnceWithTheSystemsReason) {
    Batch b = drives(2);
    adapter.answer_batches(4, [](const std::vector<Frame>& requests) {
        return std::vector<Reply>{answer_to(requests[0]), answer_to(requests[1])};
    });
    std::thread unplug([&] {
        adapter.frames(4);  // the batch is out and waits for drive 2
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        adapter.vanish();
    });
    const long long ms = millis_of([&] { EXPECT_EQ(b.run(), 2); });
    unplug.join();
    EXPECT_LT(ms, 700);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(b.results,
              (std::vector<int>{ORVEX_OK, ORVEX_OK, ORVEX_SYSTEM_ERROR, ORVEX_SYSTEM_ERROR}));
    unsigned char frame[12];
    EXPECT_LT(millis_of([&] { EXPECT_EQ(Orvex_ReceiveFrame(frame, 1000), 0); }), 300);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
}

TEST(ExtensionsWithoutPort, ReadManyFailsAtOnceWithNoPort) {
    Serial_ClosePort();
    Batch b = drives(2);
    const long long ms = millis_of([&] { EXPECT_EQ(b.run(), 0); });
    EXPECT_LT(ms, 100);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
    for (int r : b.results) EXPECT_EQ(r, ORVEX_NO_PORT);
}

}  // namespace
}  // namespace orvex::test
