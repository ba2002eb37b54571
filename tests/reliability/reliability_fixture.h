// Shared by the fault tests: the real library opened on a fake adapter's pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "fake_adapter.h"
#include "orvex.h"

namespace orvex::test {

class ReliabilityTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1); }
    void TearDown() override { Serial_ClosePort(); }
    FakeAdapter adapter;
};

inline int value_as_int(std::uint32_t v) {
    return static_cast<int>(v);
}

// Wall time of a call, for bounds (never exact values).
template <typename F>
long long millis_of(F&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace orvex::test
