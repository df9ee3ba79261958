#pragma once

// The platform logger's interface. Every component logs through it with a level
// (2 error, 4 warning, 5 information, 6 debug), its component name and a plain sentence.

#include <string>

namespace ZAV {

class ILogger {
public:
    virtual ~ILogger() = default;

    // Never throws: a component logs from its failure paths, which must not fail again.
    virtual void logMessage(int level, std::string component, std::string message) noexcept = 0;
};

} // namespace ZAV
