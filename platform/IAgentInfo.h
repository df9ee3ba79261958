#pragma once

// The agent-information plug-in a product registers with the agent, which owns it once it
// accepted the registration.

#include <string>

namespace ZAV {

class IAgentInfo {
public:
    virtual ~IAgentInfo() = default;

    // Information the product holds for an information key; nonzero when answered.
    virtual int getAgentInformation(const int& key, std::string& value) = 0;
    // The agent's information for key changed.
    virtual void handleInfoChange(const int& key) = 0;
};

} // namespace ZAV
