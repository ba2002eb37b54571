// Queries: decoding, taking only their own answer, and reporting why they failed.
#include <atomic>
#include <thread>

#include "library_fixture.h"

namespace orvex::test {
namespace {

using Queries = LibraryTest;

TEST_F(Queries, DecodeAnswerBytesWithoutSignExtensionExceptForPosition) {
    adapter.answer_uploads_with(0xFFFFFF9C);  // bytes 9C FF FF FF
    EXPECT_EQ(GetPosition(1), -100);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);

    adapter.answer_uploads_with(0x0637);
    EXPECT_EQ(GetMotorStatus(1), 0x407);  // masked with 0x1D0F
    adapter.answer_uploads_with(0xFFFF02B7);
    EXPECT_EQ(GetMotorStatus(1), 0x0007);  // only bytes 6-7, top bit of the low byte stays put
    adapter.answer_uploads_with(0x12340180);
    EXPECT_EQ(GetVersions(1), 384);

    adapter.answer_uploads_with(0x000000FF);
    EXPECT_EQ(Get_ALL_Enable_Status(), 255);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);  // a real 255, told apart from a failure
    adapter.answer_uploads_with(0x80000001);
    EXPECT_EQ(Get_ALL_Reached_Status(), static_cast<int>(0x80000001));
    EXPECT_EQ(Get_ALL_Err_Status(), static_cast<int>(0x80000001));

    adapter.answer_uploads_with(0x00008637);
    int value = 0;
    EXPECT_EQ(SDO_Read(1, 0x6041, 0, &value, 2), 1);
    EXPECT_EQ(value, 0x8637);  // not sign-extended to the 16-bit object's size
    adapter.answer_uploads_with(0xFFFFFFFF);
    EXPECT_EQ(SDO_Read(1, 0x6061, 0, &value, 1), 1);
    EXPECT_EQ(value, -1);  // all four bytes stored whatever the size code
}

TEST_F(Queries, SkipAcknowledgementsBootUpsAndOtherObjectsBeforeTheirAnswer) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        const Bytes noise = concat({
            bytes_of(download_ack(request[1], 0x6040, 0)),
            bytes_of(frame_of({0x07, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x0A})),  // boot-up
            bytes_of(sdo_answer(request[1], 0x6041, 0, 0x1234)),                 // another object
            bytes_of(sdo_answer(request[1] + 1, index_of(request), 0, 0x5555)),  // another node
        });
        return {
            Reply{concat({noise, bytes_of(sdo_answer(request[1], index_of(request), 0, 4242))})}};
    });
    EXPECT_EQ(GetPosition(1), 4242);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
}

TEST_F(Queries, NeverTakeTheirOwnRequestEchoedByTheAdapterForTheAnswer) {
    // Some adapters send every frame the host writes back to it. The echoed upload request has the
    // query's own index and subindex and a command byte (0x40) in the answer range.
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "echo, then the answer" : "echo only");
        adapter.set_responder([answered](const Frame& request) -> std::vector<Reply> {
            std::vector<Reply> replies{Reply{bytes_of(request)}};
            if (answered && request[0] == 0x06 && (request[2] & 0xF0) == 0x40)
                replies.push_back(Reply{
                    bytes_of(sdo_answer(request[1], index_of(request), request[5], 4242)), 5});
            return replies;
        });
        int value = 1;
        EXPECT_EQ(SDO_Read(2, 0x6064, 0, &value, 4), answered ? 1 : 0);
        EXPECT_EQ(value, answered ? 4242 : 1);
        EXPECT_EQ(Orvex_LastResult(), answered ? ORVEX_OK : ORVEX_TIMEOUT);
        EXPECT_EQ(GetPosition(1), answered ? 4242 : 0);
        EXPECT_EQ(Get_ALL_Enable_Status(), answered ? 4242 : 255);
        EXPECT_EQ(Orvex_LastResult(), answered ? ORVEX_OK : ORVEX_TIMEOUT);
    }
}

