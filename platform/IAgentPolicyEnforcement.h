#pragma once

// The policy plug-in a product registers with the agent. The agent calls it on its own thread,
// one call at a time, and owns it once it accepted the registration.

#include <string>

namespace ZAV {

class ISectionsHandle;

// Who is logged on to the host when a user-bound policy arrives.
enum tag_AgentLogonState {
    AGENT_LOGON_STATE_UNKNOWN = 0,
    AGENT_LOGON_STATE_LOGGED_ON = 1,
    AGENT_LOGON_STATE_LOGGED_OFF = 2,
};

class IAgentPolicyEnforcement {
public:
    virtual ~IAgentPolicyEnforcement() = default;

    // A policy for the software identifier; true when it was enforced.
    virtual bool enforcePolicy(const std::string& softwareId, const ISectionsHandle& handle) = 0;
    // A user-bound policy: software id, user, domain, session and logon state.
    virtual bool enforcePolicy(const std::string& softwareId, const std::string& user,
                               const std::string& domain, unsigned long session,
                               tag_AgentLogonState state, const ISectionsHandle& handle) = 0;
    virtual bool isPartialEnforcementSupported() = 0;
};

} // namespace ZAV
