// Setting a drive up for an operating mode without switching it on: the mode, confirmed by the
// drive's mode display, and the profile, homing and velocity parameters, each write confirmed.
// Unlike PP_Set, PV_Set and HM_Set, nothing here writes the controlword: a drive that is not in
// operation enabled stays as it is, and one that is goes on as it was.
#include <initializer_list>

#include "drive_link.h"
#include "procedure.h"

namespace orvex::cia402 {
namespace {

Outcome set_mode(const DriveLink& drive, const Deadline& deadline, int mode) {
    Outcome outcome = drive.write(object::kModesOfOperation, sdo::kDownload1,
                                  static_cast<std::uint32_t>(mode) & 0xFF);
    if (outcome != Outcome::kOk) return outcome;
    // The drive shows the mode it runs in 0x6061 once it has switched.
    for (;;) {
        std::uint32_t shown = 0;
        outcome = drive.read(object::kModesOfOperationDisplay, shown);
        if (outcome != Outcome::kOk) return outcome;
        if (static_cast<std::int8_t>(shown & 0xFF) == mode) return Outcome::kOk;
        if (drive.stopped()) return Outcome::kStateChanged;
        if (deadline.expired()) return Outcome::kTimeout;
        deadline.pause(kPollMs);
        if (deadline.cancelled()) return Outcome::kCancelled;
    }
}

// Writes each object in turn, confirmed; the first refusal ends it.
Outcome write_all(const DriveLink& drive, std::initializer_list<ObjectEntry> entries,
                  std::initializer_list<std::uint32_t> values) {
    const std::uint32_t* value = values.begin();
    for (const ObjectEntry& entry : entries) {
        const Outcome outcome = drive.write(entry, sdo::kDownload4, *value++);
        if (outcome != Outcome::kOk) return outcome;
    }
    return Outcome::kOk;
}

}  // namespace
}  // namespace orvex::cia402

using namespace orvex;
using namespace orvex::cia402;

extern "C" {

int Orvex_SetMode(int node, int mode, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms) || mode < -128 || mode > 127)
        return finish(Outcome::kBadArgument);
    return finish(set_mode(DriveLink(node), procedure_deadline(timeout_ms), mode));
}

int Orvex_SetProfile(int node, int velocity, unsigned acceleration, unsigned deceleration) {
    if (!valid_node(node)) return finish(Outcome::kBadArgument);
    return finish(write_all(
        DriveLink(node),
        {object::kProfileVelocity, object::kProfileAcceleration, object::kProfileDeceleration},
        {static_cast<std::uint32_t>(velocity), acceleration, deceleration}));
}

int Orvex_SetHoming(int node, int method, int speed_switch, int speed_zero, unsigned acceleration) {
    if (!valid_node(node) || method < -128 || method > 127) return finish(Outcome::kBadArgument);
    const DriveLink drive(node);
    Outcome outcome = drive.write(object::kHomingMethod, sdo::kDownload1,
                                  static_cast<std::uint32_t>(method) & 0xFF);
    if (outcome == Outcome::kOk)
        outcome = write_all(
            drive,
            {object::kHomingSpeedSwitch, object::kHomingSpeedZero, object::kHomingAcceleration},
            {static_cast<std::uint32_t>(speed_switch), static_cast<std::uint32_t>(speed_zero),
             acceleration});
    return finish(outcome);
}

int Orvex_SetVelocity(int node, int velocity) {
    if (!valid_node(node)) return finish(Outcome::kBadArgument);
    return finish(DriveLink(node).write(object::kTargetVelocity, sdo::kDownload4,
                                        static_cast<std::uint32_t>(velocity)));
}

}  // extern "C"
