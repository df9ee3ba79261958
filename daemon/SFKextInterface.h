#pragma once

// The enforcement bridge: owns the iptables driver and drives it (full pushes of the rule
// table, the adaptive group alone, the mode switch, FTP inspection), and runs the bridge
// threads: the two netfilter-queue threads (block events, adaptive connections), the adaptive
// read and consume threads, the reporting thread and the health-check thread.
//
// Ownership: the driver is owned; the logger, settings, interface monitor and event adaptor
// belong to the daemon and outlive the bridge; the platform utility is shared. Records in the
// two deques belong to the deque. Every thread object is owned through its pointer, a null
// pointer meaning "not started"; every thread is joined before its object goes, never detached.
//
// Lock order, outermost first:
//   SFController::m_instanceMutex (held by the controller around enable and disable);
//   m_threadControlMutex;
//   one of m_healthCheckMutex, m_adaptiveListMutex, m_blockEventListMutex;
//   m_guardRuleTableDataParsing (the driver mutex);
//   the rule model's mutexes and SFTrustedIPGroupManager::m_guardTrustedIPList.
// No read, consume, reporting or health-check thread is joined while the driver mutex or
// m_adaptiveListMutex is held: the consume thread takes both, the health-check thread the
// driver mutex. The queue threads take none of these locks, so they may be joined under any.
// No bridge thread waits for m_threadControlMutex or calls the controller; the health-check
// thread only tries it (leaveAdaptiveModeWhenUnlinked), holding m_healthCheckMutex, and goes on
// without it when the thread control, which joins it, holds it.

#include "IKextInterface.h"
#include "INetfilter.h"
#include "RuleEventInfo.h"
#include "SFAppliedChanges.h"
#include "SFAdaptiveQueueEntry.h"
#include "AggregatedRuleMap.h"
#include "SFIptables.h"
#include "SFPrefType.h"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
class IZAVUtils;
} // namespace ZAV

namespace StatefulFirewall {

class IConfigController;
class INwIFManager;
class ISFEventAdaptor;
class SFRuleGroup;
class SFRuleManager;
struct SFRuleTableSnapshot;

class SFKextInterface : public IKextInterface {
public:
    // Builds the command runner on the utility and the iptables driver on that runner; the
    // driver keeps its record of created chains in netfilterStateFile.
    SFKextInterface(ZAV::ILogger& logger, IConfigController& config, INwIFManager& nwIfManager,
                    ISFEventAdaptor& eventAdaptor, std::shared_ptr<ZAV::IZAVUtils> zavUtils,
                    std::string netfilterStateFile = SF_NETFILTER_STATE_FILE);
    // Drives the given driver instead (tests).
    SFKextInterface(ZAV::ILogger& logger, IConfigController& config, INwIFManager& nwIfManager,
                    ISFEventAdaptor& eventAdaptor, std::unique_ptr<INetfilter> driver);
    // Stops hooking when still hooked, joins every thread left, then frees the driver.
    ~SFKextInterface() override;

    SFKextInterface(const SFKextInterface&) = delete;
    SFKextInterface& operator=(const SFKextInterface&) = delete;

    void connectToKext() override;
    void startHooking() override;
    // Clears the hooking flag and returns iptables to ACCEPT in one hold of the driver mutex,
    // so no push started later changes iptables again; then stops and joins the threads and
    // clears the enforced flags of the rule table. What could not be removed is left to the
    // health check, which goes on until nothing is left.
    void stopHooking() override;
    void disconnectFromKext() override;
    // True without touching iptables while not hooked.
    bool SendRuleAndGroupDataToKext() override;
    bool SendAdaptiveModeStatusToKext() override;
    bool processFtpInspectionSetting() override;
    bool stopFtpInspection() override;
    bool isKerneltzSupportedInTimeModule() override;
    void startIntrusionYalEventQueue() override;
    void stopIntrusionYalEventQueue() override;
    bool startReporting() override;
    bool startHealthCheck() override;
    // What is left whenever a DROP policy or a recorded chain or line is left; the health check
    // then runs (also while disabled) and removes them again at its period.
    int removeLeftovers(bool onlyWhenRecorded) override;
    bool rulesInForce() override;
    int rulesInForceState() override;

