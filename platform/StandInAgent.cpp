#include "StandInAgent.h"

#include "FMPException.h"
#include "IAgentInfo.h"
#include "IAgentPolicyEnforcement.h"
#include "IAgentPropertyCollection.h"
#include "ILogger.h"
#include "SiteListInfoAdaptor.h"

#include <chrono>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace ZAV {

std::atomic<int> StandInAgent::s_constructed{0};
std::atomic<int> StandInAgent::s_destroyed{0};

StandInAgent::StandInAgent(ILogger& logger, std::string softwareId, std::string componentName)
    : m_logger(logger), m_componentName(std::move(componentName)), m_softwareId(std::move(softwareId))
{
    ++s_constructed;
}

StandInAgent::~StandInAgent()
{
    // A plug-in call on another thread finishes before its plug-in goes.
    std::lock_guard<std::mutex> calls(m_pluginCallMutex);
    m_policyPlugin.reset();
    m_propertyPlugin.reset();
    m_agentInfoPlugin.reset();
    ++s_destroyed;
}

void StandInAgent::log(int level, const std::string& message) const
{
    m_logger.logMessage(level, m_componentName, message);
}

template <typename Plugin>
bool StandInAgent::keep(std::unique_ptr<Plugin>& slot, std::unique_ptr<Plugin>& plugin,
                        bool allowed, const char* what)
{
    if (!plugin || !allowed)
        return false;
    std::lock_guard<std::mutex> lock(m_stateMutex);
    // Replacing a kept plug-in would free it while a call into it may be running.
    if (slot) {
        log(2, std::string("Refused a second ") + what + " plug-in: one is already registered");
        return false;
    }
    slot = std::move(plugin);
    return true;
}

bool StandInAgent::registerPolicyEnforcement(std::unique_ptr<IAgentPolicyEnforcement>& plugin)
{
    const StandInBehaviour b = currentBehaviour();
    if (b.registerDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(b.registerDelayMs));
    return keep(m_policyPlugin, plugin, b.reachable && b.registerPolicy, "policy");
}

bool StandInAgent::registerPropertyCollection(std::unique_ptr<IAgentPropertyCollection>& plugin)
{
    const StandInBehaviour b = currentBehaviour();
    return keep(m_propertyPlugin, plugin, b.reachable && b.registerProperty, "property");
}

bool StandInAgent::registerAgentInfo(std::unique_ptr<IAgentInfo>& plugin)
{
    const StandInBehaviour b = currentBehaviour();
    return keep(m_agentInfoPlugin, plugin, b.reachable && b.registerAgentInfo, "agent-information");
}

bool StandInAgent::registerSiteListChange()
{
    const StandInBehaviour b = currentBehaviour();
    return b.reachable && b.registerSiteList;
}

bool StandInAgent::getSiteList(SiteListInfoAdaptor& siteList)
{
    const StandInBehaviour b = currentBehaviour();
    if (!b.reachable || !b.siteListRead)
        return false;
    return readSites(siteList);
}

bool StandInAgent::readSites(SiteListInfoAdaptor& siteList)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (const tag_Site& site : m_sites)
        siteList.addSite(site);
    return true;
}

bool StandInAgent::getAgentInformation(int key, std::string& value)
{
    const StandInBehaviour b = currentBehaviour();
    if (!b.reachable)
        return false;
    if (key == AGENT_INFO_MANAGED_MODE && b.hasManagedMode) {
        value = b.managedMode;
        return true;
    }
    if (key == AGENT_INFO_AGENT_PORT && b.hasAgentPort) {
        value = b.agentPort;
        return true;
    }
    return false;
}

