#pragma once

// The daemon's command dispatcher: runs every command the command-line tool or the platform
// service sends, and answers each with exactly one reply frame, written in one send. Preference,
// version, log-setting and common-policy commands are handled here; rule and trusted-network
// commands go to SFRulesCommandHelper.
//
// Ownership: borrows the socket, the logger, the settings and the interface monitor; the rule
// helper is a process-wide singleton it does not free. Thread safety: processCommandForFM runs
// on the command client's thread, one command at a time, and keeps no state between commands.
// Construct it at start-up, before commands can arrive: the constructor creates the rule
// helper, whose getInstance takes no lock.

#include "IFMCommandRequestImpl.h"

#include <cstdint>
#include <string>

namespace ZAV {
class CommandRequest;
class CommandResponse;
class ILogger;
class ISocket;
} // namespace ZAV

namespace StatefulFirewall {

class IConfigController;
class INwIFManager;
class SFRulesCommandHelper;

class SFCommandRequestImpl : public ZAV::IFMCommandRequestImpl {
public:
    SFCommandRequestImpl(ZAV::ISocket& socket, ZAV::ILogger& logger, IConfigController& config,
                         INwIFManager& nwIfManager);
    ~SFCommandRequestImpl() override = default;

    // Answers the command, also when its data cannot be read or a handler throws (completed,
    // status false, no data). True when the reply was sent.
    bool processCommandForFM(ZAV::CommandNWRequest& request, bool narrowData) override;

    void handleGetPrefs(ZAV::CommandResponse& response);
    void handleGetPrefIndividual(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    void handleSetPrefIndividual(ZAV::CommandRequest& request, ZAV::CommandResponse& response);

    // The reply kind of a command: 8 (wide) for 100000, 100003 and 100038, else 16.
    static int32_t replyKind(int commandId);

private:
    // Runs the command into response; throws what its handler throws.
    void dispatch(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    // False when the policy was refused (nothing of it applied).
    bool handleCommonPolicyUpdate(ZAV::CommandRequest& request);
    void handleGetVersion(ZAV::CommandResponse& response);
    void handleGetLogSettings(ZAV::CommandResponse& response);
    void handleSetLogOption(int commandId, ZAV::CommandRequest& request,
                            ZAV::CommandResponse& response);
    // Sets the firewall's log level in the settings and the logger's first level.
    void setLevel(int level);
    void log(int level, const std::string& message);

    std::string m_componentName;
    ZAV::ISocket& m_socket;
    ZAV::ILogger& m_logger;
    IConfigController& m_configController;
    INwIFManager& m_nwIfManager;
    SFRulesCommandHelper* m_rulesCommandHelper;
};

} // namespace StatefulFirewall
