// The port's lifecycle: open, reopen, close, refusals, and a device that disappears.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "library_fixture.h"

namespace orvex::test {
namespace {

// True when nobody holds the device open for exclusive use.
bool device_is_free(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

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

TEST_F(Port, PortNumbersBelowOneOpenNothingAndKeepTheOpenPort) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    for (int port : {0, -1, INT_MIN}) {
        EXPECT_EQ(Serial_OpenPort(port, 115200), 0);
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    }
    EXPECT_EQ(Serial_OpenDevice(nullptr, 115200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    EXPECT_EQ(CMD_Enable_motor(1), 1);
}

TEST_F(Port, PortNumbersNameTheTraditionalSerialDevices) {
    // COM300 is /dev/ttyS299, which no machine has: the failure names the missing device.
    EXPECT_EQ(Serial_OpenPort(300, 115200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_EQ(Orvex_LastSystemError(), ENOENT);
    EXPECT_EQ(Serial_OpenPort(INT_MAX, 115200), 0);
}

TEST_F(Port, UTransmitRefusesNullAndEmptyBuffers) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    EXPECT_EQ(U_Transmit(nullptr, 12), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    EXPECT_EQ(U_Transmit("abc", 0), 0);
    EXPECT_EQ(U_Transmit("abc", -1), 0);
    EXPECT_EQ(U_Transmit("abc", INT_MIN), 0);
    EXPECT_EQ(U_Transmit("abc", 3), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(adapter.raw_byte_count(), 3u);
    int* null_value = nullptr;
    EXPECT_EQ(SDO_Read(1, 0x6064, 0, null_value, 4), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(adapter.raw_byte_count(), 3u);  // nothing sent
}

TEST_F(Port, AVanishedDeviceFailsCommandsAndQueriesUntilReopened) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    adapter.vanish();
    EXPECT_EQ(CMD_Enable_motor(1), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_NE(Orvex_LastSystemError(), 0);
    const long long ms = millis_of([] { EXPECT_EQ(GetPosition(1), 0); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_LT(ms, 1500);
    FakeAdapter replacement;
    replacement.answer_uploads_with(31);
    ASSERT_EQ(Serial_OpenDevice(replacement.path().c_str(), 115200), 1);
    EXPECT_EQ(GetPosition(1), 31);
}

TEST_F(Port, AQueryWaitingWhenTheDeviceVanishesFailsWithoutWaitingOutItsLimit) {
    ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1);
    adapter.silence();
    std::thread pull_the_plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        adapter.vanish();
    });
    const long long ms = millis_of([] { EXPECT_EQ(GetPosition(1), 0); });
    pull_the_plug.join();
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SYSTEM_ERROR);
    EXPECT_LT(ms, 700);
}

// The unload helper loads the library, opens the port, reports, unloads it when told, reports again
// and stays alive until its standard input closes: a port still held after the second report would
// be held by the process, not by the library.
TEST(Unload, ClosesAnOpenPortAndLoadingTakesAboutASecond) {
    FakeAdapter adapter;
    int to_helper[2], from_helper[2];
    ASSERT_EQ(::pipe2(to_helper, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(from_helper, O_CLOEXEC), 0);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(to_helper[0], 0);
        ::dup2(from_helper[1], 1);
        ::execl(ORVEX_UNLOAD_HELPER, ORVEX_UNLOAD_HELPER, ORVEX_LIBRARY_PATH,
                adapter.path().c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(to_helper[0]);
    ::close(from_helper[1]);
    FILE* reports = ::fdopen(from_helper[0], "r");
    char line[64] = {};
    ASSERT_TRUE(std::fgets(line, sizeof line, reports));
    EXPECT_STREQ(line, "opened\n");
    const auto load_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
    EXPECT_GE(load_ms, 950);
    EXPECT_FALSE(device_is_free(adapter.path()));
    ASSERT_EQ(::write(to_helper[1], "u", 1), 1);  // now unload
    ASSERT_TRUE(std::fgets(line, sizeof line, reports));
    EXPECT_STREQ(line, "unloaded\n");
    EXPECT_TRUE(device_is_free(adapter.path()));
    ::close(to_helper[1]);
    std::fclose(reports);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace orvex::test
