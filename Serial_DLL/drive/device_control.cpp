// Device control: enable, disable, quick stop, halt and NMT reset of communication.
#include "../exports/export_alias.h"
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int CMD_Enable_motor(int node) {
    return write_frames({write_controlword(node, controlword::kEnableOperation)});
}
ORVEX_ALIAS(int, PV_start_motor, (int node), CMD_Enable_motor);

int CMD_Disable_motor(int node) {
    return write_frames({write_controlword(node, controlword::kDisableOperation)});
}

int CMD_Emergency_Stop_motor(int node) {
    return write_frames({write_controlword(node, controlword::kQuickStop)});
}

int CMD_Restart_motor(int node) {
    return write_frames({nmt_command(nmt::kResetCommunication, node)});
}

// One halt for every mode: operation stays enabled, the drive decelerates and holds.
int PV_stop_motor(int node) {
    return write_frames({write_controlword(node, controlword::kHalt)});
}
ORVEX_ALIAS(int, PP_stop_motor, (int node), PV_stop_motor);
ORVEX_ALIAS(int, HM_stop_motor, (int node), PV_stop_motor);
ORVEX_ALIAS(int, PT_stop_motor, (int node), PV_stop_motor);

}  // extern "C"
