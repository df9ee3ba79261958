#pragma once

// The settings interface. One instance, owned by the daemon and passed by reference to every
// library. Getters never fail towards their caller (they log and return the key's default);
// setters return SF_SUCCESS, SF_PREF_ALREADY_SET or SF_PREF_WRITE_FAILED. The order of the
// operations is part of the interface: libraries built apart rely on it.

#include "SFLoggingSettings.h"
#include "SFPrefType.h"

#include <list>
#include <map>
#include <string>
#include <vector>

namespace StatefulFirewall {

class SFAgentAdaptor;

class IConfigController {
public:
    virtual ~IConfigController() = default;

    virtual bool getFwEnableStatus() = 0;
    virtual FW_MODE getFwMode() = 0;
    virtual bool getFwRetainExistCLROption() = 0;
    virtual bool getFwEnableIPspoofProtOption() = 0;
    virtual bool getFwFTPinspectionOption() = 0;
    virtual std::string getFtpInspectionPorts() = 0;
    virtual bool getShouldTrustLocalSubnet() = 0;
    virtual int getFwTCPConTimeout() = 0;
    virtual int getFwUDPandICMPConTimeout() = 0;
    virtual int getAggregationTimeoutInterval() = 0;
    virtual int getReportingTimeoutInterval() = 0;
    virtual std::string getHashLimitUptoRate() = 0;
    virtual int getUnsupportedProtocol() = 0;
    virtual int setFwEnableStatus(bool enabled) = 0;
    virtual int setFwMode(FW_MODE mode) = 0;
    virtual int setFwRetainExistCLROption(bool retain) = 0;
    virtual int setFwEnableIPspoofProtOption(bool enable) = 0;
    virtual int setFwFTPinspectionOption(bool enable) = 0;
    virtual int setFwTCPConTimeout(int seconds) = 0;
    virtual int setFwUDPandICMPConTimeout(int seconds) = 0;
    virtual int setShouldTrustLocalSubnet(bool trust) = 0;
    virtual int getFwLogLevel() = 0;
    virtual int getFwActivityLogSize() = 0;
    virtual int setFwLogLevel(int level) = 0;
    virtual int setFwUnsupportedProtocol(int action) = 0;
    // Log sizes in megabytes: a size outside SF_MIN_LOG_SIZE_MIB..SF_MAX_LOG_SIZE_MIB
    // (SFPrefKeys.h) is refused with SF_INVALID_ARGUMENT and a log line, nothing stored.
    virtual int setFwActivityLogSize(int size) = 0;
    virtual void registerCallBack(void (*callback)(SFPrefType)) = 0;
    virtual std::string getRuleStorePath() = 0;
    virtual std::string getTrustedIPStorePath() = 0;
    virtual int getIptablesLogLevel() = 0;
    virtual void setKerneltzSupportStatus(bool supported) = 0;
    virtual bool getKerneltzSupportStatus() = 0;
    virtual std::map<std::string, std::string> getProductInfo() = 0;
    virtual bool getCustomLogEnable() = 0;
    virtual int setCustomLogEnable(bool enable) = 0;
    virtual std::string getZAVSocketPath() = 0;
    virtual int getManagedMode() = 0;
    virtual void setManagedMode(int mode) = 0;
    virtual bool isSendingEventsToYalEnabled() = 0;
    virtual void setPolicyNameForFirewallOptions(std::string name) = 0;
    virtual std::string getPolicyNameForFirewallOptions() = 0;
    virtual void setPolicyNameForFirewallRules(std::string name) = 0;
    virtual std::string getPolicyNameForFirewallRules() = 0;
    virtual void setPolicyNameForTrustedNetwork(std::string name) = 0;
    virtual std::string getPolicyNameForTrustedNetwork() = 0;
    virtual bool isProductUnManaged() = 0;
    virtual std::string getLogPath() = 0;
    // SF_INVALID_ARGUMENT, the stored path kept, for a path logPathFault refuses.
    virtual int setLogPath(std::string path) = 0;
    virtual bool isActivityLoggingEnabled() = 0;
    virtual int enableActivityLogging(bool enable) = 0;
    virtual bool isLimitActivityLogSizeEnabled() = 0;
    virtual int enableLimitActivityLogSize(bool enable) = 0;
    virtual bool isDebugLoggingEnabledForFirewall() = 0;
    virtual bool isDebugLoggingEnabledForMsgBus() = 0;
    virtual int enableDebugLoggingForFirewall(bool enable) = 0;
    virtual bool isLimitDebugLogSizeEnabled() = 0;
    virtual int enableLimitDebugLogSize(bool enable) = 0;
    virtual int getDebugLogSize() = 0;
    virtual int setDebugLogSize(int size) = 0; // bounded as setFwActivityLogSize
    virtual int enableSendingEventsToYal(bool enable) = 0;
    virtual bool isEventLoggingEnabled() = 0;
    virtual int enableEventLogging(bool enable) = 0;
    virtual int getYalLogLevelForFW() = 0;
    virtual int setYalLogLevelForFW(int level) = 0;
    // From the settings file, within the log bounds of SFPrefKeys.h: a value outside them gives
    // the default, like an unreadable one.
    virtual int getDefaultMaximumLogFileSize() = 0;
    virtual int getDefaultRotatedLogFileCount() = 0;
    virtual void setAgentAdaptor(SFAgentAdaptor* adaptor) = 0;
    virtual int getHttpUpdateUrl(std::list<std::string>& out) = 0;
    virtual int getHttpUpdatePort(std::list<std::string>& out) = 0;
    virtual int getFtpUpdateUrl(std::list<std::string>& out) = 0;
    virtual int getFtpUpdatePort(std::list<std::string>& out) = 0;
    virtual int getYalServerName(std::list<std::string>& out) = 0;
    virtual int getYalServerIP(std::list<std::string>& out) = 0;
    virtual int getAgentListenPort(std::string& out) = 0;
    virtual int getYalServerPort(std::list<std::string>& out) = 0;
    virtual int getYalSecurePort(std::list<std::string>& out) = 0;
    virtual void getAgentRulesFromIni(std::map<std::string, std::vector<std::string>>& rules) = 0;
    virtual void setNfConntrackFtpModuleStatus(bool loaded) = 0;
    virtual bool getNfConntrackFtpModuleStatus() = 0;
    virtual void setUniqueId(std::string id) = 0;
    virtual std::string getUniqueId() = 0;
    virtual int getGlobalEnforcementPolicyUniqueId() = 0;
    virtual void setPreviousUniqueId(std::string id) = 0;
    virtual std::string getPreviousUniqueId() = 0;
    virtual void setHealthCheckTimer(int seconds) = 0;
    virtual int getHealthCheckTimer() = 0;
    // Stores every setting of settings in one save of the settings file, or none of them:
    // SF_SUCCESS, or SF_PREF_ALREADY_SET when each held its value already; SF_INVALID_ARGUMENT
    // for a log path logPathFault refuses or a size outside the log bounds, and
    // SF_PREF_WRITE_FAILED when the save fails, each logged with the setting and the reason.
    virtual int setLoggingSettings(const SFLoggingSettings& settings) = 0;
};

} // namespace StatefulFirewall
