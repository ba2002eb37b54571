#include "drive.h"

#include <iostream>

#include "interrupt.h"
#include "orvex.h"

namespace orvex::cli {

std::string DescribeFault(const FaultDetail& fault) {
    std::string text;
    if (fault.error_code) {
        text = "error code " + HexValue(*fault.error_code, 2) + " (" +
               std::string(ErrorCodeMeaning(*fault.error_code)) + ")";
    }
    if (fault.error_register) {
        if (!text.empty()) text += ", ";
        const std::string bits = Join(ErrorRegisterFlags(*fault.error_register), ", ");
        text += "error register " + HexValue(*fault.error_register, 1) +
                (bits.empty() ? "" : " (" + bits + ")");
    }
    return text.empty() ? "no error code readable" : text;
}

Drive::Drive(const Port& port, int node, bool verbose)
    : port_(port), node_(node), verbose_(verbose) {}

PowerState Drive::ReadState(std::uint16_t* statusword) const {
    unsigned word = 0;
    const int state = Orvex_GetState(node_, &word);
    ThrowIfInterrupted();
    if (state < 0) port_.FailQuery(node_, kStatusword);
    const auto value = static_cast<std::uint16_t>(word & 0xFFFF);
    if (verbose_ && (!last_shown_ || *last_shown_ != value)) {
        std::cerr << "orvex: " << name() << ": statusword " << HexValue(value, 2) << " ("
                  << StateName(static_cast<PowerState>(state)) << ")\n";
    }
    last_shown_ = value;
    if (statusword != nullptr) *statusword = value;
    return static_cast<PowerState>(state);
}

std::uint16_t Drive::ReadStatusword() const {
    std::uint16_t statusword = 0;
    ReadState(&statusword);
    return statusword;
}

FaultDetail Drive::ReadFault() const {
    FaultDetail fault;
    std::uint32_t value = 0;
    if (port_.ReadIfPresent(node_, kErrorCode, 2, &value)) {
        fault.error_code = static_cast<std::uint16_t>(value & 0xFFFF);
    }
    if (port_.ReadIfPresent(node_, kErrorRegister, 1, &value)) {
        fault.error_register = static_cast<std::uint8_t>(value & 0xFF);
    }
    if (verbose_) std::cerr << "orvex: " << name() << ": " << DescribeFault(fault) << "\n";
    return fault;
}

void Drive::Note(const std::string& text) const {
    if (verbose_) std::cerr << "orvex: " << name() << ": " << text << "\n";
}

void Drive::FailInFault(std::uint16_t statusword) const {
    const FaultDetail fault = ReadFault();
    throw Failure(name() + " is in " + StateName(statusword) + ": " + DescribeFault(fault) +
                  "; 'orvex reset' clears it");
}

std::uint16_t Drive::RequireNoFault() const {
    std::uint16_t statusword = 0;
    if (InFault(ReadState(&statusword))) FailInFault(statusword);
    return statusword;
}

std::uint16_t Drive::RequireOperationEnabled(const std::string& action) const {
    const std::uint16_t statusword = RequireNoFault();
    if (StateOf(statusword) != PowerState::kOperationEnabled) {
        throw Failure(name() + " is " + StateName(statusword) +
                      ", not operation enabled: 'orvex enable' enables it before it can " + action);
    }
    return statusword;
}

void Drive::Check(int result, const std::string& action, int mode) const {
    ThrowIfInterrupted();
    if (result == 1) return;
    FailProcedure(Orvex_LastResult(), action, mode);
}

void Drive::FailProcedure(int outcome, const std::string& action, int mode) const {
    switch (outcome) {
        case ORVEX_DRIVE_FAULT: {
            std::uint16_t statusword = 0;
            if (InFault(ReadState(&statusword))) FailInFault(statusword);
            // Another master reset the fault meanwhile.
            throw Failure(name() + " was in fault and could not " + action + "; now " +
                          StateName(statusword));
        }
        case ORVEX_WRONG_STATE: {
            std::uint16_t statusword = RequireOperationEnabled(action);
            std::uint32_t shown = 0;
            if (mode != 0 && port_.ReadIfPresent(node_, kModesDisplay, 1, &shown)) {
                const int actual = static_cast<std::int8_t>(shown & 0xFF);
                throw Failure(name() + " is in " + ModeName(actual) + " mode (" +
                              std::to_string(actual) + "), not " + ModeName(mode) + ": '" +
                              (mode == codec::kModeHoming ? "orvex home set" : "orvex pp set") +
                              "' selects it");
            }
            throw Failure(name() + " cannot " + action + " in its state (statusword " +
                          HexValue(statusword, 2) + ")");
        }
        case ORVEX_STATE_CHANGED: {
            std::uint16_t statusword = 0;
            const PowerState state = ReadState(&statusword);
            const std::string position = std::to_string(port_.Position(node_));
            if (state == PowerState::kOperationEnabled) {
                throw Failure(name() + " stopped short during " + action +
                              ": halted, or its motion was ended by another master (position " +
                              position + ")");
            }
            throw Failure(name() + " left operation enabled during " + action + ": now " +
                          StateName(state) + " at position " + position);
        }
        case ORVEX_HOMING_ERROR:
            throw Failure(name() + " reports a homing error (statusword bit 13) at position " +
                          std::to_string(port_.Position(node_)) + ": no reference found");
        case ORVEX_VALUE_MISMATCH:
            throw Failure(name() + " did not take the value: " + action +
                          " reads back another value (refused or limited by the drive)");
        case ORVEX_TIMEOUT: {
            unsigned word = 0;
            const int state = Orvex_GetState(node_, &word);
            ThrowIfInterrupted();
            if (state < 0) port_.FailQuery(node_, kStatusword);
            throw Failure(name() + " did not " + action + " in time: still " +
                          StateName(static_cast<PowerState>(state)) + " (statusword " +
                          HexValue(word & 0xFFFF, 2) + ")");
        }
        default:
            port_.Require(0, action + " " + name());
            throw Failure("cannot " + action);  // not reached: Require throws
    }
}

}  // namespace orvex::cli
