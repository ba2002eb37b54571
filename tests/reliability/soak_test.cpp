// Four host threads drive four simulated drives at once through one port: each owns a drive,
// writes its parameters with SDO_Write and the drive commands, and reads everything back with
// SDO_Read and the queries. Every value read must be what the thread wrote or what the simulator
// must report; a call may fail only where the simulator is told to lose answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

constexpr int kThreads = 4;

struct Counts {
    std::atomic<long> commands{0}, queries{0}, wrong{0}, failed{0};
};

// What one drive must hold, as far as its owning thread knows.
struct Expected {
    std::map<std::pair<unsigned, int>, std::uint32_t> objects;  // (index, subindex) -> raw value
    bool enabled = false;
};

class Host {
  public:
    Host(int node, Counts& counts, bool answers_may_be_lost)
        : node_(node), counts_(counts), lossy_(answers_may_be_lost), random_(node * 7919u) {}

    void run(int calls) {
        // Profile position set up but never triggered, and halted: the drive stays at 0.
        command(PP_Set(node_, 1000, 2000, 3000),
                {{0x6081, 0, 1000}, {0x6083, 0, 2000}, {0x6084, 0, 3000}, {0x6060, 0, 1}});
        expected_.enabled = true;
        while (calls_ < calls) step();
    }

  private:
    struct Write {
        unsigned index;
        int sub;
        std::uint32_t value;
    };

    std::uint32_t any() { return static_cast<std::uint32_t>(random_()); }

    void wrong(const std::string& what, std::uint32_t got, std::uint32_t want) {
        ++counts_.wrong;
        ADD_FAILURE() << "node " << node_ << ": " << what << " read " << std::hex << got
                      << ", expected " << want;
    }
    void failed(const std::string& what) {
        ++counts_.failed;
        if (!lossy_)
            ADD_FAILURE() << "node " << node_ << ": " << what << " failed with "
                          << Orvex_LastResult();
    }

    void command(int result, std::initializer_list<Write> writes) {
        ++calls_;
        ++counts_.commands;
        if (result != 1) {
            ++counts_.wrong;  // writes never fail while the simulator runs
            ADD_FAILURE() << "node " << node_ << ": command failed " << Orvex_LastResult();
            return;
        }
        for (const Write& w : writes) expected_.objects[{w.index, w.sub}] = w.value;
    }

    void read_back(unsigned index, int sub) {
        ++calls_;
        ++counts_.queries;
        int value = 0;
        const std::string what = "object " + std::to_string(index) + "/" + std::to_string(sub);
        if (SDO_Read(node_, index, sub, &value, 4) != 1) return failed(what);
        const std::uint32_t want = expected_.objects.at({index, sub});
        if (static_cast<std::uint32_t>(value) != want)
            wrong(what, static_cast<std::uint32_t>(value), want);
    }

    // A query whose answer the simulator fixes: a value, or bits of it.
    void query(const char* what, int got, std::uint32_t mask, std::uint32_t want) {
        ++calls_;
        ++counts_.queries;
        if (Orvex_LastResult() != ORVEX_OK) return failed(what);
        if ((static_cast<std::uint32_t>(got) & mask) != want)
            wrong(what, static_cast<std::uint32_t>(got) & mask, want);
    }

