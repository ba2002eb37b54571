// Profile position mode (1): a target plus a controlword that triggers it at once.
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int PP_Set(int node, int profileVelocity, unsigned acceleration, unsigned deceleration) {
    return write_frames({
        write_controlword(node, controlword::kHalt),
        write_mode(node, mode::kProfilePosition),
        write_u32(node, object::kProfileVelocity, static_cast<std::uint32_t>(profileVelocity)),
        write_u32(node, object::kProfileAcceleration, acceleration),
        write_u32(node, object::kProfileDeceleration, deceleration),
    });
}

int PP_Abs_move(int node, int position) {
    return write_frames({
        write_u32(node, object::kTargetPosition, static_cast<std::uint32_t>(position)),
        write_controlword(node, controlword::kMoveAbsolute),
    });
}

int PP_Inc_move(int node, int distance) {
    return write_frames({
        write_u32(node, object::kTargetPosition, static_cast<std::uint32_t>(distance)),
        write_controlword(node, controlword::kMoveRelative),
    });
}

int PP_Abs_move_enhance(int node, int position) {
    return write_frames(
        {write_u32(node, object::kTargetPosition, static_cast<std::uint32_t>(position))});
}

}  // extern "C"
