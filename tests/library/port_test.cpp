// The port's lifecycle: open, reopen, close, refusals and failed opens. A device that disappears
// is tested in tests/reliability/vanish_test.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "library_fixture.h"

namespace orvex::test {
namespace {

class Port : public ::testing::Test {
  protected:
    void TearDown() override { Serial_ClosePort(); }
    FakeAdapter adapter;
};

TEST_F(Port, CommandsBeforeAnyOpenFailAtOnceWithNoPort) {
    Serial_ClosePort();
    const std::uint8_t frame[12] = {};
    EXPECT_EQ(U_Transmit(frame, 12), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
    // A multi-frame command tries its first frame only.
    const long long ms = millis_of([] { EXPECT_EQ(PV_Set(1, 1, 1, 1), 0); });
    EXPECT_LT(ms, 100);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT);
}

TEST_F(Port, ClosingWithoutAPortOpenReturnsZeroAndDoesNothing) {
    EXPECT_EQ(Serial_ClosePort(), 0);
    EXPECT_EQ(Serial_ClosePort(), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
}

TEST_F(Port, OpenHoldsTheDeviceExclusivelyAndCloseReleasesIt) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    EXPECT_FALSE(device_is_free(adapter.path()));
    EXPECT_EQ(Serial_ClosePort(), 0);
    EXPECT_TRUE(device_is_free(adapter.path()));
    EXPECT_EQ(CMD_Enable_motor(1), 0);
}

TEST_F(Port, OpeningAgainClosesTheOpenPortFirst) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 9600), 1);  // same device: no self-lockout
    FakeAdapter second;
    ASSERT_EQ(Serial_OpenDevice(second.path().c_str(), 115200), 1);
    EXPECT_TRUE(device_is_free(adapter.path()));
    EXPECT_EQ(CMD_Enable_motor(1), 1);
    EXPECT_EQ(second.frames(1).size(), 1u);
    // Reopen after close.
    Serial_ClosePort();
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    EXPECT_EQ(CMD_Enable_motor(1), 1);
    EXPECT_EQ(adapter.frames(1).size(), 1u);
}

TEST_F(Port, ADeviceHeldByAnotherUserIsRefused) {
    const int other = ::open(adapter.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_NE(Orvex_LastSystemError(), 0);
    ::close(other);
    EXPECT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
}

TEST_F(Port, AMissingDeviceIsASystemErrorWithItsErrno) {
    EXPECT_EQ(Serial_OpenDevice("/dev/orvex-no-such-device", 115200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(Orvex_LastSystemError(), ENOENT);
    EXPECT_EQ(U_Transmit("x", 1), 0);
}

TEST_F(Port, ARejectedBaudReturnsZeroButLeavesTheDeviceOpen) {
    for (int baud : {0, -1, INT_MIN}) {
        EXPECT_EQ(Serial_OpenDevice(adapter.path().c_str(), baud), 0) << baud;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
        EXPECT_FALSE(device_is_free(adapter.path()));
        EXPECT_EQ(Serial_ClosePort(), 0);
        EXPECT_TRUE(device_is_free(adapter.path()));
    }
}

TEST_F(Port, AnyPositiveBaudIsAcceptedIncludingNonStandardRates) {
    for (int baud : {1, 9600, 115200, 250000, 1000000}) {
        EXPECT_EQ(Serial_OpenDevice(adapter.path().c_str(), baud), 1) << baud;
        EXPECT_EQ(CMD_Enable_motor(1), 1);
    }
}

TEST_F(Port, AFailedOpenLeavesNoPortWhateverMadeItFail) {
    struct Row {
        const char* open;
        std::function<int()> run;
        int outcome;
    };
    const Row rows[] = {
        {"port 0", [] { return Serial_OpenPort(0, 115200); }, ORVEX_BAD_ARGUMENT},
        {"port -1", [] { return Serial_OpenPort(-1, 115200); }, ORVEX_BAD_ARGUMENT},
        {"port INT_MIN", [] { return Serial_OpenPort(INT_MIN, 115200); }, ORVEX_BAD_ARGUMENT},
        {"null path", [] { return Serial_OpenDevice(nullptr, 115200); }, ORVEX_BAD_ARGUMENT},
        {"missing device", [] { return Serial_OpenDevice("/dev/orvex-no-such-device", 115200); },
         ORVEX_SYSTEM_ERROR},
        {"port 300 (no /dev/ttyS299)", [] { return Serial_OpenPort(300, 115200); },
         ORVEX_SYSTEM_ERROR},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
        EXPECT_EQ(row.run(), 0) << row.open;
        EXPECT_EQ(Orvex_LastResult(), row.outcome) << row.open;
        // The port that was open is closed: released, and nothing can be sent on it.
        EXPECT_TRUE(device_is_free(adapter.path())) << row.open;
        EXPECT_EQ(CMD_Enable_motor(1), 0) << row.open;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_NO_PORT) << row.open;
    }
    EXPECT_EQ(adapter.raw_byte_count(), 0u);
}

TEST_F(Port, PortNumbersNameTheTraditionalSerialDevices) {
    // COM300 is /dev/ttyS299, which no machine has: the failure names the missing device.
    EXPECT_EQ(Serial_OpenPort(300, 115200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(Orvex_LastSystemError(), ENOENT);
    EXPECT_EQ(Serial_OpenPort(INT_MAX, 115200), 0);
}

}  // namespace
}  // namespace orvex::test
