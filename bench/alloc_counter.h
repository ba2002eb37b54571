// Counts heap allocations made by the calling thread while counting is switched on. The counting
// malloc family lives in this executable, so the dynamic linker hands it to the library as well
// (operator new there ends in malloc too).
#pragma once

#include <cstdint>

namespace orvex::bench {

class AllocationCount {
  public:
    AllocationCount();   // starts counting on this thread
    ~AllocationCount();  // stops
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;
    std::uint64_t count() const;

  private:
    std::uint64_t before_;
};

}  // namespace orvex::bench
