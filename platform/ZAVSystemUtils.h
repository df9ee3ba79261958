#pragma once

#include <string>

namespace ZAV {

// Small process-level services that the platform's objects share.
class IZAVSystemUtils {
public:
    virtual ~IZAVSystemUtils() = default;

    // Names the calling thread, as shown by ps and /proc (the kernel keeps 15 characters).
    virtual void setThreadName(const std::string& name) = 0;
};

class ZAVSystemUtils : public IZAVSystemUtils {
public:
    void setThreadName(const std::string& name) override;
};

} // namespace ZAV