    // Adds the adaptive group's fixed block rules and, with configureQueueGroup, the queue
    // chain and the connmark restore rule, then the marking rules. Caller holds the driver
    // mutex.
    bool configureDefaultAdaptiveRules(bool configureQueueGroup);
    // Adds the enabled rules of a group (a copy; enforced flags are written back to the live
    // table by id) to its chains. False when it has no rules. Caller holds the driver mutex.
    bool sendRulesInGroupToKext(SFRuleGroup* group);
    // Start and stop the block-event queue thread. Caller holds the driver mutex.
    void startBlockEventQueue();
    void stopBlockEventQueue();

    // Held for every call into the driver.
    static boost::mutex m_guardRuleTableDataParsing;

private:
    using ThreadPtr = std::unique_ptr<boost::thread>;

    // How one try of a push ended: linked; taken back because lines of some rules failed;
    // taken back for any other failure.
    enum class TryOutcome { Linked, RulesFailed, Failed };

    // Full push in the stored mode, driver mutex held and hooked.
    bool pushLocked();
    // One try of a push: builds a generation of the snapshot in the given mode and links it,
    // or takes it back. The rules in leftOut (by group and rule id text) get no line and no
    // mark and are flagged not enforced; those whose lines failed are added to failedRules.
    TryOutcome tryPushLocked(SFRuleTableSnapshot& table, const std::vector<std::string>& trusted,
                             const std::string& linkedUid, FW_MODE mode,
                             const std::set<std::string>& leftOut,
                             std::set<std::string>& failedRules);
    // Takes back a try that could not be put in force: the generation linked under linkedUid
    // stays in force, or, with none, the ACCEPT policies return and every generation goes.
    // Marks the push failed; false.
    bool abandonTryLocked(const std::string& linkedUid);
    // Marks the push failed, to be retried at the next health-check pass, and notes what not
    // in force may still be linked.
    void markPushFailedLocked();
    // With no generation linked: the ACCEPT policies, then every chain and line of the firewall,
    // those a DROP line that stays leads from aside; nothing while a DROP policy may stay.
    void leaveIptablesToTheSystemLocked();
    // Before a push with no generation linked that follows one taken back: removes what that one
    // left. False while something that filters stays (a DROP line, a line that accepts, a chain
    // INPUT or OUTPUT may lead to): the push then builds nothing and is marked failed, since a new
    // try would place one more beside it at every retry.
    bool removeUnlinkedTryLeftoversLocked();
    // Removes what earlier removals left of earlier generations; failures are logged and
    // wait for the next pass. Driver mutex held.
    void removeEarlierGenerationsLocked();
    // Asks the driver whether anything not in force may still be linked, into m_staleLinked.
    // Driver mutex held.
    void noteStaleChainsLocked();
    // One pass of the health-check thread without a network change: retries a failed push
    // when its turn has come, else removes what earlier removals left. Takes the driver mutex.
    void healthCheckPass();
    // While not hooked: the ACCEPT policies, then every recorded chain and line; what is left is
    // kept in m_leftovers and logged. Driver mutex held.
    void removeLeftoversLocked();
    // One pass of the health-check thread while not hooked: removes what is left again.
    void leftoversPass();
    // Whether the health-check thread has work: hooked, or something left to remove.
    bool healthCheckHasWork() const;
    // The mode switch's iptables part, driver mutex held and hooked: a full push in the stored
    // mode unless the generation in force, or the failed try that waits for its retry, was
    // built in it already. What a push returns; true when none was needed.
    bool applyModeLocked();
    // Leaving adaptive mode once the table no longer queues: stops the queue thread and
    // forgets what learning held. Driver mutex held.
    void leaveAdaptiveModeLocked();
    // Whether the adaptive threads have work: the stored mode is adaptive, or an adaptive
    // generation may lead from INPUT (the one linked, or a try whose take-back could not unlink
    // it), which lets new connections in and queues them for learning.
    bool learningWanted();
    // Once learning is no longer wanted, stops the adaptive threads and forgets what learning
    // held. For the paths that link a generation without holding the thread control (the
    // health check, the rule update): skipped while another thread holds it, so the health
    // check's next pass comes back to it; the read and consume threads end by themselves.
    void leaveAdaptiveModeWhenUnlinked();
    // Joins the read and consume threads, then leaves adaptive mode unless learning is wanted
    // again by then, when it starts them afresh. Thread control held, driver mutex not held.
    void stopLearning(const std::string& why);

