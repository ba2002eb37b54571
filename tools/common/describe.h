// One line of text for a frame, as a bus monitor shows it: SDO requests and answers with the
// object's name and value, aborts with their meaning, NMT commands, boot-ups, heartbeats with the
// NMT state, EMCY with the error code's meaning and the error register, anything else as bytes.
// What states, abort codes and error codes mean is the library's (Orvex_StateName ...): the
// caller passes those texts in.
#pragma once

#include <string>

#include "codec.h"

namespace orvex::codec {

// The meanings of codes, each a static text for any value.
struct CodeTexts {
    const char* (*statusword_state)(unsigned statusword);
    const char* (*abort_code)(unsigned code);
    const char* (*error_code)(unsigned code);
};

// "node 1  SDO read 0x6041:00 statusword". The identifier is not part of the text.
std::string DescribeFrame(const Frame& frame, const CodeTexts& texts);

}  // namespace orvex::codec
