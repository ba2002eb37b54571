// Load and unload order. Load: the port state (both locks created, no port), then the load-time
// delay (one second unless ORVEX_LOAD_DELAY_MS says otherwise). Unload, in reverse: an open port
// is closed, then the locks are destroyed.
#include "library_lifecycle.h"

#include "../link/port_state.h"
#include "../link/serial_device.h"

namespace orvex {
namespace {

constexpr std::uint32_t kDefaultLoadDelayMs = 1000;
constexpr std::uint32_t kMaxLoadDelayMs = 1000;

// The load-time delay: ORVEX_LOAD_DELAY_MS when it holds only digits for 0 to 1000, else one
// second, as hosts of this library have always seen loading take. The delay sets nothing up (time
// limits count the millisecond counter's own milliseconds), so a host that does not need it sets
// the variable to 0 before loading the library.
std::uint32_t load_delay_ms() {
    char text[16];
    if (!os::environment_value("ORVEX_LOAD_DELAY_MS", text, sizeof text))
        return kDefaultLoadDelayMs;
    std::uint32_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return kDefaultLoadDelayMs;
        value = value * 10 + static_cast<std::uint32_t>(*c - '0');
        if (value > kMaxLoadDelayMs) return kDefaultLoadDelayMs;
    }
    return value;
}

void LoadDelay_Sleep() {
    const std::uint32_t delay = load_delay_ms();
    if (delay > 0) os::sleep_ms(delay);
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
