// Objects of any size against orvex-sim: every size written and read back by each kind of
// transfer, and the simulator's faults met as a host meets them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

constexpr int kDomain = 0x2010;

// What the simulator's DOMAIN holds at power-up.
std::vector<unsigned char> power_on_domain() {
    std::vector<unsigned char> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i % 251);
    return data;
}

std::vector<unsigned char> pattern(std::size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return data;
}

class SimTransfers : public ::testing::Test {
  protected:
    void start(std::vector<std::string> options) {
        options.insert(options.end(), {"--acks", "--trace", trace_path()});
        sim = std::make_unique<SimProcess>(ORVEX_SIM_BINARY, options);
        ASSERT_EQ(Serial_OpenDevice(sim->path().c_str(), 115200), 1);
    }
    void TearDown() override {
        Orvex_SetTimeLimits(800, 3800);
        Orvex_SetBlockTransfer(0, 0);
        Serial_ClosePort();
        if (sim) {
            EXPECT_EQ(sim->stop(), 0);
        }
        std::remove(trace_path().c_str());
    }
    // A file of this run's own: runs side by side must not share it.
    static const std::string& trace_path() {
        static const std::string path = [] {
            std::string name = ::testing::TempDir() + "orvex-sdo-transfer-XXXXXX";
            const int fd = mkstemp(name.data());
            if (fd >= 0) close(fd);
            return name;
        }();
        return path;
    }
    static std::string trace() {
        std::ifstream in(trace_path());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Reads node `node`'s DOMAIN (or `index`) back; the result of the call.
    int upload(int node, std::vector<unsigned char>& into, int index = kDomain) {
        into.assign(5000, 0);
        int length = -1;
        const int result = Orvex_SdoUpload(node, index, 0, into.data(), 5000, &length);
        into.resize(result == 1 ? static_cast<std::size_t>(length) : 0);
        return result;
    }
    int download(int node, const std::vector<unsigned char>& data) {
        return Orvex_SdoDownload(node, kDomain, 0, data.data(), static_cast<int>(data.size()));
    }
    std::unique_ptr<SimProcess> sim;
};

TEST_F(SimTransfers, EverySizeComesBackAsWrittenByEachKindOfTransfer) {
    start({});
    struct Kind {
        const char* name;
        int block_size;
    } kinds[] = {{"segmented", 0}, {"block of 127", 127}, {"block of 5", 5}};
    for (const Kind& kind : kinds) {
        ASSERT_EQ(Orvex_SetBlockTransfer(kind.block_size > 0 ? 4 : 0, kind.block_size), 1);
        for (std::size_t size : {0, 1, 4, 5, 7, 8, 14, 127 * 7 - 1, 127 * 7, 127 * 7 + 1, 4096}) {
            SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(size) + " bytes");
            const std::vector<unsigned char> data = pattern(size, kind.block_size);
            ASSERT_EQ(download(1, data), 1) << std::hex << Orvex_LastAbortCode();
            const int written = Orvex_LastTransfer(nullptr, nullptr, nullptr);
            std::vector<unsigned char> back;
            ASSERT_EQ(upload(1, back), 1) << std::hex << Orvex_LastAbortCode();
            const int read = Orvex_LastTransfer(nullptr, nullptr, nullptr);
            EXPECT_EQ(back, data);
            const bool expedited = size >= 1 && size <= 4;
            const int expected = expedited             ? ORVEX_TRANSFER_EXPEDITED
                                 : kind.block_size > 0 ? ORVEX_TRANSFER_BLOCK
                                                       : ORVEX_TRANSFER_SEGMENTED;
            // An empty object has no expedited form; one that short is not worth a block.
            EXPECT_EQ(written, size == 0 ? ORVEX_TRANSFER_SEGMENTED : expected);
            EXPECT_EQ(read, size == 0 ? ORVEX_TRANSFER_SEGMENTED : expected);
        }
    }
    // The other drive's DOMAIN was never touched, and strings read at any setting.
    std::vector<unsigned char> other;
    ASSERT_EQ(upload(2, other), 1);
    EXPECT_EQ(other, power_on_domain());
    std::vector<unsigned char> name;
    ASSERT_EQ(upload(2, name, 0x1008), 1);
    EXPECT_EQ(std::string(name.begin(), name.end()), "orvex-sim CiA 402 servo drive");
    ASSERT_EQ(upload(2, name, 0x100A), 1);
    EXPECT_EQ(std::string(name.begin(), name.end()), "orvex-sim 1.3.2");
}

struct Fault {
    const char* name;
    std::vector<std::string> options;
    int block_size;
    bool upload;
    int outcome;          // of the spoiled transfer
    unsigned abort_code;  // with ORVEX_SDO_ABORT
    const char* on_wire;  // a frame the host must have sent, "" for none
    int flags;            // Orvex_LastTransfer flags that must be set
};

class SimTransferFaults : public SimTransfers, public ::testing::WithParamInterface<Fault> {};

