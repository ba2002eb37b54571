// Child processes the benchmarks start: the load probe and orvex-sim.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvex::bench {

// Starts `argv[0]` with stdout on a pipe; stdin and stderr are inherited. Returns the pid (or -1)
// and the read end of the pipe in `stdout_fd`.
pid_t spawn_with_stdout(const std::vector<std::string>& argv, int& stdout_fd);

// Reads one line (without its newline) from `fd`, waiting at most `timeout_ms` in total.
bool read_line(int fd, std::string& line, int timeout_ms);

// Waits for the child and returns its exit status, or -1 when it did not exit normally.
int wait_exit(pid_t pid);

// orvex-sim, started quiet with `options` on first use and stopped at exit.
class SimProcess {
  public:
    // The one with two drives.
    static SimProcess& instance();
    explicit SimProcess(std::vector<std::string> options) : options_(std::move(options)) {}
    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    // The slave path, or empty when the simulator could not be started.
    const std::string& slave_path();
    void stop();

  private:
    std::vector<std::string> options_;
    bool tried_ = false;
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    std::string slave_path_;
};

}  // namespace orvex::bench
