// One simulated CiA 402 servo drive: power state machine, operating modes and a motion model
// that advances by the elapsed time it is given, so it runs without a clock in tests.
#pragma once

#include <cstdint>
#include <vector>

#include "codec.h"
#include "object_dictionary.h"
#include "pdo.h"

namespace orvex::sim {

enum class DriveState {
    kSwitchOnDisabled,
    kReadyToSwitchOn,
    kSwitchedOn,
    kOperationEnabled,
    kQuickStopActive,
    kFault,
};

const char* StateName(DriveState state);

// CiA 301 network state, as the heartbeat reports it.
enum class NmtState : uint8_t {
    kBootUp = codec::kNmtBootUp,
    kStopped = codec::kNmtStopped,
    kOperational = codec::kNmtOperational,
    kPreOperational = codec::kNmtPreOperational,
};

const char* NmtStateName(NmtState state);

// Modes the model runs, one bit each as in supported drive modes (0x6502).
constexpr uint32_t kSupportedModes = (1u << 0) | (1u << 2) | (1u << 3) | (1u << 5);

// Error code a drive put into fault without one carries: following error.
constexpr uint16_t kFollowingError = 0x8611;

// Error register (0x1001) bits for an error code: generic always, plus its class.
uint8_t ErrorRegisterFor(uint16_t error_code);

// One emergency message the drive has to send: error code and error register.
struct Emergency {
    uint16_t error_code;
    uint8_t error_register;
};

// Modes of operation (0x6060) that move the motor.
constexpr int8_t kModeProfilePosition = 1;
constexpr int8_t kModeProfileVelocity = 3;
constexpr int8_t kModeProfileTorque = 4;
constexpr int8_t kModeHoming = 6;

// Statusword bits the model drives beyond the state bits.
constexpr uint16_t kStatusTargetReached = 1u << 10;
constexpr uint16_t kStatusModeSpecific = 1u << 12;  // set-point acknowledge / homing attained
constexpr uint16_t kStatusHomingError = 1u << 13;

class Drive {
  public:
    static constexpr double kStepSeconds = 0.001;
    // Acceleration at rated torque (1000 per mille), in position units/s^2.
    static constexpr double kRatedAcceleration = 100000.0;
    // Distance from the homing start to the simulated switch or hard stop.
    static constexpr double kHomingTravel = 500.0;
    // Distance the zero search backs off from the switch.
    static constexpr double kHomingBackOff = 100.0;
    // Time the drive presses against the hard stop before it accepts it as found.
    static constexpr double kHardStopDwell = 0.05;

    // `strict` follows the CiA 402 state machine and set-point handshake to the letter; otherwise
    // the drive takes the host's controlwords as direct commands, as the original drives did.
    explicit Drive(int node, bool strict = false);

    int node() const { return node_; }

    // SDO access. Both return 0 or an SDO abort code. `announced_size` is the size the download
    // command announced (0 when it announced none); with `strict_sizes` a different size than the
    // object's is refused, otherwise the low bytes that the object holds are stored.
    uint32_t Read(uint16_t index, uint8_t subindex, uint32_t* value, std::size_t* size) const;
    uint32_t Write(uint16_t index, uint8_t subindex, uint32_t value, std::size_t announced_size,
                   bool strict_sizes);
    // True for a string or DOMAIN object (held as bytes, of any length).
    bool HoldsBytes(uint16_t index, uint8_t subindex) const {
        return od_.FindBytes(index, subindex) != nullptr;
    }
    // Any object as bytes, least significant first for numbers: what transfers of any size carry.
    uint32_t ReadBytes(uint16_t index, uint8_t subindex, std::vector<uint8_t>* data) const;
    // 0 when a download of `size` bytes (0: not announced) may start; else its abort code.
    uint32_t CheckWrite(uint16_t index, uint8_t subindex, std::size_t size,
                        bool strict_sizes) const;
    uint32_t WriteBytes(uint16_t index, uint8_t subindex, const std::vector<uint8_t>& data,
                        bool strict_sizes);

    // Runs the motion model for `seconds` in fixed 1 ms steps; a remainder carries over.
    void Advance(double seconds);

    // Puts the drive into fault as a failing power stage would.
    void InjectFault(uint16_t error_code);
    // Every homing run of this drive ends in a homing error (statusword bit 13) instead of
    // attaining home: it stops where it finds no reference.
    void set_homing_fails(bool fails) { homing_fails_ = fails; }

