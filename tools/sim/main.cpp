// orvex-sim: a virtual serial-to-CAN adapter with simulated drives, on a pseudo-terminal.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "line_model.h"
#include "object_dictionary.h"
#include "sdo_server.h"
#include "sim_options.h"

namespace {

using orvex::sim::BusServer;
using orvex::sim::Frame;
using orvex::sim::FrameReader;
using orvex::sim::SimOptions;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

using Clock = std::chrono::steady_clock;

const char* ShortNmtName(orvex::sim::NmtState state) {
    switch (state) {
        case orvex::sim::NmtState::kOperational:
            return "op";
        case orvex::sim::NmtState::kStopped:
            return "stopped";
        default:
            return "pre-op";
    }
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) return "";
    return std::string(target, static_cast<std::size_t>(length));
}

// The process id of another orvex-sim holding `terminal` open, or 0. A link whose terminal has
// gone, or now belongs to some other program, is stale.
pid_t SimulatorServing(const std::string& terminal) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        FILE* comm = std::fopen((base + "/comm").c_str(), "r");
        if (comm == nullptr) continue;
        char name[64] = {};
        const bool named = std::fgets(name, sizeof name, comm) != nullptr;
        std::fclose(comm);
        if (!named || std::strcmp(name, "orvex-sim\n") != 0) continue;
        DIR* fds = opendir((base + "/fd").c_str());
        if (fds == nullptr) continue;
        while (dirent* fd = readdir(fds)) {
            if (fd->d_name[0] != '.' && LinkTarget(base + "/fd/" + fd->d_name) == terminal) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
        if (found != 0) break;
    }
    closedir(proc);
    return found;
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

class Simulator {
  public:
    explicit Simulator(const SimOptions& options)
        : options_(options),
          server_(options.server),
          line_(options.line),
          garbage_random_(0x5EED) {}
    ~Simulator() { Close(); }

    bool Open(std::string* error);
    void Run();

  private:
    void Close();
    double Now() const { return SecondsBetween(start_, Clock::now()); }
    void AdvanceDrives(double now);
    // When `frame`, handed to the bus at `ready`, is through it.
    double CarryOnBus(const Frame& frame, double ready) {
        return line_.CarryOnBus(orvex::sim::CobId(frame), frame.data() + 2,
                                orvex::sim::DataLength(frame), ready);
    }
    void ReadInput();
    void TakeRequests(double now);
    void Schedule(const Frame& answer, double ready, bool counted);
    void SendDue(double now);
    bool AdapterBufferFull() const;
    void ClearExclusiveAfterClose();
    void Trace(const char* direction, const uint8_t* bytes, std::size_t count);
    void ShowStatus();
    double WaitSeconds(double now) const;

    SimOptions options_;
    BusServer server_;
    FrameReader reader_;
    std::size_t bytes_since_frame_ = 0;
    orvex::sim::LineModel line_;
    std::mt19937 garbage_random_;
    uint64_t answers_ = 0;

    int master_fd_ = -1;
    int slave_fd_ = -1;
    int inotify_fd_ = -1;
    std::string slave_path_;
    bool link_made_ = false;
    FILE* trace_ = nullptr;
    bool display_ = false;
    int display_lines_ = 0;
    Clock::time_point start_ = Clock::now();
    double last_advance_ = 0.0;  // seconds from start_
    Clock::time_point next_display_ = start_;
};

