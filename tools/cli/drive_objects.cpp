#include "drive_objects.h"

#include <algorithm>
#include <iterator>

namespace orvex::cli {

bool IsKnownObjectIndex(unsigned index) {
    static const unsigned kKnown[] = {
        // CiA 301 communication objects.
        0x1000, 0x1001, 0x1003, 0x1008, 0x1009, 0x100A, 0x1010, 0x1011, 0x1017, 0x1018,
        // The drives' own objects that the library addresses, and the bus summaries.
        0x2001, 0x2003, 0x3001, 0x3002, 0x3003,
        // CiA 402.
        0x603F, 0x6040, 0x6041, 0x605A, 0x6060, 0x6061, 0x6064, 0x606C, 0x6071, 0x6077, 0x607A,
        0x607F, 0x6081, 0x6083, 0x6084, 0x6085, 0x6098, 0x6099, 0x609A, 0x60FF, 0x6502};
    return std::find(std::begin(kKnown), std::end(kKnown), index) != std::end(kKnown);
}

}  // namespace orvex::cli
