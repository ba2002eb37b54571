// One line of text for a frame, as a bus monitor shows it: SDO requests and answers with the
// object's name and value, aborts with their meaning, NMT commands, boot-ups, heartbeats with the
// NMT state, EMCY with the error code's meaning and the error register, anything else as bytes.
#pragma once

#include <string>

#include "codec.h"

namespace orvex::codec {

// "node 1  SDO read 0x6041:00 statusword". The identifier is not part of the text.
std::string DescribeFrame(const Frame& frame);

}  // namespace orvex::codec
