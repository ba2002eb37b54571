// Shared fixture: the real library, opened on a fake adapter's pseudo-terminal, and a timer.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_adapter.h"
#include "orvex.h"

namespace orvex::test {

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Serial_OpenDevice(adapter.path().c_str(), 115200), 1); }
    void TearDown() override { Serial_ClosePort(); }

    // The next `count` frames the library wrote (waiting for them), each as hex() prints it.
    std::vector<std::string> frames_of(int count) {
        std::vector<std::string> text;
        for (const Frame& f : adapter.frames(static_cast<std::size_t>(count)))
            text.push_back(hex(f));
        return text;
    }

    FakeAdapter adapter;
};

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
