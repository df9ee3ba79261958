#pragma once

// The one implementation of IConfigController: every preference of the settings file, through
// the platform configuration store, plus state that lives only as long as the daemon (managed
// mode, policy names, chain generation ids, kernel-support flags, the agent adaptor).
//
// Thread safety. m_mutex serialises preference writes: the typed setters hold it while they
// compare, write and run the change callback; the logging setters, setLogPath,
// setLoggingSettings and setManagedMode hold it for their whole run. It is not recursive, so
// the change callback must not call a setter. Getters take no lock: the store serialises its
// own access. The policy names and unique ids are guarded by m_stateMutex, never held together
// with m_mutex. The adaptor pointer, the flags, the managed mode and the generation counter are
// atomics.

#include "IConfigController.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace ZAV {
class ILogger;
class IConfigStore;
class IConfigStoreUtility;
} // namespace ZAV

namespace StatefulFirewall {

class SFConfigData;

// The management agent's firewall-rule file, read for the agent wake-up rules.
inline constexpr const char* SF_AGENT_RULES_INI_PATH = "/etc/wz.d/wz_firewall_rules.ini";

class SFConfigController : public IConfigController {
public:
    // Throws the C string "Failed to create config controller object." when the settings file
    // cannot be made usable.
    SFConfigController(ZAV::ILogger& logger, std::unique_ptr<ZAV::IConfigStoreUtility> utility,
                       std::unique_ptr<ZAV::IConfigStore> store);
    ~SFConfigController() override;

    SFConfigController(const SFConfigController&) = delete;
    SFConfigController& operator=(const SFConfigController&) = delete;

    bool getFwEnableStatus() override;
    FW_MODE getFwMode() override;
    bool getFwRetainExistCLROption() override;
    bool getFwEnableIPspoofProtOption() override;
    bool getFwFTPinspectionOption() override;
    std::string getFtpInspectionPorts() override;
    bool getShouldTrustLocalSubnet() override;
    int getFwTCPConTimeout() override;
    int getFwUDPandICMPConTimeout() override;
    int getAggregationTimeoutInterval() override;
    int getReportingTimeoutInterval() override;
    std::string getHashLimitUptoRate() override;
    int getUnsupportedProtocol() override;
    int setFwEnableStatus(bool enabled) override;
    int setFwMode(FW_MODE mode) override;
    int setFwRetainExistCLROption(bool retain) override;
    int setFwEnableIPspoofProtOption(bool enable) override;
    int setFwFTPinspectionOption(bool enable) override;
    int setFwTCPConTimeout(int seconds) override;
    int setFwUDPandICMPConTimeout(int seconds) override;
    int setShouldTrustLocalSubnet(bool trust) override;
    int getFwLogLevel() override;
    int getFwActivityLogSize() override;
    int setFwLogLevel(int level) override;
    int setFwUnsupportedProtocol(int action) override;
    int setFwActivityLogSize(int size) override;
    void registerCallBack(void (*callback)(SFPrefType)) override;
    std::string getRuleStorePath() override;
    std::string getTrustedIPStorePath() override;
    int getIptablesLogLevel() override;
    void setKerneltzSupportStatus(bool supported) override;
    bool getKerneltzSupportStatus() override;
    std::map<std::string, std::string> getProductInfo() override;
    bool getCustomLogEnable() override;
    int setCustomLogEnable(bool enable) override;
    std::string getZAVSocketPath() override;
    int getManagedMode() override;
    void setManagedMode(int mode) override;
    bool isSendingEventsToYalEnabled() override;
    void setPolicyNameForFirewallOptions(std::string name) override;
    std::string getPolicyNameForFirewallOptions() override;
    void setPolicyNameForFirewallRules(std::string name) override;
    std::string getPolicyNameForFirewallRules() override;
    void setPolicyNameForTrustedNetwork(std::string name) override;
    std::string getPolicyNameForTrustedNetwork() override;
    bool isProductUnManaged() override;
    std::string getLogPath() override;
    int setLogPath(std::string path) override;
    bool isActivityLoggingEnabled() override;
    int enableActivityLogging(bool enable) override;
    bool isLimitActivityLogSizeEnabled() override;
    int enableLimitActivityLogSize(bool enable) override;
    bool isDebugLoggingEnabledForFirewall() override;
    bool isDebugLoggingEnabledForMsgBus() override;
    int enableDebugLoggingForFirewall(bool enable) override;
    bool isLimitDebugLogSizeEnabled() override;
    int enableLimitDebugLogSize(bool enable) override;
    int getDebugLogSize() override;
    int setDebugLogSize(int size) override;
    int enableSendingEventsToYal(bool enable) override;
    bool isEventLoggingEnabled() override;
    int enableEventLogging(bool enable) override;
    int getYalLogLevelForFW() override;
    int setYalLogLevelForFW(int level) override;
    int getDefaultMaximumLogFileSize() override;
    int getDefaultRotatedLogFileCount() override;
    void setAgentAdaptor(SFAgentAdaptor* adaptor) override;
    int getHttpUpdateUrl(std::list<std::string>& out) override;
    int getHttpUpdatePort(std::list<std::string>& out) override;
    int getFtpUpdateUrl(std::list<std::string>& out) override;
    int getFtpUpdatePort(std::list<std::string>& out) override;
    int getYalServerName(std::list<std::string>& out) override;
    int getYalServerIP(std::list<std::string>& out) override;
    int getAgentListenPort(std::string& out) override;
    int getYalServerPort(std::list<std::string>& out) override;
    int getYalSecurePort(std::list<std::string>& out) override;
    void getAgentRulesFromIni(std::map<std::string, std::vector<std::string>>& rules) override;
    void setNfConntrackFtpModuleStatus(bool loaded) override;
    bool getNfConntrackFtpModuleStatus() override;
    void setUniqueId(std::string id) override;
    std::string getUniqueId() override;
    int getGlobalEnforcementPolicyUniqueId() override;
    void setPreviousUniqueId(std::string id) override;
    std::string getPreviousUniqueId() override;
    void setHealthCheckTimer(int seconds) override;
    int getHealthCheckTimer() override;
    int setLoggingSettings(const SFLoggingSettings& settings) override;

