// Load and unload order. Load: the port state (both locks created, no port), then the load-time
// delay (one second). Unload, in reverse: an open port is closed, then the locks are destroyed.
#include "library_lifecycle.h"

#include "../link/port_state.h"
#include "../link/serial_device.h"

namespace orvex {
namespace {

// Loading the library takes one second, as hosts of this library have always seen it do. The
// delay sets nothing up: time limits count the millisecond counter's own milliseconds.
void LoadDelay_Sleep() {
    constexpr std::uint32_t kLoadDelayMs = 1000;
    os::sleep_ms(kLoadDelayMs);
}

}  // namespace

void library_load() {
    PortState_Create();
    LoadDelay_Sleep();
}

void library_unload() {
    PortState_Destroy();
}

}  // namespace orvex

#if !defined(_WIN32)
// Runs at dlopen (or program start for a static link), before any export can be called.
__attribute__((constructor)) static void orvex_on_load() {
    orvex::library_load();
}
__attribute__((destructor)) static void orvex_on_unload() {
    orvex::library_unload();
}
#endif
