// orvex-sim as a child process for tests: started with the given options, its pseudo-terminal path
// read from its first line of output, stopped with SIGTERM when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvex::test {

class SimProcess {
  public:
    SimProcess(const std::string& binary, const std::vector<std::string>& options);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& path() const { return path_; }
    // Stops the simulator and returns its exit status (-1 if it did not exit normally).
    int stop();

  private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace orvex::test
