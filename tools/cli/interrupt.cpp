#include "interrupt.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "library.h"

namespace orvex::cli {
namespace {

// Shared by the handler and the program: lock-free atomics are safe in both.
std::atomic<int> g_signal{0};    // the signal not yet taken by the program
std::atomic<int> g_received{0};  // signals received since the start
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnSignal(int signal) {
    if (g_received.fetch_add(1) > 0) {
        // The second one: the user will not wait for the first to be handled (a halt, a summary).
        static const char kLine[] = "orvex: interrupted\n";
        const ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
        (void)ignored;
        _exit(128 + signal);
    }
    const int saved_errno = errno;
    g_signal = signal;
    CancelLibraryWaits();
    errno = saved_errno;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
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
    return g_signal.load();
}

void ThrowIfInterrupted() {
    const int signal = g_signal.exchange(0);
    if (signal == 0) return;
    throw Interrupted(signal);
}

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

}  // namespace orvex::cli
