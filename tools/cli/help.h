// The help texts of orvex: the general one and one per command.
#pragma once

#include <string>

namespace orvex::cli {

std::string GeneralHelp();
// The help of command `name`, or an empty string for an unknown command.
std::string CommandHelp(const std::string& name);

}  // namespace orvex::cli