bool Simulator::Open(std::string* error) {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_fd_, name, sizeof name) != 0) {
        *error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slave_path_ = name;

    // Holding a slave descriptor keeps the master from reporting hang-up between clients, and
    // raw mode here stops the line discipline echoing answers back as requests.
    slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0) {
        *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(slave_fd_, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(slave_fd_, TCSANOW, &tio);
    }
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);

    // A client that takes the terminal exclusively leaves that mark behind when it closes (the
    // terminal lives on with the master), which would lock out its next open; watch for closes.
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ >= 0) inotify_add_watch(inotify_fd_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);

    if (!options_.link_path.empty()) {
        struct stat st {};
        if (lstat(options_.link_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                *error = "--link " + options_.link_path + " exists and is not a symlink";
                return false;
            }
            const std::string old_target = LinkTarget(options_.link_path);
            const pid_t owner = old_target.empty() ? 0 : SimulatorServing(old_target);
            if (owner != 0 && !options_.force_link) {
                *error = "--link " + options_.link_path + " leads to " + old_target +
                         ", which orvex-sim (process " + std::to_string(owner) +
                         ") still serves; stop it, choose another path, or add --force";
                return false;
            }
            unlink(options_.link_path.c_str());
        }
        if (symlink(name, options_.link_path.c_str()) != 0) {
            *error = "cannot create link " + options_.link_path + ": " + std::strerror(errno);
            return false;
        }
        link_made_ = true;
    }

    if (!options_.trace_path.empty()) {
        trace_ = std::fopen(options_.trace_path.c_str(), "w");
        if (trace_ == nullptr) {
            *error = "cannot open trace " + options_.trace_path + ": " + std::strerror(errno);
            return false;
        }
    }
    display_ = !options_.quiet && isatty(STDERR_FILENO);
    return true;
}

