#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "pty_responder.h"

extern char** environ;

namespace orvex::bench {

pid_t spawn_with_stdout(const std::vector<std::string>& argv, int& stdout_fd) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (error != 0) {
        ::close(out[0]);
        return -1;
    }
    stdout_fd = out[0];
    return pid;
}

bool read_line(int fd, std::string& line, int timeout_ms) {
    line.clear();
    const long deadline = monotonic_ns() + timeout_ms * 1000000L;
    for (;;) {
        const long left_ms = (deadline - monotonic_ns()) / 1000000L;
        if (left_ms <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left_ms)) <= 0) continue;
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SimProcess& SimProcess::instance() {
    static SimProcess process({"--drives", "2"});
    return process;
}

const std::string& SimProcess::slave_path() {
    if (tried_) return slave_path_;
    tried_ = true;
#ifdef ORVEX_SIM_PATH
    std::vector<std::string> argv{ORVEX_SIM_PATH, "--quiet"};
    argv.insert(argv.end(), options_.begin(), options_.end());
    pid_ = spawn_with_stdout(argv, stdout_fd_);
    if (pid_ > 0 && !read_line(stdout_fd_, slave_path_, 5000)) slave_path_.clear();
#endif
    return slave_path_;
}

void SimProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        wait_exit(pid_);
        pid_ = -1;
    }
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    stdout_fd_ = -1;
}

}  // namespace orvex::bench
