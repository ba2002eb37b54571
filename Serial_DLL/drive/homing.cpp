// Homing mode (6). Method 0 takes a speed limit and a torque instead of search speeds.
#include "command_sequence.h"
#include "orvex.h"

using namespace orvex;

extern "C" {

int HM_Set(int node, int speedSwitch, int speedZero, unsigned accelerationOrTorque, int method) {
    // The method object is one signed byte. A method outside its range would reach the drive as
    // its low byte only while the branch below tests the whole argument, setting up the drive for
    // a method it was not given: it is refused before anything is sent. A method in range goes out
    // with a one-byte command and all four bytes of the argument, as ever.
    if (method < -128 || method > 127) {
        record(Outcome::kBadArgument);
        return 0;
    }
    if (!write_frames({
            write_controlword(node, controlword::kHalt),
            write_mode(node, mode::kHoming),
            sdo_download(node, sdo::kDownload1, object::kHomingMethod,
                         static_cast<std::uint32_t>(method)),
        }))
        return 0;
    if (method == 0) {
        return write_frames({
            write_u32(node, object::kMaxProfileVelocity, static_cast<std::uint32_t>(speedSwitch)),
            write_u32(node, object::kTargetTorque, accelerationOrTorque),
        });
    }
    return write_frames({
        write_u32(node, object::kHomingSpeedSwitch, static_cast<std::uint32_t>(speedSwitch)),
        write_u32(node, object::kHomingSpeedZero, static_cast<std::uint32_t>(speedZero)),
        write_u32(node, object::kHomingAcceleration, accelerationOrTorque),
    });
}

int HM_start_motor(int node) {
    return write_frames({write_controlword(node, controlword::kHomingStart)});
}

}  // extern "C"
