#pragma once

// The agent-information plug-in the daemon hands to the management agent. The firewall has no
// agent information of its own to offer, so every request is answered as not available.
//
// Ownership: keeps the logger, not owned. Thread safety: stateless; any thread may call.

#include "IAgentInfo.h"

#include <string>

namespace ZAV {
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class SFAgentInfo : public ZAV::IAgentInfo {
public:
    explicit SFAgentInfo(ZAV::ILogger& logger);
    ~SFAgentInfo() override = default;

    // Returns 1 and leaves value untouched.
    int getAgentInformation(const int& key, std::string& value) override;
    // Nothing to refresh.
    void handleInfoChange(const int& key) override;

private:
    ZAV::ILogger* m_logger;
};

} // namespace StatefulFirewall
