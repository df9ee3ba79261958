#include "FakeConfigController.h"

#include "SFPrefKeys.h"
#include "SFResultCodes.h"

#include <boost/lexical_cast.hpp>

using namespace StatefulFirewall;

namespace TestSupport {

using P = FakeConfigController::path;
const char *P::enabled = SF_KEY_IS_FIREWALL_ENABLED, *P::mode = SF_KEY_IS_REGULAR_OR_ADAPTIVE,
           *P::retain = SF_KEY_RETAIN_EXISTING_CLIENT_RULES,
           *P::spoof = SF_KEY_ENABLE_IP_SPOOF_PROTECTION, *P::ftp = SF_KEY_USE_FTP_INSPECTION,
           *P::ftpPorts = SF_KEY_FTP_INSPECTION_PORTS,
           *P::trustSubnet = SF_KEY_SHOULD_TRUST_LOCAL_SUBNET,
           *P::tcpTimeout = SF_KEY_TCP_CON_TIMEOUT, *P::udpTimeout = SF_KEY_UDP_ICMP_CON_TIMEOUT,
           *P::aggregation = SF_KEY_AGGR_TIMEOUT_SECS,
           *P::reporting = SF_KEY_REPORTING_TIMEOUT_SECS,
           *P::hashLimit = SF_KEY_HASH_LIMIT_UPTO_RATE,
           *P::unsupported = SF_KEY_UNSUPPORTED_PROTOCOL, *P::logLevel = SF_KEY_FIREWALL_LOG_LEVEL,
           *P::activitySize = SF_KEY_ACTIVITY_LOG_SIZE, *P::ruleStore = SF_KEY_RULE_STORE_PATH,
           *P::trustedStore = SF_KEY_TRUSTED_IP_STORE_PATH,
           *P::iptablesLevel = SF_KEY_IPTABLES_RULE_LOG_LEVEL,
           *P::customLog = SF_KEY_CUSTOM_LOG_ENABLE, *P::socket = SF_KEY_ZAV_SOCKET_PATH,
           *P::sendEvents = SF_KEY_SEND_EVENTS_TO_YAL, *P::logPath = SF_KEY_LOG_PATH,
           *P::activity = SF_KEY_ENABLE_ACTIVITY_LOGGING,
           *P::limitActivity = SF_KEY_LIMIT_ACTIVITY_LOG_SIZE,
           *P::debugFw = SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW,
           *P::debugBus = SF_KEY_ENABLE_DEBUG_LOGGING_FOR_MSG_BUS,
           *P::limitDebug = SF_KEY_LIMIT_DEBUG_LOG_SIZE, *P::debugSize = SF_KEY_DEBUG_LOG_SIZE,
           *P::eventLog = SF_KEY_ENABLE_EVENT_LOGGING, *P::yalLevel = SF_KEY_YAL_LOG_LEVEL_FOR_FW,
           *P::maxLogSize = SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE,
           *P::rotatedCount = SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT,
           *P::healthCheck = SF_KEY_HEALTH_CHECK_TIMER;

FakeConfigController::FakeConfigController()
{
    for (const auto& d : SF_GLOBAL_DEFAULTS)
        m_values[d.path] = d.value;
    for (const auto& d : SF_PRODUCT_DEFAULTS)
        m_values[d.path] = d.value;
    for (const auto& d : SF_LOGGING_DEFAULTS)
        m_values[d.path] = d.value;
}

void FakeConfigController::set(const std::string& path, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[path] = text;
}

std::string FakeConfigController::get(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(path);
    return it == m_values.end() ? std::string() : it->second;
}

bool FakeConfigController::boolOf(const char* path) const
{
    return get(path) == "1";
}

int FakeConfigController::intOf(const char* path) const
{
    return boost::lexical_cast<int>(get(path));
}

int FakeConfigController::putText(const char* path, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string& slot = m_values[path];
    if (slot == text)
        return SF_PREF_ALREADY_SET;
    slot = text;
    return SF_SUCCESS;
}

FW_MODE FakeConfigController::getFwMode()
{
    return intOf(path::mode) == FW_MODE_ADAPTIVE ? FW_MODE_ADAPTIVE : FW_MODE_REGULAR;
}

int FakeConfigController::setLogPath(std::string v)
{
    return putText(path::logPath, v);
}

int FakeConfigController::setLoggingSettings(const SFLoggingSettings& s)
{
    std::map<std::string, std::string> before;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        before = m_values;
    }
    int result = SF_PREF_ALREADY_SET;
    const auto stored = [&](int code) {
        if (code != SF_SUCCESS && code != SF_PREF_ALREADY_SET)
            result = code;
        else if (code == SF_SUCCESS && result == SF_PREF_ALREADY_SET)
            result = SF_SUCCESS;
        return code == SF_SUCCESS || code == SF_PREF_ALREADY_SET;
    };
    const bool all =
        stored(setLogPath(s.logPath)) && stored(enableActivityLogging(s.activityLogging)) &&
        stored(enableLimitActivityLogSize(s.limitActivityLogSize)) &&
        (!s.activityLogSizeMiB || stored(setFwActivityLogSize(*s.activityLogSizeMiB))) &&
        stored(enableDebugLoggingForFirewall(s.debugLogging)) &&
        stored(enableLimitDebugLogSize(s.limitDebugLogSize)) &&
        (!s.debugLogSizeMiB || stored(setDebugLogSize(*s.debugLogSizeMiB))) &&
        stored(enableSendingEventsToYal(s.sendEventsToYal)) &&
        stored(enableEventLogging(s.eventLogging)) && stored(setYalLogLevelForFW(s.yalLogLevel)) &&
        stored(setFwLogLevel(s.firewallLogLevel));
    if (!all) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = before;
    }
    return result;
}

