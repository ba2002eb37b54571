// The help texts of orvex: the general one and one per command.
#pragma once

#include <string>

namespace orvex::cli {

std::string GeneralHelp();
// The help of command `name`, or an empty string for an unknown command.
std::string CommandHelp(const std::string& name);

// The texts of the command table (command_table.cpp).
extern const char kEnableHelp[];
extern const char kDisableHelp[];
extern const char kQuickStopHelp[];
extern const char kHaltHelp[];
extern const char kResetHelp[];
extern const char kRestartHelp[];
extern const char kStatusHelp[];
extern const char kPositionHelp[];
extern const char kVersionHelp[];
extern const char kSummaryHelp[];
extern const char kSdoHelp[];
extern const char kLedHelp[];
extern const char kProfilePositionHelp[];
extern const char kProfileVelocityHelp[];
extern const char kHomingHelp[];
extern const char kTorqueHelp[];
extern const char kRawHelp[];

}  // namespace orvex::cli