void Simulator::Close() {
    // Only our own link goes: another simulator may have taken the path over with --force.
    if (link_made_ && LinkTarget(options_.link_path) == slave_path_) {
        unlink(options_.link_path.c_str());
    }
    link_made_ = false;
    if (trace_ != nullptr) std::fclose(trace_);
    trace_ = nullptr;
    for (int* fd : {&inotify_fd_, &slave_fd_, &master_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Simulator::Trace(const char* direction, const uint8_t* bytes, std::size_t count) {
    if (trace_ == nullptr) return;
    const double t = SecondsBetween(start_, Clock::now());
    std::fprintf(trace_, "%.6f %s", t, direction);
    for (std::size_t i = 0; i < count; ++i) std::fprintf(trace_, " %02X", bytes[i]);
    std::fputc('\n', trace_);
    if (std::fflush(trace_) != 0 || std::ferror(trace_)) {
        // Said once; the drives go on answering without a trace.
        std::fprintf(stderr, "orvex-sim: cannot write trace %s: %s; tracing stops\n",
                     options_.trace_path.c_str(), std::strerror(errno));
        std::fclose(trace_);
        trace_ = nullptr;
    }
}

void Simulator::AdvanceDrives(double now) {
    const std::vector<Frame> unasked = server_.Advance(now - last_advance_);
    last_advance_ = now;
    for (const Frame& frame : unasked) {
        Schedule(frame, CarryOnBus(frame, now), false);
    }
}

// Hands one frame from the bus to the adapter's serial side, with the faults asked for.
void Simulator::Schedule(const Frame& frame, double ready, bool counted) {
    if (counted) {
        ++answers_;
        if (options_.garbage_every > 0 &&
            answers_ % static_cast<uint64_t>(options_.garbage_every) == 0) {
            std::uniform_int_distribution<int> length(1, 11);
            std::uniform_int_distribution<int> byte(0, 255);
            std::vector<uint8_t> garbage(static_cast<std::size_t>(length(garbage_random_)));
            for (uint8_t& b : garbage) b = static_cast<uint8_t>(byte(garbage_random_));
            Trace("tx garbage", garbage.data(), garbage.size());
            line_.ToHost(garbage.data(), garbage.size(), ready);
        }
        if (options_.drop_every > 0 && answers_ % static_cast<uint64_t>(options_.drop_every) == 0) {
            Trace("drop", frame.data(), frame.size());
            return;
        }
    }
    if (AdapterBufferFull()) {
        Trace("overflow", frame.data(), frame.size());
        return;
    }
    Trace("tx", frame.data(), frame.size());
    line_.ToHost(frame.data(), frame.size(), ready);
}

// The adapter holds a bounded queue of frames for the host: what the bus sends beyond the
// line's rate (streaming PDOs faster than the baud rate carries them) waits there, and once it
// is full the adapter loses what comes, as a real one does.
bool Simulator::AdapterBufferFull() const {
    constexpr std::size_t kAdapterBufferBytes = 4096;
    return line_.bytes_to_host() + orvex::sim::kFrameSize > kAdapterBufferBytes;
}

void Simulator::SendDue(double now) {
    const std::vector<uint8_t> bytes = line_.TakeToHost(now);
    if (bytes.empty()) return;
    // A full buffer means nobody is reading the terminal; the bytes are lost as on a line.
    if (write(master_fd_, bytes.data(), bytes.size()) < 0 && errno != EAGAIN) return;
}

void Simulator::ReadInput() {
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t count = read(master_fd_, buffer, sizeof buffer);
        if (count <= 0) return;  // EAGAIN, or EIO while no client holds the terminal
        line_.FromHost(buffer, static_cast<std::size_t>(count), Now());
    }
}

void Simulator::TakeRequests(double now) {
    const std::vector<uint8_t> bytes = line_.TakeFromHost(now);
    if (bytes.empty()) return;
    AdvanceDrives(now);
    auto handle = [&](const Frame& frame) {
        bytes_since_frame_ = 0;
        Trace("rx", frame.data(), frame.size());
        // The request crosses the bus, the drive takes its time, then each answer crosses back.
        const double delivered = CarryOnBus(frame, now);
        const double answered = delivered + options_.delay_ms / 1000.0;
        for (const Frame& answer : server_.Handle(frame)) {
            Schedule(answer, CarryOnBus(answer, answered), orvex::sim::IsSdoAnswer(answer));
        }
    };
    Frame frame;
    for (const uint8_t byte : bytes) {
        ++bytes_since_frame_;
        if (reader_.Push(byte, &frame)) handle(frame);
    }
    // What came is all there is for now: a frame held to look behind it is decided.
    while (reader_.Flush(&frame)) handle(frame);
}

void Simulator::ClearExclusiveAfterClose() {
    inotify_event events[16];
    bool closed = false;
    while (read(inotify_fd_, events, sizeof events) > 0) closed = true;
    if (closed) ioctl(slave_fd_, TIOCNXCL);
}

// The display belongs to the terminal's foreground: started with '&' (or stopped and put in the
// background), orvex-sim must not draw over the shell and what is typed there.
bool OwnsTerminalForeground() {
    const pid_t foreground = tcgetpgrp(STDERR_FILENO);
    return foreground != -1 && foreground == getpgrp();
}

void Simulator::ShowStatus() {
    if (!OwnsTerminalForeground()) {
        display_lines_ = 0;  // back in the foreground, the lines start afresh below
        return;
    }
    std::string text;
    if (display_lines_ > 0) text += "\033[" + std::to_string(display_lines_) + "A";
    char line[200];
    for (int node = 1; node <= server_.drive_count(); ++node) {
        const orvex::sim::Drive& d = server_.drive(node);
        char error[24] = "";
        if (d.error_code() != 0) {
            std::snprintf(error, sizeof error, "  error 0x%04X",
                          static_cast<unsigned>(d.error_code()));
        }
        std::snprintf(line, sizeof line,
                      "\033[2Knode %3d  %-18s  mode %3d  pos %11.0f  vel %9.0f  sw 0x%04X  %-7s"
                      "%s\n",
                      node, orvex::sim::StateName(d.state()), d.mode(), d.position(), d.velocity(),
                      d.statusword(), ShortNmtName(d.nmt_state()), error);
        text += line;
    }
    display_lines_ = server_.drive_count();
    if (write(STDERR_FILENO, text.data(), text.size()) < 0) display_ = false;
}

double Simulator::WaitSeconds(double now) const {
    double wait = 1.0;
    if (server_.any_moving()) wait = 0.001;  // the motion tick
    const double heartbeat = server_.SecondsToNextHeartbeat();
    if (heartbeat >= 0.0) wait = std::min(wait, heartbeat);
    const double pdo = server_.SecondsToNextPdo();
    if (pdo >= 0.0) wait = std::min(wait, pdo);
    const double timed = server_.SecondsToNextTimedEvent();
    if (timed >= 0.0) wait = std::min(wait, timed);
    // Paced request bytes matter once a whole frame can be in, not at each byte.
    // The reader holds at most the bytes since its last frame, so it cannot decide on a frame
    // before 12 minus those have come.
    const std::size_t wanted = bytes_since_frame_ < orvex::sim::kFrameSize
                                   ? orvex::sim::kFrameSize - bytes_since_frame_
                                   : 1;
    wait = std::min(wait, line_.NextEvent(wanted) - now);
    if (display_) {
        wait = std::min(wait, std::chrono::duration<double>(next_display_ - Clock::now()).count());
    }
    return std::max(0.0, wait);
}

void Simulator::Run() {
    // What the drives send at power-up is on the line before anyone can know where it is.
    AdvanceDrives(Now());
    SendDue(Now());
    std::printf("%s\n", slave_path_.c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr,
                     "orvex-sim: cannot write the terminal's path to stdout: %s; serving %s\n",
                     std::strerror(errno), slave_path_.c_str());
    }

    sigset_t blocked, original;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &original);

    while (!g_stop) {
        const double now = Now();
        TakeRequests(now);
        // Also collects what the requests caused: emergencies, boot-ups after an NMT reset.
        AdvanceDrives(now);
        SendDue(now);
        if (display_ && Clock::now() >= next_display_) {
            ShowStatus();
            next_display_ = Clock::now() + std::chrono::milliseconds(200);
        }

        pollfd fds[2] = {{master_fd_, POLLIN, 0}, {inotify_fd_, POLLIN, 0}};
        const double wait = WaitSeconds(now);
        const auto wait_ns = static_cast<long long>(wait * 1e9);
        const timespec timeout{static_cast<time_t>(wait_ns / 1000000000LL),
                               static_cast<long>(wait_ns % 1000000000LL)};
        const int ready = ppoll(fds, inotify_fd_ >= 0 ? 2 : 1, &timeout, &original);
        if (ready <= 0) continue;  // time-out, or a signal that ends the loop
        if ((fds[0].revents & POLLIN) != 0) ReadInput();
        if (inotify_fd_ >= 0 && (fds[1].revents & POLLIN) != 0) ClearExclusiveAfterClose();
    }
    if (display_ && display_lines_ > 0 && OwnsTerminalForeground()) std::fputc('\n', stderr);
}

}  // namespace

