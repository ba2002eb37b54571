#include "fake_os.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "serial_device.h"

namespace orvex::test::fake_os {
namespace {

struct Arrival {
    std::uint32_t at;
    Bytes bytes;
};

struct Device {
    std::uint32_t clock = 1000;
    std::deque<std::uint8_t> input;
    std::vector<Arrival> scheduled;
    std::vector<Bytes> writes;
    int fail_at = -1;
    int fail_error = 0;
    Responder responder = nullptr;
    Bytes flood;
    std::size_t flood_per_ms = 0;
    std::uint32_t flood_next = 0;  // the tick whose bytes come next
    std::uint32_t flood_end = 0;
    unsigned reads_per_ms = 0;
    unsigned reads = 0;
};

Device g;

constexpr std::size_t kFloodQueue = 4096;

// Moves arrivals that are due into the input queue.
void settle() {
    for (; !g.flood.empty() && static_cast<std::int32_t>(g.clock - g.flood_next) >= 0 &&
           static_cast<std::int32_t>(g.flood_end - g.flood_next) > 0;
         ++g.flood_next) {
        for (std::size_t i = 0; i < g.flood_per_ms && g.input.size() < kFloodQueue; ++i)
            g.input.push_back(g.flood[i % g.flood.size()]);
    }
    for (auto it = g.scheduled.begin(); it != g.scheduled.end();) {
        if (static_cast<std::int32_t>(g.clock - it->at) >= 0) {
            g.input.insert(g.input.end(), it->bytes.begin(), it->bytes.end());
            it = g.scheduled.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void reset(std::uint32_t start_tick) {
    g = Device{};
    g.clock = start_tick;
}
void deliver(const Bytes& bytes, std::uint32_t after_ms) {
    g.scheduled.push_back(Arrival{g.clock + after_ms, bytes});
    settle();
}
void flood(const Bytes& pattern, std::size_t per_ms, std::uint32_t for_ms) {
    g.flood = pattern;
    g.flood_per_ms = per_ms;
    g.flood_next = g.clock;
    g.flood_end = g.clock + for_ms;
    settle();
}
void set_reads_per_ms(unsigned reads) {
    g.reads_per_ms = reads;
    g.reads = 0;
}
void fail_write(int nth, int error) {
    g.fail_at = static_cast<int>(g.writes.size()) + nth;
    g.fail_error = error;
}
const std::vector<Bytes>& writes() {
    return g.writes;
}
std::size_t unread() {
    return g.input.size();
}
std::uint32_t now() {
    return g.clock;
}
void set_responder(Responder responder) {
    g.responder = responder;
}

}  // namespace orvex::test::fake_os

namespace orvex::os {

using namespace orvex::test::fake_os;

bool port_path(int port, char* path, std::size_t capacity) {
    if (port < 1) return false;
    std::snprintf(path, capacity, "fake%d", port);
    return true;
}

DeviceHandle open_device(const char* path, Status& status) {
    if (std::strncmp(path, "fake", 4) != 0) {
        status = Status{false, 2};
        return kNoDevice;
    }
    status = Status{};
    return 3;
}

Status configure(DeviceHandle, int) {
    return Status{};
}
void close_device(DeviceHandle) {}

Status write_all(DeviceHandle, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    g.writes.emplace_back(bytes, bytes + length);
    if (static_cast<int>(g.writes.size()) - 1 == g.fail_at) return Status{false, g.fail_error};
    if (g.responder) {
        const Bytes answer = g.responder(g.writes.back());
        g.input.insert(g.input.end(), answer.begin(), answer.end());
    }
    return Status{};
}

Status read_waiting(DeviceHandle, void* data, std::size_t length, std::size_t& got) {
    if (g.reads_per_ms != 0 && ++g.reads % g.reads_per_ms == 0) ++g.clock;
    settle();
    got = 0;
    auto* into = static_cast<std::uint8_t*>(data);
    while (got < length && !g.input.empty()) {
        into[got++] = g.input.front();
        g.input.pop_front();
    }
    return got > 0 ? Status{} : Status{false, 11};
}

std::size_t bytes_waiting(DeviceHandle, Status& status) {
    settle();
    status = Status{};
    return g.input.size();
}

Status wait_readable(DeviceHandle, std::uint32_t timeout_ms, bool& ready) {
    settle();
    ready = !g.input.empty();
    if (ready) return Status{};
    // Jump to the next arrival if it comes within the timeout, else to the end of the timeout.
    std::uint32_t wait = timeout_ms;
    for (const Arrival& a : g.scheduled) {
        const std::uint32_t until = a.at - g.clock;
        if (until < wait) wait = until;
    }
    if (!g.flood.empty() && static_cast<std::int32_t>(g.flood_end - g.flood_next) > 0 &&
        g.flood_next - g.clock < wait)
        wait = g.flood_next - g.clock;
    g.clock += wait;
    settle();
    ready = !g.input.empty();
    return Status{};
}

void purge(DeviceHandle, Purge) {
    settle();
    g.input.clear();
}
void purge_foreign_handle(void*) {}

bool environment_value(const char* name, char* value, std::size_t capacity) {
    const char* found = std::getenv(name);
    if (found == nullptr || *found == '\0' || std::strlen(found) >= capacity) return false;
    std::strcpy(value, found);
    return true;
}

std::uint32_t tick_ms() {
    return g.clock;
}
void sleep_ms(std::uint32_t ms) {
    // The load-time delay overruns by 15 %, as on a busy machine: time limits must not stretch
    // with it, which the exact limits asserted by the tests check.
    static bool loading = true;
    if (loading && ms == 1000) ms += 150;
    loading = false;
    g.clock += ms;
    settle();
}

void RecursiveLock::create() {
    new (storage_) std::recursive_mutex;
}
void RecursiveLock::destroy() {
    std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->~recursive_mutex();
}
void RecursiveLock::lock() {
    std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->lock();
}
void RecursiveLock::unlock() {
    std::launder(reinterpret_cast<std::recursive_mutex*>(storage_))->unlock();
}

}  // namespace orvex::os
