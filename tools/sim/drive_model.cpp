#include "drive_model.h"

#include <algorithm>
#include <cmath>

#include "names.h"

namespace orvex::sim {

namespace {

constexpr uint16_t kControlSwitchOn = 1u << 0;
constexpr uint16_t kControlEnableVoltage = 1u << 1;
constexpr uint16_t kControlQuickStopOff = 1u << 2;  // quick stop is active low
constexpr uint16_t kControlEnableOperation = 1u << 3;
constexpr uint16_t kControlNewSetPoint = 1u << 4;  // also homing operation start
constexpr uint16_t kControlChangeImmediately = 1u << 5;
constexpr uint16_t kControlRelative = 1u << 6;
constexpr uint16_t kControlFaultReset = 1u << 7;
constexpr uint16_t kControlHalt = 1u << 8;

constexpr uint16_t kStatusVoltageEnabled = 1u << 4;
constexpr uint16_t kStatusRemote = 1u << 9;

constexpr double kInfiniteRate = 1e30;

bool HomesInNegativeDirection(int8_t method) {
    switch (method) {
        case 1:
        case 5:
        case 6:
        case 11:
        case 12:
        case 13:
        case 14:
        case 17:
        case 21:
        case 22:
        case 27:
        case 28:
        case 29:
        case 30:
        case 33:
            return true;
        default:
            return method < 0;  // manufacturer methods search towards the negative end
    }
}

uint32_t ToRaw(double value) {
    const double clamped = std::clamp(std::round(value), -2147483648.0, 2147483647.0);
    return static_cast<uint32_t>(static_cast<int32_t>(clamped));
}

}  // namespace

const char* NmtStateName(NmtState state) {
    return codec::NmtStateName(static_cast<uint8_t>(state));
}

uint8_t ErrorRegisterFor(uint16_t error_code) {
    if (error_code == 0) return 0;
    uint8_t bits = 0x01;  // generic error
    switch (error_code >> 12) {
        case 0x2:
            bits |= 0x02;  // current
            break;
        case 0x3:
            bits |= 0x04;  // voltage
            break;
        case 0x4:
            bits |= 0x08;  // temperature
            break;
        case 0x8:
            // 0x81xx is communication; the rest of 0x8xxx is the drive's own control monitoring.
            bits |= (error_code >> 8) == 0x81 ? 0x10 : 0x20;
            break;
        case 0xF:
            bits |= 0x80;  // manufacturer specific
            break;
        default:
            break;
    }
    return bits;
}

const char* StateName(DriveState state) {
    switch (state) {
        case DriveState::kSwitchOnDisabled:
            return "switch on disabled";
        case DriveState::kReadyToSwitchOn:
            return "ready to switch on";
        case DriveState::kSwitchedOn:
            return "switched on";
        case DriveState::kOperationEnabled:
            return "operation enabled";
        case DriveState::kQuickStopActive:
            return "quick stop active";
        case DriveState::kFault:
            return "fault";
    }
    return "?";
}

Drive::Drive(int node, bool strict) : node_(node), strict_(strict), od_(MakeDriveDictionary(node)) {
    UpdateStatus();
}

uint32_t Drive::Read(uint16_t index, uint8_t subindex, uint32_t* value, std::size_t* size) const {
    const ObjectEntry* entry = od_.Find(index, subindex);
    if (entry == nullptr) return od_.MissingEntryAbort(index);
    *value = entry->raw;
    *size = SizeOf(entry->type);
    return 0;
}

uint32_t Drive::Write(uint16_t index, uint8_t subindex, uint32_t value, std::size_t announced_size,
                      bool strict_sizes) {
    const ObjectEntry* entry = od_.Find(index, subindex);
    if (entry == nullptr) return od_.MissingEntryAbort(index);
    if (entry->access == Access::kReadOnly) return kAbortReadOnly;
    if (strict_sizes && announced_size != 0 && announced_size != SizeOf(entry->type)) {
        return kAbortLengthMismatch;
    }
    if (IsTpdoObject(index)) {
        const std::size_t size = SizeOf(entry->type);
        const uint32_t stored = size >= 4 ? value : value & ((1u << (8 * size)) - 1u);
        const uint32_t code = CheckTpdoWrite(od_, index, subindex, stored);
        if (code != 0) return code;
    }
    if (strict_ && index == 0x6060) {
        const int8_t requested = static_cast<int8_t>(value & 0xFF);
        const bool modelled =
            requested > 0 && requested < 32 && ((kSupportedModes >> (requested - 1)) & 1u) != 0;
        if (requested != 0 && !modelled) return kAbortInvalidValue;
    }
    const int8_t old_mode = mode();
    od_.Set(index, subindex, value);
    if (index == 0x6040) OnControlword(static_cast<uint16_t>(od_.GetUnsigned(0x6040, 0)));
    if (index == 0x6060 && mode() != old_mode) OnModeChange();
    UpdateStatus();
    return 0;
}

uint32_t Drive::ReadBytes(uint16_t index, uint8_t subindex, std::vector<uint8_t>* data) const {
    if (const ByteObject* bytes = od_.FindBytes(index, subindex)) {
        *data = bytes->data;
        return 0;
    }
    uint32_t value = 0;
    std::size_t size = 0;
    const uint32_t code = Read(index, subindex, &value, &size);
    if (code != 0) return code;
    data->clear();
    for (std::size_t i = 0; i < size; ++i) data->push_back(static_cast<uint8_t>(value >> (8 * i)));
    return 0;
}

uint32_t Drive::CheckWrite(uint16_t index, uint8_t subindex, std::size_t size,
                           bool strict_sizes) const {
    if (const ByteObject* bytes = od_.FindBytes(index, subindex)) {
        if (bytes->access == Access::kReadOnly) return kAbortReadOnly;
        return size > bytes->max_size ? kAbortLengthTooHigh : 0;
    }
    const ObjectEntry* entry = od_.Find(index, subindex);
    if (entry == nullptr) return od_.MissingEntryAbort(index);
    if (entry->access == Access::kReadOnly) return kAbortReadOnly;
    if (size > 4) return kAbortLengthTooHigh;
    if (strict_sizes && size != 0 && size != SizeOf(entry->type)) return kAbortLengthMismatch;
    return 0;
}

uint32_t Drive::WriteBytes(uint16_t index, uint8_t subindex, const std::vector<uint8_t>& data,
                           bool strict_sizes) {
    const uint32_t code = CheckWrite(index, subindex, data.size(), strict_sizes);
    if (code != 0) return code;
    if (od_.FindBytes(index, subindex) != nullptr) {
        od_.SetBytes(index, subindex, data);
        return 0;
    }
    if (data.empty()) return kAbortLengthTooLow;
    uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        value |= static_cast<uint32_t>(data[i]) << (8 * i);
    return Write(index, subindex, value, data.size(), strict_sizes);
}

void Drive::InjectFault(uint16_t error_code) {
    if (error_code == 0) error_code = kFollowingError;
    state_ = DriveState::kFault;
    od_.Set(0x603F, 0, error_code);
    od_.Set(0x1001, 0, ErrorRegisterFor(error_code));
    emergencies_.push_back({error_code, ErrorRegisterFor(error_code)});
    LeaveOperation();
    UpdateStatus();
}

std::vector<Emergency> Drive::TakeEmergencies() {
    std::vector<Emergency> taken;
    taken.swap(emergencies_);
    return taken;
}

void Drive::LeaveOperation() {
    pp_active_ = pp_buffered_ = false;
    pp_acknowledged_ = false;
    homing_phase_ = HomingPhase::kIdle;
}

bool Drive::QuickStopStaysActive() const {
    const int32_t option = od_.GetSigned(0x605A, 0);
    return option >= 5 && option <= 8;
}

bool Drive::moving() const {
    const int8_t m = mode();
    return velocity_ != 0.0 || pp_active_ || homing() ||
           (state_ == DriveState::kOperationEnabled &&
            (m == kModeProfileVelocity || m == kModeProfileTorque));
}

double Drive::Rate(uint16_t index, uint8_t subindex) const {
    return std::max(1.0, static_cast<double>(Param(index, subindex)));
}

void Drive::OnControlword(uint16_t controlword) {
    const uint16_t previous_controlword = last_controlword_;
    const bool fault_reset =
        (controlword & kControlFaultReset) != 0 && (previous_controlword & kControlFaultReset) == 0;
    last_controlword_ = controlword;

    if (state_ == DriveState::kFault) {
        if (fault_reset) {
            state_ = DriveState::kSwitchOnDisabled;
            od_.Set(0x603F, 0, 0);
            od_.Set(0x1001, 0, 0);
            emergencies_.push_back({0, 0});  // error reset
        }
        return;
    }
    if (strict_) {
        OnControlwordStrict(controlword, previous_controlword);
        return;
    }

    // The host writes the target command directly, without stepping through the intermediate
    // states, so each command is taken from whatever non-fault state the drive is in.
    const DriveState previous = state_;
    if ((controlword & kControlEnableVoltage) == 0) {
        state_ = DriveState::kSwitchOnDisabled;
    } else if ((controlword & kControlQuickStopOff) == 0) {
        const bool running =
            previous == DriveState::kOperationEnabled || previous == DriveState::kQuickStopActive;
        state_ = running ? DriveState::kQuickStopActive : DriveState::kSwitchOnDisabled;
    } else if ((controlword & kControlSwitchOn) == 0) {
        state_ = DriveState::kReadyToSwitchOn;
    } else if ((controlword & kControlEnableOperation) == 0) {
        state_ = DriveState::kSwitchedOn;
    } else {
        state_ = DriveState::kOperationEnabled;
    }

    if (state_ != DriveState::kOperationEnabled) {
        pp_active_ = pp_buffered_ = false;
        homing_phase_ = HomingPhase::kIdle;
        return;
    }

    const bool halt = (controlword & kControlHalt) != 0;
    const int8_t m = mode();
    if (m == kModeProfilePosition && (controlword & kControlNewSetPoint) != 0) {
        // Every write with bit 4 set is a new set-point: the host never clears bit 4 between moves.
        StartSetPoint(controlword);
    } else if (m == kModeHoming) {
        if (halt) {
            homing_phase_ = HomingPhase::kIdle;
        } else if ((controlword & kControlNewSetPoint) != 0 && !homing()) {
            StartHoming();
        }
    }
}

void Drive::OnControlwordStrict(uint16_t controlword, uint16_t previous) {
    // While bit 7 is high the controlword asks for a fault reset, which only the fault state takes.
    if ((controlword & kControlFaultReset) == 0) {
        const DriveState from = state_;
        DriveState to = from;
        if ((controlword & kControlEnableVoltage) == 0) {
            to = DriveState::kSwitchOnDisabled;  // disable voltage
        } else if ((controlword & kControlQuickStopOff) == 0) {
            if (from == DriveState::kOperationEnabled) {
                to = od_.GetSigned(0x605A, 0) == 0 ? DriveState::kSwitchOnDisabled
                                                   : DriveState::kQuickStopActive;
            } else if (from == DriveState::kReadyToSwitchOn || from == DriveState::kSwitchedOn) {
                to = DriveState::kSwitchOnDisabled;
            }
        } else if ((controlword & kControlSwitchOn) == 0) {  // shutdown
            if (from == DriveState::kSwitchOnDisabled || from == DriveState::kSwitchedOn ||
                from == DriveState::kOperationEnabled) {
                to = DriveState::kReadyToSwitchOn;
            }
        } else if ((controlword & kControlEnableOperation) == 0) {  // switch on, disable operation
            if (from == DriveState::kReadyToSwitchOn || from == DriveState::kOperationEnabled) {
                to = DriveState::kSwitchedOn;
            }
        } else {  // switch on + enable operation, enable operation
            if (from == DriveState::kReadyToSwitchOn || from == DriveState::kSwitchedOn ||
                (from == DriveState::kQuickStopActive && QuickStopStaysActive())) {
                to = DriveState::kOperationEnabled;
            }
        }
        state_ = to;
    }

    if (state_ != DriveState::kOperationEnabled) {
        LeaveOperation();
        return;
    }

    const bool set_point_high = (controlword & kControlNewSetPoint) != 0;
    const bool set_point_edge = set_point_high && (previous & kControlNewSetPoint) == 0;
    const bool halt = (controlword & kControlHalt) != 0;
    const int8_t m = mode();
    if (m == kModeProfilePosition) {
        if (!set_point_high) {
            // The acknowledge stays while a buffered set-point fills the one place there is.
            if (!pp_buffered_) pp_acknowledged_ = false;
        } else if (set_point_edge) {
            const bool immediate = (controlword & kControlChangeImmediately) != 0 || !pp_active_;
            if (immediate || !pp_buffered_) {
                StartSetPoint(controlword);
                pp_acknowledged_ = true;
            }
        }
    } else if (m == kModeHoming) {
        if (halt || !set_point_high) {
            homing_phase_ = HomingPhase::kIdle;  // halt or a falling bit 4 interrupts homing
        } else if (set_point_edge) {
            StartHoming();
        }
    }
}

void Drive::OnModeChange() {
    pp_acknowledged_ = false;
    pp_active_ = pp_buffered_ = false;
    homing_phase_ = HomingPhase::kIdle;
    homing_attained_ = false;
    homing_error_ = false;
}

void Drive::StartSetPoint(uint16_t controlword) {
    const double value = od_.GetSigned(0x607A, 0);
    const bool immediate = (controlword & kControlChangeImmediately) != 0 || !pp_active_;
    double base = pp_active_ ? pp_target_ : position_;
    if (!immediate && pp_buffered_) base = pp_buffered_target_;
    const double target = (controlword & kControlRelative) != 0 ? base + value : value;
    if (immediate) {
        pp_target_ = target;
        pp_active_ = true;
        pp_buffered_ = false;
    } else {
        pp_buffered_target_ = target;
        pp_buffered_ = true;
    }
}

void Drive::StartHoming() {
    const int8_t method = static_cast<int8_t>(od_.GetSigned(0x6098, 0));
    homing_attained_ = false;
    homing_error_ = false;
    if (homing_fails_ && (method == 35 || method == 37)) {
        homing_error_ = true;  // no reference on the spot either
        return;
    }
    if (method == 35 || method == 37) {  // home on the current position
        FinishHoming();
        return;
    }
    homing_hard_stop_ = method == 0;
    if (homing_hard_stop_) {
        homing_direction_ = od_.GetSigned(0x6071, 0) < 0 ? -1.0 : 1.0;
    } else {
        homing_direction_ = HomesInNegativeDirection(method) ? -1.0 : 1.0;
    }
    homing_mark_ = position_ + homing_direction_ * kHomingTravel;
    homing_dwell_ = 0.0;
    homing_phase_ = HomingPhase::kSearchSwitch;
}

void Drive::FinishHoming() {
    position_ = 0.0;
    velocity_ = 0.0;
    pp_active_ = pp_buffered_ = false;
    homing_phase_ = HomingPhase::kIdle;
    homing_attained_ = true;
}

void Drive::Advance(double seconds) {
    pending_time_ += seconds;
    // The small tolerance keeps a float sum of 1 ms pieces from losing a step.
    while (pending_time_ >= kStepSeconds - 1e-9) {
        Step(kStepSeconds);
        pending_time_ -= kStepSeconds;
    }
    if (pending_time_ < 0.0) pending_time_ = 0.0;
    UpdateStatus();
}

void Drive::RampVelocity(double target, double acceleration, double deceleration, double dt) {
    const bool speeding_up = target * velocity_ >= 0.0 && std::fabs(target) > std::fabs(velocity_);
    const double change = (speeding_up ? acceleration : deceleration) * dt;
    if (std::fabs(target - velocity_) <= change) {
        velocity_ = target;
    } else {
        velocity_ += target > velocity_ ? change : -change;
    }
}

void Drive::Step(double dt) {
    const double start_velocity = velocity_;
    const bool halt = (last_controlword_ & kControlHalt) != 0;
    const int8_t m = mode();
    bool torque_commanded = false;

    if (state_ == DriveState::kQuickStopActive && strict_) {
        const int32_t option = od_.GetSigned(0x605A, 0);
        const bool slow_down_ramp = option == 1 || option == 5;
        RampVelocity(0.0, kInfiniteRate, Rate(slow_down_ramp ? 0x6084 : 0x6085), dt);
        position_ += velocity_ * dt;
        // Options 1 to 4 end the quick stop in switch on disabled once the motor stands.
        if (velocity_ == 0.0 && !QuickStopStaysActive()) state_ = DriveState::kSwitchOnDisabled;
    } else if (state_ == DriveState::kFault || state_ == DriveState::kQuickStopActive) {
        RampVelocity(0.0, kInfiniteRate, Rate(0x6085), dt);
        position_ += velocity_ * dt;
    } else if (state_ != DriveState::kOperationEnabled) {
        RampVelocity(0.0, kInfiniteRate, Rate(0x6084), dt);
        position_ += velocity_ * dt;
    } else if (homing()) {
        torque_commanded = homing_phase_ == HomingPhase::kPressHardStop;
        StepHoming(dt);
    } else if (halt) {
        RampVelocity(0.0, kInfiniteRate, Rate(m == kModeHoming ? 0x609A : 0x6084), dt);
        position_ += velocity_ * dt;
    } else if (m == kModeProfilePosition) {
        StepProfilePosition(dt);
    } else if (m == kModeProfileVelocity) {
        RampVelocity(od_.GetSigned(0x60FF, 0), Rate(0x6083), Rate(0x6084), dt);
        position_ += velocity_ * dt;
    } else if (m == kModeProfileTorque) {
        torque_commanded = true;
        torque_ = od_.GetSigned(0x6071, 0);
        const double limit = Param(0x607F);
        velocity_ += torque_ / 1000.0 * kRatedAcceleration * dt;
        velocity_ = std::clamp(velocity_, -limit, limit);
        position_ += velocity_ * dt;
    } else {
        RampVelocity(0.0, kInfiniteRate, Rate(0x6084), dt);
        position_ += velocity_ * dt;
    }

    if (!torque_commanded) {
        // Outside torque control the motor's torque is what its acceleration takes.
        const double acceleration = (velocity_ - start_velocity) / dt;
        torque_ = std::clamp(acceleration / kRatedAcceleration * 1000.0, -32768.0, 32767.0);
    }
}

void Drive::StepProfilePosition(double dt) {
    if (!pp_active_) {
        RampVelocity(0.0, kInfiniteRate, Rate(0x6084), dt);
        position_ += velocity_ * dt;
        return;
    }
    const double max_speed = Rate(0x6081);
    const double acceleration = Rate(0x6083);
    const double deceleration = Rate(0x6084);
    const double distance = pp_target_ - position_;
    const double direction = distance >= 0.0 ? 1.0 : -1.0;
    // The highest speed from which the motor still stops at the target with the deceleration.
    const double stopping_speed = std::sqrt(2.0 * deceleration * std::fabs(distance));

    double speed = velocity_ * direction;
    if (speed < 0.0) {
        speed = std::min(speed + deceleration * dt, 0.0);  // moving away: brake first
    } else if (speed > stopping_speed) {
        speed = stopping_speed;  // a set-point too close behind the motor: brake harder
    } else if (speed > max_speed) {
        speed = std::max(speed - deceleration * dt, max_speed);
    } else {
        speed = std::min({speed + acceleration * dt, max_speed, stopping_speed});
    }

    if (speed >= 0.0 && speed * dt >= std::fabs(distance)) {
        position_ = pp_target_;
        velocity_ = 0.0;
        pp_active_ = false;
        if (pp_buffered_) {
            pp_target_ = pp_buffered_target_;
            pp_active_ = true;
            pp_buffered_ = false;
        }
        return;
    }
    velocity_ = speed * direction;
    position_ += velocity_ * dt;
}

void Drive::StepHoming(double dt) {
    const double homing_acceleration = Rate(0x609A);
    const double toward_mark = homing_direction_;
    switch (homing_phase_) {
        case HomingPhase::kSearchSwitch: {
            double speed = Rate(0x6099, 1);
            double acceleration = homing_acceleration;
            if (homing_hard_stop_) {
                // Torque-limited run: the torque limit sets how fast the motor gets up to speed.
                speed = Rate(0x607F);
                const double torque = std::max(10.0, std::fabs(od_.GetSigned(0x6071, 0)));
                acceleration = torque / 1000.0 * kRatedAcceleration;
            }
            RampVelocity(toward_mark * speed, acceleration, acceleration, dt);
            position_ += velocity_ * dt;
            if ((position_ - homing_mark_) * toward_mark >= 0.0) {
                if (homing_fails_) {
                    // Past where the switch should be and none found: stop with a homing error.
                    velocity_ = 0.0;
                    homing_phase_ = HomingPhase::kIdle;
                    homing_error_ = true;
                } else if (homing_hard_stop_) {
                    position_ = homing_mark_;
                    velocity_ = 0.0;
                    homing_dwell_ = 0.0;
                    homing_phase_ = HomingPhase::kPressHardStop;
                } else {
                    homing_phase_ = HomingPhase::kSearchZero;
                }
            }
            break;
        }
        case HomingPhase::kSearchZero:
            // Reverse off the switch at the slower speed until the zero mark behind it.
            RampVelocity(-toward_mark * Rate(0x6099, 2), homing_acceleration, homing_acceleration,
                         dt);
            position_ += velocity_ * dt;
            if ((homing_mark_ - position_) * toward_mark >= kHomingBackOff) {
                homing_phase_ = HomingPhase::kStopAtZero;
            }
            break;
        case HomingPhase::kStopAtZero:
            RampVelocity(0.0, homing_acceleration, homing_acceleration, dt);
            position_ += velocity_ * dt;
            if (velocity_ == 0.0) FinishHoming();
            break;
        case HomingPhase::kPressHardStop:
            velocity_ = 0.0;
            torque_ = std::clamp<double>(od_.GetSigned(0x6071, 0), -32768.0, 32767.0);
            homing_dwell_ += dt;
            if (homing_dwell_ >= kHardStopDwell) {
                torque_ = 0.0;
                FinishHoming();
            }
            break;
        case HomingPhase::kIdle:
            break;
    }
}

void Drive::UpdateStatus() {
    uint16_t status = kStatusRemote;
    switch (state_) {
        case DriveState::kSwitchOnDisabled:
            status |= 0x0040;
            break;
        case DriveState::kReadyToSwitchOn:
            status |= 0x0021 | kStatusVoltageEnabled;
            break;
        case DriveState::kSwitchedOn:
            status |= 0x0023 | kStatusVoltageEnabled;
            break;
        case DriveState::kOperationEnabled:
            status |= 0x0027 | kStatusVoltageEnabled;
            break;
        case DriveState::kQuickStopActive:
            status |= 0x0007 | kStatusVoltageEnabled;
            break;
        case DriveState::kFault:
            status |= 0x0008;
            break;
    }

    const bool standing = velocity_ == 0.0;
    const int8_t m = mode();
    if (state_ == DriveState::kOperationEnabled) {
        const bool halt = (last_controlword_ & kControlHalt) != 0;
        bool reached = standing;
        bool mode_bit = false;
        switch (m) {
            case kModeProfilePosition:
                reached = halt ? standing : !pp_active_;
                if (strict_) {
                    if ((last_controlword_ & kControlNewSetPoint) == 0 && !pp_buffered_) {
                        pp_acknowledged_ = false;
                    }
                    mode_bit = pp_acknowledged_;
                } else {
                    mode_bit = (last_controlword_ & kControlNewSetPoint) != 0;
                }
                break;
            case kModeProfileVelocity:
                reached = halt ? standing : velocity_ == od_.GetSigned(0x60FF, 0);
                mode_bit = standing;  // speed is zero
                break;
            case kModeProfileTorque:
                reached = halt ? standing : true;
                break;
            case kModeHoming:
                // Not started, attained or halted at standstill all report target reached.
                reached = !homing() && standing;
                mode_bit = homing_attained_;
                if (homing_error_) status |= kStatusHomingError;
                break;
            default:
                break;
        }
        if (reached) status |= kStatusTargetReached;
        if (mode_bit) status |= kStatusModeSpecific;
    } else if (state_ == DriveState::kQuickStopActive && standing) {
        status |= kStatusTargetReached;
    }

    od_.Set(0x6041, 0, status);
    od_.Set(0x6061, 0, static_cast<uint32_t>(static_cast<uint8_t>(m)));
    od_.Set(0x6064, 0, ToRaw(position_));
    od_.Set(0x606C, 0, ToRaw(velocity_));
    od_.Set(0x6077, 0, ToRaw(torque_));
}

}  // namespace orvex::sim
