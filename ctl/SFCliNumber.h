#pragma once

// The tool's one reader of decimal numbers typed on the command line. Validation and
// conversion both use it, so a text that passed a check converts to the same value and never
// throws afterwards. It reads as strtol does (base 10, leading white space and a sign allowed)
// and then insists that nothing follows the number.

#include <string>

namespace StatefulFirewall {

enum class SFCliNumberStatus {
    OK,
    NO_DIGITS,        // no number at the start of the text
    EXTRA_CHARACTERS, // something follows the number
    OUT_OF_RANGE,     // the number does not fit a long
};

struct SFCliNumber {
    SFCliNumberStatus status;
    long value; // the value strtol read; meaningful only with OK
};

SFCliNumber parseCliNumber(const std::string& text);

} // namespace StatefulFirewall
