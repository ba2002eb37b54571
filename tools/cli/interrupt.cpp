#include "interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

namespace orvex::cli {
namespace {

// Shared by the handler, the watchdog thread and the program: a lock-free atomic is safe in all
// three.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
std::atomic<int> g_handlers{0};     // HandlesInterrupts alive
std::atomic<bool> g_ending{false};  // the watchdog is ending the program
int g_wake[2] = {-1, -1};           // the handler wakes the watchdog through this pipe

extern "C" void RememberSignal(int signal) {
    g_signal = signal;
    const char byte = static_cast<char>(signal);
    if (g_wake[1] >= 0) {
        const ssize_t ignored = write(g_wake[1], &byte, 1);
        (void)ignored;
    }
}

// Waits for signals; one the program has not taken within the grace period, while nothing
// handles it, ends the program with the signal's status.
void Watchdog() {
    for (;;) {
        char byte = 0;
        if (read(g_wake[0], &byte, 1) != 1) return;
        timespec grace{0, kInterruptGraceMs * 1000000L};
        nanosleep(&grace, nullptr);
        if (g_handlers.load() > 0) continue;
        // Taken from the program, so that only one of the two reports it.
        const int signal = g_signal.exchange(0);
        if (signal == 0) continue;
        g_ending = true;
        // The program is inside a library call that waits for an answer: nothing it does could
        // matter more than ending now. What it printed so far goes out first.
        std::fflush(stdout);
        static const char kLine[] = "orvex: interrupted\n";
        const ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
        (void)ignored;
        _exit(128 + signal);
    }
}

}  // namespace

void InstallInterruptHandlers() {
    if (pipe(g_wake) == 0) {
        fcntl(g_wake[0], F_SETFD, FD_CLOEXEC);
        fcntl(g_wake[1], F_SETFD, FD_CLOEXEC);
        fcntl(g_wake[1], F_SETFL, O_NONBLOCK);
        std::thread(Watchdog).detach();
    }
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
    return g_signal.load();
}

void ThrowIfInterrupted() {
    const int signal = g_signal.exchange(0);
    if (signal == 0) return;
    throw Interrupted(signal);
}

void HoldIfEnding() {
    while (g_ending.load()) pause();
}

HandlesInterrupts::HandlesInterrupts() {
    ++g_handlers;
}
HandlesInterrupts::~HandlesInterrupts() {
    --g_handlers;
}

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

}  // namespace orvex::cli