TEST_F(Queries, BusSummariesTakeAnySdoResponseIdDriveQueriesOnlyTheirNodes) {
    // Node 0 is the bus, not a drive: whatever device answers the summaries may use its own id.
    for (const unsigned id : {0x580u, 0x581u, 0x5FFu}) {
        adapter.set_responder([id](const Frame& request) -> std::vector<Reply> {
            return {Reply{bytes_of(can_frame(id, 0x43, index_of(request), request[5], 7))}};
        });
        EXPECT_EQ(Get_ALL_Reached_Status(), 7) << std::hex << id;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_OK) << std::hex << id;
    }
    // A drive query answered from another node's id is someone else's answer.
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        return {Reply{bytes_of(can_frame(0x581, 0x43, index_of(request), request[5], 7))}};
    });
    EXPECT_EQ(GetPosition(2), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
}

TEST_F(Queries, DiscardAStaleAnswerWaitingBeforeTheRequest) {
    adapter.send(bytes_of(sdo_answer(1, 0x6064, 0, 111)));  // late answer to an earlier request
    ASSERT_TRUE(adapter.wait_until_library_has(12));
    adapter.answer_uploads_with(222);
    EXPECT_EQ(GetPosition(1), 222);
}

TEST_F(Queries, RegainFramingAfterGarbageAndTakeAnAnswerInSingleBytes) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        const Bytes answer = bytes_of(sdo_answer(request[1], index_of(request), 0, 77));
        return {Reply{Bytes{0x55, 0x0D, 0x0A, 0x99, 0x42}},
                Reply{answer, 0, /*chunk=*/1, /*pause=*/15}};
    });
    long long ms = millis_of([] { EXPECT_EQ(GetPosition(1), 77); });
    EXPECT_LT(ms, 800);
}

// A longer object answers a value's request with the start of a segmented transfer (0x41 and its
// size): the size is no value. The query fails with 0x05040001 and the server's transfer is ended.
TEST_F(Queries, AnObjectLongerThanFourBytesIsNoValue) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        if ((request[2] & 0xE0) != 0x40) return {};
        return {Reply{bytes_of(sdo_answer(request[1], index_of(request), request[5], 29, 0x41))}};
    });
    int value = 12345;
    EXPECT_EQ(SDO_Read(1, 0x1008, 0, &value, 4), 0);
    EXPECT_EQ(value, 12345);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x05040001u);
    EXPECT_EQ(frames_of(2), (std::vector<std::string>{"06 01 43 08 10 00 00 00 00 00 0D 0A",
                                                      "06 01 80 08 10 00 01 00 04 05 0D 0A"}));
}

TEST_F(Queries, ReportAnAbortAsAFailureWithItsCode) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        return {Reply{bytes_of(sdo_abort(request[1], index_of(request), request[5], 0x06020000))}};
    });
    int value = 12345;
    EXPECT_EQ(SDO_Read(1, 0x5FFF, 0, &value, 4), 0);
    EXPECT_EQ(value, 12345);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06020000u);
    EXPECT_EQ(GetPosition(1), 0);
    EXPECT_EQ(Get_ALL_Err_Status(), 255);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
}

TEST_F(Queries, TimeOutAfterStrictlyMoreThan800Milliseconds) {
    adapter.silence();
    int value = 7;
    const long long ms = millis_of([&] { EXPECT_EQ(SDO_Read(1, 0x6064, 0, &value, 4), 0); });
    EXPECT_EQ(value, 7);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 1500);
    // An answer arriving after the limit belongs to nobody and does not confuse the next query.
    adapter.send(bytes_of(sdo_answer(1, 0x6064, 0, 999)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // it has arrived
    adapter.answer_uploads_with(5);
    EXPECT_EQ(GetPosition(1), 5);
}

TEST_F(Queries, FromFourThreadsEachGetTheirOwnAnswer) {
    // Answers carry the node in the value; a slow adapter makes overlap likely without the lock.
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        return {
            Reply{bytes_of(sdo_answer(request[1], index_of(request), 0, request[1] * 1000u)), 2}};
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int node = 1; node <= 4; ++node) {
        threads.emplace_back([node, &wrong] {
            for (int i = 0; i < 25; ++i)
                if (GetPosition(node) != node * 1000 || Orvex_LastResult() != ORVEX_OK) ++wrong;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(QueriesWithoutPort, WaitOutTheLimitAndSayNoPort) {
    Serial_ClosePort();
    const long long ms = millis_of([] { EXPECT_EQ(Get_ALL_Enable_Status(), 255); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 1500);
}

}  // namespace
}  // namespace orvex::test
