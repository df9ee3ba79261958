// Run-time state of the configuration controller: managed mode, policy names, chain generation
// ids, kernel-support flags, the agent adaptor's data, product information and the agent's
// firewall-rule file. None of it is written to the settings file.

#include "SFConfigController.h"

#include "ILogger.h"
#include "IConfigStore.h"
#include "SFAgentAdaptor.h"
#include "SFPrefKeys.h"
#include "SFSettingsText.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <random>
#include <sstream>

namespace StatefulFirewall {

int SFConfigController::getManagedMode()
{
    return m_managedMode.load();
}

void SFConfigController::setManagedMode(int mode)
{
    // Only a mode the agent actually reported is kept; 3 (unknown) and junk leave it as it was.
    if (mode < 0 || mode > 2)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_managedMode.store(mode);
}

bool SFConfigController::isProductUnManaged()
{
    return m_managedMode.load() == 0;
}

void SFConfigController::setPolicyNameForFirewallOptions(std::string name)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_policyNameFirewallOptions = std::move(name);
}

std::string SFConfigController::getPolicyNameForFirewallOptions()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_policyNameFirewallOptions;
}

void SFConfigController::setPolicyNameForFirewallRules(std::string name)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_policyNameFirewallRules = std::move(name);
}

std::string SFConfigController::getPolicyNameForFirewallRules()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_policyNameFirewallRules;
}

void SFConfigController::setPolicyNameForTrustedNetwork(std::string name)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_policyNameTrustedNetwork = std::move(name);
}

std::string SFConfigController::getPolicyNameForTrustedNetwork()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_policyNameTrustedNetwork;
}

void SFConfigController::setUniqueId(std::string id)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_uniqueId = "_" + id;
}

std::string SFConfigController::getUniqueId()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_uniqueId;
}

void SFConfigController::setPreviousUniqueId(std::string id)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_previousUniqueId = std::move(id);
}

std::string SFConfigController::getPreviousUniqueId()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_previousUniqueId;
}

int SFConfigController::getGlobalEnforcementPolicyUniqueId()
{
    int current = m_enforcementPolicyCounter.load();
    if (current == 0) {
        // The first generation number is random, so chains left behind by an earlier run of
        // the daemon are unlikely to clash with the new ones.
        std::random_device device("default");
        std::mt19937 engine(device());
        std::uniform_int_distribution<int> draw(0, 999999999);
        const int first = draw(engine) + 1;
        if (m_enforcementPolicyCounter.compare_exchange_strong(current, first))
            return first;
    }
    return m_enforcementPolicyCounter.fetch_add(1) + 1;
}

void SFConfigController::setKerneltzSupportStatus(bool supported)
{
    m_kerneltzSupported.store(supported);
}

bool SFConfigController::getKerneltzSupportStatus()
{
    return m_kerneltzSupported.load();
}

void SFConfigController::setNfConntrackFtpModuleStatus(bool loaded)
{
    m_nfConntrackFtpLoaded.store(loaded);
}

bool SFConfigController::getNfConntrackFtpModuleStatus()
{
    return m_nfConntrackFtpLoaded.load();
}

std::map<std::string, std::string> SFConfigController::getProductInfo()
{
    static const char* const kKeys[] = {
        SF_KEY_PRODUCT_BIN_DIR,      SF_KEY_PRODUCT_CLI_NAME,       SF_KEY_PRODUCT_COPYRIGHT,
        SF_KEY_PRODUCT_INSTALL_DIR,  SF_KEY_PRODUCT_NAME,           SF_KEY_PRODUCT_NAME_FOR_EVENT,
        SF_KEY_PRODUCT_VAR_DIR,      SF_KEY_PRODUCT_VERSION,        SF_KEY_VENDOR_NAME,
    };
    std::map<std::string, std::string> info;
    for (const char* key : kKeys)
        info[key] = m_store->getStringValue(SF_SECTION_PRODUCT_ID, key);
    info[SF_KEY_HOT_FIXES] = m_store->getStringValue(SF_SECTION_PRODUCT_ID, SF_KEY_HOT_FIX);
    return info;
}

// ---------------------------------------------------------------------------------------------
// Agent data

void SFConfigController::setAgentAdaptor(SFAgentAdaptor* adaptor)
{
    m_agentAdaptor.store(adaptor);
}

int SFConfigController::copyAgentList(std::list<std::string> SFAgentAdaptor::*member,
                                      std::list<std::string>& out)
{
    // With no adaptor attached (before the agent registered, after shutdown began) nothing is
    // known, exactly as with an empty list.
    SFAgentAdaptor* adaptor = m_agentAdaptor.load();
    if (adaptor == nullptr || (adaptor->*member).empty())
        return 0;
    out = adaptor->*member;
    return 1;
}

int SFConfigController::getHttpUpdateUrl(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_httpUpdateUrl, out);
}

int SFConfigController::getHttpUpdatePort(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_httpUpdatePort, out);
}

int SFConfigController::getFtpUpdateUrl(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_ftpUpdateUrl, out);
}

int SFConfigController::getFtpUpdatePort(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_ftpUpdatePort, out);
}

int SFConfigController::getYalServerName(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_yalServerName, out);
}

int SFConfigController::getYalServerIP(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_yalServerIP, out);
}

int SFConfigController::getYalServerPort(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_yalServerPort, out);
}

int SFConfigController::getYalSecurePort(std::list<std::string>& out)
{
    return copyAgentList(&SFAgentAdaptor::m_yalSecurePort, out);
}

int SFConfigController::getAgentListenPort(std::string& out)
{
    SFAgentAdaptor* adaptor = m_agentAdaptor.load();
    if (adaptor == nullptr || adaptor->m_agentPort.empty())
        return 0;
    out = adaptor->m_agentPort;
    return 1;
}

void SFConfigController::getAgentRulesFromIni(std::map<std::string, std::vector<std::string>>& rules)
{
    try {
        // Bounded before parsing: the parser holds the whole file in memory. The format has
        // sections only, no nesting, so size is the one thing to bound.
        std::string text;
        std::string error;
        if (!readBoundedFile(SF_AGENT_RULES_INI_PATH, kMaxSettingsFileBytes, text, error)) {
            m_logger->logMessage(2, m_componentName,
                                 "Error while processing firewall rules from config file");
            m_logger->logMessage(2, m_componentName, error);
            return;
        }
        boost::property_tree::ptree ini;
        std::istringstream in(text);
        boost::property_tree::ini_parser::read_ini(in, ini);
        auto section = ini.find("FirewallRules");
        if (section == ini.not_found())
            return;
        for (const auto& entry : section->second) {
            // Fields: 0 name, 2 protocol, 5 and 6 ports, 7 direction; empty fields count.
            std::vector<std::string> fields;
            boost::split(fields, entry.second.data(), boost::is_any_of(","));
            if (fields.at(6).empty() && fields.at(5).empty())
                continue;
            rules[fields.at(0)] = {fields.at(2), fields.at(5), fields.at(6), fields.at(7)};
        }
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName,
                             "Error while processing firewall rules from config file");
    }
}

} // namespace StatefulFirewall
