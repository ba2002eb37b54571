// Streaming a node's values without requests: one transmit PDO of the node configured by SDO in
// the order CiA 301 requires, then NMT start, since PDOs flow only in operational. The newest
// values come from the line's PDO cache (link/pdo_streams.h), filled whoever reads the line.
#include "../link/exchange.h"
#include "../link/port_state.h"
#include "drive_link.h"
#include "procedure.h"

namespace orvex::cia402 {
namespace {

constexpr int kSlots = 4;                        // TPDO1-4
constexpr std::uint32_t kInvalid = 0x80000000u;  // COB-ID bit 31: the PDO does not exist
constexpr std::uint32_t kTransmissionOnTimer = 254;

ObjectEntry communication(int slot, std::uint8_t subindex) {
    return ObjectEntry{static_cast<std::uint16_t>(0x1800 + slot), subindex};
}
ObjectEntry mapping(int slot, std::uint8_t subindex) {
    return ObjectEntry{static_cast<std::uint16_t>(0x1A00 + slot), subindex};
}
unsigned default_cob_id(int slot, int node) {
    return 0x180u + 0x100u * static_cast<unsigned>(slot) + static_cast<unsigned>(node);
}

// The slot this library streams the node on, or the first whose COB-ID is invalid (free).
Outcome free_slot(const DriveLink& drive, int node, int& slot, unsigned& cob_id) {
    {
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        cob_id = l.streams.cob_id(node);
        slot = l.streams.slot(node);
    }
    if (cob_id != 0) return Outcome::kOk;  // streaming already: the same PDO again
    for (slot = 0; slot < kSlots; ++slot) {
        std::uint32_t value = 0;
        const Outcome outcome = drive.read(communication(slot, 1), value);
        if (outcome == Outcome::kSdoAbort) continue;  // the drive has no such TPDO
        if (outcome != Outcome::kOk) return outcome;
        if ((value & kInvalid) == 0) continue;  // in use
        cob_id = value & 0x7FFu;
        if (cob_id == 0) cob_id = default_cob_id(slot, node);
        return Outcome::kOk;
    }
    return Outcome::kWrongState;
}

Outcome configure(const DriveLink& drive, int slot, unsigned cob_id, const unsigned* entries,
                  int count, int period_ms) {
    const struct {
        ObjectEntry entry;
        std::uint8_t command;
        std::uint32_t value;
    } first[] = {
        {communication(slot, 1), sdo::kDownload4, cob_id | kInvalid},
        {communication(slot, 2), sdo::kDownload1, kTransmissionOnTimer},
        {communication(slot, 5), sdo::kDownload2, static_cast<std::uint32_t>(period_ms)},
        {communication(slot, 3), sdo::kDownload2, 0},  // no inhibit time
        {mapping(slot, 0), sdo::kDownload1, 0},
    };
    for (const auto& step : first) {
        const Outcome outcome = drive.write(step.entry, step.command, step.value);
        if (outcome != Outcome::kOk) return outcome;
    }
    for (int i = 0; i < count; ++i) {
        const Outcome outcome = drive.write(mapping(slot, static_cast<std::uint8_t>(i + 1)),
                                            sdo::kDownload4, entries[i]);
        if (outcome != Outcome::kOk) return outcome;
    }
    return drive.write(mapping(slot, 0), sdo::kDownload1, static_cast<std::uint32_t>(count));
}

Outcome start_stream(const DriveLink& drive, const unsigned* entries, int count, int period_ms) {
    const int node = drive.node();
    int slot = 0;
    unsigned cob_id = 0;
    Outcome outcome = free_slot(drive, node, slot, cob_id);
    if (outcome != Outcome::kOk) return outcome;
    outcome = configure(drive, slot, cob_id, entries, count, period_ms);
    if (outcome != Outcome::kOk) {
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        l.streams.stop(node);
        return outcome;  // the PDO stays invalid: its COB-ID was made so first
    }
    StreamEntry decoded[kMaxStreamEntries];
    for (int i = 0; i < count; ++i)
        decoded[i] = StreamEntry{static_cast<std::uint8_t>(entries[i] & 0xFF),
                                 is_signed_object(static_cast<std::uint16_t>(entries[i] >> 16))};
    {
        // Known before the PDO exists, so that its first frame is not taken for noise.
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        l.streams.start(node, slot, cob_id, decoded, count);
    }
    outcome = drive.write(communication(slot, 1), sdo::kDownload4, cob_id);
    if (outcome == Outcome::kOk) {
        const CanSerialFrame start = nmt_command(nmt::kStart, node);
        if (send_commands(&start, 1) != 1) outcome = last_result().outcome;
    }
    if (outcome != Outcome::kOk) {
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        l.streams.stop(node);
    }
    return outcome;
}

bool entries_are_valid(const unsigned* entries, int count) {
    if (entries == nullptr || count < 1 || count > kMaxStreamEntries) return false;
    unsigned bits = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned length = entries[i] & 0xFF;
        if (length < 1 || length > 32) return false;
        bits += length;
    }
    return bits <= 64;
}

}  // namespace
}  // namespace orvex::cia402

using namespace orvex;
using namespace orvex::cia402;

extern "C" {

int Orvex_StreamStart(int node, const unsigned* entries, int count, int period_ms) {
    if (!valid_node(node) || !entries_are_valid(entries, count) || period_ms < 1 ||
        period_ms > 65535)
        return finish(Outcome::kBadArgument);
    return finish(start_stream(DriveLink(node), entries, count, period_ms));
}

int Orvex_StreamRead(int node, unsigned* values, int count, int* age_ms, unsigned* sequence) {
    if (!valid_node(node) || count < 0 || count > kMaxStreamEntries ||
        (values == nullptr && count > 0))
        return finish(Outcome::kBadArgument);
    {
        // What has arrived is taken in; nothing is sent.
        Exchange exchange(Priority::kListener);
        if (exchange.has_port()) exchange.take_in_waiting();
    }
    PdoStreams::Newest newest{};
    {
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        if (!l.streams.newest(node, newest)) return finish(Outcome::kWrongState);
    }
    if (sequence != nullptr) *sequence = newest.frames;
    if (newest.frames == 0) return finish(Outcome::kTimeout);  // nothing has come yet
    for (int i = 0; i < count && i < newest.count; ++i) values[i] = newest.values[i];
    if (age_ms != nullptr) *age_ms = static_cast<int>(os::tick_ms() - newest.arrived);
    return finish(Outcome::kOk);
}

int Orvex_StreamStop(int node) {
    if (!valid_node(node)) return finish(Outcome::kBadArgument);
    unsigned cob_id = 0;
    int slot = 0;
    {
        Line& l = line();
        os::LockGuard guard(l.events_lock);
        cob_id = l.streams.cob_id(node);
        slot = l.streams.slot(node);
        l.streams.stop(node);
    }
    if (cob_id == 0) cob_id = default_cob_id(slot = 0, node);  // started elsewhere: TPDO1
    return finish(
        DriveLink(node).write(communication(slot, 1), sdo::kDownload4, cob_id | kInvalid));
}

}  // extern "C"
