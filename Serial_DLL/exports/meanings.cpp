// What codes mean, for hosts that show them: pure functions over the library's vocabulary. None
// does I/O or takes a lock, none records an outcome, every text is static.
#include "../cia402/codes.h"
#include "../cia402/vocabulary.h"
#include "../link/time_limits.h"
#include "orvex.h"

extern "C" {

const char* Orvex_ResultText(int outcome) {
    return orvex::result_text(outcome);
}

const char* Orvex_AbortText(unsigned code) {
    return orvex::abort_text(code);
}

const char* Orvex_ErrorCodeText(unsigned code) {
    return orvex::error_code_text(code);
}

int Orvex_DecodeState(unsigned statusword) {
    return static_cast<int>(orvex::cia402::decode_state(static_cast<std::uint16_t>(statusword)));
}

const char* Orvex_StateName(int state) {
    return orvex::cia402::state_name(state);
}

void Orvex_GetTimeLimits(int* query_ms, int* exchange_ms) {
    int query = 0;
    int exchange = 0;
    orvex::current_time_limits(query, exchange);
    if (query_ms != nullptr) *query_ms = query;
    if (exchange_ms != nullptr) *exchange_ms = exchange;
}

}  // extern "C"
