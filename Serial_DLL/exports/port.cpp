// The port exports: open by number or path, close, and the raw write.
#include "../link/port_state.h"
#include "orvex.h"

using orvex::Outcome;
using orvex::record;

extern "C" {

int Serial_OpenPort(int port, int baud) {
    char path[64];
    if (!orvex::os::port_path(port, path, sizeof path)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_OpenPath(path, baud) ? 1 : 0;
}

int Serial_OpenDevice(const char* path, int baud) {
    if (path == nullptr) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_OpenPath(path, baud) ? 1 : 0;
}

int Serial_ClosePort(void) {
    orvex::Serial_Close();
    record(Outcome::kOk);
    return 0;
}

int U_Transmit(const void* buffer, int length) {
    if (buffer == nullptr || length <= 0) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_Write(buffer, static_cast<std::size_t>(length)) == Outcome::kOk ? 1 : 0;
}

}  // extern "C"
