#include "MsgBusEnterpriseAgent.h"

#include "ILogger.h"
#include "SiteListInfoAdaptor.h"

#include <chrono>
#include <charconv>
#include <cstdlib>
#include <exception>

namespace ZAV {

namespace {

std::string spoolFolder()
{
    const char* chosen = std::getenv("TQ_AGENT_DIR");
    return chosen != nullptr && *chosen != '\0' ? chosen : MsgBusEnterpriseAgent::kDefaultSpoolDirectory;
}

bool isOk(const std::map<std::string, std::string>& conf, const char* key)
{
    const auto it = conf.find(key);
    return it == conf.end() || it->second == "ok";
}

int numberAfter(const std::string& text, size_t offset, int fallback)
{
    int value = fallback;
    std::from_chars(text.data() + offset, text.data() + text.size(), value);
    return value;
}

} // namespace

MsgBusEnterpriseAgent::MsgBusEnterpriseAgent(ILogger& logger, std::string softwareId,
                                             std::string agentSoftwareId, bool debug,
                                             RqdMsgBusEnterpriseAgentImpl required)
    : StandInAgent(logger, std::move(softwareId), "MsgBusEnterpriseAgent"),
      m_spool(logger, m_componentName, spoolFolder()),
      m_agentSoftwareId(std::move(agentSoftwareId)),
      m_debug(debug),
      m_required(required)
{
    try {
        m_thread = std::thread(&MsgBusEnterpriseAgent::run, this);
    } catch (const std::exception& e) {
        log(2, std::string("Cannot start the agent thread; no policy will be delivered: ") + e.what());
    }
}

MsgBusEnterpriseAgent::~MsgBusEnterpriseAgent()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

StandInBehaviour MsgBusEnterpriseAgent::currentBehaviour()
{
    StandInBehaviour b;
    b.reachable = m_spool.reachable();
    if (!b.reachable)
        return b;
    const std::map<std::string, std::string> conf = m_spool.readConf();
    b.registerPolicy = isOk(conf, "register.policy");
    b.registerProperty = isOk(conf, "register.property");
    b.registerAgentInfo = isOk(conf, "register.agentinfo");
    b.registerSiteList = isOk(conf, "register.sitelist");
    b.siteListRead = isOk(conf, "sitelist.read");

    const auto mode = conf.find("managed_mode");
    b.hasManagedMode = mode != conf.end();
    b.managedMode = b.hasManagedMode ? mode->second : std::string();
    const auto port = conf.find("agent_port");
    b.hasAgentPort = port != conf.end();
    b.agentPort = b.hasAgentPort ? port->second : std::string();

    const auto delay = conf.find("register_delay_ms");
    if (delay != conf.end())
        b.registerDelayMs = numberAfter(delay->second, 0, 0);

    const auto send = conf.find("send");
    const std::string how = send == conf.end() ? "ok" : send->second;
    if (how == "fail")
        b.sendMode = SendMode::Fail;
    else if (how == "half")
        b.sendMode = SendMode::Half;
    else if (how == "throw")
        b.sendMode = SendMode::Throw;
    else if (how.rfind("block:", 0) == 0) {
        b.sendMode = SendMode::Block;
        b.blockMs = numberAfter(how, 6, 0);
    }
    return b;
}

bool MsgBusEnterpriseAgent::readSites(SiteListInfoAdaptor& siteList)
{
    return m_spool.readSiteList(siteList);
}

bool MsgBusEnterpriseAgent::recordSent(const std::string& softwareId, const std::string& productName,
                                       const std::string& productVersion,
                                       const std::vector<MsgBusEventData>& events)
{
    if (!m_spool.appendEvents(softwareId, productName, productVersion, events))
        return false;
    if (m_debug)
        log(6, "Wrote " + std::to_string(events.size()) + " events to " + m_spool.path("events.jsonl"));
    return true;
}

void MsgBusEnterpriseAgent::run()
{
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    while (!m_stop) {
        lock.unlock();
        int waitMs = kDefaultPollMs;
        try {
            waitMs = pollOnce();
        } catch (const std::exception& e) {
            log(2, std::string("Agent pass failed: ") + e.what());
        } catch (...) {
            log(2, "Agent pass failed with an unknown exception");
        }
        lock.lock();
        m_wake.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs),
                          [this] { return m_stop.load(); });
    }
}

int MsgBusEnterpriseAgent::pollOnce()
{
    if (!m_spool.reachable())
        return kDefaultPollMs;
    const std::map<std::string, std::string> conf = m_spool.readConf();
    const auto poll = conf.find("poll_ms");
    const int waitMs = poll == conf.end() ? kDefaultPollMs : numberAfter(poll->second, 0, kDefaultPollMs);
    deliverPolicies();
    if (!m_stop)
        answerCollectRequest();
    return waitMs;
}

void MsgBusEnterpriseAgent::deliverPolicies()
{
    // Policies wait in the folder until a policy plug-in is there to take them.
    if (!hasPolicyPlugin())
        return;
    for (const std::string& name : m_spool.pendingPolicies()) {
        if (m_stop)
            return;
        if (m_deliveredKeptInPlace.count(name) != 0)
            continue;
        const std::string file = std::string("policy.d/") + name;
        std::string text;
        std::string softwareId = m_softwareId;
        int result = 0;
        // An unreadable policy is still finished, with result 0, so it is not tried forever.
        if (m_spool.readText(file, text))
            result = deliverPolicy(text, &softwareId, m_spool.path(file));
        if (result < 0)
            return; // no policy plug-in to take it: it waits, unfinished
        if (!m_spool.finishPolicy(name, softwareId, result))
            m_deliveredKeptInPlace.insert(name);
        if (m_debug)
            log(6, "Delivered policy " + file + " for software " + softwareId + " with result " +
                       std::to_string(result));
    }
}

void MsgBusEnterpriseAgent::answerCollectRequest()
{
    bool all = true;
    if (!hasPropertyPlugin() || !m_spool.readCollectRequest(all))
        return;
    std::vector<StandInSectionsHandle::Property> properties;
    if (collect(all, properties) < 0)
        return;
    // properties.txt is complete before the request goes, so whoever waits for the request to
    // disappear finds the answer in place.
    m_spool.writeProperties(properties);
    m_spool.removeCollectRequest();
}

} // namespace ZAV
