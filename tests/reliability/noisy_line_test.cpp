// A line full of traffic that is not the answer: noise, torn frames, heartbeats, boot-ups,
// acknowledgements, echoed requests, answers and aborts from other nodes and for other objects,
// streamed while queries run. Every query must return its own object's value; answers trickling in
// byte by byte must still be taken within the limit.
#include <atomic>
#include <random>
#include <thread>

#include "reliability_fixture.h"

namespace orvex::test {
namespace {

constexpr std::uint32_t kPoison = 0x77777777;  // what no query may ever return

// A value per node and object that a drive reports; never contains CR or LF, so an answer that
// lands right after noise can always be found again.
std::uint32_t value_for(int node, std::uint16_t index, std::uint8_t sub) {
    std::uint32_t v = 0x9E3779B9u * static_cast<std::uint32_t>(node + 1) ^ index * 0x10001u ^
                      static_cast<std::uint32_t>(sub) << 12;
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint32_t b = (v >> shift) & 0xFF;
        if (b == 0x0D || b == 0x0A) v ^= 0x40u << shift;
    }
    return v;
}

// The queries under test: which object each asks which node for, and what it returns for a value.
struct Query {
    const char* name;
    int node;  // 0 for the summaries
    std::uint16_t index;
    std::uint8_t sub;
    std::uint32_t (*project)(std::uint32_t);
    // Runs the query; false when it reported a failure.
    bool (*run)(int node, std::uint32_t& got);
};

std::uint32_t as_is(std::uint32_t v) {
    return v;
}

template <int (*F)(int)>
bool node_query(int node, std::uint32_t& got) {
    got = static_cast<std::uint32_t>(F(node));
    return Orvex_LastResult() == ORVEX_OK;
}
template <int (*F)()>
bool summary_query(int, std::uint32_t& got) {
    got = static_cast<std::uint32_t>(F());
    return Orvex_LastResult() == ORVEX_OK;
}
template <unsigned Index, int Sub>
bool read_query(int node, std::uint32_t& got) {
    int value = 0;
    const bool ok = SDO_Read(node, Index, Sub, &value, 4) == 1;
    got = static_cast<std::uint32_t>(value);
    return ok;
}

std::vector<Query> queries_for(int node) {
    return {
        {"GetPosition", node, 0x6064, 0, as_is, node_query<GetPosition>},
        {"GetMotorStatus", node, 0x6041, 0, [](std::uint32_t v) { return v & 0x1D0Fu; },
         node_query<GetMotorStatus>},
        {"GetVersions", node, 0x2001, 1, [](std::uint32_t v) { return v & 0xFFFFu; },
         node_query<GetVersions>},
        {"SDO_Read 6081", node, 0x6081, 0, as_is, read_query<0x6081, 0>},
        {"SDO_Read 2003/14", node, 0x2003, 0x14, as_is, read_query<0x2003, 0x14>},
        {"Get_ALL_Enable_Status", 0, 0x3001, 0, as_is, summary_query<Get_ALL_Enable_Status>},
        {"Get_ALL_Reached_Status", 0, 0x3002, 0, as_is, summary_query<Get_ALL_Reached_Status>},
        {"Get_ALL_Err_Status", 0, 0x3003, 0, as_is, summary_query<Get_ALL_Err_Status>},
    };
}

// Unsolicited traffic of every kind the line can carry, none of which answers a query.
class NoiseStream {
  public:
    explicit NoiseStream(FakeAdapter& adapter) : adapter_(adapter) {
        thread_ = std::thread([this] { run(); });
    }
    ~NoiseStream() {
        stop_ = true;
        thread_.join();
    }
    long items() const { return items_; }

