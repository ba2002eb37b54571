// Profile torque mode (4). PT_Set ends by enabling operation: torque starts when it succeeds.
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int PT_Set(int node, int maxVelocity, int torque) {
    // Target torque is a 16-bit object but goes out as a four-byte download, which drives accept.
    return write_frames({
        write_mode(node, mode::kProfileTorque),
        write_u32(node, object::kMaxProfileVelocity, static_cast<std::uint32_t>(maxVelocity)),
        write_u32(node, object::kTargetTorque, static_cast<std::uint32_t>(torque)),
        write_controlword(node, controlword::kEnableOperation),
    });
}

int PT_start_motor(int node) {
    return write_frames({
        write_mode(node, mode::kProfileTorque),
        write_controlword(node, controlword::kEnableOperation),
    });
}

}  // extern "C"
