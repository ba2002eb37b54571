// Pipelined reads against orvex-sim, with its line model off and on: every answer matched to its
// item, and a batch with a silent node ending at its bound, never before.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "orvex.h"
#include "sim_process.h"

namespace orvex::test {
namespace {

constexpr int kDrives = 8;

struct Line {
    const char* name;
    std::vector<std::string> options;
};

class BatchThroughSim : public ::testing::TestWithParam<Line> {
  protected:
    void SetUp() override {
        std::vector<std::string> options{"--drives", std::to_string(kDrives)};
        options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
        sim = std::make_unique<SimProcess>(ORVEX_SIM_BINARY, options);
        ASSERT_EQ(Serial_OpenDevice(sim->path().c_str(), 115200), 1);
    }
    void TearDown() override {
        Orvex_SetTimeLimits(800, 3800);
        Serial_ClosePort();
        EXPECT_EQ(sim->stop(), 0);
    }
    std::unique_ptr<SimProcess> sim;
};

struct Items {
    std::vector<int> nodes, indexes, subs, results;
    std::vector<unsigned> values;
    void add(int node, int index) {
        nodes.push_back(node);
        indexes.push_back(index);
        subs.push_back(0);
        results.push_back(99);
        values.push_back(0xDEADBEEF);
    }
    int run() {
        return Orvex_ReadMany(static_cast<int>(nodes.size()), nodes.data(), indexes.data(),
                              subs.data(), values.data(), results.data());
    }
};

Items positions_and_statuswords() {
    Items items;
    for (int node = 1; node <= kDrives; ++node) {
        items.add(node, 0x6064);
        items.add(node, 0x6041);
    }
    return items;
}

TEST_P(BatchThroughSim, EveryItemGetsTheValueASingleQueryReads) {
    ASSERT_EQ(CMD_Enable_motor(3), 1);
    ASSERT_EQ(PP_Set(5, 1000, 1000, 1000), 1);  // drives in different states: different words
    Items items = positions_and_statuswords();
    items.add(0, 0x3001);  // the bus's enable summary, answered for node 0
    ASSERT_EQ(items.run(), 2 * kDrives + 1);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    for (std::size_t i = 0; i < items.nodes.size(); ++i) {
        int value = 0;
        ASSERT_EQ(SDO_Read(items.nodes[i], static_cast<unsigned>(items.indexes[i]), 0, &value, 4),
                  1);
        EXPECT_EQ(items.values[i], static_cast<unsigned>(value))
            << "node " << items.nodes[i] << " index " << std::hex << items.indexes[i];
    }
    EXPECT_EQ(items.values.back() & (1u << 2), 1u << 2);  // drive 3 is enabled
}

TEST_P(BatchThroughSim, ABatchWithASilentNodeEndsAtItsBoundAndNotBefore) {
    ASSERT_EQ(Orvex_SetTimeLimits(100, 0), 1);
    Items items = positions_and_statuswords();
    items.add(kDrives + 1, 0x6041);  // nobody answers for node 9
    // 17 requests and 17 answers of 12 bytes at 115200 baud: 35.4 ms on the line, counted as 36.
    const int bound_ms = 100 + 36;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(items.run(), 2 * kDrives);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_EQ(items.results.back(), ORVEX_TIMEOUT);
    EXPECT_EQ(items.values.back(), 0xDEADBEEFu);
    EXPECT_GE(ms, bound_ms);
    EXPECT_LT(ms, bound_ms + 200);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BatchThroughSim,
    ::testing::Values(Line{"model_off", {}},
                      Line{"latency_16ms", {"--baud", "115200", "--latency-ms", "16"}},
                      Line{"slow_bus",
                           {"--baud", "115200", "--latency-ms", "1", "--can-kbit", "125"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvex::test
