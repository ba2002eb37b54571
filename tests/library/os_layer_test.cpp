// The POSIX OS layer on its own: line settings, partial and interrupted writes, device paths.
// `write` is wrapped at link time so the test can make the system accept a few bytes at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "fake_adapter.h"
#include "serial_device.h"

extern "C" ssize_t __real_write(int fd, const void* data, size_t length);

namespace {
int g_interrupt_next = 0;     // how many writes fail with EINTR before one goes through
std::size_t g_write_cap = 0;  // most bytes one write accepts; 0 = no cap
int g_write_calls = 0;
}  // namespace

extern "C" ssize_t __wrap_write(int fd, const void* data, size_t length) {
    ++g_write_calls;
    if (g_interrupt_next > 0) {
        --g_interrupt_next;
        errno = EINTR;
        return -1;
    }
    if (g_write_cap > 0 && length > g_write_cap) length = g_write_cap;
    return __real_write(fd, data, length);
}

namespace orvex::os {
namespace {

TEST(OsLayer, WriteAllContinuesAfterPartialAndInterruptedWrites) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::uint8_t frame[12] = {6, 1, 0x2B, 0x40, 0x60, 0, 0x0F, 0, 0, 0, 0x0D, 0x0A};
    g_interrupt_next = 2;
    g_write_cap = 5;
    g_write_calls = 0;
    EXPECT_TRUE(write_all(fds[1], frame, sizeof frame).ok);
    EXPECT_EQ(g_write_calls, 5);  // two interruptions, then 5 + 5 + 2 bytes
    g_write_cap = 0;
    std::uint8_t got[12] = {};
    EXPECT_EQ(::read(fds[0], got, sizeof got), 12);
    EXPECT_EQ(std::memcmp(got, frame, sizeof frame), 0);
    ::close(fds[0]);
    // With the reading end gone the write fails with the system's reason.
    ::signal(SIGPIPE, SIG_IGN);
    const Status broken = write_all(fds[1], frame, sizeof frame);
    EXPECT_FALSE(broken.ok);
    EXPECT_EQ(broken.error, EPIPE);
    ::close(fds[1]);
}

TEST(OsLayer, ConfigureMakesTheLineRaw8N1WithoutFlowControl) {
    orvex::test::FakeAdapter adapter;
    Status status;
    const DeviceHandle device = open_device(adapter.path().c_str(), status);
    ASSERT_NE(device, kNoDevice);
    ASSERT_TRUE(configure(device, 115200).ok);
    termios tio{};
    ASSERT_EQ(::tcgetattr(static_cast<int>(device), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    // A rate without a constant goes through the arbitrary-rate call.
    EXPECT_TRUE(configure(device, 250000).ok);
    close_device(device);
}

TEST(OsLayer, PortNumbersMapToTraditionalDevicesFromOne) {
    char path[32];
    ASSERT_TRUE(port_path(1, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS0");
    ASSERT_TRUE(port_path(12, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS11");
    EXPECT_FALSE(port_path(0, path, sizeof path));
    EXPECT_FALSE(port_path(-3, path, sizeof path));
    EXPECT_FALSE(port_path(1000000, path, 8));  // never truncated
}

TEST(OsLayer, WaitingReportsAVanishedDevice) {
    auto adapter = std::make_unique<orvex::test::FakeAdapter>();
    Status status;
    const DeviceHandle device = open_device(adapter->path().c_str(), status);
    ASSERT_NE(device, kNoDevice);
    ASSERT_TRUE(configure(device, 115200).ok);
    bool ready = true;
    EXPECT_TRUE(wait_readable(device, 10, ready).ok);  // nothing yet, but the device is there
    EXPECT_FALSE(ready);
    adapter->send({0x42});
    EXPECT_TRUE(wait_readable(device, 1000, ready).ok);
    EXPECT_TRUE(ready);
    std::uint8_t byte = 0;
    std::size_t got = 0;
    EXPECT_TRUE(read_waiting(device, &byte, 12, got).ok);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x42);
    adapter->vanish();
    EXPECT_FALSE(wait_readable(device, 1000, ready).ok);
    close_device(device);
}

}  // namespace
}  // namespace orvex::os
