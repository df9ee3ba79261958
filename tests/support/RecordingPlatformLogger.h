#pragma once

// The platform logger with its levels and sizes, keeping every line in memory as
// RecordingLogger does, for tests of code that both logs and re-configures the logger. It is
// never initialised, so it writes no file. Thread-safe.

#include "FMPLogger.h"
#include "RecordingLogger.h"

namespace TestSupport {

class RecordingPlatformLogger : public ZAV::FMPLogger {
public:
    void logMessage(int level, std::string component, std::string message) noexcept override
    {
        m_lines.logMessage(level, std::move(component), std::move(message));
    }

    RecordingLogger& lines() { return m_lines; }
    bool has(int level, const std::string& message) const { return m_lines.has(level, message); }

private:
    RecordingLogger m_lines;
};

} // namespace TestSupport
