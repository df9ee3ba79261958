// The bodies of the bridge threads: the two queue threads, adaptive read and consume,
// reporting and health check. Each catches what its work throws, so no exception ends the
// daemon; waits run on the steady clock and test their stop condition under their mutex.

#include "SFKextInterface.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "INwIFManager.h"
#include "ISFEventAdaptor.h"
#include "MsgBusEventData.h"
#include "SFAdaptiveAggregationWrapper.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFException.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

namespace StatefulFirewall {

namespace {

using Lock = boost::lock_guard<boost::mutex>;
using UniqueLock = boost::unique_lock<boost::mutex>;
using SteadyClock = boost::chrono::steady_clock;

// Records taken from a queue's buffer in one pass; the rest wait for the next period.
constexpr int RECORDS_PER_PASS = 100;
constexpr int BLOCK_EVENT_ID = 18001;
constexpr int BLOCK_EVENT_SEVERITY = 2;
const char* const BLOCK_EVENT_TOPIC = "fw.intrusion";

// A period of 0 or less from the settings would turn a wait into a busy loop.
int periodOf(int seconds)
{
    return std::max(1, seconds);
}

std::string textOf(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

} // namespace

void SFKextInterface::freeAdaptiveRecords()
{
    for (SFAdaptiveQueueEntry* entry : m_adaptiveList)
        delete entry;
    m_adaptiveList.clear();
}

void SFKextInterface::freeBlockEventRecords()
{
    for (RuleEventInfo* record : m_blockEventList)
        delete record;
    m_blockEventList.clear();
}

// ---------------------------------------------------------------------------------------------
// Queue threads: each runs a queue's receive loop until the queue is stopped.

void SFKextInterface::startBlockEventQueueThread()
{
    try {
        SFBlockEventQueueWrapper::getInstance(m_logger, m_configController)->startBlockEventQueue();
    } catch (const std::exception& e) {
        log(2, std::string("Netfilter Queue monitoring for block / intrusion events ended with an exception - ") + e.what());
    } catch (const SFException& e) {
        log(2, "Netfilter Queue monitoring for block / intrusion events ended with an exception - " + e.message);
    }
}

void SFKextInterface::startAdaptiveQueue()
{
    try {
        SFAdaptiveQueueWrapper::getInstance(m_logger)->startAdaptiveQueue();
    } catch (const std::exception& e) {
        log(2, std::string("Netfilter Queue monitoring in Adaptive mode ended with an exception - ") + e.what());
    } catch (const SFException& e) {
        log(2, "Netfilter Queue monitoring in Adaptive mode ended with an exception - " + e.message);
    }
}

// ---------------------------------------------------------------------------------------------
// Adaptive read thread: moves learned connections from the queue's buffer to the deque.

void SFKextInterface::getAdaptiveDataFromNetfilter()
{
    m_aggregationInterval = periodOf(m_configController.getAggregationTimeoutInterval());
    UniqueLock lock(m_adaptiveListMutex);
    if (!m_adaptiveList.empty()) {
        log(6, "clearing adaptive data.");
        freeAdaptiveRecords();
    }
    try {
        while (m_hooking.load() && !m_readStop && learningWanted()) {
            log(6, "Starting to read netfilter queue data.");
            log(6, "Reading netfilter queue data.");
            int count = 0;
            while (count < RECORDS_PER_PASS) {
                auto entry = std::make_unique<SFAdaptiveQueueEntry>();
                if (!SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(entry.get()))
                    break;
                ++count;
                m_adaptiveList.push_back(entry.get());
                const SFAdaptiveQueueEntry* read = entry.release();
                log(6, "In read Adaptive data thread - Read netfilter queue data, total count is " +
                           std::to_string(count) + ", protocol is " + std::to_string(read->protocol) +
                           ", source and destination ip is " + textOf(read->sourceIp, sizeof(read->sourceIp)) +
                           " and " + textOf(read->destinationIp, sizeof(read->destinationIp)) +
                           ", source and destination port is " + std::to_string(read->sourcePort) +
                           " and " + std::to_string(read->destinationPort) + " and direction is " +
                           (read->incoming ? "true" : "false"));
            }
            log(6, "In read Adaptive data thread - No netfilter queue data available to read or "
                   "reached max count. Current count is " + std::to_string(count));
            if (count == 0) {
                log(6, "In read Adaptive data thread - Adaptive data has not changed. Let the thread sleep");
            } else if (!m_adaptiveList.empty()) {
                log(5, "In read Adaptive data thread - Adaptive data has changed. Notifying the consume Adaptive data thread");
                m_consumeWakeUp.notify_all();
            }
            m_readWakeUp.wait_until(lock,
                                    SteadyClock::now() + boost::chrono::seconds(m_aggregationInterval),
                                    [this] { return m_readStop || !m_hooking.load(); });
            log(6, "In read Adaptive data thread - Sleep timeout or condition satisfied");
        }
    } catch (...) {
        log(5, "In read Adaptive data thread - Unknown exception while waiting for sleep timeout or condition");
    }
    // The consume thread only works on what this one reads: it ends with it.
    m_readStop = true;
    m_consumeStop = true;
    m_consumeWakeUp.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Adaptive consume thread: aggregates the records and turns the maps into adaptive rules.

void SFKextInterface::consumeAdaptiveDataFromNetfilter()
{
    UniqueLock lock(m_adaptiveListMutex);
    for (;;) {
        // Every path that ends the thread sets the flag under this mutex and wakes it.
        m_consumeWakeUp.wait(lock, [this] {
            return m_consumeStop || !m_hooking.load() || !m_adaptiveList.empty();
        });
        if (m_consumeStop || !m_hooking.load())
            break;
        if (!learningWanted())
            break;
        consumeAdaptiveRecords();
    }
    m_consumeStop = true;
}

void SFKextInterface::consumeAdaptiveRecords()
{
    try {
        log(6, "Before reading adaptive list.");
        SFAdaptiveAggregationWrapper* aggregation =
            SFAdaptiveAggregationWrapper::getInstance(m_logger, m_nwIfManager);
        SFRuleManager* manager = ruleManager();
        bool changed = false;
        for (const SFAdaptiveQueueEntry* entry : m_adaptiveList) {
            log(6, "Destination port is " + std::to_string(entry->destinationPort));
            if (aggregation->aggregateRule(entry))
                changed = true;
        }
        if (changed) {
            log(5, "Updating the adaptive rules as aggregation resulted in new adaptive rules");
            AggregatedRuleMap tcpIn, tcpOut, udpIn, udpOut;
            aggregation->getTcpPublicAggregatedRules(&tcpIn, &tcpOut);
            aggregation->getUdpPublicAggregatedRules(&udpIn, &udpOut);
            AggregatedRuleMap privateTcpIn, privateTcpOut, privateUdpIn, privateUdpOut;
            aggregation->getTcpPrivateAggregatedRules(&privateTcpIn, &privateTcpOut);
            aggregation->getUdpPrivateAggregatedRules(&privateUdpIn, &privateUdpOut);
            const struct {
                const AggregatedRuleMap& map;
                bool tcp;
                bool inbound;
            } maps[] = {
                {tcpIn, true, true},         {udpIn, false, true},
                {tcpOut, true, false},       {udpOut, false, false},
                {privateTcpIn, true, true},  {privateUdpIn, false, true},
                {privateTcpOut, true, false}, {privateUdpOut, false, false},
            };
            for (const auto& each : maps)
                if (!each.map.empty())
                    convertAggregatedAdaptiveDataToRules(each.map, each.tcp, each.inbound);
            {
                Lock driverLock(m_guardRuleTableDataParsing);
                // Disabled, or a generation that does not queue linked (a switch to adaptive
                // mode waiting for its retry, or regular mode linked while this pass ran): the
                // table and the store still learn, iptables is left alone.
                if (m_hooking.load() && m_adaptiveLinked.load()) {
                    // Read before the copy: a rule learned in between waits for a full push. A
                    // rebuild with a failed command leaves its rules to the health check's.
                    const uint64_t learned = SFRuleManager::adaptiveVersion();
                    m_netfilter->takeFailedCommands();
                    const std::unique_ptr<SFRuleGroup> group = copyAdaptiveGroup();
                    if (group) {
                        m_netfilter->deleteAllRulesFromAdaptiveGroup(group->name);
                        sendRulesInGroupToKext(group.get());
                        if (configureDefaultAdaptiveRules(false) &&
                            m_netfilter->takeFailedCommands() == 0)
                            m_appliedChanges.adaptiveApplied(learned);
                    }
                }
            }
            manager->updateRuleStore();
            // Each changed pass starts the maps afresh, so a list collapses only within a pass.
            aggregation->clearAllAggregatedRules();
        } else {
            log(6, "Skipping updating the adaptive rules as these rules already match the new adaptive data");
        }
    } catch (const SFException& e) {
        log(2, "Exception occurred while consuming the adaptive data - " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Exception occurred while consuming the adaptive data - ") + e.what());
    }
    log(6, "deleting adaptiveData from adaptiveList.");
    freeAdaptiveRecords();
}

void SFKextInterface::convertAggregatedAdaptiveDataToRules(const AggregatedRuleMap& map,
                                                           bool tcp, bool inbound)
{
    SFRuleManager* manager = ruleManager();
    for (const auto& [port, subnets] : map) {
        for (const auto& [subnet, sources] : subnets) {
            // One bad address drops its own rule, not the pass: the builders throw on a
            // malformed network text.
            try {
                std::unique_ptr<SFRule> rule(manager->initializeAdaptiveRule(tcp, inbound, port));
                rule->addMatch(manager->getAdaptiveRuleLocalMatch(subnet));
                for (const std::string& source : sources)
                    rule->addMatch(manager->getAdaptiveRuleRemoteMatch(source));
                const int added = manager->addRule(rule.get());
                if (added == SF_SUCCESS || added == SF_RULE_POSITION_CHANGED)
                    rule.release();
                else
                    log(2, "Failed to add the aggregated adaptive rule for port " +
                               std::to_string(port) + " and local subnet " + subnet +
                               ". Result is " + std::to_string(added));
            } catch (const std::exception& e) {
                log(2, "Dropped the aggregated adaptive rule for port " + std::to_string(port) +
                           " and local subnet " + subnet + " - " + e.what());
            } catch (const SFException& e) {
                log(2, "Dropped the aggregated adaptive rule for port " + std::to_string(port) +
                           " and local subnet " + subnet + " - " + e.message);
            }
        }
        log(6, "Added new aggregated adaptive rule to the adaptive rule group");
    }
}

// ---------------------------------------------------------------------------------------------
// Reporting thread: block-event records of intrusion rules become management events.

void SFKextInterface::startReportingThread()
{
    log(5, "Thread for reporting module started");
    m_reportingInterval = periodOf(m_configController.getReportingTimeoutInterval());
    UniqueLock lock(m_blockEventListMutex);
    while (m_hooking.load() && !m_reportingStop) {
        // A pass that failed still waits its period: the loop goes on without spinning.
        try {
            reportBlockEvents();
        } catch (...) {
            log(5, "In read reporting data thread - Unknown exception while waiting for sleep timeout or condition");
        }
        try {
            m_reportingWakeUp.wait_until(lock,
                                         SteadyClock::now() + boost::chrono::seconds(m_reportingInterval),
                                         [this] { return m_reportingStop || !m_hooking.load(); });
            log(6, "In read reporting data thread - Sleep timeout or condition satisfied");
        } catch (...) {
            log(5, "In read reporting data thread - Unknown exception while waiting for sleep timeout or condition");
        }
    }
    m_reportingStop = true;
}

void SFKextInterface::reportBlockEvents()
{
    // The records are freed however the pass ends: a batch that failed is not sent again.
    struct FreeRecords {
        SFKextInterface& self;
        ~FreeRecords() { self.freeBlockEventRecords(); }
    } freeRecords{*this};

    log(6, "Reading Block queue data.");
    // Rules are looked up in a copy taken at the first record: the live table may lose a rule
    // to a policy or a delete command while the pass reads it.
    std::optional<SFRuleTableSnapshot> table;
    int count = 0;
    while (count < RECORDS_PER_PASS) {
        auto record = std::make_unique<RuleEventInfo>();
        if (!SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(record.get()))
            break;
        ++count;
        if (!table)
            table = ruleManager()->snapshot();
        const GUID ruleId = fromKGUID(record->ruleId);
        const SFRule* rule = nullptr;
        for (const std::unique_ptr<SFRuleGroup>& group : table->groups)
            if ((rule = group->findRule(ruleId)) != nullptr)
                break;
        if (rule == nullptr) {
            log(6, "In read block event data thread - Ignored event data since rule id " +
                       CommonFunc::textGUID(ruleId) + " is unknown");
            continue;
        }
        if (!rule->treatAsIntrusion) {
            log(6, "In read block event data thread - Ignored event data since treat as intrusion "
                   "is disabled for rule id " + CommonFunc::textGUID(ruleId));
            continue;
        }
        // Cut at a character boundary: the name travels on as event text, which must stay UTF-8.
        const std::string name = CommonFunc::cutUtf8(rule->name, sizeof(record->ruleName) - 1);
        std::memcpy(record->ruleName, name.c_str(), name.size() + 1);
        record->EventID = BLOCK_EVENT_ID;
        record->action = FW_ACTION_BLOCK_PACKET;
        record->EventSeverity = BLOCK_EVENT_SEVERITY;
        m_blockEventList.push_back(record.get());
        const RuleEventInfo* kept = record.release();
        log(6, "Read block event, count is " + std::to_string(count) + ", name is " +
                   kept->ruleName + ", direction is " + std::to_string(kept->direction) +
                   " and protocol is " + std::to_string(kept->protocol));
    }
    log(6, "In read block event data thread - No block event data available to read or reached "
           "max count. Current count is " + std::to_string(count));
    if (m_blockEventList.empty()) {
        log(6, "In read reporting data thread - Event data has not changed. Let the thread sleep");
        return;
    }
    log(5, "In read reporting data thread - Event data has changed");
    std::vector<ZAV::MsgBusEventData> events;
    events.reserve(m_blockEventList.size());
    for (RuleEventInfo* record : m_blockEventList) {
        ZAV::MsgBusEventData event(std::to_string(record->EventID), record->EventSeverity);
        m_eventAdaptor.createEventData(BLOCK_EVENT_TOPIC, *record, event);
        events.push_back(event);
    }
    std::vector<ZAV::MsgBusEventData> failed;
    m_eventAdaptor.sendCEFEvent(events, failed);
}

// ---------------------------------------------------------------------------------------------
// Health-check thread: applies the rules again when the local networks changed or the last
// push failed, and removes what a failed removal left of earlier generations.

void SFKextInterface::startHealthCheckThread()
{
    pthread_setname_np(pthread_self(), "Health Check");
    log(5, "Thread for health check started");
    m_healthCheckPeriod = periodOf(m_configController.getHealthCheckTimer());
    UniqueLock lock(m_healthCheckMutex);
    // Also while disabled, as long as chains, lines or DROP policies of the firewall are left.
    // The decision to end is taken under the mutex, where startHealthCheck reads the stop flag
    // this sets, so an enable never takes an ending thread for a running one.
    while (healthCheckHasWork() && !m_healthCheckStop) {
        try {
            m_healthCheckWakeUp.wait_until(lock,
                                           SteadyClock::now() + boost::chrono::seconds(m_healthCheckPeriod),
                                           [this] { return m_healthCheckStop || !healthCheckHasWork(); });
            log(6, "In health check thread - Sleep timeout or condition satisfied");
            if (m_healthCheckStop || !healthCheckHasWork())
                break;
            if (!m_hooking.load()) {
                leftoversPass();
            } else if (m_nwIfManager.hasNetworkChanged()) {
                log(5, "Network interface has detected changes. Hence enforcing the rules again");
                SendRuleAndGroupDataToKext();
            } else {
                healthCheckPass();
                leaveAdaptiveModeWhenUnlinked();
            }
        } catch (...) {
            log(5, "In health check thread - Unknown exception while waiting for sleep timeout or condition");
        }
    }
    m_healthCheckStop = true;
}

} // namespace StatefulFirewall
