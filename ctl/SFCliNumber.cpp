#include "SFCliNumber.h"

#include <cerrno>
#include <cstdlib>

namespace StatefulFirewall {

SFCliNumber parseCliNumber(const std::string& text)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    const int error = errno;
    if (end == begin)
        return {SFCliNumberStatus::NO_DIGITS, 0};
    // Compared with the string's own end, so an embedded NUL byte counts as extra text.
    if (end != begin + text.size())
        return {SFCliNumberStatus::EXTRA_CHARACTERS, value};
    if (error == ERANGE)
        return {SFCliNumberStatus::OUT_OF_RANGE, value};
    return {SFCliNumberStatus::OK, value};
}

} // namespace StatefulFirewall
