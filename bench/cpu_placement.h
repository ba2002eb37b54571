// Where the benchmark's threads run while a round trip is timed. On a machine with few CPUs a
// pseudo-terminal round trip takes one of two very different paths: with the client and its
// responder on the same CPU each wake-up is a plain switch (about 9 us a round trip on the 2-CPU
// virtual machine the figures come from); with them on different CPUs every wake-up has to rouse
// another, halted, virtual CPU (40 to 90 us). Left to the scheduler, the two sides of a comparison
// can land on different paths for a whole run, and the ratio then measures the placement, not the
// client. Holding every thread of the process on one CPU gives both sides the same path.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <vector>

namespace orvex::bench {

// Moves every thread of this process onto one CPU (the lowest the calling thread may use) for its
// lifetime and restores each thread's own CPU set afterwards. Threads started meanwhile keep the
// pinned set. Does nothing when ORVEX_BENCH_PIN=0 or the CPU sets cannot be read or changed.
class SameCpu {
  public:
    SameCpu();
    ~SameCpu();
    SameCpu(const SameCpu&) = delete;
    SameCpu& operator=(const SameCpu&) = delete;

  private:
    struct Saved {
        pid_t tid;
        cpu_set_t cpus;
    };
    std::vector<Saved> saved_;
};

}  // namespace orvex::bench
