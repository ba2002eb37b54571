// Ctrl-C (SIGINT) and SIGTERM. The handlers, installed before the library is loaded, remember the
// signal and cancel every library wait in progress (Orvex_Cancel): the call that waits returns at
// once, the next check throws Interrupted, and orvex exits with 128 + the signal's number (130,
// 143) after halting a motion it was following. A second signal ends the program at once.
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
// can run).
void ThrowIfInterrupted();

// Sleeps up to `ms`; a signal ends the sleep early.
void SleepMs(int ms);

}  // namespace orvex::cli