    // Thread bodies (SFKextInterfaceThreads.cpp).
    void startBlockEventQueueThread();
    void startAdaptiveQueue();
    void getAdaptiveDataFromNetfilter();
    void consumeAdaptiveDataFromNetfilter();
    void convertAggregatedAdaptiveDataToRules(const AggregatedRuleMap& map, bool tcp, bool inbound);
    void startReportingThread();
    void startHealthCheckThread();

    // One consume pass over the records, m_adaptiveListMutex held.
    void consumeAdaptiveRecords();
    // One reporting pass, m_blockEventListMutex held.
    void reportBlockEvents();
    void freeAdaptiveRecords();
    void freeBlockEventRecords();

    // Starting and stopping threads; m_threadControlMutex held unless said otherwise.
    // Joins and forgets a thread that ended by itself; true while one still runs.
    static bool runs(ThreadPtr& thread);
    // Stops a queue's run and joins its thread: a stop reaches only a run that has opened its
    // queue, so it is repeated every 100 ms until the thread ends. The first stop's result.
    bool stopAndJoinQueueThread(boost::thread& thread, const std::function<bool()>& stop);
    void startAdaptiveThreads();
    // Stop, join and release the adaptive queue (the buffer is left to the caller).
    bool stopAdaptiveQueueThread();
    // Driver mutex held.
    void stopBlockEventQueueThread();
    void stopReadThread(const char* logText);
    void stopConsumeThread(const char* logText);
    void stopReportingThread();
    void stopHealthCheckThread();
    // Every thread, in the shutdown order.
    void stopThreads();

    SFRuleManager* ruleManager();
    // A copy of the table's adaptive group; null when the table has none.
    std::unique_ptr<SFRuleGroup> copyAdaptiveGroup();
    void log(int level, const std::string& message);

