#include "SFAgentAdaptor.h"

#include "FMPException.h"
#include "IAgentInfo.h"
#include "IAgentPolicyEnforcement.h"
#include "IAgentPropertyCollection.h"
#include "IEnterpriseAgent.h"
#include "ILogger.h"
#include "MsgBusEventData.h"
#include "SiteListInfoAdaptor.h"

#include <algorithm>
#include <charconv>

namespace StatefulFirewall {

namespace {

const char* const kComponentName = "SFAgentAdaptor";

void sortUnique(std::list<std::string>& list)
{
    list.sort();
    list.unique();
}

// An optional sign and decimal digits, nothing else; false on overflow.
bool parseManagedMode(const std::string& text, int& mode)
{
    size_t digits = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        digits = 1;
    if (digits == text.size() ||
        !std::all_of(text.begin() + digits, text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    // from_chars takes a '-' but not a '+'.
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    const auto result = std::from_chars(first, text.data() + text.size(), mode);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

} // namespace

SFAgentAdaptor::SFAgentAdaptor(ZAV::ILogger& logger, std::unique_ptr<ZAV::IEnterpriseAgent> agent,
                               std::unique_ptr<ZAV::IAgentPolicyEnforcement> policyEnforcement,
                               std::unique_ptr<ZAV::IAgentPropertyCollection> propertyCollection,
                               std::unique_ptr<ZAV::IAgentInfo> agentInfo)
    : m_logger(logger), m_enterpriseAgent(nullptr), m_componentName(kComponentName)
{
    // All four arrive by value, so on this throw every one of them is freed with the
    // arguments, the agent included.
    if (!propertyCollection || !policyEnforcement || !agentInfo || !agent)
        throw ZAV::FMPException(3, "Failed to create Agent adaptor as invalid parameter for mandatory field.");

    // The agent stays in its owning argument until the end of construction, so an exception
    // from the agent below frees it too; the destructor would not run.
    m_enterpriseAgent = agent.get();

    // A plug-in the agent refuses is left in its argument and freed right after the call.
    if (m_enterpriseAgent->registerPolicyEnforcement(policyEnforcement))
        m_logger.logMessage(5, m_componentName, "Successfully registered with policy enforcement callback.");
    else
        m_logger.logMessage(2, m_componentName, "Failed to register with policy enforcement callback.");
    policyEnforcement.reset();

    if (m_enterpriseAgent->registerPropertyCollection(propertyCollection))
        m_logger.logMessage(5, m_componentName, "Successfully registered with property collection callback.");
    else
        m_logger.logMessage(2, m_componentName, "Failed to register with property collection callback.");
    propertyCollection.reset();

    if (m_enterpriseAgent->registerAgentInfo(agentInfo))
        m_logger.logMessage(5, m_componentName, "Successfully registered with agent information callback.");
    else
        m_logger.logMessage(2, m_componentName, "Failed to register with agent information callback.");
    agentInfo.reset();

    if (!m_enterpriseAgent->registerSiteListChange()) {
        m_logger.logMessage(2, m_componentName, "Failed to register with agent site list callback.");
    } else {
        m_logger.logMessage(5, m_componentName, "Successfully registered with agent site list callback.");
        ZAV::SiteListInfoAdaptor siteList;
        if (m_enterpriseAgent->getSiteList(siteList))
            updateYALServerValues(siteList);
    }
    agent.release();
}

SFAgentAdaptor::~SFAgentAdaptor()
{
    m_yalServerName.clear();
    m_yalServerIP.clear();
    m_agentPort.clear();
    m_yalSecurePort.clear();
    m_yalServerPort.clear();
    m_httpUpdateUrl.clear();
    m_httpUpdatePort.clear();
    m_ftpUpdateUrl.clear();
    m_ftpUpdatePort.clear();
    // The agent's destructor stops its thread and frees the plug-ins, which hold the settings,
    // the interface monitor and the logger: the daemon deletes the adaptor before those.
    delete m_enterpriseAgent;
    m_enterpriseAgent = nullptr;
}

int SFAgentAdaptor::getAgentManagedMode()
{
    std::string text;
    if (!m_enterpriseAgent->getAgentInformation(ZAV::AGENT_INFO_MANAGED_MODE, text)) {
        m_logger.logMessage(2, m_componentName, "Error in getting the Managed mode setting of Varnik Agent");
        return 3;
    }
    m_logger.logMessage(5, m_componentName,
                        "Varnik Agent is running with mode: " + text +
                            " (0-Unmanaged, 1-Yal Managed, 2-Yal Cloud Managed, 3-Unknown)");
    int mode = 3;
    if (!parseManagedMode(text, mode)) {
        m_logger.logMessage(2, m_componentName, "Error in converting the Managed mode setting of Varnik Agent");
        return 3;
    }
    return mode;
}

void SFAgentAdaptor::updateAgentPort()
{
    if (m_enterpriseAgent->getAgentInformation(ZAV::AGENT_INFO_AGENT_PORT, m_agentPort))
        m_logger.logMessage(6, m_componentName, "Varnik agent's communication port is: " + m_agentPort);
    else
        m_logger.logMessage(2, m_componentName, "Error while getting Varnik agent's communication port information");
}

void SFAgentAdaptor::updateYALServerValues(const ZAV::SiteListInfoAdaptor& siteList)
{
    for (const ZAV::tag_Site& site : siteList.getSites()) {
        switch (site.kind) {
        case ZAV::SITE_KIND_MANAGEMENT_SERVER:
            m_yalServerName.push_back(site.name);
            if (!site.ipAddress.empty())
                m_yalServerIP.push_back(site.ipAddress);
            m_yalSecurePort.push_back(std::to_string(site.firstPort));
            m_yalServerPort.push_back(std::to_string(site.secondPort));
            break;
        case ZAV::SITE_KIND_HTTP_UPDATE:
            m_httpUpdateUrl.push_back(site.name);
            m_httpUpdatePort.push_back(std::to_string(site.firstPort));
            break;
        case ZAV::SITE_KIND_FTP_UPDATE:
            m_ftpUpdateUrl.push_back(site.name);
            m_ftpUpdatePort.push_back(std::to_string(site.firstPort));
            break;
        default:
            break;
        }
    }
    for (auto* list : {&m_yalServerName, &m_yalServerIP, &m_yalSecurePort, &m_yalServerPort,
                       &m_httpUpdateUrl, &m_httpUpdatePort, &m_ftpUpdateUrl, &m_ftpUpdatePort})
        sortUnique(*list);
}

bool SFAgentAdaptor::sendCEFEvent(std::string softwareId, std::string productName,
                                  std::string productVersion, std::vector<ZAV::MsgBusEventData>& events,
                                  std::vector<ZAV::MsgBusEventData>& failed,
                                  std::vector<ZAV::MsgBusEventData>& sent)
{
    return m_enterpriseAgent->sendCEFEvents(softwareId, productName, productVersion, events, failed, sent);
}

ZAV::IAgentUpdater* SFAgentAdaptor::getAgentUpdaterInterface()
{
    return m_enterpriseAgent->getUpdaterInterface();
}

void SFAgentAdaptor::unloadWZPlugin()
{
    m_enterpriseAgent->unloadPlugin();
}

void SFAgentAdaptor::reloadWZPlugin()
{
    m_enterpriseAgent->reloadPlugin();
}

void SFAgentAdaptor::startLogging()
{
    m_enterpriseAgent->refreshLogSettings();
}

void SFAgentAdaptor::stopLogging()
{
    m_enterpriseAgent->refreshLogSettings();
}

} // namespace StatefulFirewall
