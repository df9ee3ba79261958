#include "ZAVSystemUtils.h"

#include <pthread.h>

namespace ZAV {

namespace {
// The kernel keeps 15 characters plus the terminator; a longer name makes the call fail
// with ERANGE, so it is cut here instead.
constexpr std::string::size_type kMaxThreadNameLength = 15;
} // namespace

void ZAVSystemUtils::setThreadName(const std::string& name)
{
    const std::string shortName = name.substr(0, kMaxThreadNameLength);
    // The name only helps someone reading ps or /proc; a thread that cannot be named works the
    // same, so the returned error code is deliberately not acted on.
    (void)pthread_setname_np(pthread_self(), shortName.c_str());
}

} // namespace ZAV
