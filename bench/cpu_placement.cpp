#include "cpu_placement.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>

namespace orvex::bench {

namespace {

std::vector<pid_t> threads_of_this_process() {
    std::vector<pid_t> tids;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (const dirent* entry = ::readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid > 0) tids.push_back(tid);
    }
    ::closedir(dir);
    return tids;
}

bool pinning_wanted() {
    const char* setting = std::getenv("ORVEX_BENCH_PIN");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
}

}  // namespace

SameCpu::SameCpu() {
    if (!pinning_wanted()) return;
    cpu_set_t mine;
    CPU_ZERO(&mine);
    if (::sched_getaffinity(0, sizeof mine, &mine) != 0) return;
    int cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &mine)) ++cpu;
    if (cpu == CPU_SETSIZE) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    for (const pid_t tid : threads_of_this_process()) {
        Saved saved{tid, {}};
        if (::sched_getaffinity(tid, sizeof saved.cpus, &saved.cpus) != 0) continue;
        if (::sched_setaffinity(tid, sizeof one, &one) != 0) continue;
        saved_.push_back(saved);
    }
}

SameCpu::~SameCpu() {
    for (const Saved& saved : saved_)
        ::sched_setaffinity(saved.tid, sizeof saved.cpus, &saved.cpus);
}

}  // namespace orvex::bench