bool StandInAgent::sendCEFEvents(std::string softwareId, std::string productName,
                                 std::string productVersion, std::vector<MsgBusEventData>& events,
                                 std::vector<MsgBusEventData>& failed,
                                 std::vector<MsgBusEventData>& sent)
{
    const StandInBehaviour b = currentBehaviour();
    size_t toSend = events.size();
    if (!b.reachable || b.sendMode == SendMode::Fail)
        toSend = 0;
    else if (b.sendMode == SendMode::Half || b.sendMode == SendMode::Throw ||
             b.sendMode == SendMode::ThrowOther)
        toSend = events.size() / 2;
    else if (b.sendMode == SendMode::Block)
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(b.blockMs));

    std::vector<MsgBusEventData> batch(std::make_move_iterator(events.begin()),
                                       std::make_move_iterator(events.begin() + toSend));
    const bool recorded = batch.empty() || recordSent(softwareId, productName, productVersion, batch);
    std::vector<MsgBusEventData>& sentOrFailed = recorded ? sent : failed;
    sentOrFailed.insert(sentOrFailed.end(), std::make_move_iterator(batch.begin()),
                        std::make_move_iterator(batch.end()));
    failed.insert(failed.end(), std::make_move_iterator(events.begin() + toSend),
                  std::make_move_iterator(events.end()));
    const bool allSent = recorded && toSend == events.size();
    events.clear();

    if (b.sendMode == SendMode::Throw)
        throw FMPException(1, "The agent could not send the events");
    if (b.sendMode == SendMode::ThrowOther)
        throw std::runtime_error("The agent failed while sending the events");
    return allSent;
}

bool StandInAgent::recordSent(const std::string& softwareId, const std::string& productName,
                              const std::string& productVersion,
                              const std::vector<MsgBusEventData>& events)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (const MsgBusEventData& event : events)
        m_sent.push_back({softwareId, productName, productVersion, event});
    return true;
}

void StandInAgent::unloadPlugin()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_passThroughCalls.push_back("unload");
}

void StandInAgent::reloadPlugin()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_passThroughCalls.push_back("reload");
}

void StandInAgent::refreshLogSettings()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_passThroughCalls.push_back("logging");
}

void StandInAgent::setBehaviour(const StandInBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_behaviour = behaviour;
}

StandInBehaviour StandInAgent::currentBehaviour()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_behaviour;
}

void StandInAgent::setSites(std::list<tag_Site> sites)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_sites = std::move(sites);
}

int StandInAgent::deliverPolicy(const std::string& text, std::string* softwareId,
                                const std::string& source)
{
    std::lock_guard<std::mutex> calls(m_pluginCallMutex);
    IAgentPolicyEnforcement* plugin = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        plugin = m_policyPlugin.get();
    }
    if (plugin == nullptr)
        return -1;
    StandInSectionsHandle handle;
    std::string software = m_softwareId;
    handle.readPolicyText(text, source, m_logger, m_componentName, software);
    if (softwareId != nullptr)
        *softwareId = software;
    try {
        return plugin->enforcePolicy(software, handle) ? 1 : 0;
    } catch (const FMPException& e) {
        log(2, "The policy plug-in failed on " + source + ": " + e.getMessage());
    } catch (const std::exception& e) {
        log(2, "The policy plug-in failed on " + source + ": " + e.what());
    } catch (...) {
        log(2, "The policy plug-in failed on " + source + " with an unknown exception");
    }
    return 0;
}

int StandInAgent::collect(bool all, std::vector<StandInSectionsHandle::Property>& properties)
{
    std::lock_guard<std::mutex> calls(m_pluginCallMutex);
    IAgentPropertyCollection* plugin = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        plugin = m_propertyPlugin.get();
    }
    if (plugin == nullptr)
        return -1;
    StandInSectionsHandle handle;
    int result = 0;
    try {
        result = plugin->collectProperties(all, handle) ? 1 : 0;
    } catch (const FMPException& e) {
        log(2, "The property plug-in failed: " + e.getMessage());
    } catch (const std::exception& e) {
        log(2, std::string("The property plug-in failed: ") + e.what());
    } catch (...) {
        log(2, "The property plug-in failed with an unknown exception");
    }
    properties = handle.properties();
    return result;
}

bool StandInAgent::hasPolicyPlugin() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_policyPlugin != nullptr;
}

bool StandInAgent::hasPropertyPlugin() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_propertyPlugin != nullptr;
}

std::vector<StandInSentEvent> StandInAgent::sentEvents() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_sent;
}

std::vector<std::string> StandInAgent::passThroughCalls() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_passThroughCalls;
}

} // namespace ZAV