    void step() {
        const std::uint32_t bit = 1u << (node_ - 1);
        switch (random_() % 12) {
            case 0: {
                const std::uint32_t v = any();
                command(SDO_Write(node_, 0x6081, 0, v, 4), {{0x6081, 0, v}});
                return read_back(0x6081, 0);
            }
            case 1: {
                const std::uint32_t a = any(), d = any();
                command(SDO_Write(node_, 0x6083, 0, a, 4), {{0x6083, 0, a}});
                command(SDO_Write(node_, 0x6084, 0, d, 4), {{0x6084, 0, d}});
                read_back(0x6084, 0);
                return read_back(0x6083, 0);
            }
            case 2: {
                const std::uint32_t v = any();
                command(LED_Set(node_, static_cast<int>(v)), {{0x2003, 0x14, v}});
                return read_back(0x2003, 0x14);
            }
            case 3: {
                const std::uint32_t v = any();
                command(PP_Abs_move_enhance(node_, static_cast<int>(v)), {{0x607A, 0, v}});
                return read_back(0x607A, 0);
            }
            case 4: {
                const std::uint32_t v = any();
                command(PV_Set_Vel(node_, static_cast<int>(v)), {{0x60FF, 0, v}});
                return read_back(0x60FF, 0);
            }
            case 5: {  // homing set up (mode 6) but not started, then back to profile position
                const std::uint32_t s = any(), z = any(), a = any();
                command(HM_Set(node_, static_cast<int>(s), static_cast<int>(z), a, 17),
                        {{0x6099, 1, s},
                         {0x6099, 2, z},
                         {0x609A, 0, a},
                         {0x6098, 0, 17},
                         {0x6060, 0, 6}});
                expected_.enabled = true;  // both set-ups hold the drive by halt, enabled
                read_back(0x6099, 1);
                read_back(0x6060, 0);
                const std::uint32_t v = any() >> 1, acc = any(), dec = any();
                command(PP_Set(node_, static_cast<int>(v), acc, dec),
                        {{0x6081, 0, v}, {0x6083, 0, acc}, {0x6084, 0, dec}, {0x6060, 0, 1}});
                read_back(0x6099, 2);
                read_back(0x609A, 0);
                return read_back(0x6098, 0);
            }
            case 6:
                command(CMD_Disable_motor(node_), {});
                expected_.enabled = false;
                query("statusword", GetMotorStatus(node_), 0x0F, 0x03);  // switched on
                return query("enable summary", Get_ALL_Enable_Status(), bit, 0);
            case 7:
                command(PP_stop_motor(node_), {});  // halt, operation enabled
                expected_.enabled = true;
                query("statusword", GetMotorStatus(node_), 0x0F, 0x07);
                return query("enable summary", Get_ALL_Enable_Status(), bit, bit);
            case 8:
                command(CMD_Restart_motor(node_), {});  // communication only: a boot-up follows
                return query("statusword", GetMotorStatus(node_), 0x0F,
                             expected_.enabled ? 0x07 : 0x03);
            case 9:
                query("position", GetPosition(node_), ~0u, 0);
                return query("fault summary", Get_ALL_Err_Status(), ~0u, 0);
            case 10:
                return query("version", GetVersions(node_), ~0u, 0x0103);
            default:
                read_back(0x6081, 0);
                return read_back(0x6060, 0);
        }
    }

    int node_;
    Counts& counts_;
    bool lossy_;
    std::mt19937 random_;
    Expected expected_;
    int calls_ = 0;
};

struct Soak {
    long commands, queries, wrong, failed;
    double seconds;
};

Soak soak(const std::vector<std::string>& options, int calls_per_thread, bool lossy) {
    SimProcess sim(ORVEX_SIM_BINARY, options);
    EXPECT_EQ(Serial_OpenDevice(sim.path().c_str(), 115200), 1);
    Counts counts;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Host>> hosts;
    std::vector<std::thread> threads;
    for (int node = 1; node <= kThreads; ++node)
        hosts.push_back(std::make_unique<Host>(node, counts, lossy));
    for (auto& host : hosts)
        threads.emplace_back([&host, calls_per_thread] { host->run(calls_per_thread); });
    for (auto& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Serial_ClosePort();
    EXPECT_EQ(sim.stop(), 0);
    return Soak{counts.commands, counts.queries, counts.wrong, counts.failed, seconds};
}

void print(const char* name, const Soak& s) {
    std::printf("[ soak     ] %s: %ld commands, %ld queries, %ld wrong, %ld failed, %.1f s\n", name,
                s.commands, s.queries, s.wrong, s.failed, s.seconds);
}

TEST(Soak, FourThreadsFourDrivesWithAcknowledgementsEveryValueRight) {
    const Soak s = soak({"--drives", "4", "--acks"}, 2000, false);
    print("acks", s);
    EXPECT_EQ(s.wrong, 0);
    EXPECT_EQ(s.failed, 0);
    EXPECT_GE(s.commands + s.queries, kThreads * 2000);
}

TEST(Soak, WithNoiseAndLostAnswersQueriesFailButNeverReadAWrongValue) {
    // A lost answer costs a query its 800 ms: few enough to keep this a test, not a wait.
    const Soak s = soak({"--drives", "4", "--acks", "--garbage-every", "5", "--drop-every", "331"},
                        1000, true);
    print("acks, garbage, drops", s);
    EXPECT_EQ(s.wrong, 0);
    EXPECT_GT(s.failed, 0);               // the drops did hit queries
    EXPECT_LT(s.failed, s.queries / 20);  // and little else failed
}

}  // namespace
}  // namespace orvex::test
