#include "drive_link.h"

#include "../link/batch_exchange.h"
#include "../link/exchange.h"

namespace orvex::cia402 {

Outcome DriveLink::read_statusword(std::uint16_t& statusword) const {
    std::uint32_t value = 0;
    const Outcome outcome = read(object::kStatusword, value);
    if (outcome == Outcome::kOk) statusword = static_cast<std::uint16_t>(value & 0xFFFF);
    return outcome;
}

Outcome DriveLink::read(ObjectEntry entry, std::uint32_t& value) const {
    return sdo_upload(node_, sdo::kUploadRequest, entry, value);
}

Outcome DriveLink::read_together(const ObjectEntry* entries, std::uint32_t* values,
                                 Outcome* results, int count) const {
    constexpr int kMostTogether = 4;
    if (count < 1 || count > kMostTogether) return Outcome::kBadArgument;
    int nodes[kMostTogether], indexes[kMostTogether], subindexes[kMostTogether];
    int item_results[kMostTogether];
    unsigned item_values[kMostTogether];
    for (int i = 0; i < count; ++i) {
        nodes[i] = node_;
        indexes[i] = entries[i].index;
        subindexes[i] = entries[i].subindex;
    }
    read_batch(BatchReads{count, nodes, indexes, subindexes, item_values, item_results});
    Outcome first_failure = Outcome::kOk;
    for (int i = 0; i < count; ++i) {
        results[i] = static_cast<Outcome>(item_results[i]);
        if (results[i] == Outcome::kOk) {
            values[i] = item_values[i];
        } else if (first_failure == Outcome::kOk) {
            first_failure = results[i];
        }
    }
    return first_failure;
}

Outcome DriveLink::write_controlword(std::uint16_t value, Priority priority) const {
    return write(object::kControlword, sdo::kDownload2, value, priority);
}

Outcome DriveLink::write(ObjectEntry entry, std::uint8_t command, std::uint32_t value,
                         Priority priority) const {
    if (priority == Priority::kStop) stopping_ = true;
    return sdo_download_confirmed(node_, command, entry, value, priority,
                                  stopping_ ? nullptr : &guard_);
}

}  // namespace orvex::cia402
