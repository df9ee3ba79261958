#pragma once

// The daemon's switch between the settings and the running enforcement: enables and disables
// the firewall, reacts to preference changes, applies the log level and forwards rule pushes,
// the adaptive mode and the FTP inspection setting to the enforcement bridge.
//
// Ownership: the logger, the settings and the bridge belong to the daemon's start-up and
// outlive the singleton; nothing here frees them. The singleton lives from the first
// getInstance with a bridge until releaseInstance.
// Thread safety: m_instanceMutex (class-wide) serialises singleton creation and release and
// every enable and disable; it is the outermost lock of the daemon core, held while the bridge
// takes its own. The preference callback, setLogLevel and the forwarding operations take no
// lock: the bridge serialises its own work. The enabled flag, the policy status fields and
// m_pSelf are atomics, so the unlocked readers see whole values.

#include "SFPrefType.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class IKextInterface;
class INwIFManager;

class SFController {
public:
    // The singleton; created on the first call, which needs a bridge (SFException 150003
    // without one). Later calls may pass a null bridge and get the existing controller.
    static SFController* getInstance(ZAV::ILogger& logger, IConfigController& config,
                                     IKextInterface* kextInterface);
    static void releaseInstance();

    virtual ~SFController();
    SFController(const SFController&) = delete;
    SFController& operator=(const SFController&) = delete;

    // Does nothing when already enabled. A failing step with SFException undoes the steps done
    // (as a disable would) and throws an SFException with the same code and message.
    void enableStatefulFirewall(INwIFManager& nwIfManager);
    // Does nothing more than its log line when already disabled.
    void disableStatefulFirewall(INwIFManager& nwIfManager);
    // While disabled: restores the ACCEPT policies and removes what an earlier run or an
    // interrupted disable left in iptables, so a disabled firewall never filters. Called at
    // start-up (startUp: only when the driver has anything recorded) and after every disable;
    // does nothing while enabled. What is left as an SFRulesInForce value, judged by the pass
    // itself (a DROP policy, a recorded chain or line): the health check then removes it at its
    // period; SF_RULES_IN_FORCE when nothing is.
    int cleanUpWhileDisabled(bool startUp);
    // False while enabled with the last push of the rules not in force; true otherwise.
    bool rulesInForce();
    // An SFRulesInForce value: what of the rules is in force; while disabled, what of the
    // firewall is still left in iptables (SF_RULES_IN_FORCE when nothing).
    int rulesInForceState();
    // Reacts to a preference that has just been written.
    void sfPreferencesCallBack(SFPrefType type, INwIFManager& nwIfManager);
    // Stores the log level and, for 0 and 2 to 4, the custom-log switch; never throws.
    void setLogLevel(int level);

    bool SendRuleAndGroupDataToKext();
    bool SendAdaptiveModeStatusToKext();
    bool processFtpInspectionSetting();
    void updateKerneltzSupportStatus();

    // The product version from the settings; empty when it has none.
    std::string getVersionString();
    // The stored firewall-status setting, not whether the firewall is enforced now.
    bool getEnableStatefulFirewall();
    bool getShouldTrustLocalSubnet();
    int getLogLevel();
    FW_MODE getFwMode();

    // The firewall status a management policy set last, and whether one has set it. The policy
    // plug-in writes the status before the flag, so a reader that sees the flag set also sees
    // that status.
    void setPolicyFirewallStatus(bool enabled);
    bool getPolicyFirewallStatus() const;
    void setPolicyFirewallStatusSet(bool set);
    bool getPolicyFirewallStatusSet() const;

private:
    SFController(ZAV::ILogger& logger, IConfigController& config, IKextInterface* kextInterface);

    // The steps of a disable, each on its own: a failing one is logged and the rest still run.
    void undoEnableSteps(INwIFManager& nwIfManager);
    void log(int level, const std::string& message);

    IKextInterface* m_kextInterface; // not owned
    std::string m_componentName;
    ZAV::ILogger& m_logger;
    IConfigController& m_configController;
    std::atomic<bool> m_enabled;
    std::atomic<bool> m_policyFirewallStatus;
    std::atomic<bool> m_policyFirewallStatusSet;

    static std::atomic<SFController*> m_pSelf;
    static boost::mutex m_instanceMutex;
};

} // namespace StatefulFirewall
