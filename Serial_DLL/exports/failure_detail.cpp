// Why the calling thread's last call failed, without changing any result.
#include "../link/last_result.h"
#include "orvex.h"

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
