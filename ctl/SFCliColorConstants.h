#pragma once

// ANSI colour texts of the rule listing. Built once before main runs; read-only afterwards.

#include <string>

namespace SFCliColorConstants {

inline const std::string CLI_COLOR_RED = "\033[1;31m";
inline const std::string CLI_COLOR_LIGHT_RED = "\033[0;31m";
inline const std::string CLI_COLOR_GREEN = "\033[1;32m";
inline const std::string CLI_COLOR_LIGHT_GREEN = "\033[0;32m";
inline const std::string CLI_COLOR_YELLOW = "\033[1;33m";
inline const std::string CLI_COLOR_LIGHT_YELLOW = "\033[0;33m";
inline const std::string CLI_COLOR_RESET = "\033[0m";

} // namespace SFCliColorConstants
