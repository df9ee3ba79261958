#pragma once

// A configuration controller for tests of the libraries that read settings. Every key answers
// its default from the key table until a test sets it; setters store and answer SF_SUCCESS or
// SF_PREF_ALREADY_SET. Run-time state is plain members a test can set. Thread-safe.

#include "IConfigController.h"

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

class FakeConfigController : public StatefulFirewall::IConfigController {
public:
    FakeConfigController();

    // Sets or reads a preference by full path (e.g. "GlobalConfiguration.IsFirewallEnabled").
    void set(const std::string& path, const std::string& text);
    std::string get(const std::string& path) const;

    bool getFwEnableStatus() override { return boolOf(path::enabled); }
    StatefulFirewall::FW_MODE getFwMode() override;
    bool getFwRetainExistCLROption() override { return boolOf(path::retain); }
    bool getFwEnableIPspoofProtOption() override { return boolOf(path::spoof); }
    bool getFwFTPinspectionOption() override { return boolOf(path::ftp); }
    std::string getFtpInspectionPorts() override { return get(path::ftpPorts); }
    bool getShouldTrustLocalSubnet() override { return boolOf(path::trustSubnet); }
    int getFwTCPConTimeout() override { return intOf(path::tcpTimeout); }
    int getFwUDPandICMPConTimeout() override { return intOf(path::udpTimeout); }
    int getAggregationTimeoutInterval() override { return intOf(path::aggregation); }
    int getReportingTimeoutInterval() override { return intOf(path::reporting); }
    std::string getHashLimitUptoRate() override { return get(path::hashLimit); }
    int getUnsupportedProtocol() override { return intOf(path::unsupported); }
    int setFwEnableStatus(bool v) override { return put(path::enabled, v); }
    int setFwMode(StatefulFirewall::FW_MODE v) override { return put(path::mode, int(v)); }
    int setFwRetainExistCLROption(bool v) override { return put(path::retain, v); }
    int setFwEnableIPspoofProtOption(bool v) override { return put(path::spoof, v); }
    int setFwFTPinspectionOption(bool v) override { return put(path::ftp, v); }
    int setFwTCPConTimeout(int v) override { return put(path::tcpTimeout, v); }
    int setFwUDPandICMPConTimeout(int v) override { return put(path::udpTimeout, v); }
    int setShouldTrustLocalSubnet(bool v) override { return put(path::trustSubnet, v); }
    int getFwLogLevel() override { return intOf(path::logLevel); }
    int getFwActivityLogSize() override { return intOf(path::activitySize); }
    int setFwLogLevel(int v) override { return put(path::logLevel, v); }
    int setFwUnsupportedProtocol(int v) override { return put(path::unsupported, v); }
    int setFwActivityLogSize(int v) override { return put(path::activitySize, v); }
    void registerCallBack(void (*callback)(StatefulFirewall::SFPrefType)) override;
    std::string getRuleStorePath() override { return get(path::ruleStore); }
    std::string getTrustedIPStorePath() override { return get(path::trustedStore); }
    int getIptablesLogLevel() override { return intOf(path::iptablesLevel); }
    void setKerneltzSupportStatus(bool v) override;
    bool getKerneltzSupportStatus() override;
    std::map<std::string, std::string> getProductInfo() override;
    bool getCustomLogEnable() override { return boolOf(path::customLog); }
    int setCustomLogEnable(bool v) override { return put(path::customLog, v); }
    std::string getZAVSocketPath() override { return get(path::socket); }
    int getManagedMode() override;
    void setManagedMode(int mode) override;
    bool isSendingEventsToYalEnabled() override { return boolOf(path::sendEvents); }
    void setPolicyNameForFirewallOptions(std::string name) override;
    std::string getPolicyNameForFirewallOptions() override;
    void setPolicyNameForFirewallRules(std::string name) override;
    std::string getPolicyNameForFirewallRules() override;
    void setPolicyNameForTrustedNetwork(std::string name) override;
    std::string getPolicyNameForTrustedNetwork() override;
    bool isProductUnManaged() override { return getManagedMode() == 0; }
    std::string getLogPath() override { return get(path::logPath); }
    int setLogPath(std::string v) override;
    bool isActivityLoggingEnabled() override { return boolOf(path::activity); }
    int enableActivityLogging(bool v) override { return put(path::activity, v); }
    bool isLimitActivityLogSizeEnabled() override { return boolOf(path::limitActivity); }
    int enableLimitActivityLogSize(bool v) override { return put(path::limitActivity, v); }
    bool isDebugLoggingEnabledForFirewall() override { return boolOf(path::debugFw); }
    bool isDebugLoggingEnabledForMsgBus() override { return boolOf(path::debugBus); }
    int enableDebugLoggingForFirewall(bool v) override { return put(path::debugFw, v); }
    bool isLimitDebugLogSizeEnabled() override { return boolOf(path::limitDebug); }
    int enableLimitDebugLogSize(bool v) override { return put(path::limitDebug, v); }
    int getDebugLogSize() override { return intOf(path::debugSize); }
    int setDebugLogSize(int v) override { return put(path::debugSize, v); }
    int enableSendingEventsToYal(bool v) override { return put(path::sendEvents, v); }
    bool isEventLoggingEnabled() override { return boolOf(path::eventLog); }
    int enableEventLogging(bool v) override { return put(path::eventLog, v); }
    int getYalLogLevelForFW() override { return intOf(path::yalLevel); }
    int setYalLogLevelForFW(int v) override { return put(path::yalLevel, v); }
    int getDefaultMaximumLogFileSize() override { return intOf(path::maxLogSize); }
    int getDefaultRotatedLogFileCount() override { return intOf(path::rotatedCount); }
    void setAgentAdaptor(StatefulFirewall::SFAgentAdaptor* adaptor) override;
    int getHttpUpdateUrl(std::list<std::string>& out) override { return copyList("httpUrl", out); }
    int getHttpUpdatePort(std::list<std::string>& out) override { return copyList("httpPort", out); }
    int getFtpUpdateUrl(std::list<std::string>& out) override { return copyList("ftpUrl", out); }
    int getFtpUpdatePort(std::list<std::string>& out) override { return copyList("ftpPort", out); }
    int getYalServerName(std::list<std::string>& out) override { return copyList("serverName", out); }
    int getYalServerIP(std::list<std::string>& out) override { return copyList("serverIp", out); }
    int getAgentListenPort(std::string& out) override;
    int getYalServerPort(std::list<std::string>& out) override { return copyList("serverPort", out); }
    int getYalSecurePort(std::list<std::string>& out) override { return copyList("securePort", out); }
    void getAgentRulesFromIni(std::map<std::string, std::vector<std::string>>& rules) override;
    void setNfConntrackFtpModuleStatus(bool v) override;
    bool getNfConntrackFtpModuleStatus() override;
    void setUniqueId(std::string id) override;
    std::string getUniqueId() override;
    int getGlobalEnforcementPolicyUniqueId() override;
    void setPreviousUniqueId(std::string id) override;
    std::string getPreviousUniqueId() override;
    void setHealthCheckTimer(int v) override { put(path::healthCheck, v); }
    int getHealthCheckTimer() override { return intOf(path::healthCheck); }
    // Through the setters above, in the order the policy lists them, so that a test overriding
    // one sees its call; when one fails, every value goes back to what it was.
    int setLoggingSettings(const StatefulFirewall::SFLoggingSettings& settings) override;

