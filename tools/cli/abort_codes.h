// The meanings of CiA 301 SDO abort codes, the one table the CLI keeps of them.
#pragma once

#include <cstdint>

namespace orvex::cli {

// A short description of `code` ("object does not exist"), or nullptr for a code the table lacks.
const char* AbortCodeMeaning(std::uint32_t code);

}  // namespace orvex::cli
