// Objects of any size over a pseudo-terminal: each case is the exact dialogue of one transfer, the
// frames the library must write and what a server answers to each, then the call's result.
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>

#include "library_fixture.h"

namespace orvex::test {
namespace {

constexpr int kNode = 1;
constexpr int kIndex = 0x2010;

// A frame from its CAN data in hex: a request to node 1 or an answer from it.
std::string request(const std::string& data) {
    return "06 01 " + data + " 0D 0A";
}
std::string answer(const std::string& data) {
    return "05 81 " + data + " 0D 0A";
}

Frame from_hex(const std::string& text) {
    std::istringstream in(text);
    Frame frame{};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        unsigned byte = 0;
        in >> std::hex >> byte;
        frame[i] = static_cast<std::uint8_t>(byte);
    }
    return frame;
}

std::string byte_hex(unsigned byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[(byte >> 4) & 0xF], digits[byte & 0xF]};
}

// The CRC's two bytes as data bytes 1-2 carry them.
std::string crc_of(const std::string& data) {
    const std::uint16_t crc =
        codec::BlockCrc(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    return byte_hex(crc & 0xFF) + " " + byte_hex(crc >> 8);
}

// One request the library must write and the frames the server sends back for it.
struct Step {
    std::string sent;
    std::vector<std::string> replies;
};

const std::string kAbc = "61 62 63 64 65 66 67";  // "abcdefg"
const std::string kHij = "68 69 6A";              // "hij"
const std::string kHin = "68 69 6A 6B 6C 6D 6E";  // "hijklmn"
const std::string kOpt = "6F 70 71 72 73 74";     // "opqrst"
const std::string kTen = "abcdefghij";
const std::string kTwenty = "abcdefghijklmnopqrst";

struct Case {
    const char* name;
    int block_size;    // Orvex_SetBlockTransfer(4, block_size); 0: off
    bool upload;       // else a download of `data`
    int capacity;      // upload buffer
    std::string data;  // downloaded, or expected from an upload that succeeds
    std::vector<Step> dialogue;
    std::vector<std::string> then;  // frames written after the dialogue (an abort)
    int outcome;
    unsigned abort_code;
    int length;  // upload: *length afterwards
    int kind;    // Orvex_LastTransfer
};

std::vector<Case> cases() {
    const std::string up = "40 10 20 00 00 00 00 00";
    const std::string seg0 = "60 00 00 00 00 00 00 00";
    const std::string seg1 = "70 00 00 00 00 00 00 00";
    const std::string timeout_abort = request("80 10 20 00 00 00 04 05");
    return {
        {"segmented upload, size indicated",
         0,
         true,
         64,
         kTen,
         {{request(up), {answer("41 10 20 00 0A 00 00 00")}},
          {request(seg0), {answer("00 " + kAbc)}},
          {request(seg1), {answer("19 " + kHij + " 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         10,
         ORVEX_TRANSFER_SEGMENTED},
        {"segmented upload, size not indicated, other frames skipped",
         0,
         true,
         64,
         kTen,
         {{request(up), {answer("40 10 20 00 00 00 00 00")}},
          // A heartbeat, the adapter's echo of the request and node 2's segment come first.
          {request(seg0),
           {"07 01 05 00 00 00 00 00 00 00 0D 0A", request(seg0), "05 82 00 " + kHin + " 0D 0A",
            answer("00 " + kAbc)}},
          {request(seg1), {answer("19 " + kHij + " 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         10,
         ORVEX_TRANSFER_SEGMENTED},
        {"expedited upload with and without a size",
         0,
         true,
         4,
         "\x34\x12",
         {{request(up), {answer("4B 10 20 00 34 12 00 00")}}},
         {},
         ORVEX_OK,
         0,
         2,
         ORVEX_TRANSFER_EXPEDITED},
        {"expedited upload without a size counts four bytes",
         0,
         true,
         4,
         std::string("\x34\x12\x00\x00", 4),
         {{request(up), {answer("42 10 20 00 34 12 00 00")}}},
         {},
         ORVEX_OK,
         0,
         4,
         ORVEX_TRANSFER_EXPEDITED},
        {"a wrong toggle aborts",
         0,
         true,
         64,
         "",
         {{request(up), {answer("41 10 20 00 0A 00 00 00")}},
          {request(seg0), {answer("00 " + kAbc)}},
          {request(seg1), {answer("09 " + kHij + " 00 00 00 00")}}},
         {request("80 10 20 00 00 00 03 05")},
         ORVEX_SDO_ABORT,
         0x05030000,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"an abort in the middle ends the call, nothing more sent",
         0,
         true,
         64,
         "",
         {{request(up), {answer("41 10 20 00 0A 00 00 00")}},
          {request(seg0), {answer("80 10 20 00 00 00 00 08")}}},
         {},
         ORVEX_SDO_ABORT,
         0x08000000,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"a buffer too small for the size announced",
         0,
         true,
         5,
         "",
         {{request(up), {answer("41 10 20 00 0A 00 00 00")}}},
         {request("80 10 20 00 05 00 04 05")},
         ORVEX_SDO_ABORT,
         0x05040005,
         10,
         ORVEX_TRANSFER_SEGMENTED},
        {"a buffer too small for an object of unknown size",
         0,
         true,
         8,
         "",
         {{request(up), {answer("40 10 20 00 00 00 00 00")}},
          {request(seg0), {answer("00 " + kAbc)}},
          {request(seg1), {answer("10 " + kHin)}}},
         {request("80 10 20 00 05 00 04 05")},
         ORVEX_SDO_ABORT,
         0x05040005,
         14,
         ORVEX_TRANSFER_SEGMENTED},
        {"no answer to the initiate",
         0,
         true,
         64,
         "",
         {{request(up), {}}},
         {timeout_abort},
         ORVEX_TIMEOUT,
         0,
         0,
         ORVEX_TRANSFER_NONE},
        {"no answer to a segment",
         0,
         true,
         64,
         "",
         {{request(up), {answer("41 10 20 00 0A 00 00 00")}}, {request(seg0), {}}},
         {timeout_abort},
         ORVEX_TIMEOUT,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"block upload with CRC",
         2,
         true,
         64,
         kTen,
         {{request("A4 10 20 00 02 04 00 00"), {answer("C6 10 20 00 0A 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"),
           {answer("01 " + kAbc), answer("82 " + kHij + " 00 00 00 00")}},
          {request("A2 02 02 00 00 00 00 00"), {answer("D1 " + crc_of(kTen) + " 00 00 00 00 00")}},
          {request("A1 00 00 00 00 00 00 00"), {}}},
         {},
         ORVEX_OK,
         0,
         10,
         ORVEX_TRANSFER_BLOCK},
        {"block upload: a lost segment is acknowledged before and sent again",
         3,
         true,
         64,
         kTwenty,
         {{request("A4 10 20 00 03 04 00 00"), {answer("C6 10 20 00 14 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"),
           {answer("01 " + kAbc), answer("83 " + kOpt + " 00")}},
          {request("A2 01 03 00 00 00 00 00"),
           {answer("01 " + kHin), answer("82 " + kOpt + " 00")}},
          {request("A2 02 03 00 00 00 00 00"),
           {answer("C5 " + crc_of(kTwenty) + " 00 00 00 00 00")}},
          {request("A1 00 00 00 00 00 00 00"), {}}},
         {},
         ORVEX_OK,
         0,
         20,
         ORVEX_TRANSFER_BLOCK},
        {"block upload: a CRC mismatch aborts",
         2,
         true,
         64,
         "",
         {{request("A4 10 20 00 02 04 00 00"), {answer("C6 10 20 00 0A 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"),
           {answer("01 " + kAbc), answer("82 " + kHij + " 00 00 00 00")}},
          {request("A2 02 02 00 00 00 00 00"), {answer("D1 00 00 00 00 00 00 00")}}},
         {request("80 10 20 00 04 00 04 05")},
         ORVEX_SDO_ABORT,
         0x05040004,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"block upload: no end after the last block",
         2,
         true,
         64,
         "",
         {{request("A4 10 20 00 02 04 00 00"), {answer("C6 10 20 00 0A 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"),
           {answer("01 " + kAbc), answer("82 " + kHij + " 00 00 00 00")}},
          {request("A2 02 02 00 00 00 00 00"), {}}},
         {timeout_abort},
         ORVEX_TIMEOUT,
         0,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"a server that refuses a block upload is asked the plain way",
         2,
         true,
         64,
         "\x34\x12",
         {{request("A4 10 20 00 02 04 00 00"), {answer("80 10 20 00 01 00 04 05")}},
          {request(up), {answer("4B 10 20 00 34 12 00 00")}}},
         {},
         ORVEX_OK,
         0,
         2,
         ORVEX_TRANSFER_EXPEDITED},
        {"block upload: an abort naming another object ends it",
         2,
         true,
         64,
         "",
         {{request("A4 10 20 00 02 04 00 00"), {answer("C6 10 20 00 0A 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"), {answer("80 40 60 00 01 00 04 05")}}},
         {},
         ORVEX_SDO_ABORT,
         0x05040001,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"block upload: a frame numbered 0 or past the block is no segment",
         2,
         true,
         64,
         "",
         {{request("A4 10 20 00 02 04 00 00"), {answer("C6 10 20 00 0A 00 00 00")}},
          {request("A3 00 00 00 00 00 00 00"), {answer("60 40 60 00 00 00 00 00")}}},
         {request("80 10 20 00 03 00 04 05")},
         ORVEX_SDO_ABORT,
         0x05040003,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"a block download refused with an abort naming another object falls back",
         2,
         false,
         0,
         kTen,
         {{request("C6 10 20 00 0A 00 00 00"), {answer("80 08 10 00 01 00 04 05")}},
          {request("21 10 20 00 0A 00 00 00"), {answer("60 10 20 00 00 00 00 00")}},
          {request("00 " + kAbc), {answer("20 00 00 00 00 00 00 00")}},
          {request("19 " + kHij + " 00 00 00 00"), {answer("30 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"expedited download",
         0,
         false,
         0,
         "abc",
         {{request("27 10 20 00 61 62 63 00"), {answer("60 10 20 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_EXPEDITED},
        {"segmented download",
         0,
         false,
         0,
         kTen,
         {{request("21 10 20 00 0A 00 00 00"), {answer("60 10 20 00 00 00 00 00")}},
          {request("00 " + kAbc), {answer("20 00 00 00 00 00 00 00")}},
          {request("19 " + kHij + " 00 00 00 00"), {answer("30 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"an empty download is one empty segment",
         0,
         false,
         0,
         "",
         {{request("21 10 20 00 00 00 00 00"), {answer("60 10 20 00 00 00 00 00")}},
          {request("0F 00 00 00 00 00 00 00"), {answer("20 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"segmented download: a wrong toggle aborts",
         0,
         false,
         0,
         kTen,
         {{request("21 10 20 00 0A 00 00 00"), {answer("60 10 20 00 00 00 00 00")}},
          {request("00 " + kAbc), {answer("20 00 00 00 00 00 00 00")}},
          {request("19 " + kHij + " 00 00 00 00"), {answer("20 00 00 00 00 00 00 00")}}},
         {request("80 10 20 00 00 00 03 05")},
         ORVEX_SDO_ABORT,
         0x05030000,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"block download with CRC",
         2,
         false,
         0,
         kTen,
         {{request("C6 10 20 00 0A 00 00 00"), {answer("A4 10 20 00 02 00 00 00")}},
          {request("01 " + kAbc), {}},
          {request("82 " + kHij + " 00 00 00 00"), {answer("A2 02 02 00 00 00 00 00")}},
          {request("D1 " + crc_of(kTen) + " 00 00 00 00 00"), {answer("A1 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"block download: segments after the last acknowledged are sent again",
         2,
         false,
         0,
         kTwenty,
         {{request("C6 10 20 00 14 00 00 00"), {answer("A4 10 20 00 03 00 00 00")}},
          {request("01 " + kAbc), {}},
          {request("02 " + kHin), {}},
          {request("83 " + kOpt + " 00"), {answer("A2 01 03 00 00 00 00 00")}},
          {request("01 " + kHin), {}},
          {request("82 " + kOpt + " 00"), {answer("A2 02 03 00 00 00 00 00")}},
          {request("C5 " + crc_of(kTwenty) + " 00 00 00 00 00"),
           {answer("A1 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"a server that refuses a block download gets a segmented one",
         2,
         false,
         0,
         kTen,
         {{request("C6 10 20 00 0A 00 00 00"), {answer("80 10 20 00 01 00 04 05")}},
          {request("21 10 20 00 0A 00 00 00"), {answer("60 10 20 00 00 00 00 00")}},
          {request("00 " + kAbc), {answer("20 00 00 00 00 00 00 00")}},
          {request("19 " + kHij + " 00 00 00 00"), {answer("30 00 00 00 00 00 00 00")}}},
         {},
         ORVEX_OK,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
        {"block download: no acknowledgement of a block",
         2,
         false,
         0,
         kTen,
         {{request("C6 10 20 00 0A 00 00 00"), {answer("A4 10 20 00 02 00 00 00")}},
          {request("01 " + kAbc), {}},
          {request("82 " + kHij + " 00 00 00 00"), {}}},
         {timeout_abort},
         ORVEX_TIMEOUT,
         0,
         0,
         ORVEX_TRANSFER_BLOCK},
        {"download: no confirmation of the initiate",
         0,
         false,
         0,
         kTen,
         {{request("21 10 20 00 0A 00 00 00"), {}}},
         {timeout_abort},
         ORVEX_TIMEOUT,
         0,
         0,
         ORVEX_TRANSFER_SEGMENTED},
    };
}

class SdoTransfer : public LibraryTest {
  protected:
    void TearDown() override {
        Orvex_SetTimeLimits(800, 3800);
        Orvex_SetBlockTransfer(0, 0);
        LibraryTest::TearDown();
    }
};

TEST_F(SdoTransfer, EachDialogueHasItsExactFramesAndResult) {
    ASSERT_EQ(Orvex_SetTimeLimits(150, 0), 1);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        adapter.clear();
        ASSERT_EQ(Orvex_SetBlockTransfer(c.block_size > 0 ? 4 : 0, c.block_size), 1);
        // The server answers the dialogue's requests in turn, whatever they are: the comparison
        // below tells whether they were the right ones.
        auto replies = std::make_shared<std::vector<std::vector<std::string>>>();
        for (const Step& step : c.dialogue) replies->push_back(step.replies);
        auto next = std::make_shared<std::size_t>(0);
        auto lock = std::make_shared<std::mutex>();
        adapter.set_responder([replies, next, lock](const Frame&) {
            std::lock_guard<std::mutex> guard(*lock);
            std::vector<Reply> out;
            if (*next >= replies->size()) return out;
            Bytes bytes;
            for (const std::string& text : (*replies)[(*next)++]) {
                const Bytes frame = bytes_of(from_hex(text));
                bytes.insert(bytes.end(), frame.begin(), frame.end());
            }
            if (!bytes.empty()) out.push_back(Reply{bytes});
            return out;
        });

        std::vector<unsigned char> buffer(static_cast<std::size_t>(c.capacity) + 1, 0xEE);
        int length = -1;
        const int result =
            c.upload ? Orvex_SdoUpload(kNode, kIndex, 0, buffer.data(), c.capacity, &length)
                     : Orvex_SdoDownload(kNode, kIndex, 0,
                                         reinterpret_cast<const unsigned char*>(c.data.data()),
                                         static_cast<int>(c.data.size()));
        EXPECT_EQ(result, c.outcome == ORVEX_OK ? 1 : 0);
        EXPECT_EQ(Orvex_LastResult(), c.outcome);
        if (c.outcome == ORVEX_SDO_ABORT) {
            EXPECT_EQ(Orvex_LastAbortCode(), c.abort_code);
        }
        EXPECT_EQ(Orvex_LastTransfer(nullptr, nullptr, nullptr), c.kind);
        if (c.upload) {
            EXPECT_EQ(length, c.length);
            if (c.outcome == ORVEX_OK) {
                EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), c.data);
            }
            // Never a byte past the capacity.
            EXPECT_EQ(buffer[static_cast<std::size_t>(c.capacity)], 0xEE);
        }
        std::vector<std::string> expected;
        for (const Step& step : c.dialogue) expected.push_back(step.sent);
        expected.insert(expected.end(), c.then.begin(), c.then.end());
        EXPECT_EQ(frames_of(static_cast<int>(expected.size())), expected);
        // Nothing more follows.
        EXPECT_EQ(adapter.frames(expected.size() + 1, std::chrono::milliseconds(50)).size(),
                  expected.size());
    }
}

TEST_F(SdoTransfer, RefusedArgumentsSendNothing) {
    unsigned char buffer[8];
    int length = 7;
    struct Refused {
        const char* what;
        int (*call)(unsigned char*, int*);
    };
    const Refused refused[] = {
        {"node 0", [](unsigned char* b, int* n) { return Orvex_SdoUpload(0, 0x1008, 0, b, 8, n); }},
        {"node 128",
         [](unsigned char* b, int* n) { return Orvex_SdoUpload(128, 0x1008, 0, b, 8, n); }},
        {"index", [](unsigned char* b, int* n) { return Orvex_SdoUpload(1, 0x10000, 0, b, 8, n); }},
        {"subindex",
         [](unsigned char* b, int* n) { return Orvex_SdoUpload(1, 0x1008, 256, b, 8, n); }},
        {"null length",
         [](unsigned char* b, int*) { return Orvex_SdoUpload(1, 0x1008, 0, b, 8, nullptr); }},
        {"null buffer",
         [](unsigned char*, int* n) { return Orvex_SdoUpload(1, 0x1008, 0, nullptr, 8, n); }},
        {"capacity",
         [](unsigned char* b, int* n) { return Orvex_SdoUpload(1, 0x1008, 0, b, -1, n); }},
        {"download length",
         [](unsigned char* b, int*) { return Orvex_SdoDownload(1, 0x2010, 0, b, -1); }},
        {"download data",
         [](unsigned char*, int*) { return Orvex_SdoDownload(1, 0x2010, 0, nullptr, 3); }},
        {"threshold", [](unsigned char*, int*) { return Orvex_SetBlockTransfer(-1, 127); }},
        {"block size 0", [](unsigned char*, int*) { return Orvex_SetBlockTransfer(4, 0); }},
        {"block size 128", [](unsigned char*, int*) { return Orvex_SetBlockTransfer(4, 128); }},
    };
    for (const Refused& r : refused) {
        EXPECT_EQ(r.call(buffer, &length), 0) << r.what;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << r.what;
    }
    EXPECT_EQ(length, 0);  // set even when the call is refused
    EXPECT_TRUE(adapter.frames(1, std::chrono::milliseconds(100)).empty());
    // Off, and the smallest and largest blocks.
    EXPECT_EQ(Orvex_SetBlockTransfer(0, 0), 1);
    EXPECT_EQ(Orvex_SetBlockTransfer(1, 1), 1);
    EXPECT_EQ(Orvex_SetBlockTransfer(65535, 127), 1);
}

TEST_F(SdoTransfer, WithNoPortItFailsAtOnce) {
    Serial_ClosePort();
    unsigned char buffer[8];
    int length = 0;
    EXPECT_LT(millis_of([&] { EXPECT_EQ(Orvex_SdoUpload(1, 0x1008, 0, buffer, 8, &length), 0); }),
              100);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
    EXPECT_EQ(Orvex_SdoDownload(1, 0x2010, 0, buffer, 8), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
}

}  // namespace
}  // namespace orvex::test
