#include "pty_responder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace orvex::bench {
namespace {

constexpr long kNsPerSecond = 1000000000L;

void fill_sdo(std::uint8_t* frame, unsigned id, std::uint8_t command, std::uint16_t index,
              std::uint8_t sub, std::uint32_t value) {
    frame[0] = static_cast<std::uint8_t>(id >> 8);
    frame[1] = static_cast<std::uint8_t>(id & 0xFF);
    frame[2] = command;
    frame[3] = static_cast<std::uint8_t>(index & 0xFF);
    frame[4] = static_cast<std::uint8_t>(index >> 8);
    frame[5] = sub;
    for (int i = 0; i < 4; ++i) frame[6 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    frame[10] = 0x0D;
    frame[11] = 0x0A;
}

bool is_upload_request(const std::uint8_t* frame) {
    return (frame[2] & 0xE0) == 0x40;
}

// Keeps what follows the first CR LF of a misframed window (bytes lost in a purge shift the
// framing) and returns how many bytes are kept.
std::size_t resynchronise(std::uint8_t* window) {
    for (std::size_t i = 0; i + 1 < kFrameSize; ++i) {
        if (window[i] == 0x0D && window[i + 1] == 0x0A) {
            const std::size_t keep = kFrameSize - (i + 2);
            std::memmove(window, window + i + 2, keep);
            return keep;
        }
    }
    return 0;
}

long clock_ns(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

void make_raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

void upload_request(int node, std::uint16_t index, std::uint8_t sub, std::uint8_t* frame) {
    fill_sdo(frame, 0x600u + static_cast<unsigned>(node & 0xFF), 0x40, index, sub, 0);
}

void sdo_download(int node, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                  std::uint32_t value, std::uint8_t* frame) {
    fill_sdo(frame, 0x600u + static_cast<unsigned>(node & 0xFF), command, index, sub, value);
}

long monotonic_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}
long thread_cpu_ns() {
    return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

PtyResponder::PtyResponder() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no slave name");
    slave_path_ = name;
    make_raw(master_);
    // Held open so the master never reports a hang-up while no client has the slave open.
    slave_keepalive_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keepalive_ < 0) throw std::runtime_error("cannot open the slave");
    make_raw(slave_keepalive_);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    thread_ = std::thread([this] { run(); });
}

PtyResponder::~PtyResponder() {
    stop_ = true;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    for (int fd : {master_, slave_keepalive_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void PtyResponder::answer(const std::uint8_t* request, long arrived_ns) {
    std::uint8_t reply[kFrameSize];
    const auto index = static_cast<std::uint16_t>(request[3] | request[4] << 8);
    fill_sdo(reply, 0x580u + request[1], 0x43, index, request[5], kAnsweredValue);
    const int delay_us = delay_us_;
    if (delay_us > 0) {
        // Counted from the request's arrival, so the delay does not grow with our own work.
        const long due = arrived_ns + delay_us * 1000L;
        const timespec at{due / kNsPerSecond, due % kNsPerSecond};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    std::size_t done = 0;
    while (done < kFrameSize) {
        const ssize_t n = ::write(master_, reply + done, kFrameSize - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void PtyResponder::run() {
    std::uint8_t buffer[4096];
    std::uint8_t frame[kFrameSize];
    std::size_t have = 0;
    while (!stop_) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0) continue;
        if (fds[1].revents & POLLIN) continue;  // stop_ is set
        if (!(fds[0].revents & POLLIN)) continue;
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) continue;
        const long arrived = monotonic_ns();
        for (ssize_t i = 0; i < n; ++i) {
            frame[have++] = buffer[i];
            if (have < kFrameSize) continue;
            have = 0;
            if (frame[10] != 0x0D || frame[11] != 0x0A) {
                have = resynchronise(frame);
                continue;
            }
            ++frames_;
            if (is_upload_request(frame) && !silent_) answer(frame, arrived);
        }
    }
}

RawPort::RawPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ >= 0) make_raw(fd_);
}

RawPort::~RawPort() {
    if (fd_ >= 0) ::close(fd_);
}

void RawPort::discard_input() {
    ::tcflush(fd_, TCIFLUSH);
}

bool RawPort::write_all(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RawPort::read_exactly(std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::read(fd_, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RawPort::spin_read_exactly(std::uint8_t* data, std::size_t length) {
    for (;;) {
        int waiting = 0;
        if (::ioctl(fd_, FIONREAD, &waiting) != 0) return false;
        if (waiting >= static_cast<int>(length)) break;
    }
    return read_exactly(data, length);
}

}  // namespace orvex::bench
