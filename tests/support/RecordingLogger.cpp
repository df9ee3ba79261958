#include "RecordingLogger.h"

#include <algorithm>
#include <iterator>

namespace TestSupport {

void RecordingLogger::logMessage(int level, std::string component, std::string message) noexcept
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, std::move(component), std::move(message)});
    } catch (...) {
        // Out of memory in a test: the assertion on the missing line will say so.
    }
}

std::vector<LogLine> RecordingLogger::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

bool RecordingLogger::has(int level, const std::string& message) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_lines.begin(), m_lines.end(), [&](const LogLine& line) {
        return line.level == level && line.message == message;
    });
}

LineCount RecordingLogger::count(int level) const
{
    std::vector<LogLine> atLevel;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy_if(m_lines.begin(), m_lines.end(), std::back_inserter(atLevel),
                 [&](const LogLine& line) { return line.level == level; });
    return LineCount(level, std::move(atLevel));
}

std::ostream& operator<<(std::ostream& out, const LineCount& count)
{
    out << count.lines().size() << " lines at level " << count.level();
    for (const LogLine& line : count.lines())
        out << "\n  [" << line.component << "] " << line.message;
    return out;
}

void RecordingLogger::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

} // namespace TestSupport
