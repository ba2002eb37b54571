// Helpers the tests of the library against orvex-sim share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "orvex.h"

namespace orvex::test {

// Polls `done` until it holds or `seconds` pass.
inline bool eventually(const std::function<bool()>& done, double seconds = 5.0) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A 4-byte SDO read that is expected to succeed.
inline int read_object(int node, unsigned index, int sub = 0) {
    int value = 0;
    EXPECT_EQ(SDO_Read(node, index, sub, &value, 4), 1) << std::hex << index;
    return value;
}

}  // namespace orvex::test
