// Cancelling waits. Orvex_Cancel moves a process-wide generation on; a wait started before that
// sees the change and ends with kCancelled. A thread's outermost call opens a CancelScope, and
// every wait inside it (each exchange of a procedure, each pause between polls) counts from the
// generation the scope began in: a cancel during a procedure ends the procedure, not only its
// current exchange, while calls that start after the cancel are not affected.
#pragma once

#include <cstdint>

namespace orvex {

// Ends every wait in progress. Lock-free: safe in a signal handler or a console control handler.
void cancel_waits();

// The generation this thread's waits count from: that of its outermost CancelScope, or the
// current one outside any scope.
std::uint32_t wait_generation();

// True once a cancel has come after `generation`.
bool cancelled_since(std::uint32_t generation);

class CancelScope {
  public:
    CancelScope();
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    bool outermost_;
};

// The longest a wait sleeps or blocks before it looks for a cancel again.
constexpr std::uint32_t kCancelCheckMs = 10;

}  // namespace orvex
