#pragma once

// A logger that keeps every line, for tests that assert on what was logged.

#include "ILogger.h"

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace TestSupport {

struct LogLine {
    int level;
    std::string component;
    std::string message;
};

// How many lines one level has, as count() gives it: used as a number, and printed by a failed
// assertion as the number followed by those lines, so a test that counts errors says which were
// logged.
class LineCount {
public:
    LineCount(int level, std::vector<LogLine> lines) : m_level(level), m_lines(std::move(lines)) {}
    operator size_t() const { return m_lines.size(); }
    int level() const { return m_level; }
    const std::vector<LogLine>& lines() const { return m_lines; }

private:
    int m_level;
    std::vector<LogLine> m_lines;
};

std::ostream& operator<<(std::ostream& out, const LineCount& count);

class RecordingLogger : public ZAV::ILogger {
public:
    void logMessage(int level, std::string component, std::string message) noexcept override;

    std::vector<LogLine> lines() const;
    // True when a line with exactly this level and message was logged.
    bool has(int level, const std::string& message) const;
    // Number of lines at this level, with the lines for a failure message.
    LineCount count(int level) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

} // namespace TestSupport
