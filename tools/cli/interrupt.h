// Ctrl-C (SIGINT) and SIGTERM. The handlers, installed before the library is loaded, only
// remember the signal: a library call that is waiting for an answer runs to its end, then the
// next check throws Interrupted, and orvex exits with 128 + the signal's number (130, 143) after
// halting a motion it was following.
//
// Commands that run until the user stops them (monitor, watch) look at PendingSignal() to end
// their loop; orvex then still exits with the signal's status.
#pragma once

#include <exception>

namespace orvex::cli {

class Interrupted : public std::exception {
  public:
    explicit Interrupted(int signal) : signal_(signal) {}
    const char* what() const noexcept override { return "interrupted"; }
    int signal() const { return signal_; }
    int exit_status() const { return 128 + signal_; }

  private:
    int signal_;
};

void InstallInterruptHandlers();
// The signal that arrived since the last check, or 0.
int PendingSignal();
// Throws Interrupted for a signal that arrived (and forgets it, so that the halt that follows
// can run; a second Ctrl-C interrupts that too).
void ThrowIfInterrupted();

// Sleeps up to `ms`; a signal ends the sleep early.
void SleepMs(int ms);

}  // namespace orvex::cli
