// Ctrl-C and SIGTERM for commands that run until the user stops them: while an InterruptGuard
// lives, the signals set a flag instead of ending the program, so that the command can finish
// cleanly (halt a drive, print its counts). A blocking wait ends early when a signal arrives.
#pragma once

#include <time.h>

#include <csignal>

namespace orvex::cli {

class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    bool interrupted() const;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Sleeps up to `ms`; a signal ends the sleep early.
void SleepMs(int ms);

}  // namespace orvex::cli