void FakeConfigController::registerCallBack(void (*callback)(SFPrefType))
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = callback;
}

void FakeConfigController::setKerneltzSupportStatus(bool v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kerneltz = v;
}

bool FakeConfigController::getKerneltzSupportStatus()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_kerneltz;
}

std::map<std::string, std::string> FakeConfigController::getProductInfo()
{
    std::map<std::string, std::string> info;
    for (const auto& d : SF_PRODUCT_DEFAULTS)
        if (std::string(d.path) != SF_SECTION_PRODUCT_ATTR && std::string(d.path) != SF_KEY_HOT_FIX)
            info[d.path] = get(d.path);
    info[SF_KEY_HOT_FIXES] = get(SF_KEY_HOT_FIX);
    return info;
}

int FakeConfigController::getManagedMode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_managedMode;
}

void FakeConfigController::setManagedMode(int mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (mode >= 0 && mode <= 2)
        m_managedMode = mode;
}

#define FAKE_STRING_STATE(setter, getter, member)                                                \
    void FakeConfigController::setter(std::string v)                                            \
    {                                                                                            \
        std::lock_guard<std::mutex> lock(m_mutex);                                               \
        member = std::move(v);                                                                   \
    }                                                                                            \
    std::string FakeConfigController::getter()                                                   \
    {                                                                                            \
        std::lock_guard<std::mutex> lock(m_mutex);                                               \
        return member;                                                                           \
    }
FAKE_STRING_STATE(setPolicyNameForFirewallOptions, getPolicyNameForFirewallOptions, m_policyOptions)
FAKE_STRING_STATE(setPolicyNameForFirewallRules, getPolicyNameForFirewallRules, m_policyRules)
FAKE_STRING_STATE(setPolicyNameForTrustedNetwork, getPolicyNameForTrustedNetwork, m_policyTrusted)
FAKE_STRING_STATE(setPreviousUniqueId, getPreviousUniqueId, m_previousUniqueId)
#undef FAKE_STRING_STATE

void FakeConfigController::setUniqueId(std::string id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uniqueId = "_" + id;
}

std::string FakeConfigController::getUniqueId()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uniqueId;
}

void FakeConfigController::setNextGenerationNumber(int number)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counter = number - 1;
}

int FakeConfigController::getGlobalEnforcementPolicyUniqueId()
{
    // Deterministic, so tests can name the chains they expect.
    std::lock_guard<std::mutex> lock(m_mutex);
    return ++m_counter;
}

void FakeConfigController::setAgentAdaptor(SFAgentAdaptor* adaptor)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_adaptor = adaptor;
}

SFAgentAdaptor* FakeConfigController::agentAdaptor() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_adaptor;
}

int FakeConfigController::copyList(const std::string& name, std::list<std::string>& out) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_agentLists.find(name);
    if (it == m_agentLists.end() || it->second.empty())
        return 0;
    out = it->second;
    return 1;
}

int FakeConfigController::getAgentListenPort(std::string& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_agentPort.empty())
        return 0;
    out = m_agentPort;
    return 1;
}

void FakeConfigController::getAgentRulesFromIni(std::map<std::string, std::vector<std::string>>& rules)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_agentRules)
        rules[entry.first] = entry.second;
}

void FakeConfigController::setNfConntrackFtpModuleStatus(bool v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ftpModule = v;
}

bool FakeConfigController::getNfConntrackFtpModuleStatus()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ftpModule;
}

void FakeConfigController::setAgentList(const std::string& name, std::list<std::string> values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_agentLists[name] = std::move(values);
}

void FakeConfigController::setAgentPort(std::string port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_agentPort = std::move(port);
}

void FakeConfigController::setAgentRules(std::map<std::string, std::vector<std::string>> rules)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_agentRules = std::move(rules);
}

} // namespace TestSupport
