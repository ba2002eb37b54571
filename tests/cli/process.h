// Child processes for the CLI tests: orvex-sim in the background, and one-shot runs of orvex or the
// example with their exit status, stdout and stderr.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvex::cli_test {

struct RunResult {
    int exit_code = -1;  // -1 when killed by a signal or after the time limit
    std::string out;
    std::string err;
    double seconds = 0;
};

struct RunOptions {
    double limit_seconds = 60;  // killed after this long
    int signal = 0;             // sent once, `signal_after` seconds after the start
    double signal_after = 0;
    std::string stdout_path;  // stdout goes to this file instead (`out` stays empty)
    int user_id = -1;  // run as this user (and group of the same number), dropping the groups
};

// Runs `argv` to completion and collects what it printed.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options);
RunResult RunProgram(const std::vector<std::string>& argv, double limit_seconds = 60);

// orvex-sim on its own pseudo-terminal, stopped with SIGTERM when the object goes.
class Simulator {
  public:
    explicit Simulator(const std::vector<std::string>& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The slave path from the first line of its stdout; empty when it did not start.
    const std::string& path() const { return path_; }
    // Stops the simulator and returns its exit status (-1 for a signal).
    int Stop();

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    std::string path_;
};

}  // namespace orvex::cli_test
