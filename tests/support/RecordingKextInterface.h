#pragma once

// An enforcement bridge that records every call by its operation name, in call order. A test
// can make an operation throw SFException (every time, or a given number of times) and set
// what the bool operations answer (true until told otherwise). Other fakes may add their own
// entries to the same trace with record(). Thread-safe: the controller calls it from any
// thread.

#include "IKextInterface.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

class RecordingKextInterface : public StatefulFirewall::IKextInterface {
public:
    void connectToKext() override { call("connectToKext"); }
    void startHooking() override { call("startHooking"); }
    void stopHooking() override { call("stopHooking"); }
    void disconnectFromKext() override { call("disconnectFromKext"); }
    bool SendRuleAndGroupDataToKext() override { return call("SendRuleAndGroupDataToKext"); }
    bool SendAdaptiveModeStatusToKext() override { return call("SendAdaptiveModeStatusToKext"); }
    bool processFtpInspectionSetting() override { return call("processFtpInspectionSetting"); }
    bool stopFtpInspection() override { return call("stopFtpInspection"); }
    bool isKerneltzSupportedInTimeModule() override { return call("isKerneltzSupportedInTimeModule"); }
    void startIntrusionYalEventQueue() override { call("startIntrusionYalEventQueue"); }
    void stopIntrusionYalEventQueue() override { call("stopIntrusionYalEventQueue"); }
    bool startReporting() override { return call("startReporting"); }
    bool startHealthCheck() override { return call("startHealthCheck"); }
    int removeLeftovers(bool) override
    {
        return call("removeLeftovers") ? StatefulFirewall::SF_RULES_IN_FORCE : StatefulFirewall::SF_RULES_CHAINS_LEFT;
    }
    // A question, not a step: answered (true unless told otherwise) without being recorded.
    bool rulesInForce() override { return answerOf("rulesInForce"); }
    int rulesInForceState() override
    {
        return answerOf("rulesInForce") ? StatefulFirewall::SF_RULES_IN_FORCE
                                         : StatefulFirewall::SF_RULES_NOT_IN_FORCE;
    }

    // The operation throws SFException(code, message); times < 0: every call from now on.
    void throwOn(const std::string& operation, int code, const std::string& message, int times = -1);
    // The operation throws std::runtime_error(message) once.
    void throwOtherOnce(const std::string& operation, const std::string& message);
    // What a bool operation answers from now on.
    void answer(const std::string& operation, bool result);

    void record(const std::string& entry);
    std::vector<std::string> calls() const;
    size_t count(const std::string& operation) const;
    void clear();

private:
    struct Fault {
        int code = 0;
        std::string message;
        int times = 0; // < 0: always
        bool other = false;
    };

    bool call(const std::string& operation);
    bool answerOf(const std::string& operation) const;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::map<std::string, Fault> m_faults;
    std::map<std::string, bool> m_answers;
};

} // namespace TestSupport