    // Generic access by section id and full path. The reads log and throw
    // SFException{SF_INVALID_ARGUMENT, "Invalid key specified"}; the writes return a result code.
    int getIntegerConfiguration(std::string sectionId, std::string path);
    bool getBooleanConfiguration(std::string sectionId, std::string path);
    int setIntegerConfiguration(std::string attributeName, std::string sectionId, std::string path,
                                int value);
    int setBooleanConfiguration(std::string sectionId, std::string path, bool value);

private:
    enum class SetterKind { Bool, Int };
    struct TypedSetter;

    int setTyped(const TypedSetter& setter, int value);
    template <class T, class Read>
    T readOr(Read read, T fallback, const char* failureMessage);
    int setLogging(const char* path, bool value);
    // True, after logging the refusal, when sizeMiB is outside the product log's size bounds.
    bool refuseLogSize(const char* what, int sizeMiB);
    // True, after logging the refusal, when path is a log path the settings cannot take.
    bool refuseLogPath(const std::string& path);
    int copyAgentList(std::list<std::string> SFAgentAdaptor::*member, std::list<std::string>& out);

    std::string m_componentName;
    std::unique_ptr<SFConfigData> m_configData;
    std::shared_ptr<ZAV::IConfigStore> m_store;
    ZAV::ILogger* m_logger;
    std::mutex m_mutex;
    std::atomic<void (*)(SFPrefType)> m_callback{nullptr};
    std::atomic<bool> m_kerneltzSupported{true};
    std::atomic<int> m_managedMode{3};
    std::mutex m_stateMutex; // guards the policy names and the unique ids below
    std::string m_policyNameFirewallOptions;
    std::string m_policyNameFirewallRules;
    std::string m_policyNameTrustedNetwork;
    std::atomic<SFAgentAdaptor*> m_agentAdaptor{nullptr};
    std::atomic<bool> m_nfConntrackFtpLoaded{false};
    std::string m_uniqueId;
    std::atomic<int> m_enforcementPolicyCounter{0};
    std::string m_previousUniqueId;
};

} // namespace StatefulFirewall
