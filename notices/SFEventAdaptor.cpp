#include "SFEventAdaptor.h"

#include "CommonFunc.h"
#include "FMPException.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "MsgBusEventData.h"
#include "SFAgentAdaptor.h"
#include "SFPrefKeys.h"
#include "WStringUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <boost/thread/lock_guard.hpp>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace StatefulFirewall {

boost::mutex SFEventAdaptor::m_agentAdaptorMutex;

namespace {

const char* const kComponentName = "SFEventAdaptor";
const char* const kNotRegistered = "Please wait for registration with Varnik Agent to be completed";
const char* const kSentPrefix = "Successfully sent Yal event - ";
const char* const kExceptionPrefix = "Exception happened while sending of product event: ";

std::string protocolText(uint8_t protocol)
{
    switch (protocol) {
    case 6:
        return "TCP";
    case 17:
        return "UDP";
    case 1:
        return "ICMP";
    default:
        return std::to_string(static_cast<int>(protocol));
    }
}

std::string threatType(const std::string& topic)
{
    if (topic == "ops.fw.traffic")
        return "IDS_FW_THREAT_TYPE_TRAFFIC";
    if (topic == "ops.fw.detect")
        return "IDS_FW_THREAT_TYPE_DETECTION";
    if (topic == "fw.intrusion")
        return "IDS_FW_THREAT_TYPE_INTRUSION";
    return "Unknown";
}

// The record keeps the address as the IP header had it, in network byte order: its bytes are
// what inet_ntop expects, so they are copied, never swapped.
std::string dottedAddress(uint32_t networkOrder)
{
    in_addr address{};
    std::memcpy(&address, &networkOrder, sizeof(address));
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr)
        return std::string();
    return text;
}

std::string utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[256];
    std::memset(text, 0, sizeof(text));
    if (gmtime_r(&now, &parts) != nullptr)
        std::strftime(text, 255, "%Y-%m-%dT%TZ", &parts);
    return text;
}

// textWGUID prints the null identifier as zeros; the server expects "EMPTY" for it.
std::string analyzerRuleId(const KGUID& ruleId)
{
    const GUID id = fromKGUID(ruleId);
    if (CommonFunc::isGUIDNull(id))
        return "EMPTY";
    return ZAV::wstringToString(CommonFunc::textWGUID(id));
}

} // namespace

SFEventAdaptor::SFEventAdaptor(ZAV::ILogger& logger, IConfigController& configController)
    : m_logger(logger), m_componentName(kComponentName), m_configController(&configController),
      m_agentAdaptor(nullptr)
{
    const std::map<std::string, std::string> info = configController.getProductInfo();
    const auto name = info.find(SF_KEY_PRODUCT_NAME_FOR_EVENT);
    if (name != info.end())
        m_productNameForEvent = name->second;
    const auto version = info.find(SF_KEY_PRODUCT_VERSION);
    if (version != info.end())
        m_productVersion = version->second;
}

SFEventAdaptor::~SFEventAdaptor() = default;

void SFEventAdaptor::setAgentAdaptor(SFAgentAdaptor* adaptor)
{
    boost::lock_guard<boost::mutex> lock(m_agentAdaptorMutex);
    m_agentAdaptor = adaptor;
}

bool SFEventAdaptor::mayForward(bool& result)
{
    if (m_configController->isProductUnManaged()) {
        result = true;
        return false;
    }
    if (!m_configController->isSendingEventsToYalEnabled()) {
        m_logger.logMessage(6, m_componentName, "Yal Event was not sent as it is disabled by configuration.");
        result = true;
        return false;
    }
    return true;
}

