#pragma once

// The rule and trusted-network commands of the command-line tool: decodes each request's data,
// calls the rule manager, the trusted-network manager or the controller, and writes the reply.
// Additions and deletions write their store at once and are undone in memory when it cannot be
// written, so a change is kept exactly when it would survive a restart; 100017 puts the rule
// table into iptables (and writes the rule store again), 100022 writes a trusted-network list
// that changed otherwise.
//
// Ownership: the singleton lives from the first getInstance to releaseInstance, which also
// releases both managers. The logger and the settings belong to the daemon's start-up.
// Thread safety: handleCommand runs on the command client's thread, one request at a time;
// the managers lock their own tables. Listings copy the model under its locks and archive the
// copies with no lock held, since archiving takes the same non-recursive model locks.
// getInstance takes no lock: the dispatcher's constructor calls it first, at start-up, before
// any command can arrive.

#include <string>

namespace ZAV {
class CommandRequest;
class CommandResponse;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class IConfigController;
class SFRuleManager;
class SFTrustedIPGroupManager;

class SFRulesCommandHelper {
public:
    // Creates the singleton on the first call (creating the managers, which may load the
    // stores; their exceptions pass to the caller); later calls ignore their arguments.
    static SFRulesCommandHelper* getInstance(ZAV::ILogger& logger, IConfigController& config);
    static void releaseInstance();

    virtual ~SFRulesCommandHelper();
    SFRulesCommandHelper(const SFRulesCommandHelper&) = delete;
    SFRulesCommandHelper& operator=(const SFRulesCommandHelper&) = delete;

    // Runs the command the request names. False for an id it does not handle, and for 100006
    // unless the rule was added where it asked to be. A payload that cannot be decoded throws
    // the archive's exception; the dispatcher answers it. A rule or trusted-network list larger
    // than its store may hold (SFArchiveWeight.h) is answered 150001, as a store that cannot be
    // written is.
    bool handleCommand(ZAV::CommandRequest& request, ZAV::CommandResponse& response);

private:
    SFRulesCommandHelper(ZAV::ILogger& logger, IConfigController& config);

    bool handleAddRule(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    void handleDelRule(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    void handleListAllRules(ZAV::CommandResponse& response);
    void handleUpdate(ZAV::CommandResponse& response);
    void handleAddTrustedGroupIPs(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    void handleDeleteTrustedGroupOrIP(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    void handleListTrustedGroupIPs(ZAV::CommandResponse& response);
    void handleUpdateForTrustedIP(ZAV::CommandResponse& response);
    void handleGetRuleEnforcementStatus(ZAV::CommandRequest& request,
                                        ZAV::CommandResponse& response);

    void log(int level, const std::string& message);

    SFRuleManager* m_ruleManager;              // singleton, released by the destructor
    SFTrustedIPGroupManager* m_trustedManager; // singleton, released by the destructor
    ZAV::ILogger& m_logger;
    std::string m_componentName;
    IConfigController& m_configController;

    static SFRulesCommandHelper* m_selfInstance;
};

} // namespace StatefulFirewall
