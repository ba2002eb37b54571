// Shared by the fault tests: the real library opened on a fake adapter's pseudo-terminal.
#pragma once

#include <cstdint>

#include "library_fixture.h"

namespace orvex::test {

using ReliabilityTest = LibraryTest;

inline int value_as_int(std::uint32_t v) {
    return static_cast<int>(v);
}

}  // namespace orvex::test
