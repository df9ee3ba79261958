#include "RecordingHelperUtils.h"

#include "SFException.h"
#include "SFResultCodes.h"

#include <boost/algorithm/string/join.hpp>

#include <unistd.h>

namespace TestSupport {

using StatefulFirewall::SFException;

void RecordingHelperUtils::record(const Argv& argv, const std::map<int, bool>* table)
{
    m_calls.push_back(argv);
    m_lastTable = table;
    const bool fail = (m_failAt != 0 && m_calls.size() == m_failAt) || (m_failWhen && m_failWhen(argv));
    if (fail)
        throw SFException(StatefulFirewall::SF_SYSTEM_COMMAND_FAILED, "failed by the test: " + argv.front());
}

int RecordingHelperUtils::answer(const Argv& argv, std::string* errorText)
{
    if (!m_answerFrom)
        return 0;
    const Answer answered = m_answerFrom(argv);
    if (errorText != nullptr) {
        *errorText = answered.errorText;
        return answered.status;
    }
    if (answered.status != 0)
        throw SFException(StatefulFirewall::SF_SYSTEM_COMMAND_FAILED, "answered " + std::to_string(answered.status) +
                                                                          ": " + answered.errorText);
    return 0;
}

int RecordingHelperUtils::executeSystemCommand(Argv argv, const std::map<int, bool>* exitStatusTable)
{
    record(argv, exitStatusTable);
    if (m_delegate)
        m_delegate->executeSystemCommand(argv, exitStatusTable);
    else
        answer(argv, nullptr);
    if (m_onSuccess)
        m_onSuccess(argv);
    return 0;
}

int RecordingHelperUtils::readSystemCommandOutput(Argv argv, const std::map<int, bool>* exitStatusTable,
                                                  int* pipeFds)
{
    record(argv, exitStatusTable);
    if (m_delegate) {
        m_delegate->readSystemCommandOutput(argv, exitStatusTable, pipeFds);
    } else {
        answer(argv, nullptr);
        // Pipes hold 64 KiB, far more than any scripted output.
        const std::string output = m_outputFrom ? m_outputFrom(argv) : m_output;
        if (!output.empty() && ::write(pipeFds[1], output.data(), output.size()) < 0)
            throw SFException(StatefulFirewall::SF_SYSTEM_COMMAND_FAILED, "cannot write the scripted output");
    }
    if (m_onSuccess)
        m_onSuccess(argv);
    return 0;
}

int RecordingHelperUtils::runSystemCommandForAnswer(Argv argv, std::string& errorText)
{
    record(argv, nullptr);
    errorText.clear();
    const int status = m_delegate ? m_delegate->runSystemCommandForAnswer(argv, errorText) : answer(argv, &errorText);
    if (status == 0 && m_onSuccess)
        m_onSuccess(argv);
    return status;
}

std::string RecordingHelperUtils::line(const Argv& argv)
{
    return argv.empty() ? "" : boost::algorithm::join(Argv(argv.begin() + 1, argv.end()), " ");
}

std::vector<std::string> RecordingHelperUtils::lines() const
{
    std::vector<std::string> out;
    for (const Argv& argv : m_calls)
        out.push_back(line(argv));
    return out;
}

} // namespace TestSupport
