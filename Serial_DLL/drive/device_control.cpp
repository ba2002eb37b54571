// Device control: enable, disable, quick stop, halt and NMT reset of communication.
// PV_start_motor is CMD_Enable_motor under a second name, and the other modes' stop commands are
// PV_stop_motor: the export table, made from include/orvex_exports.h, gives them those names.
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int CMD_Enable_motor(int node) {
    return write_frames({write_controlword(node, controlword::kEnableOperation)});
}

int CMD_Disable_motor(int node) {
    return write_frames({write_controlword(node, controlword::kDisableOperation)}, Priority::kStop);
}

int CMD_Emergency_Stop_motor(int node) {
    return write_frames({write_controlword(node, controlword::kQuickStop)}, Priority::kStop);
}

int CMD_Restart_motor(int node) {
    return write_frames({nmt_command(nmt::kResetCommunication, node)});
}

// One halt for every mode: operation stays enabled, the drive decelerates and holds.
int PV_stop_motor(int node) {
    return write_frames({write_controlword(node, controlword::kHalt)}, Priority::kStop);
}

}  // extern "C"
