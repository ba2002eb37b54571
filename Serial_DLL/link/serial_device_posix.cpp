// POSIX implementation of the OS layer: termios, poll(), flock, CLOCK_MONOTONIC. It is built and
// tested on Linux, where two extras come from serial_device_linux.cpp: baud rates without a termios
// constant (termios2) and the low-latency request to USB adapters. On another POSIX system those
// rates are refused (EINVAL) and no latency request is made; the rest is plain POSIX.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "serial_device.h"
#if defined(__linux__)
#include "serial_device_linux.h"
#endif

namespace orvex::os {
namespace {

int fd_of(DeviceHandle device) {
    return static_cast<int>(device);
}

Status failed() {
    return Status{false, errno};
}

// The standard rates termios names; anything else goes through the kernel's arbitrary-rate call.
speed_t standard_speed(int baud) {
    switch (baud) {
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
#ifdef B460800
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1152000:
            return B1152000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
#endif
        default:
            return B0;
    }
}

}  // namespace

bool port_path(int port, char* path, std::size_t capacity) {
    // COM1 is the first serial port, ttyS0.
    if (port < 1) return false;
    const int n = std::snprintf(path, capacity, "/dev/ttyS%d", port - 1);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

DeviceHandle open_device(const char* path, Status& status) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        status = failed();
        return kNoDevice;
    }
    // Exclusive use, as a COM port is on Windows: a second user gets a failed open.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        status = failed();
        ::close(fd);
        return kNoDevice;
    }
    ::ioctl(fd, TIOCEXCL);  // not every device allows it; the lock above is what counts
    status = Status{};
    return fd;
}

Status configure(DeviceHandle device, int baud) {
    const int fd = fd_of(device);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return failed();
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = standard_speed(baud);
    if (speed != B0) {
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return failed();
    if (speed == B0) {
#if defined(__linux__)
        const int error = linux_set_arbitrary_baud(fd, baud);
        if (error != 0) return Status{false, error};
#else
        return Status{false, EINVAL};
#endif
    }
    // RTS held asserted while the port is open; a pseudo-terminal has no modem lines and says so.
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &rts);
#if defined(__linux__)
    linux_request_low_latency(fd);
#endif
    ::tcflush(fd, TCIOFLUSH);
    return Status{};
}

void close_device(DeviceHandle device) {
    const int fd = fd_of(device);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

Status write_all(DeviceHandle device, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd_of(device), bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed();
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return Status{};
}

Status read_waiting(DeviceHandle device, void* data, std::size_t length, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = ::read(fd_of(device), data, length);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Status{};
        }
        if (n < 0 && errno == EINTR) continue;
        // End of file on a serial device means it went away.
        return n == 0 ? Status{false, EIO} : failed();
    }
}

std::size_t bytes_waiting(DeviceHandle device, Status& status) {
    int count = 0;
    if (::ioctl(fd_of(device), FIONREAD, &count) != 0) {
        status = failed();
        return 0;
    }
    status = Status{};
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

Status wait_readable(DeviceHandle device, std::uint32_t timeout_ms, bool& ready) {
    ready = false;
    pollfd pfd{fd_of(device), POLLIN, 0};
    const int timeout = timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
    const int n = ::poll(&pfd, 1, timeout);
    if (n < 0) return errno == EINTR ? Status{} : failed();
    if (n == 0) return Status{};
    // A hang-up comes with POLLIN on a terminal whose other side closed: the device is gone.
    if (pfd.revents & POLLNVAL) return Status{false, EBADF};
    if (pfd.revents & (POLLHUP | POLLERR)) return Status{false, EIO};
    ready = (pfd.revents & POLLIN) != 0;
    return Status{};
}

void purge(DeviceHandle device, Purge what) {
    ::tcflush(fd_of(device), what == Purge::kBoth ? TCIOFLUSH : TCIFLUSH);
}

void purge_foreign_handle(void* handle) {
    // The host's handle is a file descriptor number here.
    ::tcflush(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), TCIFLUSH);
}

bool environment_value(const char* name, char* value, std::size_t capacity) {
    const char* found = std::getenv(name);
    if (found == nullptr || *found == '\0') return false;
    const std::size_t length = std::strlen(found);
    if (length >= capacity) return false;
    std::memcpy(value, found, length + 1);
    return true;
}

std::uint32_t tick_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void sleep_ms(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

static pthread_mutex_t* mutex_in(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

void RecursiveLock::create() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

void RecursiveLock::destroy() {
    pthread_mutex_destroy(mutex_in(storage_));
}
void RecursiveLock::lock() {
    pthread_mutex_lock(mutex_in(storage_));
}
void RecursiveLock::unlock() {
    pthread_mutex_unlock(mutex_in(storage_));
}

}  // namespace orvex::os
