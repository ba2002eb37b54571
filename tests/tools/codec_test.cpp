// The tools' adapter codec: frames built byte for byte, frames classified by identifier and
// command, a byte stream split into frames with damage in it, and the name tables.
#include "codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "describe.h"
#include "names.h"

namespace orvex::codec {
namespace {

using Strings = std::vector<std::string>;

TEST(CodecBuild, FramesAreIdentifierDataAndCrLf) {
    struct Case {
        const char* what;
        Frame frame;
        const char* bytes;
    };
    const Case cases[] = {
        {"upload request", UploadRequest(1, 0x6064, 0), "06 01 40 64 60 00 00 00 00 00 0D 0A"},
        {"download 1", Download(3, 0x6060, 0, 6, 1), "06 03 2F 60 60 00 06 00 00 00 0D 0A"},
        {"download 2", Download(3, 0x6040, 0, 0x000F, 2), "06 03 2B 40 60 00 0F 00 00 00 0D 0A"},
        {"download 3", Download(3, 0x2003, 0x14, 0x123456, 3),
         "06 03 27 03 20 14 56 34 12 00 0D 0A"},
        {"download 4", Download(3, 0x607A, 0, 0x89ABCDEF), "06 03 23 7A 60 00 EF CD AB 89 0D 0A"},
        {"download, odd size", Download(3, 0x607A, 0, 1, 9), "06 03 23 7A 60 00 01 00 00 00 0D 0A"},
        {"upload response", UploadResponse(2, 0x6041, 0, 0x0237, 2),
         "05 82 4B 41 60 00 37 02 00 00 0D 0A"},
        {"download ack", DownloadAck(1, 0x607A, 0), "05 81 60 7A 60 00 00 00 00 00 0D 0A"},
        {"abort", SdoAbortFrame(1, 0x1234, 0, kAbortNoObject),
         "05 81 80 34 12 00 00 00 02 06 0D 0A"},
        {"bus summary answer", UploadResponse(0, 0x3001, 0, 5),
         "05 80 43 01 30 00 05 00 00 00 0D 0A"},
        {"nmt", NmtCommand(kNmtResetCommunication, 5), "00 00 82 05 00 00 00 00 00 00 0D 0A"},
        {"nmt to all", NmtCommand(kNmtStart, 0), "00 00 01 00 00 00 00 00 00 00 0D 0A"},
        {"boot-up", BootUp(4), "07 04 00 00 00 00 00 00 00 00 0D 0A"},
        {"heartbeat", Heartbeat(4, kNmtOperational), "07 04 05 00 00 00 00 00 00 00 0D 0A"},
        {"emcy", Emcy(2, 0x2310, 0x03), "00 82 10 23 03 00 00 00 00 00 0D 0A"},
        // A node beyond a byte goes out as its low byte, as the library sends it.
        {"node 257", UploadRequest(257, 0x6041, 0), "06 01 40 41 60 00 00 00 00 00 0D 0A"},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(c.frame), c.bytes) << c.what;
}

TEST(CodecParse, FieldsComeBackAsBuilt) {
    const Frame frame = Download(7, 0x6099, 2, 0x89ABCDEF);
    EXPECT_EQ(CobId(frame), 0x607);
    EXPECT_EQ(SdoCommand(frame), 0x23);
    EXPECT_EQ(SdoIndex(frame), 0x6099);
    EXPECT_EQ(SdoSubindex(frame), 2);
    EXPECT_EQ(SdoValue(frame), 0x89ABCDEFu);
    EXPECT_TRUE(HasTerminator(frame));

    const Frame emcy = Emcy(9, 0x8611, 0x21);
    EXPECT_EQ(EmcyErrorCode(emcy), 0x8611);
    EXPECT_EQ(EmcyErrorRegister(emcy), 0x21);

    Frame damaged = frame;
    damaged[11] = 0x0D;
    EXPECT_FALSE(HasTerminator(damaged));
}

TEST(CodecParse, ExpeditedSizeIsStatedOnlyWithBothBits) {
    const struct {
        std::uint8_t command;
        int size;
    } cases[] = {{0x2F, 1}, {0x2B, 2}, {0x27, 3}, {0x23, 4}, {0x4F, 1}, {0x4B, 2},
                 {0x43, 4}, {0x22, 0}, {0x21, 0}, {0x40, 0}, {0x60, 0}, {0x80, 0}};
    for (const auto& c : cases) EXPECT_EQ(ExpeditedSize(c.command), c.size) << int{c.command};
    for (int size = 1; size <= 4; ++size) {
        EXPECT_EQ(ExpeditedSize(DownloadCommand(size)), size);
        EXPECT_EQ(ExpeditedSize(UploadResponseCommand(size)), size);
    }
}

TEST(CodecClassify, IdentifierRangesAndSdoServices) {
    struct Case {
        std::uint16_t id;
        std::uint8_t byte0;
        FrameKind kind;
        int node;
        SdoService sdo;
    };
    const Case cases[] = {
        {0x000, 0x82, FrameKind::kNmt, 0, SdoService::kNone},
        {0x080, 0x00, FrameKind::kSync, 0, SdoService::kNone},
        {0x081, 0x10, FrameKind::kEmcy, 1, SdoService::kNone},
        {0x0FF, 0x10, FrameKind::kEmcy, 127, SdoService::kNone},
        {0x100, 0x00, FrameKind::kTime, 0, SdoService::kNone},
        {0x181, 0x00, FrameKind::kPdo, 1, SdoService::kNone},
        {0x4FF, 0x00, FrameKind::kPdo, 127, SdoService::kNone},
        {0x200, 0x00, FrameKind::kOther, 0, SdoService::kNone},
        {0x580, 0x43, FrameKind::kSdoResponse, 0, SdoService::kUploadResponse},
        {0x581, 0x4F, FrameKind::kSdoResponse, 1, SdoService::kUploadResponse},
        {0x5FF, 0x60, FrameKind::kSdoResponse, 127, SdoService::kDownloadAck},
        {0x581, 0x80, FrameKind::kSdoResponse, 1, SdoService::kAbort},
        {0x581, 0x20, FrameKind::kSdoResponse, 1, SdoService::kOther},  // a segment
        {0x601, 0x40, FrameKind::kSdoRequest, 1, SdoService::kUploadRequest},
        {0x601, 0x23, FrameKind::kSdoRequest, 1, SdoService::kDownloadRequest},
        {0x601, 0x80, FrameKind::kSdoRequest, 1, SdoService::kAbort},
        {0x601, 0xA0, FrameKind::kSdoRequest, 1, SdoService::kOther},  // block upload
        {0x680, 0x40, FrameKind::kOther, 0, SdoService::kNone},        // beyond node 127
        {0x700, 0x00, FrameKind::kOther, 0, SdoService::kNone},
        {0x701, 0x00, FrameKind::kBootUp, 1, SdoService::kNone},
        {0x77F, 0x05, FrameKind::kHeartbeat, 127, SdoService::kNone},
        {0x7E5, 0x00, FrameKind::kOther, 0, SdoService::kNone},  // layer setting service
    };
    for (const Case& c : cases) {
        const FrameInfo info = Classify(MakeFrame(c.id, {c.byte0}));
        EXPECT_EQ(info.kind, c.kind) << std::hex << c.id << ": " << KindName(info.kind);
        EXPECT_EQ(info.node, c.node) << std::hex << c.id;
        EXPECT_EQ(info.sdo, c.sdo) << std::hex << c.id;
    }
}

std::vector<Frame> ReadAll(FrameReader& reader, const std::vector<std::uint8_t>& stream) {
    std::vector<Frame> frames;
    Frame frame;
    for (std::uint8_t byte : stream) {
        if (reader.Push(byte, &frame)) frames.push_back(frame);
    }
    // The stream came in one piece: a frame held to look behind it is decided now.
    while (reader.Flush(&frame)) frames.push_back(frame);
    return frames;
}

TEST(CodecReader, SplitsAStreamAndResynchronisesAfterGarbage) {
    const Frame a = UploadRequest(1, 0x6041, 0);
    const Frame b = UploadRequest(2, 0x6064, 0);
    FrameReader reader;
    auto bytes = [](const std::uint8_t* from, std::size_t count) {
        return std::vector<std::uint8_t>(from, from + count);
    };

    // A frame arriving in pieces.
    EXPECT_TRUE(ReadAll(reader, bytes(a.data(), 5)).empty());
    EXPECT_EQ(ReadAll(reader, bytes(a.data() + 5, 7)), std::vector<Frame>{a});

    // Garbage without CR LF is dropped a byte at a time; the next frame still comes through.
    std::vector<std::uint8_t> stream = {0x11, 0x22, 0x33};
    const std::size_t junk = stream.size();
    stream.insert(stream.end(), b.begin(), b.end());
    EXPECT_EQ(ReadAll(reader, stream), std::vector<Frame>{b});

    // The tail of a damaged frame ending in CR LF is dropped whole.
    stream = {0x60, 0x00, 0x0A, 0x0D, 0x0A};
    const std::size_t tail = stream.size();
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    EXPECT_EQ(ReadAll(reader, stream), (std::vector<Frame>{a, b}));
    EXPECT_EQ(reader.discarded(), junk + tail);
}

TEST(CodecReader, CrLfInsideDataAndADamagedFrameBeforeTheNext) {
    const Frame a = Download(1, 0x607A, 0, 0x0A0D0A0D);  // CR LF inside the value
    const Frame b = Heartbeat(3, kNmtPreOperational);
    const Frame c = UploadRequest(2, 0x6064, 0);
    // An aligned frame with CR LF in its data, a damaged frame whose CR LF sits at bytes 8-9 of
    // the window (the last place before a whole frame's own), a noise byte, then good frames.
    std::vector<std::uint8_t> stream(a.begin(), a.end());
    stream.insert(stream.end(), {1, 2, 3, 4, 5, 6, 7, 8, 0x0D, 0x0A, 0xFF});
    stream.insert(stream.end(), c.begin(), c.end());
    stream.insert(stream.end(), b.begin(), b.end());

    FrameReader reader;
    EXPECT_EQ(ReadAll(reader, stream), (std::vector<Frame>{a, c, b}));
    EXPECT_EQ(reader.discarded(), 11u);
}

// A frame of zeros from `id` whose data holds 0D 0A at bytes `at` and `at` + 1.
Frame CrLfInData(std::uint16_t id, std::size_t at) {
    Frame f = MakeFrame(id, {0});
    f[at] = 0x0D;
    f[at + 1] = 0x0A;
    return f;
}

TEST(CodecReader, NoFrameAfterNoiseIsLostWhereverItsDataHoldsCrLf) {
    const Frame beat = Heartbeat(4, kNmtOperational);
    for (std::size_t noise = 1; noise <= 11; ++noise) {
        for (std::size_t at = 2; at <= 8; ++at) {
            const Frame framed = CrLfInData(0x185, at);
            std::vector<std::uint8_t> stream(noise, 0x55);
            stream.insert(stream.end(), framed.begin(), framed.end());
            stream.insert(stream.end(), beat.begin(), beat.end());
            FrameReader reader;
            EXPECT_EQ(ReadAll(reader, stream), (std::vector<Frame>{framed, beat}))
                << noise << " noise, 0D 0A at " << at;
            EXPECT_EQ(reader.discarded(), noise);
        }
    }
    // Back to back without noise, frames holding 0D 0A anywhere all come through as they are.
    std::vector<Frame> aligned;
    std::vector<std::uint8_t> stream;
    for (std::size_t at = 8; at >= 2; --at) {
        aligned.push_back(CrLfInData(0x185, at));
        stream.insert(stream.end(), aligned.back().begin(), aligned.back().end());
    }
    FrameReader reader;
    EXPECT_EQ(ReadAll(reader, stream), aligned);
    EXPECT_EQ(reader.discarded(), 0u);
}

TEST(CodecReader, ResetForgetsAPartialFrame) {
    const Frame a = UploadRequest(1, 0x6041, 0);
    FrameReader reader;
    Frame out;
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(reader.Push(a[static_cast<std::size_t>(i)], &out));
    reader.Reset();
    EXPECT_EQ(ReadAll(reader, std::vector<std::uint8_t>(a.begin(), a.end())),
              std::vector<Frame>{a});
    EXPECT_EQ(reader.discarded(), 0u);
}

TEST(CodecNames, EveryObjectTheToolsAddressHasAName) {
    const struct {
        std::uint16_t index;
        std::uint8_t subindex;
    } known[] = {{0x1000, 0}, {0x1001, 0},    {0x1018, 1}, {0x1018, 2}, {0x1018, 3}, {0x1018, 4},
                 {0x2001, 1}, {0x2003, 0x14}, {0x3001, 0}, {0x3002, 0}, {0x3003, 0}, {0x603F, 0},
                 {0x6040, 0}, {0x6041, 0},    {0x6060, 0}, {0x6061, 0}, {0x6064, 0}, {0x606C, 0},
                 {0x6071, 0}, {0x6077, 0},    {0x607A, 0}, {0x607F, 0}, {0x6081, 0}, {0x6083, 0},
                 {0x6084, 0}, {0x6085, 0},    {0x6098, 0}, {0x6099, 1}, {0x6099, 2}, {0x609A, 0},
                 {0x60FF, 0}};
    for (const auto& k : known) {
        const ObjectInfo* info = FindObject(k.index, k.subindex);
        ASSERT_NE(info, nullptr) << ObjectRefText(k.index, k.subindex);
        EXPECT_GE(info->size, 1);
        EXPECT_LE(info->size, 4);
    }
    EXPECT_EQ(DescribeObject(0x6064, 0), "0x6064:00 position actual value");
    EXPECT_EQ(DescribeObject(0x6041, 1), "0x6041:01");  // no such subindex: the reference only
    EXPECT_EQ(ObjectName(0x5FFF, 0), nullptr);
}

TEST(CodecNames, StatusBitsTwelveAndThirteenFollowTheMode) {
    EXPECT_EQ(StatusFlags(0x3400, kModeHoming),
              (Strings{"target reached", "homing attained", "homing error"}));
    EXPECT_EQ(StatusFlags(0x3000, kModeProfilePosition),
              (Strings{"set-point acknowledge", "following error"}));
    EXPECT_EQ(StatusFlags(0x1000, kModeProfileVelocity), Strings{"speed is zero"});
    EXPECT_EQ(StatusFlags(0x1000, kModeProfileTorque), Strings{"mode specific (bit 12)"});
    EXPECT_EQ(StatusFlags(0x8001, 0),
              (Strings{"ready to switch on", "manufacturer specific (bit 15)"}));
    EXPECT_TRUE(StatusFlags(0, kModeHoming).empty());
    EXPECT_EQ(ModeName(kModeHoming), "homing");
    EXPECT_EQ(ModeName(-3), "mode -3");
}

TEST(CodecNames, ErrorRegisterBitsAreNamed) {
    EXPECT_EQ(ErrorRegisterFlags(0x81), (Strings{"generic error", "manufacturer specific"}));
    EXPECT_EQ(ErrorRegisterFlags(0x06), (Strings{"current", "voltage"}));
    EXPECT_TRUE(ErrorRegisterFlags(0).empty());
}

TEST(CodecNames, NmtStatesAndCommands) {
    EXPECT_STREQ(NmtStateName(kNmtBootUp), "boot-up");
    EXPECT_STREQ(NmtStateName(kNmtOperational), "operational");
    EXPECT_STREQ(NmtStateName(0x85), "operational");  // node guarding toggle bit set
    EXPECT_STREQ(NmtStateName(kNmtPreOperational), "pre-operational");
    EXPECT_STREQ(NmtStateName(kNmtStopped), "stopped");
    EXPECT_EQ(NmtStateName(0x03), nullptr);
    EXPECT_STREQ(NmtCommandName(kNmtResetNode), "reset node");
    EXPECT_STREQ(NmtCommandName(kNmtResetCommunication), "reset communication");
    EXPECT_STREQ(NmtCommandName(kNmtEnterPreOperational), "enter pre-operational");
    EXPECT_EQ(NmtCommandName(0x03), nullptr);
}

// Stand-ins for the library's texts (checked by the library's own tests): what matters here is
// where each goes in the line.
const CodeTexts kTexts{
    [](unsigned statusword) { return statusword == 0x0237 ? "<operation enabled>" : "<state>"; },
    [](unsigned code) { return code == 0x06090011 ? "<abort 0x06090011>" : "<abort>"; },
    [](unsigned code) { return code == 0x2310 ? "<error 0x2310>" : "<error>"; },
};

TEST(CodecDescribe, EachKindOfFrameReadsAsOneLine) {
    struct Case {
        Frame frame;
        const char* text;
    };
    const Case cases[] = {
        {UploadRequest(1, 0x6041, 0), "node 1  SDO read 0x6041:00 statusword"},
        {UploadResponse(1, 0x6041, 0, 0x0237, 2),
         "node 1  SDO answer 0x6041:00 statusword = 0x0237 (567) <operation enabled>"},
        {UploadResponse(2, 0x6064, 0, 0xFFFFFF9C),
         "node 2  SDO answer 0x6064:00 position actual value = 0xFFFFFF9C (-100)"},
        {UploadResponse(2, 0x6061, 0, 6, 1),
         "node 2  SDO answer 0x6061:00 modes of operation display = 0x06 (6) homing"},
        {UploadResponse(2, 0x603F, 0, 0x2310, 2),
         "node 2  SDO answer 0x603F:00 error code = 0x2310 (8976) <error 0x2310>"},
        {UploadResponse(3, 0x5000, 1, 7), "node 3  SDO answer 0x5000:01 = 0x00000007 (7)"},
        {Download(1, 0x6040, 0, 0x000F, 2),
         "node 1  SDO write 0x6040:00 controlword <- 0x000F (15)"},
        {Download(1, 0x607A, 0, 0xFFFFF830),
         "node 1  SDO write 0x607A:00 target position <- 0xFFFFF830 (-2000)"},
        {DownloadAck(1, 0x6040, 0), "node 1  SDO write confirmed 0x6040:00 controlword"},
        {SdoAbortFrame(1, 0x6041, 1, kAbortNoSubindex),
         "node 1  SDO abort 0x6041:01: 0x06090011 <abort 0x06090011>"},
        {SdoAbortFrame(1, 0x1234, 0, 0x12345678),
         "node 1  SDO abort 0x1234:00: 0x12345678 <abort>"},
        {SdoFrame(0x581, 0x00, 0x607A, 0, 0x11), "node 1  SDO 0x00 00 7A 60 00 11 00 00 00"},
        {NmtCommand(kNmtResetCommunication, 5), "NMT reset communication, node 5"},
        {NmtCommand(kNmtStart, 0), "NMT start, all nodes"},
        {NmtCommand(0x03, 2), "NMT command 0x03, node 2"},
        {BootUp(4), "node 4  boot-up"},
        {Heartbeat(4, kNmtPreOperational), "node 4  heartbeat pre-operational"},
        {Heartbeat(4, 0x42), "node 4  heartbeat state 0x42"},
        {Emcy(2, 0x2310, 0x03),
         "node 2  EMCY 0x2310 <error 0x2310>, error register 0x03 (generic error, current)"},
        {Emcy(2, 0x0000, 0x00), "node 2  EMCY 0x0000 <error>, error register 0x00"},
        {MakeFrame(kSyncId, {}), "SYNC"},
        {MakeFrame(0x181, {1, 2}), "node 1  PDO 01 02 00 00 00 00 00 00"},
        {MakeFrame(0x7E5, {0x11}), "data 11 00 00 00 00 00 00 00"},
    };
    for (const Case& c : cases) EXPECT_EQ(DescribeFrame(c.frame, kTexts), c.text) << Hex(c.frame);
}

}  // namespace
}  // namespace orvex::codec