    std::atomic<int> m_handle;
    ThreadPtr m_adaptiveQueueThread;          // guarded by m_threadControlMutex
    ThreadPtr m_adaptiveReadThread;           // guarded by m_threadControlMutex
    boost::condition_variable m_readWakeUp;   // waited on with m_adaptiveListMutex
    boost::condition_variable m_reportingWakeUp; // waited on with m_blockEventListMutex
    ThreadPtr m_adaptiveConsumeThread;        // guarded by m_threadControlMutex
    boost::condition_variable m_consumeWakeUp; // waited on with m_adaptiveListMutex
    ThreadPtr m_reportingThread;              // guarded by m_threadControlMutex
    ThreadPtr m_blockEventQueueThread;        // guarded by m_guardRuleTableDataParsing
    // Written under the driver mutex; read anywhere.
    std::atomic<bool> m_hooking;
    // Set by a push that could not put its generation in force, cleared by one that did and by
    // stopHooking. Written under the driver mutex; read anywhere (the health-check thread
    // retries the push while it is set).
    std::atomic<bool> m_pushFailed;
    // An SFRulesInForce value, written with m_pushFailed.
    std::atomic<int> m_rulesState;
    // Set after a removal pass that left chains or lines not in force that INPUT or OUTPUT may
    // still lead to (the driver's earlierGenerationsLinked), cleared by one that left none:
    // the rules are then not wholly in force. Written under the driver mutex; read anywhere.
    std::atomic<bool> m_staleLinked;
    // While not hooked: SF_RULES_IN_FORCE when nothing of the firewall is left in iptables,
    // else SF_RULES_DROP_POLICIES_LEFT, SF_RULES_DROP_LINE_LEFT, SF_RULES_CHAINS_LEFT,
    // SF_RULES_MARKING_LINES_LEFT or SF_RULES_UNLINKED_CHAINS_LEFT.
    // Written under the driver mutex; read anywhere.
    std::atomic<int> m_leftovers;
    // The store changes the last push copied; see SFAppliedChanges.
    SFAppliedChanges m_appliedChanges;
    // Guarded by the driver mutex: whether a generation of this process is linked with the
    // DROP policies set, and the mode it was built in; the mode of the last push; the rules
    // whose commands failed in the last try that had such failures; the health-check passes
    // between two retries of a failed push and those left before the next one.
    bool m_generationLinked;
    FW_MODE m_linkedMode;
    // m_generationLinked and m_linkedMode adaptive, for the adaptive threads, which read it
    // without the driver mutex.
    std::atomic<bool> m_adaptiveLinked;
    // Set when a try in adaptive mode that ran its redirections was taken back while what is
    // not in force may still be linked, cleared once nothing not in force may be (or by
    // stopHooking): its adaptive chain may lead from INPUT meanwhile. Written under the driver
    // mutex; read anywhere.
    std::atomic<bool> m_adaptiveTryLinked{false};
    // Guarded by the driver mutex: whether the current try ran its redirections; whether a try
    // with no generation linked was taken back since the last link, leaving what it could not
    // remove.
    bool m_tryRedirected = false;
    bool m_unlinkedTryTakenBack = false;
    FW_MODE m_lastPushMode;
    std::set<std::string> m_lastFailedRules;
    // Set for a push that retries the rules linked without those that failed, with the stores
    // and the mode as that link had them: a try it takes back leaves that link, and its
    // status, as they were.
    bool m_retryingPartial = false;
    int m_retryPasses;
    int m_retryCountdown;
    std::deque<SFAdaptiveQueueEntry*> m_adaptiveList; // guarded by m_adaptiveListMutex
    std::deque<RuleEventInfo*> m_blockEventList;      // guarded by m_blockEventListMutex
    int m_aggregationInterval; // the read thread's alone
    int m_reportingInterval;   // the reporting thread's alone
    boost::mutex m_adaptiveListMutex;
    boost::mutex m_blockEventListMutex;
    bool m_consumeStop;   // guarded by m_adaptiveListMutex
    bool m_readStop;      // guarded by m_adaptiveListMutex
    bool m_reportingStop; // guarded by m_blockEventListMutex
    std::string m_componentName;
    ZAV::ILogger& m_logger;
    IConfigController& m_configController;
    INwIFManager& m_nwIfManager;
    std::unique_ptr<INetfilter> m_netfilter; // called only under m_guardRuleTableDataParsing
    ISFEventAdaptor& m_eventAdaptor;
    std::shared_ptr<ZAV::IZAVUtils> m_zavUtils;
    bool m_healthCheckStop;   // guarded by m_healthCheckMutex
    int m_healthCheckPeriod;  // the health-check thread's alone
    boost::mutex m_healthCheckMutex;
    boost::condition_variable m_healthCheckWakeUp;
    ThreadPtr m_healthCheckThread; // guarded by m_threadControlMutex
    // Serialises starting and stopping the threads other than the block-event queue's, which
    // the pushes start and stop under the driver mutex.
    boost::mutex m_threadControlMutex;
};

} // namespace StatefulFirewall
