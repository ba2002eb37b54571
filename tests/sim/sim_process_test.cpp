// The built orvex-sim program on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "sim_test_util.h"

namespace orvex::sim {
namespace {

using testing::Hex;
using testing::Sdo;

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            static std::string binary = ORVEX_SIM_BINARY;
            argv.push_back(binary.data());
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_fd_ >= 0) close(stdout_fd_);
    }

    // The first line the program prints, read with a deadline.
    std::string FirstLine() {
        std::string line;
        char c;
        while (WaitReadable(stdout_fd_, 5000) && read(stdout_fd_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Exit status after SIGTERM, or -1.
    int Terminate() {
        kill(pid_, SIGTERM);
        return Wait();
    }
    int Wait() {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static bool WaitReadable(int fd, int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    bool reaped_ = false;
};

int OpenRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

std::string Exchange(int fd, const Frame& request) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return "";
    uint8_t answer[kFrameSize];
    std::size_t got = 0;
    while (got < kFrameSize && SimProcess::WaitReadable(fd, 2000)) {
        const ssize_t n = read(fd, answer + got, kFrameSize - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return Hex(answer, got);
}

TEST(SimProcess, AnswersOnItsTerminalAcrossReopensAndExitsCleanly) {
    const std::string link = "/tmp/orvex-sim-test-" + std::to_string(getpid());
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);  // stale link to be replaced
    SimProcess sim({"--quiet", "--link", link});
    const std::string slave = sim.FirstLine();
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;

    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    for (int round = 0; round < 2; ++round) {  // a client closing must not break the next one
        const int fd = OpenRaw(link);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(Exchange(fd, Sdo(1, 0x40, 0x6041, 0)), "05 81 4B 41 60 00 40 02 00 00 0D 0A");
        close(fd);
    }

    EXPECT_EQ(sim.Terminate(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SimProcess, RejectsBadOptionsWithStatusTwo) {
    for (const char* bad : {"--drives=0", "--bogus", "--delay-ms"}) {
        SimProcess sim({bad});
        EXPECT_EQ(sim.Wait(), 2) << bad;
    }
}

}  // namespace
}  // namespace orvex::sim