// Writes the drive's EDS to `path` ("-": stdout); the exit status.
static int WriteEds(const std::string& program, const std::string& path) {
    const std::string eds = orvex::sim::DriveEds();
    FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program.c_str(), path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const bool written = std::fwrite(eds.data(), 1, eds.size(), file) == eds.size();
    const bool flushed = std::fflush(file) == 0 && !std::ferror(file);
    const int saved = errno;
    if (file != stdout && std::fclose(file) != 0 && written && flushed) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program.c_str(), path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!written || !flushed) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program.c_str(), path.c_str(),
                     std::strerror(saved));
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    // The line model wakes at exact times (a frame's last byte in, a latency timer running out):
    // the default 50 us of timer slack would add to every one of them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    SimOptions options;
    const std::string error = orvex::sim::ParseOptions(argc, argv, &options);
    const std::string program = "orvex-sim";
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), error.c_str(),
                     program.c_str());
        return 2;
    }
    if (options.version) {
        std::printf("%s %s\n", program.c_str(), ORVEX_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    if (!options.eds_path.empty()) return WriteEds(program, options.eds_path);
    if (options.help) {
        std::fputs(orvex::sim::UsageText(program).c_str(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "%s: cannot write the help: %s\n", program.c_str(),
                         std::strerror(errno));
            return 1;
        }
        return 0;
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Simulator simulator(options);
    std::string open_error;
    if (!simulator.Open(&open_error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), open_error.c_str());
        return 1;
    }
    simulator.Run();
    return 0;
}
