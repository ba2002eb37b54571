// Profile velocity mode (3): set up held by halt, released by PV_start_motor.
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int PV_Set(int node, int velocity, unsigned acceleration, unsigned deceleration) {
    return write_frames({
        write_mode(node, mode::kProfileVelocity),
        write_controlword(node, controlword::kHalt),
        write_u32(node, object::kTargetVelocity, static_cast<std::uint32_t>(velocity)),
        write_u32(node, object::kProfileAcceleration, acceleration),
        write_u32(node, object::kProfileDeceleration, deceleration),
    });
}

int PV_Set_Vel(int node, int velocity) {
    return write_frames(
        {write_u32(node, object::kTargetVelocity, static_cast<std::uint32_t>(velocity))});
}

}  // extern "C"
