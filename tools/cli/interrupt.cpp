#include "interrupt.h"

namespace orvex::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool InterruptGuard::interrupted() const {
    return g_interrupted != 0;
}

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

}  // namespace orvex::cli
