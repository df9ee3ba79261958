#pragma once

// A stand-in for the platform's process runner: records every call and answers from a script.

#include "FMPException.h"
#include "IZAVUtils.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

class FakeZAVUtils : public ZAV::IZAVUtils {
public:
    struct Call {
        std::vector<std::string> argv;
        const std::map<int, bool>* exitStatusTable;
        int* pipeFds; // null for runCommand
        bool withOutput;
    };

    // One scripted answer: a verdict, or an exception to throw.
    struct Answer {
        bool result = true;
        std::optional<ZAV::FMPException> exception;
    };

    // Answers are used in order; once they run out every call succeeds.
    void willReturn(bool result) { m_answers.push_back({result, std::nullopt}); }
    void willThrow(int code, const std::string& message)
    {
        m_answers.push_back({false, ZAV::FMPException(code, message)});
    }

    bool runCommand(const std::vector<std::string>& argv,
                    const std::map<int, bool>* exitStatusTable) override
    {
        m_calls.push_back({argv, exitStatusTable, nullptr, false});
        return answer();
    }

    bool runCommandWithOutput(const std::vector<std::string>& argv,
                              const std::map<int, bool>* exitStatusTable, int* pipeFds) override
    {
        m_calls.push_back({argv, exitStatusTable, pipeFds, true});
        return answer();
    }

    // A scripted true here reports exit status 0 and no error text.
    bool runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus, std::string& errorText) override
    {
        m_calls.push_back({argv, nullptr, nullptr, false});
        exitStatus = 0;
        errorText.clear();
        return answer();
    }

    const std::vector<Call>& calls() const { return m_calls; }

private:
    bool answer()
    {
        if (m_answers.empty())
            return true;
        Answer next = m_answers.front();
        m_answers.pop_front();
        if (next.exception)
            throw *next.exception;
        return next.result;
    }

    std::vector<Call> m_calls;
    std::deque<Answer> m_answers;
};

} // namespace TestSupport
