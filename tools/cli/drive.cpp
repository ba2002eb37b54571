#include "drive.h"

#include <chrono>
#include <iostream>

#include "interrupt.h"
#include "orvex.h"

namespace orvex::cli {
namespace {

constexpr int kStatusPollMs = 5;

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

std::string DescribeFault(const FaultDetail& fault) {
    std::string text;
    if (fault.error_code) {
        text = "error code " + HexValue(*fault.error_code, 2) + " (" +
               ErrorCodeMeaning(*fault.error_code) + ")";
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

std::uint16_t Drive::ReadStatusword() const {
    const auto statusword = static_cast<std::uint16_t>(port_.Read(node_, kStatusword, 2) & 0xFFFF);
    if (verbose_ && (!last_shown_ || *last_shown_ != statusword)) {
        std::cerr << "orvex: " << name() << ": statusword " << HexValue(statusword, 2) << " ("
                  << StateName(statusword) << ")\n";
    }
    last_shown_ = statusword;
    return statusword;
}

std::optional<std::uint16_t> Drive::ReadControlword() const {
    std::uint32_t value = 0;
    if (!port_.ReadIfPresent(node_, kControlword, 2, &value)) return std::nullopt;
    if (verbose_) {
        std::cerr << "orvex: " << name() << ": controlword reads " << HexValue(value & 0xFFFF, 2)
                  << "\n";
    }
    return static_cast<std::uint16_t>(value & 0xFFFF);
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

void Drive::WriteControlword(std::uint16_t value, const char* command) const {
    WriteObject(kControlword, value, 2, command);
}

void Drive::WriteObject(ObjectRef object, std::uint32_t value, int size, const char* what) const {
    if (verbose_) {
        std::cerr << "orvex: " << name() << ": " << FormatObject(object) << " <- "
                  << HexValue(value, size) << " (" << what << ")\n";
    }
    port_.Require(SDO_Write(node_, object.index, object.subindex, value, size),
                  "write " + FormatObject(object) + " of " + name());
}

void Drive::NoteSent(const std::string& text) const {
    if (verbose_) std::cerr << "orvex: " << name() << ": " << text << "\n";
}

std::uint16_t Drive::AwaitStatus(const std::function<bool(std::uint16_t)>& done, int limit_ms,
                                 bool* held) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const std::uint16_t statusword = ReadStatusword();
        *held = done(statusword);
        if (*held || MillisecondsSince(start) >= limit_ms) return statusword;
        SleepMs(kStatusPollMs);
        ThrowIfInterrupted();
    }
}

void Drive::FailInFault(std::uint16_t statusword) const {
    const FaultDetail fault = ReadFault();
    throw Failure(name() + " is in " + StateName(statusword) + ": " + DescribeFault(fault) +
                  "; 'orvex reset' clears it");
}

std::uint16_t Drive::RequireNoFault() const {
    const std::uint16_t statusword = ReadStatusword();
    if (InFault(statusword)) FailInFault(statusword);
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

int Drive::Enable() const {
    int written = 0;
    std::uint16_t statusword = ReadStatusword();
    // Each pass takes one transition; a drive that ends a quick stop in switch on disabled needs
    // the whole walk again, hence more passes than states.
    for (int pass = 0; pass < 8; ++pass) {
        const PowerState state = StateOf(statusword);
        std::uint16_t command = 0;
        const char* command_name = "";
        switch (state) {
            case PowerState::kOperationEnabled:
                return written;
            case PowerState::kFault:
            case PowerState::kFaultReactionActive:
                FailInFault(statusword);
            case PowerState::kUnknown:
                throw Failure(name() + " shows no CiA 402 state (statusword " +
                              HexValue(statusword, 2) + ")");
            case PowerState::kNotReadyToSwitchOn: {
                // The drive leaves this state by itself once its self-test is done.
                bool left = false;
                statusword = AwaitStatus(
                    [](std::uint16_t s) { return StateOf(s) != PowerState::kNotReadyToSwitchOn; },
                    kStepLimitMs, &left);
                if (!left) {
                    throw Failure(name() + " stayed not ready to switch on for " +
                                  std::to_string(kStepLimitMs) + " ms");
                }
                continue;
            }
            case PowerState::kSwitchOnDisabled:
                command = kControlShutdown;
                command_name = "shutdown";
                break;
            case PowerState::kReadyToSwitchOn:
                command = kControlSwitchOn;
                command_name = "switch on";
                break;
            case PowerState::kSwitchedOn:
                command = kControlEnableOperation;
                command_name = "enable operation";
                break;
            case PowerState::kQuickStopActive:
                // Back to operation enabled where the drive's quick stop option allows it; a
                // drive that does not goes on to switch on disabled once it stands, and the walk
                // starts again from there.
                command = kControlEnableOperation;
                command_name = "enable operation";
                break;
        }
        WriteControlword(command, command_name);
        ++written;
        bool moved = false;
        statusword = AwaitStatus([state](std::uint16_t s) { return StateOf(s) != state; },
                                 kStepLimitMs, &moved);
        if (!moved) {
            throw Failure(name() + " stayed " + StateName(state) + " for " +
                          std::to_string(kStepLimitMs) + " ms after " + command_name +
                          " (controlword " + HexValue(command, 2) + ")");
        }
    }
    throw Failure(name() + " did not reach operation enabled (now " + StateName(statusword) + ")");
}

}  // namespace orvex::cli
