#pragma once

#include <memory>
#include <string>

namespace ZAV {

class ILogger;
class ZAVSystemUtils;

// The running kernel's version, as uname reports it.
struct kernelVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string release; // the whole release text, e.g. "6.1.0-18-amd64"
};

// Facts about the host. Thread-safe: it keeps no state after construction.
class SystemInfo {
public:
    SystemInfo(ILogger& logger, std::shared_ptr<ZAVSystemUtils> systemUtils);

    // Reads uname; on failure logs at level 2 and returns a record of zeros.
    std::shared_ptr<kernelVersion> getKernelVersion() const;

private:
    ILogger& m_logger;
    std::shared_ptr<ZAVSystemUtils> m_systemUtils;
    std::string m_componentName;
};

} // namespace ZAV
