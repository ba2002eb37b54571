#include "fake_adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace orvex::test {
namespace {

constexpr long kNsPerSecond = 1000000000L;

long monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

void write_fully(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the master was closed under us: nothing more to deliver
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace

bool device_is_free(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

FakeAdapter::FakeAdapter() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    path_ = ::ptsname(master_);
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    // Held open so the master never sees a hang-up while the library has the slave closed.
    slave_keepalive_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (::pipe(wake_) != 0) throw std::runtime_error("no pipe");
    thread_ = std::thread([this] { run(); });
}

FakeAdapter::~FakeAdapter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_keepalive_ >= 0) ::close(slave_keepalive_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void FakeAdapter::set_responder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
    answer_uploads_ = false;
}

void FakeAdapter::answer_uploads_with(std::uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = nullptr;
    answer_uploads_ = true;
    upload_value_ = value;
}

void FakeAdapter::answer_batches(std::size_t size, BatchResponder responder) {
    // Runs on the reader thread only, so the collected frames need no lock of their own.
    auto collected = std::make_shared<std::vector<Frame>>();
    set_responder([size, responder = std::move(responder), collected](const Frame& request) {
        collected->push_back(request);
        if (collected->size() < size) return std::vector<Reply>{};
        std::vector<Frame> batch;
        batch.swap(*collected);
        return responder(batch);
    });
}

void FakeAdapter::silence() {
    set_responder(nullptr);
}

void FakeAdapter::answer_upload(const Frame& request, std::uint32_t value, long arrived_ns) {
    const Frame answer =
        sdo_answer(request[1], codec::SdoIndex(request), codec::SdoSubindex(request), value);
    const int delay_us = answer_delay_us_;
    if (delay_us > 0) {
        // Counted from the request's arrival, so the delay does not grow with our own work.
        const long due = arrived_ns + delay_us * 1000L;
        const timespec at{due / kNsPerSecond, due % kNsPerSecond};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) write_fully(master_, answer.data(), answer.size());
}

void FakeAdapter::send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) write_fully(master_, bytes.data(), bytes.size());
}

bool FakeAdapter::wait_until_library_has(std::size_t count, std::chrono::milliseconds timeout) {
    // The library's descriptor and the one held here share the slave's input queue.
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int waiting = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (slave_keepalive_ < 0 || ::ioctl(slave_keepalive_, FIONREAD, &waiting) != 0)
                return false;
        }
        if (waiting >= 0 && static_cast<std::size_t>(waiting) >= count) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<Frame> FakeAdapter::frames(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
    return frames_;
}

std::size_t FakeAdapter::raw_byte_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_bytes_;
}

void FakeAdapter::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    reader_.Reset();
    raw_bytes_ = 0;
}

void FakeAdapter::vanish() {
    // The reader thread may be waiting on the master: take it away first, wake the reader, and
    // close only once the reader has moved past its last use of it.
    int master, keepalive;
    std::unique_lock<std::mutex> lock(mutex_);
    master = master_;
    keepalive = slave_keepalive_;
    master_ = -1;
    slave_keepalive_ = -1;
    const unsigned generation = ++generation_;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    reader_moved_on_.wait(lock, [&] { return reader_generation_ == generation; });
    lock.unlock();
    if (master >= 0) ::close(master);
    if (keepalive >= 0) ::close(keepalive);
}

void FakeAdapter::run() {
    std::uint8_t buffer[4096];
    for (;;) {
        int master;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            master = master_;
            reader_generation_ = generation_;
        }
        reader_moved_on_.notify_all();
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (::poll(fds, master >= 0 ? 2 : 1, 50) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            char byte;
            (void)!::read(wake_[0], &byte, 1);
            continue;
        }
        if (master < 0 || !(fds[1].revents & POLLIN)) continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) continue;
        const long arrived = monotonic_ns();
        std::vector<std::pair<Frame, Responder>> work;
        std::uint32_t upload_value = 0;
        uploads_to_answer_.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw_bytes_ += static_cast<std::size_t>(n);
            upload_value = upload_value_;
            auto take = [&](const Frame& frame) {
                ++frame_count_;
                if (recording_) frames_.push_back(frame);
                if (answer_uploads_) {
                    // By the command byte alone: a node beyond 127 still gets its answer.
                    if ((codec::SdoCommand(frame) & 0xE0) == codec::kSdoUploadRequest)
                        uploads_to_answer_.push_back(frame);
                } else if (responder_) {
                    work.emplace_back(frame, responder_);
                }
            };
            Frame frame;
            for (ssize_t i = 0; i < n; ++i)
                if (reader_.Push(buffer[i], &frame)) take(frame);
            while (reader_.Flush(&frame)) take(frame);  // all that came in this read
        }
        arrived_.notify_all();
        for (const Frame& request : uploads_to_answer_)
            answer_upload(request, upload_value, arrived);
        for (auto& [frame, responder] : work) {
            for (const Reply& reply : responder(frame)) {
                if (reply.delay_ms > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
                const std::size_t chunk = reply.chunk ? reply.chunk : reply.bytes.size();
                for (std::size_t at = 0; at < reply.bytes.size(); at += chunk) {
                    if (at > 0 && reply.chunk_pause_ms > 0)
                        std::this_thread::sleep_for(
                            std::chrono::milliseconds(reply.chunk_pause_ms));
                    send(Bytes(reply.bytes.begin() + static_cast<long>(at),
                               reply.bytes.begin() +
                                   static_cast<long>(std::min(at + chunk, reply.bytes.size()))));
                }
            }
        }
    }
}

}  // namespace orvex::test
