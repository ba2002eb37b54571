// U_Transmit_Validation: a raw request and a raw answer of a given length, no framing.
#include "../link/exchange.h"
#include "orvex.h"

extern "C" int U_Transmit_Validation(void* purgeHandle, const void* request, void* answer,
                                     int requestLength, int answerLength) {
    using namespace orvex;
    constexpr int kAnswered = 0;
    constexpr int kTimedOut = -10;
    if (requestLength < 0 || (requestLength > 0 && request == nullptr) ||
        (answerLength > 0 && answer == nullptr)) {
        record(Outcome::kBadArgument);
        return kTimedOut;
    }
    const std::size_t wanted = answerLength > 0 ? static_cast<std::size_t>(answerLength) : 0;
    return raw_exchange(purgeHandle, request, static_cast<std::size_t>(requestLength), answer,
                        wanted)
               ? kAnswered
               : kTimedOut;
}
