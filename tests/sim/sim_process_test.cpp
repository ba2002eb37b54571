// The built orvex-sim program on a real pseudo-terminal.
#include "sim_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim_test_util.h"
#include "test_frames.h"

namespace orvex::sim {
namespace {

using testing::Hex;
using testing::Sdo;

class SimProcess {
  public:
    // `stdout_path`, when given, takes the program's stdout instead of the pipe FirstLine reads.
    explicit SimProcess(std::vector<std::string> args, const char* stdout_path = nullptr) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(stdout_path ? open(stdout_path, O_WRONLY) : out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            close(err[0]);
            close(err[1]);
            std::vector<char*> argv;
            static std::string binary = ORVEX_SIM_BINARY;
            argv.push_back(binary.data());
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        stdout_fd_ = out[0];
        stderr_fd_ = err[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_fd_ >= 0) close(stdout_fd_);
        if (stderr_fd_ >= 0) close(stderr_fd_);
    }

    // What the program wrote on stderr until it exited (call after Wait or Terminate).
    std::string Stderr() {
        std::string text;
        char buffer[512];
        ssize_t n;
        while (WaitReadable(stderr_fd_, 2000) &&
               (n = read(stderr_fd_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    // What the program wrote on stdout until it exited (call after Wait).
    std::string Stdout() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while (WaitReadable(stdout_fd_, 2000) &&
               (n = read(stdout_fd_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
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
    int stderr_fd_ = -1;
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

// The next frame as hex (what came of it when nothing more comes for two seconds; empty if none).
std::string ReadFrame(int fd) {
    Frame frame{};
    std::size_t got = 0;
    while (got < kFrameSize && SimProcess::WaitReadable(fd, 2000)) {
        const ssize_t n = read(fd, frame.data() + got, kFrameSize - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return Hex(frame.data(), got);
}

// Frames as they arrive, until `last` (included) or until nothing comes for two seconds.
std::vector<std::string> FramesUntil(int fd, const std::string& last) {
    std::vector<std::string> frames;
    while (frames.empty() || frames.back() != last) {
        std::string frame = ReadFrame(fd);
        if (frame.empty()) break;
        frames.push_back(std::move(frame));
    }
    return frames;
}

// The answer to `request`, past the boot-ups and heartbeats (0x700+node) the adapter forwards.
std::string Exchange(int fd, const Frame& request) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return "";
    std::string answer;
    do {
        answer = ReadFrame(fd);
    } while (answer.rfind("07 ", 0) == 0);
    return answer;
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
    for (const char* bad : {"--drives=0",          "--bogus",
                            "--delay-ms",          "--fault-node=3",
                            "--fault-node=1:",     "--fault-node=1:0x10000",
                            "--fault-node=1:0",    "--fault-node=1:-5",
                            "--baud=-1",           "--latency-ms=256",
                            "--can-kbit=2000",     "--heartbeat-ms=x",
                            "--force=1",           "--acks=1",
                            "--no-acks=0",         "--fault-at-ms=1",
                            "--fault-at-ms=3:100", "--fault-at-ms=1:100:200",
                            "--silence-at-ms=1:x", "--silence-at-ms=2:500:400",
                            "--silence-at-ms=0:5", "--version=1",
                            "--write-eds"}) {
        SimProcess sim({bad});
        EXPECT_EQ(sim.Wait(), 2) << bad;
    }
}

TEST(SimProcess, VersionAndEdsAreWrittenAndNothingIsServed) {
    SimProcess version({"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.Stdout(), std::string("orvex-sim ") + ORVEX_VERSION + "\n");

    SimProcess eds({"--write-eds", "-", "--drives", "3"});
    EXPECT_EQ(eds.Wait(), 0);
    const std::string text = eds.Stdout();
    EXPECT_EQ(text.rfind("[FileInfo]\n", 0), 0u) << text.substr(0, 200);
    // Its own dictionary: a record with a node-dependent serial, strings, a DOMAIN, the drive.
    for (const char* part :
         {"[1018]\nParameterName=identity object\nObjectType=0x9\nSubNumber=5\n",
          "[1018sub4]\nParameterName=", "DefaultValue=$NODEID+0x20240000\n",
          "[1008]\nParameterName=manufacturer device name\nObjectType=0x7\nDataType=0x0009\n"
          "AccessType=ro\nDefaultValue=orvex-sim CiA 402 servo drive\n",
          "[2010]\nParameterName=data (DOMAIN)\nObjectType=0x7\nDataType=0x000F\nAccessType=rw\n"
          "PDOMapping=0\n",
          "[6041]\nParameterName=statusword\nObjectType=0x7\nDataType=0x0006\nAccessType=ro\n"
          "DefaultValue=0x240\n",
          "[607A]\n", "DataType=0x0004\nAccessType=rw\nDefaultValue=0\n", "[6098]\n",
          "DataType=0x0002\nAccessType=rw\nDefaultValue=17\n", "NrOfTXPDO=0\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }

    SimProcess unwritable({"--write-eds", "/nonexistent/orvex-sim.eds"});
    EXPECT_EQ(unwritable.Wait(), 1);
    EXPECT_NE(unwritable.Stderr().find("cannot write /nonexistent/orvex-sim.eds"),
              std::string::npos);
    SimProcess full({"--write-eds", "/dev/full"});
    EXPECT_EQ(full.Wait(), 1);
    EXPECT_NE(full.Stderr().find("cannot write /dev/full"), std::string::npos);
}

// What orvex-sim writes on a terminal within a second: run in the terminal's foreground, or in a
// process group of its own behind it, as '&' in an interactive shell starts it.
std::string OnATerminal(bool foreground) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        static std::string binary = ORVEX_SIM_BINARY;
        static std::string drives = "--drives=1";
        char* argv[] = {binary.data(), drives.data(), nullptr};
        if (foreground) {
            execv(binary.c_str(), argv);
            _exit(127);
        }
        const pid_t job = fork();  // this process plays the shell that keeps the foreground
        if (job == 0) {
            setpgid(0, 0);
            execv(binary.c_str(), argv);
            _exit(127);
        }
        usleep(1500 * 1000);
        kill(job, SIGTERM);
        waitpid(job, nullptr, 0);
        _exit(0);
    }
    std::string text;
    if (pid < 0) return text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char buffer[512];
    while (std::chrono::steady_clock::now() < until) {
        if (!SimProcess::WaitReadable(master, 100)) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(master);
    return text;
}

TEST(SimProcess, TheLiveStatusIsDrawnOnlyFromTheTerminalsForeground) {
    const std::string foreground = OnATerminal(true);
    EXPECT_NE(foreground.find("/dev/pts/"), std::string::npos) << foreground;
    EXPECT_NE(foreground.find("\033[2Knode   1"), std::string::npos) << foreground;
    const std::string background = OnATerminal(false);
    EXPECT_NE(background.find("/dev/pts/"), std::string::npos) << background;
    EXPECT_EQ(background.find("\033["), std::string::npos) << background;
    EXPECT_EQ(background.find("node   1"), std::string::npos) << background;
}

// Reads whatever arrives within `ms`.
std::string Listen(int fd, int ms) {
    uint8_t buffer[256];
    std::string text;
    while (SimProcess::WaitReadable(fd, ms)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text += (text.empty() ? "" : " ") + Hex(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

TEST(SimProcess, ALiveLinkIsNotTakenOverWithoutForce) {
    const std::string link = "/tmp/orvex-sim-live-" + std::to_string(getpid());
    SimProcess first({"--quiet", "--link", link});
    const std::string first_path = first.FirstLine();
    ASSERT_FALSE(first_path.empty());

    SimProcess second({"--quiet", "--link", link});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Stderr().find("--force"), std::string::npos);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(first_path, target) << "the refused simulator left the link alone";

    {
        SimProcess forced({"--quiet", "--force", "--link", link});
        const std::string forced_path = forced.FirstLine();
        std::fill(std::begin(target), std::end(target), '\0');
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(forced_path, target);
        EXPECT_EQ(forced.Terminate(), 0);
    }
    // The link went with the simulator that owned it; the first one still serves its terminal.
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    const int fd = OpenRaw(first_path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, Sdo(1, 0x40, 0x6041, 0)), "05 81 4B 41 60 00 40 02 00 00 0D 0A");
    close(fd);
    EXPECT_EQ(first.Terminate(), 0);
}

TEST(SimProcess, AFullTraceOrStdoutIsReportedOnceAndServingGoesOn) {
    // stdout stays our pipe, so the path is readable; the trace goes to a full device.
    SimProcess sim({"--quiet", "--trace", "/dev/full"});
    const std::string path = sim.FirstLine();
    const int fd = OpenRaw(path);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange(fd, Sdo(1, 0x40, 0x6041, 0)), "05 81 4B 41 60 00 40 02 00 00 0D 0A");
    }
    close(fd);
    EXPECT_EQ(sim.Terminate(), 0);
    const std::string errors = sim.Stderr();
    EXPECT_NE(errors.find("cannot write trace /dev/full"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("trace", errors.find("trace") + 20), std::string::npos) << "said once";
}

TEST(SimProcess, AFullStdoutIsReportedAndTheLinkStillServes) {
    const std::string link = "/tmp/orvex-sim-full-" + std::to_string(getpid());
    SimProcess sim({"--quiet", "--link", link}, "/dev/full");
    struct stat st {};
    for (int i = 0; i < 200 && lstat(link.c_str(), &st) != 0; ++i) usleep(10000);
    const int fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, Sdo(2, 0x40, 0x6041, 0)), "05 82 4B 41 60 00 40 02 00 00 0D 0A");
    close(fd);
    EXPECT_EQ(sim.Terminate(), 0);
    EXPECT_NE(sim.Stderr().find("cannot write the terminal's path to stdout"), std::string::npos);
}

TEST(SimProcess, HelpToAFullDeviceFails) {
    SimProcess sim({"--help"}, "/dev/full");
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_NE(sim.Stderr().find("cannot write the help"), std::string::npos);
}

TEST(SimProcess, AStrictDriveInFaultSendsItsEmergencyAfterItsBootUp) {
    SimProcess sim({"--quiet", "--strict-402", "--acks", "--fault-node", "2:0x2310"});
    const int fd = OpenRaw(sim.FirstLine());
    ASSERT_GE(fd, 0);
    tcflush(fd, TCIFLUSH);  // the emergency sent at power-up, before anyone listened
    const Frame reset_node_2 = MakeFrame(0x000, {0x81, 0x02, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(write(fd, reset_node_2.data(), reset_node_2.size()), 12);
    EXPECT_EQ(Listen(fd, 300),
              "07 02 00 00 00 00 00 00 00 00 0D 0A 00 82 10 23 03 00 00 00 00 00 0D 0A");
    // Size checks come with the strict drive.
    EXPECT_EQ(Exchange(fd, Sdo(1, 0x23, 0x6071, 0, 5)), "05 81 80 71 60 00 10 00 07 06 0D 0A");
    close(fd);
}

TEST(SimProcess, ForwardsDownloadConfirmationsUnlessToldNotTo) {
    const std::string boot_up_1 = "07 01 00 00 00 00 00 00 00 00 0D 0A";
    const std::string boot_up_2 = "07 02 00 00 00 00 00 00 00 00 0D 0A";
    const std::string confirmation = test::hex(test::download_ack(1, 0x6040, 0));
    const std::string answer = test::hex(test::sdo_answer(1, 0x6040, 0, 0x0006, 0x4B));
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> frames;  // from power-up to the answer that follows the download
    };
    const Case cases[] = {
        {{}, {boot_up_1, boot_up_2, confirmation, answer}},
        {{"--acks"}, {boot_up_1, boot_up_2, confirmation, answer}},
        {{"--no-acks"}, {answer}},
        {{"--no-acks", "--acks"}, {boot_up_1, boot_up_2, confirmation, answer}},
    };
    for (const Case& c : cases) {
        const std::string options = ::testing::PrintToString(c.options);
        test::SimProcess sim(ORVEX_SIM_BINARY, c.options);
        const int fd = OpenRaw(sim.path());
        ASSERT_GE(fd, 0) << options;
        // An expedited download of the controlword, then a read of it: whatever the adapter
        // forwards for the download comes before the answer.
        for (const Frame& request : {Sdo(1, 0x2B, 0x6040, 0, 0x0006), Sdo(1, 0x40, 0x6040, 0)}) {
            ASSERT_EQ(write(fd, request.data(), request.size()), 12) << options;
        }
        EXPECT_EQ(FramesUntil(fd, answer), c.frames) << options;
        close(fd);
    }
}

TEST(SimProcess, HeartbeatsComeAtTheirPeriod) {
    SimProcess sim({"--quiet", "--drives", "1", "--heartbeat-ms", "50"});
    const int fd = OpenRaw(sim.FirstLine());
    ASSERT_GE(fd, 0);
    tcflush(fd, TCIFLUSH);
    const auto start = std::chrono::steady_clock::now();
    std::string beats;
    uint8_t frame[kFrameSize];
    int count = 0;
    while (count < 4) {
        std::size_t got = 0;
        while (got < kFrameSize && SimProcess::WaitReadable(fd, 1000)) {
            const ssize_t n = read(fd, frame + got, kFrameSize - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ASSERT_EQ(got, kFrameSize);
        EXPECT_EQ(Hex(frame, got), "07 01 7F 00 00 00 00 00 00 00 0D 0A");
        ++count;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.14);  // at least three full periods after the first
    EXPECT_LT(seconds, 0.5);
    close(fd);
}

TEST(SimProcess, TheLineModelHoldsAnswersForTheLatencyTimerAndKeepsTheirOrder) {
    SimProcess sim({"--quiet", "--drives", "3", "--baud", "115200", "--latency-ms", "16",
                    "--can-kbit", "500"});
    const int fd = OpenRaw(sim.FirstLine());
    ASSERT_GE(fd, 0);
    // The boot-ups of power-up come first, through the same line.
    EXPECT_EQ(FramesUntil(fd, "07 03 00 00 00 00 00 00 00 00 0D 0A"),
              (std::vector<std::string>{"07 01 00 00 00 00 00 00 00 00 0D 0A",
                                        "07 02 00 00 00 00 00 00 00 00 0D 0A",
                                        "07 03 00 00 00 00 00 00 00 00 0D 0A"}));
    std::string batch;
    for (int node : {3, 1, 2}) {
        const Frame request = Sdo(node, 0x40, 0x6041, 0);
        batch.append(reinterpret_cast<const char*>(request.data()), request.size());
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, batch.data(), batch.size()), 36);
    uint8_t answers[36];
    std::size_t got = 0;
    while (got < sizeof answers && SimProcess::WaitReadable(fd, 2000)) {
        const ssize_t n = read(fd, answers + got, sizeof answers - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(got, sizeof answers);
    EXPECT_EQ(answers[1], 0x83);
    EXPECT_EQ(answers[13], 0x81);
    EXPECT_EQ(answers[25], 0x82);
    // The first request is in after 1.04 ms, crosses the bus twice (0.5 ms), and its answer
    // starts the 16 ms timer; the other two answers join the held bytes.
    EXPECT_GE(seconds, 0.017);
    EXPECT_LT(seconds, 0.2);
    close(fd);
}

TEST(SimProcess, TpdosBeyondTheLineRateQueueBehindItAndAnswersWaitTheirTurn) {
    SimProcess sim({"--quiet", "--drives", "4", "--baud", "115200"});
    const int fd = OpenRaw(sim.FirstLine());
    ASSERT_GE(fd, 0);
    // Each drive's TPDO 1 (statusword) every millisecond: 4000 frames a second for a line that
    // carries 960.
    for (int node = 1; node <= 4; ++node) {
        const auto id = static_cast<uint32_t>(0x180 + node);
        EXPECT_EQ(Exchange(fd, Sdo(node, 0x2B, 0x1800, 5, 1)).substr(0, 8),
                  "05 8" + std::to_string(node) + " 60");
        EXPECT_EQ(Exchange(fd, Sdo(node, 0x23, 0x1800, 1, id)).substr(0, 8),
                  "05 8" + std::to_string(node) + " 60");
    }
    const Frame start = MakeFrame(0x000, {0x01, 0x00, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(write(fd, start.data(), start.size()), static_cast<ssize_t>(start.size()));
    const auto began = std::chrono::steady_clock::now();
    auto elapsed = [&began] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    };
    int pdos = 0;
    while (elapsed() < 0.5) {
        const std::string frame = ReadFrame(fd);
        ASSERT_FALSE(frame.empty());
        if (frame.rfind("01 8", 0) == 0) ++pdos;
    }
    const double seconds = elapsed();
    EXPECT_GE(pdos, 200) << "the line carries the stream";
    EXPECT_LE(pdos, 960 * seconds + 10) << "no faster than the baud rate";

    // Leaving operational ends the stream; what the adapter holds still goes out, a bounded
    // backlog, and an answer comes after it.
    const Frame pre_operational = MakeFrame(0x000, {0x80, 0x00, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(write(fd, pre_operational.data(), pre_operational.size()),
              static_cast<ssize_t>(pre_operational.size()));
    usleep(50000);
    const Frame request = Sdo(2, 0x40, 0x6041, 0);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const double asked = elapsed();
    int backlog = 0;
    std::string frame;
    for (frame = ReadFrame(fd); frame.rfind("01 8", 0) == 0; frame = ReadFrame(fd)) ++backlog;
    EXPECT_EQ(frame, "05 82 4B 41 60 00 40 02 00 00 0D 0A");
    // 341 frames fill the adapter; unbounded, half a second of the stream would be ~1500.
    EXPECT_LE(backlog, 4096 / 12 + 10) << "the adapter's queue is bounded";
    EXPECT_LT(elapsed() - asked, 1.0);
    close(fd);
}

}  // namespace
}  // namespace orvex::sim
