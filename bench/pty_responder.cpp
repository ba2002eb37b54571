#include "pty_responder.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace orvex::bench {
namespace {

constexpr long kNsPerSecond = 1000000000L;

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
    const codec::Frame request = codec::UploadRequest(node, index, sub);
    std::copy(request.begin(), request.end(), frame);
}

void sdo_download(int node, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                  std::uint32_t value, std::uint8_t* frame) {
    const codec::Frame request =
        codec::SdoFrame(static_cast<std::uint16_t>(codec::kSdoRequestBase + (node & 0xFF)), command,
                        index, sub, value);
    std::copy(request.begin(), request.end(), frame);
}

long monotonic_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}
long thread_cpu_ns() {
    return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

PtyResponder::PtyResponder() {
    adapter_.set_recording(false);
    adapter_.answer_uploads_with(kAnsweredValue);
}

void PtyResponder::set_silent(bool silent) {
    if (silent) {
        adapter_.silence();
    } else {
        adapter_.answer_uploads_with(kAnsweredValue);
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
