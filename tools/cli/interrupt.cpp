#include "interrupt.h"

#include <time.h>

#include <csignal>

namespace orvex::cli {
namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void RememberSignal(int signal) {
    g_signal = signal;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = RememberSignal;
    sigemptyset(&action.sa_mask);
    // Reads and writes of the port go on; sleeps and waits end early and look at the flag.
    action.sa_flags = SA_RESTART;
    // A shell starts background jobs with SIGINT ignored; Ctrl-C is not meant for them.
    struct sigaction before {};
    if (sigaction(SIGINT, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
        sigaction(SIGINT, &action, nullptr);
    }
    sigaction(SIGTERM, &action, nullptr);
}

int PendingSignal() {
    return g_signal;
}

void ThrowIfInterrupted() {
    const int signal = g_signal;
    if (signal == 0) return;
    g_signal = 0;
    throw Interrupted(signal);
}

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

}  // namespace orvex::cli
