#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace orvex::cli_test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Forks and execs `argv` with stdout (or `stdout_path`) and, unless err_fd is null, stderr on new
// pipes.
pid_t Spawn(const std::vector<std::string>& argv, int* out_fd, int* err_fd,
            const std::string& stdout_path = "", int user_id = -1) {
    int out_pipe[2];
    int err_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
    if (err_fd != nullptr && pipe2(err_pipe, O_CLOEXEC) != 0) return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int file_fd =
            stdout_path.empty() ? -1 : open(stdout_path.c_str(), O_WRONLY | O_CLOEXEC);
        dup2(file_fd >= 0 ? file_fd : out_pipe[1], STDOUT_FILENO);
        if (err_fd != nullptr) dup2(err_pipe[1], STDERR_FILENO);
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        unsetenv("ORVEX_DEVICE");
        if (user_id >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(user_id)) != 0 ||
             setuid(static_cast<uid_t>(user_id)) != 0)) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    *out_fd = out_pipe[0];
    if (err_fd != nullptr) {
        close(err_pipe[1]);
        *err_fd = err_pipe[0];
    }
    return pid;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, double limit_seconds) {
    RunOptions options;
    options.limit_seconds = limit_seconds;
    return RunProgram(argv, options);
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    const auto start = Clock::now();
    int out_fd = -1;
    int err_fd = -1;
    const pid_t pid = Spawn(argv, &out_fd, &err_fd, options.stdout_path, options.user_id);
    if (pid < 0) return result;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    bool killed = false;
    bool signalled = options.signal == 0;
    while (open_fds > 0) {
        if (!killed && SecondsSince(start) > options.limit_seconds) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (!signalled && SecondsSince(start) >= options.signal_after) {
            kill(pid, options.signal);
            signalled = true;
        }
        if (poll(fds, 2, signalled ? 100 : 10) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = killed ? -1 : ExitCode(status);
    result.seconds = SecondsSince(start);
    return result;
}

Simulator::Simulator(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {ORVEX_SIM_PATH, "--quiet"};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = Spawn(argv, &stdout_fd_, nullptr);
    if (pid_ < 0) return;
    // The first line is the slave path; wait for it a few seconds at most.
    const auto start = Clock::now();
    std::string line;
    while (SecondsSince(start) < 5) {
        pollfd fd{stdout_fd_, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0) continue;
        char c;
        if (read(stdout_fd_, &c, 1) != 1) break;
        if (c == '\n') {
            path_ = line;
            break;
        }
        line += c;
    }
}

Simulator::~Simulator() {
    Stop();
}

int Simulator::Stop() {
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (stdout_fd_ >= 0) close(stdout_fd_);
    stdout_fd_ = -1;
    return ExitCode(status);
}

}  // namespace orvex::cli_test
