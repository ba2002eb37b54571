#include "last_result.h"

#include "orvex.h"

namespace orvex {

LastResult& last_result() {
    // Trivially constructible, so no per-thread constructor or destructor is registered.
    static thread_local LastResult record;
    return record;
}

}  // namespace orvex

extern "C" {

int Orvex_LastResult(void) {
    return static_cast<int>(orvex::last_result().outcome);
}
unsigned Orvex_LastAbortCode(void) {
    return orvex::last_result().abort_code;
}
int Orvex_LastSystemError(void) {
    return orvex::last_result().system_error;
}

}  // extern "C"
