// Arguments a host should not pass, and some it may: null pointers, lengths of 0, -1 and INT_MIN,
// homing methods beyond a signed byte, node ids beyond a byte, every size code from -1 to 260, odd
// port numbers and bauds. Each call returns its documented value, records the right outcome, writes
// nothing it was not given, sends only what it documents, and leaves the library usable. Run under
// ASan by `make test-asan`.
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "reliability_fixture.h"

namespace orvex::test {
namespace {

constexpr int kAnswer = 31;

class BadArguments : public ReliabilityTest {
  protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        adapter.answer_uploads_with(kAnswer);
    }
    // A normal query still works; it also flushes, in order, whatever the call before it sent.
    void expect_usable(const std::string& after) {
        EXPECT_EQ(GetPosition(1), kAnswer) << "after " << after;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_OK) << "after " << after;
    }
};

// Memory around a buffer handed to the library; nothing outside [begin, end) may change.
struct Guarded {
    static constexpr std::size_t kMargin = 32;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(2 * kMargin + 16, 0xCC);
    std::uint8_t* inside() { return bytes.data() + kMargin; }
    bool untouched() const {
        for (std::uint8_t b : bytes)
            if (b != 0xCC) return false;
        return true;
    }
};

TEST_F(BadArguments, NullPointersAndNonPositiveLengthsAreRefusedOrDoNothing) {
    // A download, which the adapter leaves unanswered: no answer of it can reach the next query.
    const Frame request = frame_of({0x06, 0x01, 0x23, 0x81, 0x60, 0, 1, 0, 0, 0, 0x0D, 0x0A});
    const std::uint8_t* req = request.data();
    Guarded answer;
    std::uint8_t* ans = answer.inside();
    struct Row {
        const char* call;
        std::function<int()> run;
        int returns;
        int outcome;
        std::size_t sends;  // bytes that reach the line
    };
    const Row rows[] = {
        {"U_Transmit(null, 12)", [] { return U_Transmit(nullptr, 12); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"U_Transmit(null, 0)", [] { return U_Transmit(nullptr, 0); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"U_Transmit(buf, 0)", [&] { return U_Transmit(req, 0); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"U_Transmit(buf, -1)", [&] { return U_Transmit(req, -1); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"U_Transmit(buf, INT_MIN)", [&] { return U_Transmit(req, INT_MIN); }, 0,
         ORVEX_BAD_ARGUMENT, 0},
        {"raw(null request, 12)",
         [&] { return U_Transmit_Validation(nullptr, nullptr, ans, 12, 12); }, -10,
         ORVEX_BAD_ARGUMENT, 0},
        {"raw(null answer, 12)",
         [&] { return U_Transmit_Validation(nullptr, req, nullptr, 12, 12); }, -10,
         ORVEX_BAD_ARGUMENT, 0},
        {"raw(request length -1)", [&] { return U_Transmit_Validation(nullptr, req, ans, -1, 12); },
         -10, ORVEX_BAD_ARGUMENT, 0},
        {"raw(request length INT_MIN)",
         [&] { return U_Transmit_Validation(nullptr, req, ans, INT_MIN, 12); }, -10,
         ORVEX_BAD_ARGUMENT, 0},
        {"raw(all null, -1, -1)",
         [&] { return U_Transmit_Validation(nullptr, nullptr, nullptr, -1, -1); }, -10,
         ORVEX_BAD_ARGUMENT, 0},
        {"raw(all null, 0, 0)",
         [&] { return U_Transmit_Validation(nullptr, nullptr, nullptr, 0, 0); }, 0, ORVEX_OK, 0},
        {"raw(answer length 0)", [&] { return U_Transmit_Validation(nullptr, req, ans, 12, 0); }, 0,
         ORVEX_OK, 12},
        {"raw(answer length -1)", [&] { return U_Transmit_Validation(nullptr, req, ans, 12, -1); },
         0, ORVEX_OK, 12},
        {"raw(answer length INT_MIN)",
         [&] { return U_Transmit_Validation(nullptr, req, nullptr, 12, INT_MIN); }, 0, ORVEX_OK,
         12},
        {"SDO_Read(null value)", [] { return SDO_Read(1, 0x6064, 0, nullptr, 4); }, 0,
         ORVEX_BAD_ARGUMENT, 0},
        // The homing method is one signed byte: outside it nothing is sent; its ends are taken.
        {"HM_Set(method 256)", [] { return HM_Set(1, 1, 2, 3, 256); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"HM_Set(method 128)", [] { return HM_Set(1, 1, 2, 3, 128); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"HM_Set(method -129)", [] { return HM_Set(1, 1, 2, 3, -129); }, 0, ORVEX_BAD_ARGUMENT, 0},
        {"HM_Set(method INT_MIN)", [] { return HM_Set(1, 1, 2, 3, INT_MIN); }, 0,
         ORVEX_BAD_ARGUMENT, 0},
        {"HM_Set(method 127)", [] { return HM_Set(1, 1, 2, 3, 127); }, 1, ORVEX_OK, 6 * 12},
        {"HM_Set(method -128)", [] { return HM_Set(1, 1, 2, 3, -128); }, 1, ORVEX_OK, 6 * 12},
    };
    for (const Row& row : rows) {
        adapter.clear();
        EXPECT_EQ(row.run(), row.returns) << row.call;
        EXPECT_EQ(Orvex_LastResult(), row.outcome) << row.call;
        EXPECT_TRUE(answer.untouched()) << row.call;
        expect_usable(row.call);
        EXPECT_EQ(adapter.raw_byte_count(), row.sends + 12) << row.call;
    }
}

// Every export that takes a node, with the frames it writes (queries write one request).
struct NodeCall {
    const char* name;
    int frames;
    std::function<int(int)> run;
    int expected;  // what it returns for these arguments with a drive answering kAnswer
};

TEST_F(BadArguments, NodeIdsBeyondAByteSendOnlyTheirLowByte) {
    int read = 0;
    const NodeCall calls[] = {
        {"CMD_Enable_motor", 1, CMD_Enable_motor, 1},
        {"PV_start_motor", 1, PV_start_motor, 1},
        {"CMD_Disable_motor", 1, CMD_Disable_motor, 1},
        {"CMD_Emergency_Stop_motor", 1, CMD_Emergency_Stop_motor, 1},
        {"CMD_Restart_motor", 1, CMD_Restart_motor, 1},
        {"PV_stop_motor", 1, PV_stop_motor, 1},
        {"PP_stop_motor", 1, PP_stop_motor, 1},
        {"HM_stop_motor", 1, HM_stop_motor, 1},
        {"PT_stop_motor", 1, PT_stop_motor, 1},
        {"GetPosition", 1, GetPosition, kAnswer},
        {"GetMotorStatus", 1, GetMotorStatus, kAnswer & 0x1D0F},
        {"GetVersions", 1, GetVersions, kAnswer},
        {"SDO_Write", 1, [](int n) { return SDO_Write(n, 0x6081, 0, 5, 4); }, 1},
        {"SDO_Read", 1, [&](int n) { return SDO_Read(n, 0x6081, 0, &read, 4); }, 1},
        {"LED_Set", 1, [](int n) { return LED_Set(n, 2); }, 1},
        {"PV_Set", 5, [](int n) { return PV_Set(n, 1, 2, 3); }, 1},
        {"PV_Set_Vel", 1, [](int n) { return PV_Set_Vel(n, 1); }, 1},
        {"PP_Set", 5, [](int n) { return PP_Set(n, 1, 2, 3); }, 1},
        {"PP_Inc_move", 2, [](int n) { return PP_Inc_move(n, 1); }, 1},
        {"PP_Abs_move", 2, [](int n) { return PP_Abs_move(n, 1); }, 1},
        {"PP_Abs_move_enhance", 1, [](int n) { return PP_Abs_move_enhance(n, 1); }, 1},
        {"HM_Set", 6, [](int n) { return HM_Set(n, 1, 2, 3, 17); }, 1},
        {"HM_start_motor", 1, HM_start_motor, 1},
        {"PT_Set", 4, [](int n) { return PT_Set(n, 1, 2); }, 1},
        {"PT_start_motor", 2, PT_start_motor, 1},
    };
    for (int node : {-1, 256, INT_MAX}) {
        const auto wire = static_cast<std::uint8_t>(node & 0xFF);
        for (const NodeCall& call : calls) {
            adapter.clear();
            EXPECT_EQ(call.run(node), call.expected) << call.name << " node " << node;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_OK) << call.name << " node " << node;
            const std::vector<Frame> frames = adapter.frames(static_cast<std::size_t>(call.frames));
            ASSERT_EQ(frames.size(), static_cast<std::size_t>(call.frames)) << call.name;
            for (const Frame& f : frames) {
                const bool nmt = f[0] == 0 && f[1] == 0;
                EXPECT_EQ(nmt ? f[3] : f[1], wire)
                    << call.name << " node " << node << ": " << hex(f);
            }
        }
        expect_usable("node " + std::to_string(node));
    }
}

TEST_F(BadArguments, EverySizeCodeFromMinusOneTo260PicksTheTransferByItsLowByte) {
    for (int size_code = -1; size_code <= 260; ++size_code) {
        const int low = size_code & 0xFF;
        const std::uint8_t download = low == 1 ? 0x2F : low == 2 ? 0x2B : low == 3 ? 0x27 : 0x23;
        const std::uint8_t upload = low == 1 ? 0x4F : low == 2 ? 0x4B : low == 3 ? 0x47 : 0x43;
        adapter.clear();
        ASSERT_EQ(SDO_Write(1, 0x6081, 0, 0x11223344u, size_code), 1) << size_code;
        int value[3] = {-1, 0, -1};  // the read may touch the middle one only
        ASSERT_EQ(SDO_Read(1, 0x6081, 0, &value[1], size_code), 1) << size_code;
        EXPECT_EQ(value[0], -1);
        EXPECT_EQ(value[1], kAnswer);
        EXPECT_EQ(value[2], -1);
        const std::vector<Frame> frames = adapter.frames(2);
        ASSERT_EQ(frames.size(), 2u) << size_code;
        EXPECT_EQ(hex(frames[0]), hex(frame_of({0x06, 0x01, download, 0x81, 0x60, 0, 0x44, 0x33,
                                                0x22, 0x11, 0x0D, 0x0A})))
            << size_code;
        EXPECT_EQ(hex(frames[1]),
                  hex(frame_of({0x06, 0x01, upload, 0x81, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A})))
            << size_code;
    }
    expect_usable("size codes");
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

TEST_F(BadArguments, OddPortNumbersAndBaudsFailCleanlyAndTheLibraryRecovers) {
    for (int port : {-1, 0, 10, 255, INT_MAX}) {
        const int opened = Serial_OpenPort(port, 115200);
        if (port < 1) {
            // Nothing is opened, and the port that was open is closed as by any open.
            EXPECT_EQ(opened, 0) << port;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << port;
            EXPECT_EQ(CMD_Enable_motor(1), 0) << port;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT) << port;
        } else if (!exists("/dev/ttyS" + std::to_string(port - 1))) {
            EXPECT_EQ(opened, 0) << port;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR) << port;
            EXPECT_EQ(Orvex_LastSystemError(), ENOENT) << port;
        }
        // A port that does exist here may open or not; either way it is closed again.
        Serial_ClosePort();
        ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
        expect_usable("port " + std::to_string(port));
    }
    for (int baud : {0, -1, 1, INT_MAX}) {
        const int opened = Serial_OpenDevice(adapter.path().c_str(), baud);
        if (baud <= 0) {
            EXPECT_EQ(opened, 0) << baud;
            EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << baud;
        } else {
            // Any positive rate is passed on; the device may still refuse a wild one.
            EXPECT_TRUE(opened == 1 || Orvex_LastResult() == ORVEX_SYSTEM_ERROR) << baud;
        }
        // The device is open either way (a refused setting leaves it open), and usable once
        // opened properly.
        ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
        expect_usable("baud " + std::to_string(baud));
    }
    EXPECT_EQ(Serial_OpenPort(-1, 0), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    EXPECT_EQ(Serial_OpenPort(0, INT_MIN), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    expect_usable("port and baud both bad");
}

}  // namespace
}  // namespace orvex::test
