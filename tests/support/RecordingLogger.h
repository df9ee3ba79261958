#pragma once

// A logger that keeps every line, for tests that assert on what was logged.

#include "ILogger.h"

#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

struct LogLine {
    int level;
    std::string component;
    std::string message;
};

class RecordingLogger : public ZAV::ILogger {
public:
    void logMessage(int level, std::string component, std::string message) noexcept override;

    std::vector<LogLine> lines() const;
    // True when a line with exactly this level and message was logged.
    bool has(int level, const std::string& message) const;
    // Number of lines at this level.
    size_t count(int level) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

} // namespace TestSupport
