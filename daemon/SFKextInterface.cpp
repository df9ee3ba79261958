// The bridge's object, its connection to netfilter, hooking and FTP inspection.

#include "SFKextInterface.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "IZAVUtils.h"
#include "SFException.h"
#include "SFHelperUtils.h"
#include "SFRuleManager.h"

#include <boost/thread/lock_guard.hpp>

#include <exception>
#include <utility>

namespace StatefulFirewall {

boost::mutex SFKextInterface::m_guardRuleTableDataParsing;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

SFKextInterface::SFKextInterface(ZAV::ILogger& logger, IConfigController& config,
                                 INwIFManager& nwIfManager, ISFEventAdaptor& eventAdaptor,
                                 std::unique_ptr<INetfilter> driver)
    : m_handle(-1), m_hooking(false), m_pushFailed(false), m_rulesState(SF_RULES_IN_FORCE),
      m_staleLinked(false), m_leftovers(SF_RULES_IN_FORCE), m_generationLinked(false), m_linkedMode(FW_MODE_REGULAR),
      m_adaptiveLinked(false), m_lastPushMode(FW_MODE_REGULAR), m_retryPasses(1), m_retryCountdown(1), m_aggregationInterval(0),
      m_reportingInterval(0), m_consumeStop(false), m_readStop(false), m_reportingStop(false),
      m_componentName("RuleInterface"), m_logger(logger), m_configController(config),
      m_nwIfManager(nwIfManager), m_netfilter(std::move(driver)), m_eventAdaptor(eventAdaptor),
      m_healthCheckStop(false), m_healthCheckPeriod(0)
{
}

SFKextInterface::SFKextInterface(ZAV::ILogger& logger, IConfigController& config,
                                 INwIFManager& nwIfManager, ISFEventAdaptor& eventAdaptor,
                                 std::shared_ptr<ZAV::IZAVUtils> zavUtils,
                                 std::string netfilterStateFile)
    : SFKextInterface(logger, config, nwIfManager, eventAdaptor, std::unique_ptr<INetfilter>())
{
    m_zavUtils = std::move(zavUtils);
    // The driver is the runner's only user: the bridge keeps no reference of its own.
    auto runner = std::make_shared<SFHelperUtils>(logger, m_zavUtils);
    m_netfilter = std::make_unique<SFIptables>(logger, config, runner, nwIfManager,
                                               std::move(netfilterStateFile));
}

SFKextInterface::~SFKextInterface()
{
    if (m_hooking.load()) {
        try {
            stopHooking();
        } catch (const SFException& e) {
            log(2, "Unexpected SFException. Exception is " + std::to_string(e.code) +
                       " and exception message is " + e.message);
        } catch (const std::exception&) {
            log(2, "Unknown exception occurred");
        }
    }
    m_handle.store(-1);
    // A thread started while not hooked ends by itself, and a failed stop may have left one:
    // none may outlive the object it runs on.
    {
        Lock lock(m_threadControlMutex);
        stopThreads();
    }
    freeAdaptiveRecords();
    freeBlockEventRecords();
}

void SFKextInterface::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

SFRuleManager* SFKextInterface::ruleManager()
{
    return SFRuleManager::getInstance(m_logger, m_configController, true);
}

void SFKextInterface::connectToKext()
{
    Lock lock(m_guardRuleTableDataParsing);
    const std::string version = m_netfilter->getNetfilterVersion();
    log(5, "Detected Netfilter version : " + version);
}

void SFKextInterface::startHooking()
{
    Lock lock(m_guardRuleTableDataParsing);
    // What a failed disable left goes with the first push, which takes over its records.
    m_leftovers.store(SF_RULES_IN_FORCE);
    m_hooking.store(true);
}

void SFKextInterface::stopHooking()
{
    {
        // One hold for the flag and the clean-up: a push waiting for the mutex then finds the
        // flag clear and leaves iptables alone, so no generation is linked after this.
        Lock lock(m_guardRuleTableDataParsing);
        m_hooking.store(false);
        m_pushFailed.store(false);
        m_rulesState.store(SF_RULES_IN_FORCE);
        m_staleLinked.store(false);
        m_generationLinked = false;
        m_adaptiveLinked.store(false);
        m_adaptiveTryLinked.store(false);
        m_unlinkedTryTakenBack = false;
        m_lastFailedRules.clear();
        m_retryingPartial = false;
        m_retryPasses = m_retryCountdown = 1;
        removeLeftoversLocked();
    }
    {
        Lock lock(m_threadControlMutex);
        stopThreads();
    }
    ruleManager()->disableAllRuleAndGroupEnforcement();
    // Started again, alone, to remove what is left at its period.
    if (m_leftovers.load() != SF_RULES_IN_FORCE)
        startHealthCheck();
}

int SFKextInterface::removeLeftovers(bool onlyWhenRecorded)
{
    int left = SF_RULES_IN_FORCE;
    {
        Lock lock(m_guardRuleTableDataParsing);
        if (m_hooking.load())
            return SF_RULES_IN_FORCE;
        if (onlyWhenRecorded && !m_netfilter->hasRecordedLeftovers() &&
            m_leftovers.load() == SF_RULES_IN_FORCE)
            return SF_RULES_IN_FORCE;
        log(5, "Firewall is not enforced. Restoring the Accept policy and removing the Netfilter "
               "chains and rules of the firewall");
        removeLeftoversLocked();
        left = m_leftovers.load();
        if (left == SF_RULES_IN_FORCE)
            return left;
    }
    // Not under the driver mutex: the thread control comes first in the lock order.
    startHealthCheck();
    return left;
}

void SFKextInterface::removeLeftoversLocked()
{
    // The policies first: while the old chains go, nothing may fall through to a DROP policy.
    // When they stay DROP, the old chains and lines stay too: they still let in what their
    // rules allow, where removing them would leave a host that drops everything.
    bool accepted = false;
    std::string failure;
    try {
        m_netfilter->setNetfilterPolicyToAccept(true);
        accepted = true;
    } catch (const SFException& e) {
        failure = e.message;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!accepted && m_netfilter->dropPoliciesMayStand()) {
        log(2, "Failed to set the default Netfilter policy to Accept; keeping the Netfilter chains "
               "and rules of the firewall, which still filter until the next health check removes "
               "them - " + failure);
        m_leftovers.store(SF_RULES_DROP_POLICIES_LEFT);
        return;
    }
    // An ACCEPT set since the last DROP of ours stands: a failure to set it again tells nothing
    // of the policies (iptables may be failing as a whole) and holds nothing back.
    if (!accepted)
        log(5, "Setting the default Netfilter policy to Accept failed, but no DROP policy of the "
               "firewall is left - " + failure);
    try {
        m_netfilter->flushIptablesDefaultDropRule();
        m_netfilter->flushIptablesInCurrentPolicy();
    } catch (const SFException& e) {
        log(2, "Failed to remove the Netfilter chains and rules of the firewall - " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Failed to remove the Netfilter chains and rules of the firewall - ") +
                   e.what());
    }
    // A chain or line whose removal failed stays recorded while it may still stand; what is
    // said of it is the worst it may do.
    using Effect = INetfilter::LeftoverEffect;
    const Effect effect = m_netfilter->hasRecordedLeftovers() ? m_netfilter->leftoverEffect() : Effect::None;
    const struct {
        Effect effect;
        int state;
        const char* text;
    } outcomes[] = {
        {Effect::Drops, SF_RULES_DROP_LINE_LEFT,
         "A DROP line of the firewall could not be removed from INPUT or OUTPUT; it and the chains in "
         "front of it still filter until the next health check removes them"},
        {Effect::Filters, SF_RULES_CHAINS_LEFT,
         "Some Netfilter chains or rules of the firewall could not be removed; they still filter until "
         "the next health check removes them"},
        {Effect::LogsOrMarks, SF_RULES_MARKING_LINES_LEFT,
         "Some lines of the firewall that only log or mark could not be removed from INPUT or OUTPUT; "
         "they filter nothing until the next health check removes them"},
        {Effect::Unlinked, SF_RULES_UNLINKED_CHAINS_LEFT,
         "Some Netfilter chains of the firewall could not be removed; nothing leads to them, so they "
         "filter nothing until the next health check removes them"},
    };
    for (const auto& outcome : outcomes) {
        if (outcome.effect == effect) {
            log(2, outcome.text);
            m_leftovers.store(outcome.state);
            return;
        }
    }
    m_leftovers.store(SF_RULES_IN_FORCE);
}

void SFKextInterface::leftoversPass()
{
    Lock lock(m_guardRuleTableDataParsing);
    if (m_hooking.load() || m_leftovers.load() == SF_RULES_IN_FORCE)
        return;
    log(5, "Firewall is not enforced, but Netfilter chains or rules of it are left. Removing them again");
    removeLeftoversLocked();
    if (m_leftovers.load() == SF_RULES_IN_FORCE)
        log(5, "Removed everything the firewall had left in Netfilter");
}

bool SFKextInterface::healthCheckHasWork() const
{
    return m_hooking.load() || m_leftovers.load() != SF_RULES_IN_FORCE;
}

bool SFKextInterface::rulesInForce()
{
    return !(m_hooking.load() && (m_pushFailed.load() || m_staleLinked.load()));
}

int SFKextInterface::rulesInForceState()
{
    if (!m_hooking.load())
        return m_leftovers.load();
    const int state = m_rulesState.load();
    // With nothing in force, chains left beside change nothing the state says.
    if (m_staleLinked.load() && state != SF_RULES_NOT_IN_FORCE)
        return state == SF_RULES_EARLIER_IN_FORCE ? SF_RULES_EARLIER_WITH_STALE_CHAINS
                                                  : SF_RULES_STALE_CHAINS_LINKED;
    if (state == SF_RULES_IN_FORCE && m_appliedChanges.pending())
        return SF_RULES_CHANGES_NOT_APPLIED;
    return state;
}

void SFKextInterface::disconnectFromKext()
{
    m_handle.store(-1);
}

bool SFKextInterface::processFtpInspectionSetting()
{
    Lock lock(m_guardRuleTableDataParsing);
    try {
        const std::string ports = m_configController.getFtpInspectionPorts();
        const bool enabled = m_configController.getFwFTPinspectionOption();
        return m_netfilter->updateFtpInspectionSetting(enabled, ports);
    } catch (const SFException&) {
        log(5, "Ignoring exception that was raised while updating the FTP inspection setting");
    } catch (const std::exception&) {
        log(5, "Ignoring exception that was raised while updating the FTP inspection setting");
    }
    return false;
}

bool SFKextInterface::stopFtpInspection()
{
    Lock lock(m_guardRuleTableDataParsing);
    if (!m_configController.getFwFTPinspectionOption()) {
        log(6, "FTP Inspection is not enabled, skipping force stop of ftp inspection");
        return true;
    }
    log(6, "FTP Inspection is enabled, going ahead with force stop of ftp inspection");
    try {
        return m_netfilter->updateFtpInspectionSetting(false, "");
    } catch (const SFException&) {
        log(6, "Ignoring exception that was raised while stopping FTP inspection");
    } catch (const std::exception&) {
        log(6, "Ignoring exception that was raised while stopping FTP inspection");
    }
    return false;
}

bool SFKextInterface::isKerneltzSupportedInTimeModule()
{
    Lock lock(m_guardRuleTableDataParsing);
    return m_netfilter->isKerneltzSupportedInTimeModule();
}

void SFKextInterface::startIntrusionYalEventQueue()
{
}

void SFKextInterface::stopIntrusionYalEventQueue()
{
}

} // namespace StatefulFirewall
