// Load and unload order. Load: the port state (lock created, no port), the exchange lock, then the
// clock calibration (about one second). Unload, in reverse: an open port is closed, then the locks
// are destroyed.
#include "library_lifecycle.h"

#include "../link/exchange.h"
#include "../link/port_state.h"

namespace orvex {

void library_load() {
    PortState_Create();
    Exchange_Create();
    TickClock_Calibrate();
}

void library_unload() {
    PortState_Destroy();
    Exchange_Destroy();
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