    // Emergency messages raised since the last call (entering fault, fault reset), oldest first.
    std::vector<Emergency> TakeEmergencies();

    bool strict() const { return strict_; }
    NmtState nmt_state() const { return nmt_state_; }
    void set_nmt_state(NmtState state) { nmt_state_ = state; }
    // Heartbeat producer time (0x1017) in ms; 0 when the drive sends none.
    // Every object with its present value.
    const ObjectDictionary& dictionary() const { return od_; }
    uint16_t heartbeat_ms() const { return static_cast<uint16_t>(od_.GetUnsigned(0x1017, 0)); }
    void set_heartbeat_ms(uint16_t ms) { od_.Set(0x1017, 0, ms); }

    // Transmit PDOs: runs their event timers for `seconds` (after the motion, so the frames carry
    // the values at the end of it) and returns the frames due; they send only while operational.
    std::vector<codec::Frame> TransmitPdos(double seconds) {
        return tpdos_.Advance(od_, nmt_state_ == NmtState::kOperational, seconds);
    }
    // Seconds until a TPDO is due, or below 0 when none sends.
    double SecondsToNextPdo() const {
        return tpdos_.SecondsToNext(od_, nmt_state_ == NmtState::kOperational);
    }
    // A reset of communication puts the TPDO objects back to their power-on values.
    void ResetPdoObjects() { AddTpdoObjects(&od_, node_); }

    DriveState state() const { return state_; }
    int8_t mode() const { return static_cast<int8_t>(od_.GetSigned(0x6060, 0)); }
    double position() const { return position_; }
    double velocity() const { return velocity_; }
    uint16_t statusword() const { return static_cast<uint16_t>(od_.GetUnsigned(0x6041, 0)); }
    uint16_t error_code() const { return static_cast<uint16_t>(od_.GetUnsigned(0x603F, 0)); }
    bool moving() const;
    bool homing() const { return homing_phase_ != HomingPhase::kIdle; }

  private:
    enum class HomingPhase { kIdle, kSearchSwitch, kSearchZero, kStopAtZero, kPressHardStop };

    void OnControlword(uint16_t controlword);
    void OnControlwordStrict(uint16_t controlword, uint16_t previous);
    void LeaveOperation();
    bool QuickStopStaysActive() const;
    void OnModeChange();
    void StartSetPoint(uint16_t controlword);
    void StartHoming();
    void FinishHoming();
    void Step(double dt);
    void StepProfilePosition(double dt);
    void StepHoming(double dt);
    void RampVelocity(double target, double acceleration, double deceleration, double dt);
    void UpdateStatus();

    uint32_t Param(uint16_t index, uint8_t subindex = 0) const {
        return od_.GetUnsigned(index, subindex);
    }
    // Speeds and accelerations of 0 would freeze the motor for good; treat them as 1.
    double Rate(uint16_t index, uint8_t subindex = 0) const;

    int node_;
    bool strict_;
    ObjectDictionary od_;
    NmtState nmt_state_ = NmtState::kPreOperational;
    std::vector<Emergency> emergencies_;
    TpdoTimers tpdos_;
    DriveState state_ = DriveState::kSwitchOnDisabled;
    uint16_t last_controlword_ = 0;
    double position_ = 0.0;
    double velocity_ = 0.0;
    double torque_ = 0.0;  // per mille of rated torque
    double pending_time_ = 0.0;

    // Profile position: the set-point in progress and one buffered behind it.
    bool pp_active_ = false;
    double pp_target_ = 0.0;
    bool pp_buffered_ = false;
    double pp_buffered_target_ = 0.0;
    bool pp_acknowledged_ = false;  // strict: set-point acknowledge (statusword bit 12)

    HomingPhase homing_phase_ = HomingPhase::kIdle;
    bool homing_attained_ = false;
    bool homing_fails_ = false;
    bool homing_error_ = false;
    bool homing_hard_stop_ = false;  // method 0: run against a mechanical stop by torque
    double homing_direction_ = -1.0;
    double homing_mark_ = 0.0;  // switch or hard stop position of the current run
    double homing_dwell_ = 0.0;
};

}  // namespace orvex::sim
