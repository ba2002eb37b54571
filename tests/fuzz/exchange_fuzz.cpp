// Fuzz target: arbitrary adapter input, chunked and timed by the fuzz input, against the library's
// queries and the raw exchange, in-process over the in-memory OS layer (virtual clock, no sleeps).
//
// Input layout (every field is one byte unless noted; a short input just ends early):
//   start          bit 0 set: the tick counter starts just below its wrap
//   then up to kMaxCalls calls, each:
//     kind         0 GetPosition, 1 GetMotorStatus, 2 GetVersions, 3 SDO_Read, 4 a summary,
//                  5 raw exchange, 6 a one-frame command, 7 a transfer of any size
//     node         node argument (bit 7 of kind adds 256: only the low byte may reach the wire)
//     extra        SDO_Read: index (2 bytes), subindex, size code; summary: which one;
//                  raw: request length, answer length, purge handle flag; transfer: flags
//                  (bit 0 download), block threshold, block size, capacity or length (2 bytes),
//                  index (2 bytes), subindex
//     records      count, then per record: delay, chunk, pause, type and the type's own bytes
//                  (see record_bytes). A record's bytes start `delay` * 4 ms after the previous
//                  one's end, in chunks of 1 + `chunk` % 12 bytes `pause` % 64 ms apart, counted
//                  from the call; some therefore arrive before it sends or after it returns.
//     request      raw exchange only: the request's bytes
//
// Each call is checked against a model of the line that knows every byte's arrival time:
//   - no call takes longer than its limit plus the one tick in which it notices the limit passed;
//   - a query succeeds only with the value of a frame, among the bytes that arrived after it
//     sent and before it returned, that is an upload response for its own object; an abort
//     likewise; when everything it saw was whole frames its own answer in time must be taken;
//   - a raw exchange returns exactly the bytes queued first, leaves the rest queued, and fails
//     only when fewer than it asked for came in time.
//   - a transfer writes only SDO requests to its node, takes at most its steps' limits, never
//     writes past its buffer, ends a time-out with the abort 0x05040000 on the wire, and reports
//     an abort that the server sent or that it sent itself.
// Any mismatch calls abort(); memory errors are left to the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fake_os.h"
#include "orvex.h"
#include "test_frames.h"

