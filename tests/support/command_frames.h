// Every command export's frames, byte for byte, in the order they must go out: the one table that
// the library's tests (linked) and the Windows tests (through LoadLibrary) both check.
#pragma once

#include <string>
#include <vector>

#include "orvex.h"

namespace orvex::test {

#define ORVEX_COMMAND_EXPORTS(X) \
    X(U_Transmit)                \
    X(CMD_Enable_motor)          \
    X(PV_start_motor)            \
    X(CMD_Disable_motor)         \
    X(CMD_Emergency_Stop_motor)  \
    X(CMD_Restart_motor)         \
    X(PV_stop_motor)             \
    X(PP_stop_motor)             \
    X(HM_stop_motor)             \
    X(PT_stop_motor)             \
    X(SDO_Write)                 \
    X(LED_Set)                   \
    X(PV_Set)                    \
    X(PV_Set_Vel)                \
    X(PP_Set)                    \
    X(PP_Inc_move)               \
    X(PP_Abs_move)               \
    X(PP_Abs_move_enhance)       \
    X(HM_Set)                    \
    X(HM_start_motor)            \
    X(PT_Set)                    \
    X(PT_start_motor)

// The command exports a row calls: the linked functions, or pointers resolved at run time.
struct CommandExports {
#define ORVEX_COMMAND_POINTER(name) decltype(&::name) name = nullptr;
    ORVEX_COMMAND_EXPORTS(ORVEX_COMMAND_POINTER)
#undef ORVEX_COMMAND_POINTER
};

// One call (which returns 1) and the frames it writes, each as hex() prints it.
struct CommandFrames {
    const char* name;
    int (*call)(const CommandExports&);
    std::vector<std::string> frames;
};

const std::vector<CommandFrames>& command_frames();

}  // namespace orvex::test
