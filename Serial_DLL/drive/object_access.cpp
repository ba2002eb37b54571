// Object access by index and subindex, and the LED.
#include "../link/exchange.h"
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

namespace {

ObjectEntry entry_of(unsigned index, int subindex) {
    return ObjectEntry{static_cast<std::uint16_t>(index & 0xFFFF),
                       static_cast<std::uint8_t>(subindex & 0xFF)};
}

}  // namespace

extern "C" {

int SDO_Write(int node, unsigned index, int subindex, unsigned value, int sizeCode) {
    return write_frames(
        {sdo_download(node, download_command_for(sizeCode), entry_of(index, subindex), value)});
}

int SDO_Read(int node, unsigned index, int subindex, int* value, int sizeCode) {
    if (value == nullptr) {
        record(Outcome::kBadArgument);
        return 0;
    }
    std::uint32_t read = 0;
    if (sdo_upload(node, upload_command_for(sizeCode), entry_of(index, subindex), read) !=
        Outcome::kOk)
        return 0;
    *value = static_cast<int>(read);
    return 1;
}

int LED_Set(int node, int value) {
    return write_frames({write_u32(node, object::kLed, static_cast<std::uint32_t>(value))});
}

}  // extern "C"
