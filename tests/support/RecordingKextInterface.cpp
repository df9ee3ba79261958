#include "RecordingKextInterface.h"

#include "SFException.h"

#include <algorithm>
#include <stdexcept>

namespace TestSupport {

void RecordingKextInterface::throwOn(const std::string& operation, int code,
                                     const std::string& message, int times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[operation] = Fault{code, message, times, false};
}

void RecordingKextInterface::throwOtherOnce(const std::string& operation, const std::string& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[operation] = Fault{0, message, 1, true};
}

void RecordingKextInterface::answer(const std::string& operation, bool result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[operation] = result;
}

void RecordingKextInterface::record(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(entry);
}

std::vector<std::string> RecordingKextInterface::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

size_t RecordingKextInterface::count(const std::string& operation) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count(m_calls.begin(), m_calls.end(), operation));
}

void RecordingKextInterface::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

bool RecordingKextInterface::call(const std::string& operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(operation);
    auto fault = m_faults.find(operation);
    if (fault != m_faults.end() && fault->second.times != 0) {
        const Fault thrown = fault->second;
        if (fault->second.times > 0)
            --fault->second.times;
        if (thrown.other)
            throw std::runtime_error(thrown.message);
        throw StatefulFirewall::SFException(thrown.code, thrown.message);
    }
    auto answer = m_answers.find(operation);
    return answer == m_answers.end() || answer->second;
}

bool RecordingKextInterface::answerOf(const std::string& operation) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto answer = m_answers.find(operation);
    return answer == m_answers.end() || answer->second;
}

} // namespace TestSupport