bool SFEventAdaptor::sendCEFEvent(std::vector<ZAV::MsgBusEventData>& events,
                                  std::vector<ZAV::MsgBusEventData>& failed)
{
    // A scoped lock: any exception other than the platform's passes to the caller and must
    // not leave the mutex held.
    boost::lock_guard<boost::mutex> lock(m_agentAdaptorMutex);
    if (m_agentAdaptor == nullptr) {
        failed = std::move(events);
        events.clear();
        m_logger.logMessage(2, m_componentName, kNotRegistered);
        return false;
    }
    try {
        bool result = false;
        if (!mayForward(result))
            return result;
        std::vector<ZAV::MsgBusEventData> sent;
        result = m_agentAdaptor->sendCEFEvent(kSoftwareId, m_productNameForEvent, m_productVersion,
                                              events, failed, sent);
        if (result) {
            for (const ZAV::MsgBusEventData& event : sent)
                m_logger.logMessage(6, m_componentName, kSentPrefix + event.getEventName());
        }
        return result;
    } catch (const ZAV::FMPException& e) {
        m_logger.logMessage(2, m_componentName, kExceptionPrefix + e.getMessage());
        return false;
    }
}

bool SFEventAdaptor::sendCEFEvent(ZAV::MsgBusEventData& event)
{
    boost::lock_guard<boost::mutex> lock(m_agentAdaptorMutex);
    if (m_agentAdaptor == nullptr) {
        m_logger.logMessage(2, m_componentName, kNotRegistered);
        return false;
    }
    try {
        bool result = false;
        if (!mayForward(result))
            return result;
        std::vector<ZAV::MsgBusEventData> events{event};
        std::vector<ZAV::MsgBusEventData> failed;
        std::vector<ZAV::MsgBusEventData> sent;
        result = m_agentAdaptor->sendCEFEvent(kSoftwareId, m_productNameForEvent, m_productVersion,
                                              events, failed, sent);
        if (result)
            m_logger.logMessage(6, m_componentName, kSentPrefix + event.getEventName());
        return result;
    } catch (const ZAV::FMPException& e) {
        m_logger.logMessage(2, m_componentName, kExceptionPrefix + e.getMessage());
        return false;
    }
}

void SFEventAdaptor::createEventData(std::string topic, RuleEventInfo& info, ZAV::MsgBusEventData& event)
{
    // The record's name need not be terminated within its 104 bytes.
    const std::string ruleName(info.ruleName, strnlen(info.ruleName, sizeof(info.ruleName)));
    const std::string protocol = protocolText(info.protocol);

    event.setStandardField(1, "Firewall");
    event.setStandardField(3, utcNow());
    event.setStandardField(4, info.action == 1 ? "IDS_THREAT_ACTION_ALLOW" : "Blocked");
    event.setStandardField(5, topic);
    event.setStandardField(6, "1");
    event.setStandardField(7, ruleName);
    event.setStandardField(8, std::to_string(info.EventSeverity));
    event.setStandardField(9, threatType(topic));
    event.setStandardField(18, std::to_string(info.destinationPort));
    event.setStandardField(19, protocol);
    event.setStandardField(22, dottedAddress(info.destinationAddress));
    event.setStandardField(23, dottedAddress(info.sourceAddress));

    event.setCustomFieldTableName("YLExtendedEventMT");
    event.addCustomFieldToEvent("BladeName", "IDS_BLADE_NAME_FW");
    event.addCustomFieldToEvent("AnalyzerRuleID", analyzerRuleId(info.ruleId));
    event.addCustomFieldToEvent("AnalyzerRuleName", ruleName);
    event.addCustomFieldToEvent("Direction", info.direction == 1 ? "0" : info.direction == 2 ? "1" : "");
    event.addCustomFieldToEvent("AttackVectorType", info.direction == 1 ? "3" : info.direction == 2 ? "4" : "");
    if (info.protocol == 6 || info.protocol == 17)
        event.addCustomFieldToEvent("DestinationPort", std::to_string(info.destinationPort));
    if (info.protocol == 1)
        event.addCustomFieldToEvent("ICMPType", std::to_string(static_cast<int>(info.icmpType)));
    event.addCustomFieldToEvent("SourcePort", std::to_string(info.sourcePort));
    event.addCustomFieldToEvent("TargetProtocol", protocol);
}

} // namespace StatefulFirewall