namespace {

using orvex::test::fake_os::Bytes;
namespace fake_os = orvex::test::fake_os;

constexpr int kMaxCalls = 6;
constexpr int kMaxRecords = 12;
constexpr std::uint64_t kQueryLimitMs = 800;

[[noreturn]] void fail(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "exchange_fuzz: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Fields are read in wire order; each read is its own statement, so the order is fixed.
    std::uint32_t u16() {
        const std::uint32_t low = byte();
        return low | static_cast<std::uint32_t>(byte()) << 8;
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | u16() << 16;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Every byte handed to the fake device, with the virtual time it becomes readable, in the order
// the device makes them readable (by time; in delivery order within one millisecond).
struct Line {
    struct Byte {
        std::uint64_t at;
        std::uint8_t value;
    };
    std::vector<Byte> bytes;
    std::uint32_t start_tick = 0;

    std::uint64_t now() const { return static_cast<std::uint32_t>(fake_os::now() - start_tick); }

    void deliver(const Bytes& chunk, std::uint64_t after_ms) {
        if (chunk.empty()) return;
        fake_os::deliver(chunk, static_cast<std::uint32_t>(after_ms));
        const std::uint64_t at = now() + after_ms;
        auto it = bytes.end();
        while (it != bytes.begin() && (it - 1)->at > at) --it;
        std::vector<Byte> added;
        for (std::uint8_t b : chunk) added.push_back(Byte{at, b});
        bytes.insert(it, added.begin(), added.end());
    }

    // Bytes that arrived in (from, to].
    Bytes between(std::uint64_t from, std::uint64_t to) const {
        Bytes out;
        for (const Byte& b : bytes)
            if (b.at > from && b.at <= to) out.push_back(b.value);
        return out;
    }
    std::size_t arrived_by(std::uint64_t t) const {
        std::size_t n = 0;
        for (const Byte& b : bytes) n += b.at <= t;
        return n;
    }
};

struct Object {
    std::uint8_t node;  // as it goes on the wire
    std::uint16_t index;
    std::uint8_t subindex;
};

using Frame = std::uint8_t[12];

std::uint32_t value_of(const std::uint8_t* w) {
    return w[6] | w[7] << 8 | w[8] << 16 | static_cast<std::uint32_t>(w[9]) << 24;
}

// How the library must treat a 12-byte window, as its header documents: an upload response
// (0x40-0x5F) or abort (0x80) for the object, unless the identifier is a request (the SDO request
// channel or the query's own request) or, for a drive query, another node's SDO response.
enum class Seen { kOther, kResponse, kAbort, kUnframed };

Seen judge(const std::uint8_t* w, const Object& object) {
    if (w[10] != 0x0D || w[11] != 0x0A) return Seen::kUnframed;
    const unsigned id = static_cast<unsigned>(w[0]) << 8 | w[1];
    const unsigned own = 0x580u + object.node;
    if (id == 0x600u + object.node) return Seen::kOther;
    if (id >= 0x600 && id <= 0x67F && id != own) return Seen::kOther;
    if (id >= 0x580 && id <= 0x5FF && id != own && object.node != 0) return Seen::kOther;
    if ((w[3] | w[4] << 8) != object.index || w[5] != object.subindex) return Seen::kOther;
    if (w[2] == 0x80) return Seen::kAbort;
    if ((w[2] & 0xE0) == 0x40) return Seen::kResponse;
    return Seen::kOther;
}

void put_frame(Bytes& out, unsigned id, std::uint8_t command, std::uint16_t index,
               std::uint8_t subindex, std::uint32_t value) {
    const orvex::test::Frame f = orvex::test::can_frame(id, command, index, subindex, value);
    out.insert(out.end(), f.begin(), f.end());
}

// The identifier in front of an answer: adapters differ, so the input may choose it.
unsigned answer_id(Reader& in, const Object& object) {
    switch (in.byte() % 4) {
        case 0:
            return 0x580u + object.node;
        case 1:
            return 0;
        case 2:
            return 0x580u + ((object.node + 1 + in.byte() % 126) & 0x7F);  // some other node
        default:
            return in.u16();
    }
}

// One record's bytes: answers, aborts, traffic that is not the answer, noise, torn frames.
Bytes record_bytes(Reader& in, const Object& object) {
    Bytes out;
    const std::uint8_t type = in.byte() % 9;
    switch (type) {
        case 0:    // an upload response for the object
        case 1: {  // an abort for the object
            const unsigned id = answer_id(in, object);
            const std::uint8_t command = type == 0 ? 0x40 | (in.byte() & 0x1F) : 0x80;
            put_frame(out, id, command, object.index, object.subindex, in.u32());
            break;
        }
        case 2:  // a download acknowledgement for the same object
            put_frame(out, 0x580u + object.node, 0x60, object.index, object.subindex, 0);
            break;
        case 3: {  // an answer for another object of the same node
            const auto index = static_cast<std::uint16_t>(object.index ^ (1 + in.byte()));
            const auto subindex = static_cast<std::uint8_t>(object.subindex ^ in.byte());
            put_frame(out, 0x580u + object.node, 0x43, index, subindex, in.u32());
            break;
        }
        case 4: {  // heartbeat or boot-up of some node
            const unsigned id = 0x700u + (in.byte() & 0x7F);
            put_frame(out, id, in.byte() & 0x7F, 0, 0, 0);
            break;
        }
        case 5: {  // noise
            const int n = in.byte() % 24;
            for (int i = 0; i < n; ++i) out.push_back(in.byte());
            break;
        }
        case 6: {  // the front of an answer that never completes
            put_frame(out, 0x580u + object.node, 0x43, object.index, object.subindex, in.u32());
            out.resize(1 + in.byte() % 11);
            break;
        }
        case 7:  // any frame, with a proper terminator
            for (int i = 0; i < 10; ++i) out.push_back(in.byte());
            out.push_back(0x0D);
            out.push_back(0x0A);
            break;
        default:  // a CR LF alone, which resynchronisation keys on
            out = {0x0D, 0x0A};
            break;
    }
    return out;
}

// Schedules the call's records, relative to now.
void schedule_records(Reader& in, Line& line, const Object& object) {
    const int count = in.byte() % (kMaxRecords + 1);
    std::uint64_t at = 0;
    for (int r = 0; r < count && !in.empty(); ++r) {
        at += in.byte() * 4u;
        const std::size_t chunk = 1 + in.byte() % 12;
        const std::uint64_t pause = in.byte() % 64;
        const Bytes bytes = record_bytes(in, object);
        for (std::size_t from = 0; from < bytes.size(); from += chunk) {
            if (from > 0) at += pause;
            const std::size_t to = std::min(bytes.size(), from + chunk);
            line.deliver(Bytes(bytes.begin() + static_cast<long>(from),
                               bytes.begin() + static_cast<long>(to)),
                         at);
        }
    }
}

void check_request_frame(const Object& object, std::uint8_t command) {
    const std::vector<Bytes>& writes = fake_os::writes();
    if (writes.empty()) fail("no request written");
    const Bytes expected = {0x06,
                            object.node,
                            command,
                            static_cast<std::uint8_t>(object.index),
                            static_cast<std::uint8_t>(object.index >> 8),
                            object.subindex,
                            0,
                            0,
                            0,
                            0,
                            0x0D,
                            0x0A};
    // A longer object answered with the start of a transfer: the request, then the abort that
    // ends the server's transfer (0x05040001 for the object).
    const bool refused = Orvex_LastResult() == ORVEX_SDO_ABORT &&
                         Orvex_LastAbortCode() == 0x05040001u && writes.size() >= 2;
    if (refused) {
        const Bytes refusal = {0x06, object.node, 0x80,
                               static_cast<std::uint8_t>(object.index),
                               static_cast<std::uint8_t>(object.index >> 8), object.subindex,
                               0x01, 0x00, 0x04, 0x05, 0x0D, 0x0A};
        if (writes.back() == refusal) {
            if (writes[writes.size() - 2] != expected) fail("request frame differs", 0);
            return;
        }
    }
    if (writes.back() != expected) fail("request frame differs", writes.back().size());
}

// What a query returns for a raw 32-bit answer value.
using Project = std::uint32_t (*)(std::uint32_t);

void check_query(const Line& line, const Object& object, std::uint64_t t0, std::uint64_t t1,
                 bool returned_value, std::uint32_t value, Project project) {
    const std::uint64_t took = t1 - t0;
    if (took > kQueryLimitMs + 1) fail("query outlived its limit", static_cast<long long>(took));
    const int result = Orvex_LastResult();
    if (returned_value != (result == ORVEX_OK)) fail("result and outcome disagree", result);

    // Everything the query could have seen: what arrived after its purge and before it returned.
    const Bytes seen = line.between(t0, t1);
    bool found = false;
    // An answer that starts a transfer (command bit 1 clear: a longer object) is no value: the
    // query ends that transfer and fails with 0x05040001.
    const auto expedited = [](const std::uint8_t* w) { return (w[2] & 0x02) != 0; };
    for (std::size_t i = 0; i + 12 <= seen.size() && !found; ++i) {
        const Seen kind = judge(&seen[i], object);
        if (result == ORVEX_OK && kind == Seen::kResponse && expedited(&seen[i]))
            found = project(value_of(&seen[i])) == project(value);
        if (result == ORVEX_SDO_ABORT && kind == Seen::kAbort)
            found = value_of(&seen[i]) == Orvex_LastAbortCode();
        if (result == ORVEX_SDO_ABORT && kind == Seen::kResponse && !expedited(&seen[i]))
            found = Orvex_LastAbortCode() == 0x05040001u;
    }
    if (result == ORVEX_OK && !found) fail("query took a value nobody sent for it", value);
    if (result == ORVEX_SDO_ABORT && !found) fail("query reported an abort nobody sent");
    if (result == ORVEX_TIMEOUT && took <= kQueryLimitMs) fail("timed out early", took);
    if (result != ORVEX_OK && result != ORVEX_SDO_ABORT && result != ORVEX_TIMEOUT)
        fail("unexpected outcome", result);

    // When the input before the answer was whole frames, the answer in time must be taken.
    const Bytes in_time = line.between(t0, t0 + kQueryLimitMs);
    for (std::size_t i = 0; i + 12 <= in_time.size(); i += 12) {
        const Seen kind = judge(&in_time[i], object);
        if (kind == Seen::kUnframed) return;
        if (kind == Seen::kResponse && !expedited(&in_time[i])) {
            if (result != ORVEX_SDO_ABORT || Orvex_LastAbortCode() != 0x05040001u)
                fail("query took the start of a transfer as a value", result, i);
            return;
        }
        if (kind == Seen::kResponse) {
            if (result != ORVEX_OK || project(value) != project(value_of(&in_time[i])))
                fail("query missed its answer", result, i);
            return;
        }
        if (kind == Seen::kAbort) {
            if (result != ORVEX_SDO_ABORT || Orvex_LastAbortCode() != value_of(&in_time[i]))
                fail("query missed its abort", result, i);
            return;
        }
    }
}

void run_query(Reader& in, Line& line, int kind, int node) {
    Object object{static_cast<std::uint8_t>(node & 0xFF), 0, 0};
    std::uint8_t command = 0x40;
    int size_code = 0;
    int summary = 0;
    switch (kind) {
        case 0:
            object.index = 0x6064;
            break;
        case 1:
            object.index = 0x6041;
            break;
        case 2:
            object.index = 0x2001;
            object.subindex = 1;
            break;
        case 3: {
            object.index = static_cast<std::uint16_t>(in.u16());
            object.subindex = in.byte();
            size_code = static_cast<std::int8_t>(in.byte());
            const int low = size_code & 0xFF;
            command = low == 1 ? 0x4F : low == 2 ? 0x4B : low == 3 ? 0x47 : 0x43;
            break;
        }
        default:
            summary = in.byte() % 3;
            object.node = 0;
            object.index = static_cast<std::uint16_t>(0x3001 + summary);
            break;
    }
    schedule_records(in, line, object);

    const std::uint64_t t0 = line.now();
    std::uint32_t value = 0;
    bool ok = false;
    Project project = [](std::uint32_t v) { return v; };
    switch (kind) {
        case 0:
            value = static_cast<std::uint32_t>(GetPosition(node));
            ok = Orvex_LastResult() == ORVEX_OK;
            if (!ok && value != 0) fail("failed position is not 0", value);
            break;
        case 1:
            value = static_cast<std::uint32_t>(GetMotorStatus(node));
            ok = Orvex_LastResult() == ORVEX_OK;
            if (!ok && value != 0) fail("failed status is not 0", value);
            project = [](std::uint32_t v) { return v & 0x1D0Fu; };
            break;
        case 2:
            value = static_cast<std::uint32_t>(GetVersions(node));
            ok = Orvex_LastResult() == ORVEX_OK;
            if (!ok && value != 0) fail("failed version is not 0", value);
            project = [](std::uint32_t v) { return v & 0xFFFFu; };
            break;
        case 3: {
            const auto into = std::make_unique<int>(0x5A5A5A5A);
            ok = SDO_Read(node, object.index, object.subindex, into.get(), size_code) == 1;
            if (!ok && *into != 0x5A5A5A5A) fail("failed read changed the value");
            value = static_cast<std::uint32_t>(*into);
            break;
        }
        default: {
            using Summary = int (*)();
            const Summary summaries[] = {Get_ALL_Enable_Status, Get_ALL_Reached_Status,
                                         Get_ALL_Err_Status};
            value = static_cast<std::uint32_t>(summaries[summary]());
            ok = Orvex_LastResult() == ORVEX_OK;
            if (!ok && value != 255) fail("failed summary is not 255", value);
            break;
        }
    }
    // The masked and truncated queries return the projection itself.
    if (ok && project(value) != value) fail("query returned bits it should mask", value);
    check_request_frame(object, command);
    check_query(line, object, t0, line.now(), ok, value, project);
}

void run_raw(Reader& in, Line& line, int node) {
    const int request_length = in.byte() % 25;
    const int answer_length = static_cast<std::int8_t>(in.byte());  // -128..127, over 50 sometimes
    const bool purge = in.byte() & 1;
    schedule_records(in, line, Object{static_cast<std::uint8_t>(node & 0xFF), 0x6064, 0});

    // Exactly-sized buffers, so that a byte too many is a sanitizer report.
    std::unique_ptr<std::uint8_t[]> request;
    if (request_length > 0) {
        request = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(request_length));
        for (int i = 0; i < request_length; ++i) request[static_cast<std::size_t>(i)] = in.byte();
    }
    std::unique_ptr<std::uint8_t[]> answer;
    if (answer_length > 0) answer = std::make_unique<std::uint8_t[]>(answer_length);

    const std::uint64_t t0 = line.now();
    const std::size_t queued = fake_os::unread();
    const std::size_t arrived = line.arrived_by(t0);
    if (queued > arrived) fail("more queued than ever arrived");
    const std::size_t writes_before = fake_os::writes().size();
    void* handle = purge ? reinterpret_cast<void*>(static_cast<std::intptr_t>(7)) : nullptr;
    const int result =
        U_Transmit_Validation(handle, request.get(), answer.get(), request_length, answer_length);
    const std::uint64_t t1 = line.now();

    // The request goes out whole and unchanged, however the library hands it over.
    Bytes wrote;
    for (std::size_t i = writes_before; i < fake_os::writes().size(); ++i)
        wrote.insert(wrote.end(), fake_os::writes()[i].begin(), fake_os::writes()[i].end());
    if (wrote.size() != static_cast<std::size_t>(request_length) ||
        (request_length > 0 && std::memcmp(wrote.data(), request.get(), wrote.size()) != 0))
        fail("raw request changed on its way out", static_cast<long long>(wrote.size()));
    if (answer_length <= 0) {
        if (result != 0 || t1 != t0) fail("raw send without answer", result);
        return;
    }

    const std::uint64_t limit = answer_length <= 50 ? 800 : 3800;
    if (t1 - t0 > limit + 1) fail("raw exchange outlived its limit", t1 - t0);
    // What the exchange could read: what was queued, then what arrived while it waited.
    Bytes available;
    for (std::size_t i = arrived - queued; i < arrived; ++i)
        available.push_back(line.bytes[i].value);
    const Bytes later = line.between(t0, t1);
    available.insert(available.end(), later.begin(), later.end());
    const auto wanted = static_cast<std::size_t>(answer_length);

    if (result == 0) {
        if (Orvex_LastResult() != ORVEX_OK) fail("raw success not recorded", Orvex_LastResult());
        if (available.size() < wanted) fail("raw answer from nowhere", available.size());
        if (std::memcmp(answer.get(), available.data(), wanted) != 0)
            fail("raw answer is not what was queued first");
        if (fake_os::unread() != available.size() - wanted)
            fail("raw exchange took more than its answer", fake_os::unread());
    } else if (result == -10) {
        if (Orvex_LastResult() != ORVEX_TIMEOUT) fail("raw time-out not recorded");
        if (t1 - t0 <= limit) fail("raw exchange gave up early", t1 - t0);
        // Nothing is taken from the queue unless the whole answer is there.
        if (fake_os::unread() != available.size()) fail("raw time-out consumed input");
        if (queued + line.between(t0, t0 + limit).size() >= wanted)
            fail("raw exchange missed an answer that came in time");
    } else {
        fail("raw result", result);
    }
}

void run_command(Line& line, int node) {
    const std::uint64_t t0 = line.now();
    if (CMD_Enable_motor(node) != 1) fail("command failed");
    const Bytes expected = {
        0x06, static_cast<std::uint8_t>(node & 0xFF), 0x2B, 0x40, 0x60, 0, 0x0F, 0, 0, 0, 0x0D,
        0x0A};
    if (fake_os::writes().back() != expected) fail("command frame differs");
    if (line.now() != t0) fail("a command waited");
}

// Frames a server sends during a transfer of any size: initiate answers, segments,
// acknowledgements and ends from the node's own identifier (the fuzz input picks their bytes),
// aborts, echoes, other nodes' segments, and the traffic and noise of record_bytes.
Bytes transfer_record_bytes(Reader& in, const Object& object) {
    Bytes out;
    const unsigned own = 0x580u + object.node;
    switch (in.byte() % 8) {
        case 0: {  // an initiate answer of some kind for the object, with a small size mostly
            static const std::uint8_t kinds[] = {0x40, 0x60, 0xC0, 0xA0};
            const std::uint8_t pick = in.byte();
            const auto command = static_cast<std::uint8_t>(kinds[pick % 4] | (pick >> 2 & 0x1F));
            const std::uint32_t size = (pick & 0x80) ? in.u32() : in.byte();
            put_frame(out, own, command, object.index, object.subindex, size);
            break;
        }
        case 1: {  // a segment, acknowledgement or end: eight bytes of the input's choosing
            Bytes frame = {static_cast<std::uint8_t>(own >> 8), static_cast<std::uint8_t>(own)};
            for (int i = 0; i < 8; ++i) frame.push_back(in.byte());
            frame.push_back(0x0D);
            frame.push_back(0x0A);
            out = frame;
            break;
        }
        case 2:  // an abort for the object
            put_frame(out, own, 0x80, object.index, object.subindex, in.u32());
            break;
        case 3:    // the adapter's echo of a request
        case 4: {  // or another node's answer
            const unsigned id =
                in.byte() % 5 == 3 ? 0x600u + object.node : 0x580u + ((object.node + 1) & 0x7F);
            Bytes frame = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
            for (int i = 0; i < 8; ++i) frame.push_back(in.byte());
            frame.push_back(0x0D);
            frame.push_back(0x0A);
            out = frame;
            break;
        }
        default:
            out = record_bytes(in, object);
            break;
    }
    return out;
}

void run_transfer(Reader& in, Line& line, int node) {
    const std::uint8_t flags = in.byte();
    const bool download = flags & 1;
    const int threshold = in.byte() % 16;
    const int block_size = static_cast<std::int8_t>(in.byte());
    const int size = static_cast<int>(in.u16() % 1200) - 8;  // a few negative ones
    Object object{static_cast<std::uint8_t>(node & 0xFF), static_cast<std::uint16_t>(in.u16()),
                  in.byte()};
    const bool block_accepted = threshold == 0 ? (block_size >= 0 && block_size <= 127)
                                               : (block_size >= 1 && block_size <= 127);
    if ((Orvex_SetBlockTransfer(threshold, block_size) == 1) != block_accepted)
        fail("block setting accepted or refused wrongly", threshold, block_size);
    const int count = in.byte() % (kMaxRecords * 4 + 1);
    std::uint64_t at = 0;
    for (int r = 0; r < count && !in.empty(); ++r) {
        at += in.byte() % 32;
        line.deliver(transfer_record_bytes(in, object), at);
    }

    // Exactly-sized buffers, so that a byte too many is a sanitizer report.
    const std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 0;
    std::unique_ptr<std::uint8_t[]> buffer(bytes > 0 ? new std::uint8_t[bytes] : nullptr);
    for (std::size_t i = 0; i < bytes; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
    const std::size_t writes_before = fake_os::writes().size();
    const std::uint64_t t0 = line.now();
    int length = -5;
    const int result =
        download
            ? Orvex_SdoDownload(node, object.index, object.subindex, buffer.get(), size)
            : Orvex_SdoUpload(node, object.index, object.subindex, buffer.get(), size, &length);
    const std::uint64_t t1 = line.now();
    const int outcome = Orvex_LastResult();
    if ((result == 1) != (outcome == ORVEX_OK)) fail("transfer result and outcome disagree");
    const std::size_t writes = fake_os::writes().size() - writes_before;

    if (node < 1 || node > 127 || size < 0) {
        if (outcome != ORVEX_BAD_ARGUMENT || writes != 0) fail("bad transfer argument taken", node);
        return;
    }
    if (outcome != ORVEX_OK && outcome != ORVEX_SDO_ABORT && outcome != ORVEX_TIMEOUT)
        fail("unexpected transfer outcome", outcome);
    // Every step waits at most the limit, plus a block's time on the line, from its write.
    if (t1 - t0 > writes * (kQueryLimitMs + 150 + 1)) fail("transfer outlived its steps", t1 - t0);
    Bytes last;
    for (std::size_t i = writes_before; i < fake_os::writes().size(); ++i) {
        const Bytes& w = fake_os::writes()[i];
        if (w.empty() || w.size() % 12 != 0) fail("transfer wrote a torn frame", w.size());
        for (std::size_t f = 0; f < w.size(); f += 12) {
            if (w[f] != 0x06 || w[f + 1] != object.node || w[f + 10] != 0x0D || w[f + 11] != 0x0A)
                fail("transfer wrote something but a request to its node");
        }
        last.assign(w.end() - 12, w.end());
    }
    const bool aborted_here = !last.empty() && last[2] == 0x80;
    if (outcome == ORVEX_TIMEOUT) {
        if (!aborted_here || value_of(last.data()) != 0x05040000u)
            fail("a time-out left the server without the abort");
    } else if (outcome == ORVEX_SDO_ABORT) {
        const std::uint32_t code = Orvex_LastAbortCode();
        bool sent = false;
        const Bytes seen = line.between(t0, t1);
        // Any abort from the node's own server ends a transfer, whatever object it names.
        for (std::size_t i = 0; i + 12 <= seen.size() && !sent; ++i)
            sent = seen[i + 2] == 0x80 && value_of(&seen[i]) == code &&
                   (judge(&seen[i], object) == Seen::kAbort ||
                    (seen[i + 10] == 0x0D && seen[i + 11] == 0x0A &&
                     (seen[i] << 8 | seen[i + 1]) == 0x580 + object.node));
        const bool ended_without_frame = code == 0x05040005u || code == 0x06070013u;
        if (!sent && !(aborted_here && value_of(last.data()) == code) && !ended_without_frame)
            fail("transfer reported an abort nobody sent", code);
    } else if (aborted_here) {
        fail("transfer succeeded after aborting");
    }
    if (!download) {
        if (length < 0) fail("upload length", length);
        if (outcome == ORVEX_OK && length > size) fail("upload longer than its buffer", length);
        if (outcome == ORVEX_TIMEOUT && length != 0) fail("timed-out upload has a length", length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Line line;
    line.start_tick = (in.byte() & 1) ? 0xFFFFFFFFu - 300u : 1000u;
    fake_os::reset(line.start_tick);
    if (Serial_OpenDevice("fake", 115200) != 1) fail("open");

    for (int call = 0; call < kMaxCalls && !in.empty(); ++call) {
        const std::uint8_t kind_byte = in.byte();
        const int kind = (kind_byte & 0x7F) % 8;
        const int node = in.byte() + ((kind_byte & 0x80) ? 256 : 0);
        if (kind <= 4) {
            run_query(in, line, kind, node);
        } else if (kind == 5) {
            run_raw(in, line, node);
        } else if (kind == 7) {
            run_transfer(in, line, node);
        } else {
            run_command(line, node);
        }
    }
    Serial_ClosePort();
    return 0;
}