// Node 1 spoils its transfers; node 2 is not touched and must work afterwards all the same.
TEST_P(SimTransferFaults, TheHostSeesTheFaultAndTheServerIsFreeAfterwards) {
    const Fault& f = GetParam();
    std::vector<std::string> options = f.options;
    start(options);
    ASSERT_EQ(Orvex_SetTimeLimits(200, 0), 1);
    // Uploads read the DOMAIN as it powers up; downloads write another kilobyte.
    const std::vector<unsigned char> data = f.upload ? power_on_domain() : pattern(1024, 3);
    ASSERT_EQ(Orvex_SetBlockTransfer(f.block_size > 0 ? 4 : 0, f.block_size), 1);
    std::vector<unsigned char> back;
    const int result = f.upload ? upload(1, back) : download(1, data);
    EXPECT_EQ(result, f.outcome == ORVEX_OK ? 1 : 0);
    EXPECT_EQ(Orvex_LastResult(), f.outcome);
    if (f.outcome == ORVEX_SDO_ABORT) {
        EXPECT_EQ(Orvex_LastAbortCode(), f.abort_code);
    }
    if (f.outcome == ORVEX_OK && f.upload) {
        EXPECT_EQ(back, data);
    }
    int flags = 0;
    Orvex_LastTransfer(nullptr, nullptr, &flags);
    EXPECT_EQ(flags & f.flags, f.flags);
    // The server is free: the same node answers the next transfer (the faults spoil transfers
    // of more than four bytes only), and the other node all of them.
    std::vector<unsigned char> small;
    EXPECT_EQ(upload(1, small, 0x1000), 1);
    EXPECT_EQ(download(2, data), 1);
    EXPECT_EQ(upload(2, back), 1);
    EXPECT_EQ(back, data);
    if (*f.on_wire != '\0') {
        EXPECT_EQ(sim->stop(), 0);  // the trace is complete once it has stopped
        sim.reset();
        EXPECT_NE(trace().find(std::string("rx ") + f.on_wire), std::string::npos) << trace();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimTransferFaults,
    ::testing::Values(
        Fault{"WrongToggleUpload",
              {"--sdo-fault", "1:toggle"},
              0,
              true,
              ORVEX_SDO_ABORT,
              0x05030000,
              "06 01 80 10 20 00 00 00 03 05",
              0},
        Fault{"WrongToggleDownload",
              {"--sdo-fault", "1:toggle"},
              0,
              false,
              ORVEX_SDO_ABORT,
              0x05030000,
              "06 01 80 10 20 00 00 00 03 05",
              0},
        Fault{"AbortMidUpload",
              {"--sdo-fault", "1:abort:3"},
              0,
              true,
              ORVEX_SDO_ABORT,
              0x08000000,
              "",
              0},
        Fault{"AbortMidBlockDownload",
              {"--sdo-fault", "1:abort:40"},
              127,
              false,
              ORVEX_SDO_ABORT,
              0x08000000,
              "",
              0},
        Fault{"SegmentNeverComes",
              {"--sdo-fault", "1:silent:3"},
              0,
              true,
              ORVEX_TIMEOUT,
              0,
              "06 01 80 10 20 00 00 00 04 05",
              0},
        Fault{"BlockSegmentNeverComes",
              {"--sdo-fault", "1:silent:20"},
              127,
              true,
              ORVEX_TIMEOUT,
              0,
              "06 01 80 10 20 00 00 00 04 05",
              0},
        Fault{"BlockDownloadNeverAcknowledged",
              {"--sdo-fault", "1:silent:20"},
              127,
              false,
              ORVEX_TIMEOUT,
              0,
              "06 01 80 10 20 00 00 00 04 05",
              0},
        Fault{"LostBlockSegmentUpload",
              {"--sdo-fault", "1:lose:60"},
              127,
              true,
              ORVEX_OK,
              0,
              "",
              ORVEX_TRANSFER_REPEATED | ORVEX_TRANSFER_CRC},
        Fault{"LostBlockSegmentDownload",
              {"--sdo-fault", "1:lose:60"},
              127,
              false,
              ORVEX_OK,
              0,
              "",
              ORVEX_TRANSFER_REPEATED | ORVEX_TRANSFER_CRC},
        Fault{"CrcMismatch",
              {"--sdo-fault", "1:crc"},
              127,
              true,
              ORVEX_SDO_ABORT,
              0x05040004,
              "06 01 80 10 20 00 04 00 04 05",
              0},
        Fault{"SizeNotIndicated", {"--sdo-fault", "1:no-size"}, 0, true, ORVEX_OK, 0, "", 0},
        Fault{"SizeNotIndicatedBlock",
              {"--sdo-fault", "1:no-size"},
              127,
              true,
              ORVEX_OK,
              0,
              "",
              ORVEX_TRANSFER_CRC},
        Fault{"BlockRefusedUpload",
              {"--no-block"},
              127,
              true,
              ORVEX_OK,
              0,
              "",
              ORVEX_TRANSFER_FELL_BACK},
        Fault{"BlockRefusedDownload",
              {"--no-block"},
              127,
              false,
              ORVEX_OK,
              0,
              "",
              ORVEX_TRANSFER_FELL_BACK}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST_F(SimTransfers, ATooSmallBufferLearnsTheSizeAndTheServerIsFree) {
    start({});
    ASSERT_EQ(download(1, pattern(300, 1)), 1);
    for (int block : {0, 127}) {
        ASSERT_EQ(Orvex_SetBlockTransfer(block > 0 ? 4 : 0, block), 1);
        unsigned char small[100];
        int length = 0;
        EXPECT_EQ(Orvex_SdoUpload(1, kDomain, 0, small, 100, &length), 0);
        EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
        EXPECT_EQ(Orvex_LastAbortCode(), 0x05040005u);
        EXPECT_EQ(length, 300);
        std::vector<unsigned char> back;
        ASSERT_EQ(upload(1, back), 1);
        EXPECT_EQ(back, pattern(300, 1));
    }
    // The simulator refuses more than its DOMAIN holds, and writes to its strings.
    EXPECT_EQ(download(1, pattern(4097, 0)), 0);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06070012u);
    const unsigned char name[] = "a new name";
    EXPECT_EQ(Orvex_SdoDownload(1, 0x1008, 0, name, 10), 0);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06010002u);
}

TEST_F(SimTransfers, TransfersAndQueriesFromOtherThreadsKeepTheirOwnAnswers) {
    start({});
    ASSERT_EQ(Orvex_SetBlockTransfer(4, 127), 1);  // process-wide: both threads' transfers
    std::atomic<int> queries_failed{0};
    std::atomic<bool> done{false};
    std::thread queries([&] {
        while (!done) {
            int value = 0;
            if (SDO_Read(2, 0x1018, 4, &value, 4) != 1 || value != 0x20240002) ++queries_failed;
        }
    });
    std::thread names([&] {
        for (int i = 0; i < 20; ++i) {
            unsigned char name[64];
            int length = 0;
            if (Orvex_SdoUpload(2, 0x100A, 0, name, 64, &length) != 1 ||
                std::string(name, name + length) != "orvex-sim 1.3.2")
                ++queries_failed;
        }
    });
    for (int i = 0; i < 10; ++i) {
        const std::vector<unsigned char> data = pattern(2000, static_cast<unsigned>(i));
        ASSERT_EQ(download(1, data), 1);
        std::vector<unsigned char> back;
        ASSERT_EQ(upload(1, back), 1);
        EXPECT_EQ(back, data);
    }
    names.join();
    done = true;
    queries.join();
    EXPECT_EQ(queries_failed.load(), 0);
}

// Another thread's commands to the transfer's own node: writes wait for the transfer and both
// get done; a stop goes out at once and the transfer then ends with the server's abort, never with
// wrong data and never running on.
TEST_F(SimTransfers, CommandsFromAnotherThreadToTheSameNodeBesideATransfer) {
    start({});
    const std::vector<unsigned char> data = pattern(4000, 7);
    ASSERT_EQ(download(1, data), 1);
    const struct {
        const char* what;
        int block_size;
        std::function<int()> command;
        bool is_stop;
    } rows[] = {
        {"torque, segmented", 0, [] { return Orvex_SetTorque(1, 100); }, false},
        {"enable, block", 127, [] { return CMD_Enable_motor(1); }, false},
        {"quick stop, segmented", 0, [] { return CMD_Emergency_Stop_motor(1); }, true},
        {"halt, block", 127, [] { return PV_stop_motor(1); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Orvex_SetBlockTransfer(row.block_size > 0 ? 4 : 0, row.block_size), 1);
        std::atomic<bool> done{false};
        std::atomic<int> commands{0};
        std::atomic<int> failed_commands{0};
        std::thread other([&] {
            while (!done) {
                if (row.command() != 1) ++failed_commands;
                ++commands;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        int uploads = 0, aborted = 0;
        for (int i = 0; i < 5; ++i) {
            std::vector<unsigned char> back;
            if (upload(1, back) == 1) {
                EXPECT_EQ(back, data);
                ++uploads;
            } else {
                EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
                ++aborted;
            }
        }
        done = true;
        other.join();
        EXPECT_GT(commands.load(), 0);
        EXPECT_EQ(failed_commands.load(), 0);
        if (!row.is_stop) {
            EXPECT_EQ(uploads, 5) << "a write broke a transfer";
        }
        // A query from a third thread is answered once the transfers are over.
        unsigned statusword = 0;
        EXPECT_GE(Orvex_GetState(1, &statusword), 0);
    }
}

// Each segment of a block waits the query limit from the one before: a whole block of 127
// segments takes longer than the limit on a 9600-baud line and still comes through.
TEST_F(SimTransfers, ABlockLongerThanTheQueryLimitOnASlowLineComesThrough) {
    sim = std::make_unique<SimProcess>(
        ORVEX_SIM_BINARY, std::vector<std::string>{"--baud", "9600", "--trace", trace_path()});
    ASSERT_EQ(Serial_OpenDevice(sim->path().c_str(), 9600), 1);
    ASSERT_EQ(Orvex_SetBlockTransfer(4, 127), 1);
    std::vector<unsigned char> back;
    ASSERT_EQ(upload(1, back), 1) << Orvex_LastResult();
    EXPECT_EQ(back, power_on_domain());
}

}  // namespace
}  // namespace orvex::test
