// The drive procedures as exports (being written).
#include "../link/last_result.h"
#include "orvex.h"

using orvex::Outcome;
using orvex::record;

extern "C" {
int Orvex_GetState(int, unsigned*) {
    record(Outcome::kBadArgument);
    return -1;
}
int Orvex_Enable(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_Disable(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_QuickStop(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_Halt(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_ResetFault(int, int, unsigned*) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_MoveTo(int, int, int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_WaitTarget(int, int, int*) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_Home(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
int Orvex_SetTorque(int, int) {
    record(Outcome::kBadArgument);
    return 0;
}
}
