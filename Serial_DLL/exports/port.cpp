// The port exports: open by number or path, close, and the raw write. Opening closes an open port
// first, so an open that fails leaves no port; one whose settings are refused after the device
// opened leaves that device open (Serial_ClosePort closes it).
#include "../link/exchange.h"
#include "../link/port_state.h"
#include "orvex.h"

using orvex::Outcome;
using orvex::record;

extern "C" {

int Serial_OpenPort(int port, int baud) {
    char path[64];
    if (!orvex::os::port_path(port, path, sizeof path)) {
        orvex::Serial_Close();  // a failed open leaves no port, whatever made it fail
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_OpenPath(path, baud) ? 1 : 0;
}

int Serial_OpenDevice(const char* path, int baud) {
    if (path == nullptr) {
        orvex::Serial_Close();
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
    orvex::Exchange exchange;
    return exchange.send(buffer, static_cast<std::size_t>(length)) == Outcome::kOk ? 1 : 0;
}

}  // extern "C"
