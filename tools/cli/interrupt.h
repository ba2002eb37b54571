// Ctrl-C (SIGINT) and SIGTERM. The handlers, installed before the library is loaded, remember the
// signal; the next check throws Interrupted, and orvex exits with 128 + the signal's number (130,
// 143) after halting a motion it was following.
//
// A library call that waits for an answer does not see the signal. So that the signal takes effect
// at once all the same, a watchdog thread waits for it: when the program has not taken it within
// kInterruptGraceMs, the watchdog ends the program with the signal's status. Code that handles the
// signal itself, however long the library call it is in takes (halting a followed motion first,
// ending a monitor loop and printing what it has), holds a HandlesInterrupts while it runs.
#pragma once

#include <exception>

namespace orvex::cli {

constexpr int kInterruptGraceMs = 100;

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

// While one exists, a signal is left to the program however long it takes to notice it.
class HandlesInterrupts {
  public:
    HandlesInterrupts();
    ~HandlesInterrupts();
    HandlesInterrupts(const HandlesInterrupts&) = delete;
    HandlesInterrupts& operator=(const HandlesInterrupts&) = delete;
};

// When the watchdog is ending the program, the program says nothing more: this waits for the end.
// Called before anything is reported at the end of the program.
void HoldIfEnding();

// Sleeps up to `ms`; a signal ends the sleep early.
void SleepMs(int ms);

}  // namespace orvex::cli
