#include "last_result.h"

namespace orvex {

LastResult& last_result() {
    // Trivially constructible, so no per-thread constructor or destructor is registered.
    static thread_local LastResult record;
    return record;
}

}  // namespace orvex
