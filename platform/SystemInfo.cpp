#include "SystemInfo.h"

#include "ILogger.h"

#include <sys/utsname.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace ZAV {

namespace {

// Reads the leading "major.minor.patch" of a release text such as "6.1.0-18-amd64".
// Each number stops at its first non-digit; a part that is missing stays 0.
void parseRelease(const std::string& release, kernelVersion& version)
{
    const char* pos = release.data();
    const char* end = release.data() + release.size();
    int* parts[] = {&version.major, &version.minor, &version.patch};
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos == end || *pos != '.')
                return;
            ++pos;
        }
        const auto result = std::from_chars(pos, end, *parts[i]);
        if (result.ec != std::errc())
            return;
        pos = result.ptr;
    }
}

} // namespace

SystemInfo::SystemInfo(ILogger& logger, std::shared_ptr<ZAVSystemUtils> systemUtils)
    : m_logger(logger), m_systemUtils(std::move(systemUtils)), m_componentName("SystemInfo")
{
}

std::shared_ptr<kernelVersion> SystemInfo::getKernelVersion() const
{
    auto version = std::make_shared<kernelVersion>();
    struct utsname names {};
    if (uname(&names) != 0) {
        const int err = errno;
        m_logger.logMessage(2, m_componentName,
                            std::string("Cannot read the kernel version: uname failed: ") +
                                std::strerror(err));
        return version;
    }
    version->release = names.release;
    parseRelease(version->release, *version);
    return version;
}

} // namespace ZAV