    // Test-only state: agent lists by name ("serverName", "serverIp", "serverPort",
    // "securePort", "httpUrl", "httpPort", "ftpUrl", "ftpPort"), the agent port, the INI rules.
    void setAgentList(const std::string& name, std::list<std::string> values);
    void setAgentPort(std::string port);
    void setAgentRules(std::map<std::string, std::vector<std::string>> rules);
    // The next getGlobalEnforcementPolicyUniqueId returns number (then number + 1, ...).
    void setNextGenerationNumber(int number);
    StatefulFirewall::SFAgentAdaptor* agentAdaptor() const;

    struct path {
        static const char *enabled, *mode, *retain, *spoof, *ftp, *ftpPorts, *trustSubnet,
            *tcpTimeout, *udpTimeout, *aggregation, *reporting, *hashLimit, *unsupported,
            *logLevel, *activitySize, *ruleStore, *trustedStore, *iptablesLevel, *customLog,
            *socket, *sendEvents, *logPath, *activity, *limitActivity, *debugFw, *debugBus,
            *limitDebug, *debugSize, *eventLog, *yalLevel, *maxLogSize, *rotatedCount,
            *healthCheck;
    };

private:
    bool boolOf(const char* path) const;
    int intOf(const char* path) const;
    int put(const char* path, bool value) { return putText(path, value ? "1" : "0"); }
    int put(const char* path, int value) { return putText(path, std::to_string(value)); }
    int putText(const char* path, const std::string& text);
    int copyList(const std::string& name, std::list<std::string>& out) const;

    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
    std::map<std::string, std::list<std::string>> m_agentLists;
    std::map<std::string, std::vector<std::string>> m_agentRules;
    std::string m_agentPort;
    void (*m_callback)(StatefulFirewall::SFPrefType) = nullptr;
    bool m_kerneltz = true;
    bool m_ftpModule = false;
    int m_managedMode = 3;
    std::string m_policyOptions, m_policyRules, m_policyTrusted;
    std::string m_uniqueId, m_previousUniqueId;
    int m_counter = 0;
    StatefulFirewall::SFAgentAdaptor* m_adaptor = nullptr;
};

} // namespace TestSupport