  private:
    Bytes next(std::mt19937& random) {
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
        const int node = 1 + pick(4);
        const int other = 5 + pick(100);
        const std::vector<Query> queried = queries_for(node);
        const Query& q = queried[static_cast<std::size_t>(pick(static_cast<int>(queried.size())))];
        // Any SDO response for a summary's object answers the summary (the bus is not a drive),
        // so other nodes' answers and aborts go to a drive's object instead.
        const Query& foreign = q.node == 0 ? queried[0] : q;
        switch (pick(10)) {
            case 0: {  // noise without LF; CR alone is harmless
                static const std::uint8_t alphabet[] = {0x00, 0x55, 0x99, 0xAA, 0xFF, 0x0D};
                Bytes noise(static_cast<std::size_t>(1 + pick(20)));
                for (auto& b : noise) b = alphabet[pick(6)];
                return noise;
            }
            case 1: {  // the front of an answer from another node, or for an unqueried object
                const Frame torn = pick(2) ? sdo_answer(other, foreign.index, foreign.sub, kPoison)
                                           : sdo_answer(node, 0x1018, 4, kPoison);
                return Bytes(torn.begin(), torn.begin() + 1 + pick(11));
            }
            case 2:  // heartbeat: operational
                return bytes_of(frame_of({0x07, node, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A}));
            case 3:  // boot-up
                return bytes_of(frame_of({0x07, node, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A}));
            case 4:  // acknowledgement for exactly the object a query asks for
                return bytes_of(download_ack(q.node, q.index, q.sub));
            case 5:  // another node's answer for that object
                return bytes_of(sdo_answer(other, foreign.index, foreign.sub, kPoison));
            case 6:  // another node's abort for it
                return bytes_of(sdo_abort(other, foreign.index, foreign.sub, 0x06020000));
            case 8:  // a request for exactly that object, as an adapter echoing the host sends
                return bytes_of(can_frame(0x600u + static_cast<unsigned>(q.node), 0x40, q.index,
                                          q.sub, kPoison));
            case 7:  // the same node answering for another object
                return bytes_of(sdo_answer(node, 0x606C, 0, kPoison));
            default:  // a bare line end
                return Bytes{0x0D, 0x0A};
        }
    }

    void run() {
        std::mt19937 random(2024);
        while (!stop_) {
            adapter_.send(next(random));
            ++items_;
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
        }
    }

    FakeAdapter& adapter_;
    std::atomic<bool> stop_{false};
    std::atomic<long> items_{0};
    std::thread thread_;
};

// Answers every upload request like the drive would, sometimes after a short delay so that noise
// gets in first.
void answer_like_drives(FakeAdapter& adapter) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if ((request[2] & 0xE0) != 0x40) return {};
        const std::uint16_t index = index_of(request);
        const std::uint32_t value = value_for(request[1], index, request[5]);
        return {Reply{bytes_of(sdo_answer(request[1], index, request[5], value)),
                      static_cast<int>(index % 3)}};
    });
}

using NoisyLine = ReliabilityTest;

TEST_F(NoisyLine, EveryQueryGetsItsOwnObjectsValueWhileTrafficStreams) {
    answer_like_drives(adapter);
    std::atomic<int> asked{0}, wrong{0}, failed{0};
    long noise_items = 0;
    {
        NoiseStream noise(adapter);
        std::vector<std::thread> hosts;
        for (int t = 0; t < 2; ++t) {
            hosts.emplace_back([&, t] {
                for (int round = 0; round < 40; ++round) {
                    for (const Query& q : queries_for(1 + (round + 2 * t) % 4)) {
                        std::uint32_t got = 0;
                        ++asked;
                        if (!q.run(q.node, got)) {
                            ++failed;
                            ADD_FAILURE() << q.name << " node " << q.node << " failed with "
                                          << Orvex_LastResult();
                        } else if (got != q.project(value_for(q.node, q.index, q.sub))) {
                            ++wrong;
                            ADD_FAILURE()
                                << q.name << " node " << q.node << " got " << std::hex << got;
                        }
                    }
                }
            });
        }
        for (auto& h : hosts) h.join();
        noise_items = noise.items();
    }
    std::printf("[ noise    ] %d queries, %d wrong, %d failed, %ld noise items streamed\n",
                asked.load(), wrong.load(), failed.load(), noise_items);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(noise_items, asked.load() / 4);  // the noise really was interleaved
}

TEST_F(NoisyLine, AnAnswerTricklingInByteByByteIsTakenWithinTheLimit) {
    // Eleven 55 ms pauses: the last byte comes at about 605 ms, after noise in front.
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        const std::uint16_t index = index_of(request);
        return {Reply{Bytes{0x55, 0x0D, 0x0A, 0xAA}},
                Reply{bytes_of(sdo_answer(request[1], index, request[5],
                                          value_for(request[1], index, request[5]))),
                      0, 1, 55}};
    });
    long long ms =
        millis_of([] { EXPECT_EQ(GetPosition(3), value_as_int(value_for(3, 0x6064, 0))); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    EXPECT_GE(ms, 550);
    EXPECT_LT(ms, 800);

    // The raw exchange counts bytes, not frames: the same trickle is its whole answer.
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        return {Reply{bytes_of(sdo_answer(request[1], 0x6064, 0, 0x01020304)), 0, 1, 55}};
    });
    const Frame request = frame_of({0x06, 0x03, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A});
    std::uint8_t answer[12] = {};
    ms = millis_of(
        [&] { EXPECT_EQ(U_Transmit_Validation(nullptr, request.data(), answer, 12, 12), 0); });
    EXPECT_LT(ms, 800);
    EXPECT_EQ(Bytes(answer, answer + 12), bytes_of(sdo_answer(3, 0x6064, 0, 0x01020304)));
}

}  // namespace
}  // namespace orvex::test
