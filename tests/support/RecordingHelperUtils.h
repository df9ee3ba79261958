#pragma once

// A command runner that records every argument vector it is given. Without a delegate it runs
// nothing and succeeds; with one (the real runner) it passes each call on. Either way it can be
// told to fail a call, as the real runner does: by throwing SFException(SF_SYSTEM_COMMAND_FAILED)
// instead of running it, or to answer it as a program would, with an exit status and an error
// text. Tests call it from one thread.

#include "IHelperUtils.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

class RecordingHelperUtils : public StatefulFirewall::IHelperUtils {
public:
    using Argv = std::vector<std::string>;
    // How a program that ran to its end answered: its exit status and standard error.
    struct Answer {
        int status = 0;
        std::string errorText;
    };

    explicit RecordingHelperUtils(std::shared_ptr<StatefulFirewall::IHelperUtils> delegate = nullptr)
        : m_delegate(std::move(delegate))
    {
    }

    int executeSystemCommand(Argv argv, const std::map<int, bool>* exitStatusTable) override;
    int readSystemCommandOutput(Argv argv, const std::map<int, bool>* exitStatusTable,
                                int* pipeFds) override;
    int runSystemCommandForAnswer(Argv argv, std::string& errorText) override;

    // Every call in order, failed ones included; the program path stays as argv[0].
    const std::vector<Argv>& calls() const { return m_calls; }
    // The calls as text, one line each, words joined by one blank, program path left out.
    std::vector<std::string> lines() const;
    static std::string line(const Argv& argv); // one call as lines() gives it
    // The exit-status table of the last call (null when none was given).
    const std::map<int, bool>* lastExitStatusTable() const { return m_lastTable; }
    void clear() { m_calls.clear(); }

    // Fail the call with this 1-based number (counted over the recorder's whole life).
    void failAtCall(size_t number) { m_failAt = number; }
    // Fail every call for which the predicate holds.
    void failWhen(std::function<bool(const Argv&)> predicate) { m_failWhen = std::move(predicate); }
    // Without a delegate: bytes the output variant writes into the caller's pipe.
    void setOutput(std::string bytes) { m_output = std::move(bytes); }
    // Without a delegate: the output variant writes what this returns for the call instead.
    void outputFrom(std::function<std::string(const Argv&)> output) { m_outputFrom = std::move(output); }
    // Without a delegate: every call ran to its end and answered this; a status other than 0
    // fails the calls that judge it.
    void answerFrom(std::function<Answer(const Argv&)> answer) { m_answerFrom = std::move(answer); }
    // Run when a call succeeds (after the delegate), e.g. to change what the system looks like.
    void onSuccess(std::function<void(const Argv&)> action) { m_onSuccess = std::move(action); }

private:
    void record(const Argv& argv, const std::map<int, bool>* table);
    // The scripted answer's status (0 without one); throws for one that is not 0 unless judged
    // by the caller.
    int answer(const Argv& argv, std::string* errorText);

    std::shared_ptr<StatefulFirewall::IHelperUtils> m_delegate;
    std::vector<Argv> m_calls;
    const std::map<int, bool>* m_lastTable = nullptr;
    size_t m_failAt = 0;
    std::function<bool(const Argv&)> m_failWhen;
    std::function<void(const Argv&)> m_onSuccess;
    std::string m_output;
    std::function<std::string(const Argv&)> m_outputFrom;
    std::function<Answer(const Argv&)> m_answerFrom;
};

} // namespace TestSupport
