#include "FWMain.h"

#include "SFRulesInForce.h"

#include "CommandCallbackForServiceFM.h"
#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "FMCommClient.h"
#include "FMPException.h"
#include "FMPLogger.h"
#include "HelperFactory.h"
#include "MsgBusEnterpriseAgent.h"
#include "SFAgentAdaptor.h"
#include "SFAgentInfo.h"
#include "SFCommandRequestImpl.h"
#include "SFCommonPolicyRequestImpl.h"
#include "SFConfigController.h"
#include "SFController.h"
#include "SFEventAdaptor.h"
#include "SFException.h"
#include "SFFMNwIFManager.h"
#include "SFInstanceLock.h"
#include "SFInstanceLockKeeper.h"
#include "SFKextInterface.h"
#include "SFPluginPolicyEnforcementImpl.h"
#include "SFPluginPropertyCollectionImpl.h"
#include "SFRegistrationFMCallback.h"
#include "SystemInfo.h"
#include "UnixDomainSocket.h"
#include "UnixDomainSocketUtils.h"
#include "ZAVSystemUtils.h"
#include "ZAVUtils.h"

#include <boost/thread/thread.hpp>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

namespace FWMain {

std::atomic<int> stopMain{0};
std::atomic<StatefulFirewall::SFAgentAdaptor*> g_agentAdaptor{nullptr};
const std::string moduleName = "FWMain";

namespace {

using namespace StatefulFirewall;

constexpr int kRegistrationTimeoutSecs = 10;
// Start-up gives the "Msg Bus Client" thread this long before it looks for the agent adaptor,
constexpr auto kAgentPause = std::chrono::seconds(3);
// and then this much longer, so the rule manager's agent group is built with the agent's sites.
constexpr auto kAgentExtraWait = boost::chrono::seconds(30);
// Lets the deregistration reach the platform service before the connection is shut.
constexpr auto kDeregistrationGrace = std::chrono::seconds(1);
constexpr auto kReconnectPause = std::chrono::seconds(5);
// Held by one tqd at a time, next to the state file (both die at reboot with the kernel tables).
constexpr const char* kInstanceLockFile = "/run/Varnik/kyv/fw/tqd.lock";
// The abstract socket bound by one tqd per network namespace, the scope of its iptables tables.
constexpr const char* kInstanceSocket = "Varnik/kyv/fw/tqd";
constexpr const char* kLeavesUntouched = "; exiting without touching Iptables, the stores or the settings";

// The self-pipe the signal handler writes to; made before the handler is installed.
int g_wakeRead = -1;
int g_wakeWrite = -1;

ZAV::loggerConfig loggerSettings()
{
    ZAV::loggerConfig settings;
    settings.logLevel = 5;
    settings.logTarget = 0;
    settings.logBaseName = "/var/Varnik/kyv/log/fw/tqd";
    settings.logFilePath = "/var/Varnik/kyv/log/fw/tqd.log";
    settings.maxFileSize = 10485760;
    settings.maxTotalSize = 52428800;
    settings.auxiliarySize = 10485760;
    settings.fileLogging = true;
    settings.facility = 0;
    settings.append = true;
    return settings;
}

void toStderr(const std::string& text)
{
    std::cerr << text << std::endl;
}

// Another process holds the lock file in place of this tqd's (called on the lock keeper's
// thread, at any moment from the take on). The other holder acts now, maybe on this filter
// table too, so this tqd leaves at once as a second tqd does: not by its stop path, which would
// remove its chains and set ACCEPT policies under the other one, nor by any destructor (the
// bridge's removes its rules too). What it put in iptables stays, as after a SIGKILL: the
// netfilter state file records it for the next tqd to remove. Nothing needs a flush: the
// logger writes each line with one write(), and std::cerr is unbuffered. Whatever the other
// threads are doing is cut short as a SIGKILL would cut it: a push or a removal runs iptables
// one command at a time, each in a process of its own that runs to its end, with the state file
// written around them; the stores, the settings and the state file are replaced by renaming a
// complete file over them, so the old file or the new one stays, never half of one.
[[noreturn]] void leaveAtOnce(ZAV::ILogger& logger)
{
    const std::string why = std::string("Another tqd is running (it holds ") + kInstanceLockFile +
                            ", put in place of this tqd's)" + kLeavesUntouched;
    logger.logMessage(2, moduleName, why);
    toStderr(why);
    ::_exit(1);
}

bool makeWakePipe()
{
    if (g_wakeRead >= 0)
        return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_wakeRead = fds[0];
    g_wakeWrite = fds[1];
    return true;
}

bool installHandler(int sig)
{
    struct sigaction action {};
    action.sa_handler = signalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(sig, &action, nullptr) == 0;
}

// Everything the daemon creates, in creation order, so members are destroyed in the shutdown
// order. Only what was created is destroyed. The controller singleton is never released: it
// outlives the bridge, but nothing calls it after teardown.
class DaemonRun {
public:
    ~DaemonRun() { teardown(); }

    // Start-up steps 1-17. -1 when the daemon runs; otherwise the exit status.
    int start();
    // Blocks until stopMain is set.
    void waitForStop();
    // Shutdown steps 1-6.
    void shutDown();
    // Stops and joins whatever still runs, frees the agent adaptor, then destroys the objects
    // in shutdown order. Serves the orderly path and every failure path; never throws.
    void teardown() noexcept;

private:
    void log(int level, const std::string& text)
    {
        if (m_logger)
            m_logger->logMessage(level, moduleName, text);
    }
    bool holdInstanceLock(std::string& why);
    void removeLeftovers();
    void joinMsgBusThread() noexcept;
    void detachAgentAdaptor() noexcept;
    void stopCommClient() noexcept;

    std::shared_ptr<ZAV::ZAVSystemUtils> m_systemUtils;
    std::unique_ptr<ZAV::FMPLogger> m_logger;
    std::unique_ptr<SFConfigController> m_config;
    std::unique_ptr<std::map<std::string, std::string>> m_productInfo;
    std::shared_ptr<ZAV::SystemInfo> m_systemInfo;
    std::shared_ptr<ZAV::kernelVersion> m_kernelVersion;
    std::unique_ptr<ZAV::UnixDomainSocketUtils> m_socketUtils;
    std::unique_ptr<ZAV::UnixDomainSocket> m_socket;
    std::unique_ptr<ZAV::HelperFactory> m_helperFactory;
    std::unique_ptr<SFRegistrationFMCallback> m_registration;
    std::unique_ptr<ZAV::FMCommClient> m_client;
    std::shared_ptr<ZAV::ZAVSystemUtils> m_systemUtils2;
    std::unique_ptr<SFFMNwIFManager> m_interfaceMonitor;
    std::unique_ptr<SFEventAdaptor> m_eventAdaptor;
    std::shared_ptr<ZAV::ZAVUtils> m_zavUtils;
    std::unique_ptr<SFKextInterface> m_bridge;
    SFController* m_controller = nullptr;
    std::unique_ptr<SFCommandRequestImpl> m_commandHandler;
    std::unique_ptr<ZAV::CommandCallbackForServiceFM> m_serviceCallback;
    std::unique_ptr<SFCommonPolicyRequestImpl> m_commonPolicy;

    boost::thread m_msgBusThread;
    boost::thread m_commThread;
    bool m_clientStarted = false;
    // Holds the instance lock and keeps its file in place from right after the take; freed
    // after the teardown's clean-up, before the logger it logs to.
    std::unique_ptr<SFInstanceLockKeeper> m_lockKeeper;
};

// Only one tqd acts at a time: the agent, the policy plug-in, the bridge and the clean-up of a
// second one would change the first one's iptables, stores and settings (a second daemon whose
// registration is refused tears down with ACCEPT policies). False, with the sentence to say in
// why, when the lock cannot be taken.
bool DaemonRun::holdInstanceLock(std::string& why)
{
    auto lock = std::make_unique<SFInstanceLock>(kInstanceSocket, kInstanceLockFile);
    std::string failure;
    switch (lock->take(failure)) {
    case SFInstanceLock::Taken::Yes:
        if (lock->socketHeldElsewhere())
            log(2, "The instance socket " + lock->socketText() +
                       " is held by a process that is not root's, so it is not a tqd's: only the "
                       "lock file " + kInstanceLockFile + " keeps a second tqd out");
        // The path may have changed since the take, and another tqd taken the file in its place.
        if (lock->watch(*m_logger, moduleName)) {
            // Kept in place through the whole start-up too: a file removed meanwhile would let a
            // second tqd take a fresh one and act beside this one.
            m_lockKeeper = std::make_unique<SFInstanceLockKeeper>(std::move(lock), *m_logger, moduleName,
                                                                  [&logger = *m_logger] { leaveAtOnce(logger); });
            if (m_lockKeeper->start(failure))
                return true;
            m_lockKeeper.reset();
            why = std::string("Cannot keep the instance lock file ") + kInstanceLockFile + " in place: " + failure +
                  kLeavesUntouched + ", since another tqd could take it meanwhile";
            return false;
        }
        [[fallthrough]];
    case SFInstanceLock::Taken::HeldWithFile:
    case SFInstanceLock::Taken::HeldFile:
        why = std::string("Another tqd is running (it holds ") + kInstanceLockFile + ")" + kLeavesUntouched;
        break;
    case SFInstanceLock::Taken::HeldSocketOnly:
        why = "Another tqd is running (it holds the instance socket " + lock->socketText() + ")" +
              kLeavesUntouched;
        break;
    case SFInstanceLock::Taken::Failed:
        why = failure + kLeavesUntouched + ", since another tqd may be running";
        break;
    }
    return false;
}

// The pipe only wakes the wait; the flag decides.
void DaemonRun::waitForStop()
{
    while (stopMain.load() == 0) {
        pollfd entry{g_wakeRead, POLLIN, 0};
        if (::poll(&entry, 1, -1) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the flag is still checked
        char drain[64];
        while (::read(g_wakeRead, drain, sizeof(drain)) > 0) {
        }
    }
}

void DaemonRun::removeLeftovers()
{
    if (m_controller->cleanUpWhileDisabled(true) != SF_RULES_IN_FORCE)
        log(2, "Firewall is disabled, but what an earlier run left in Iptables could not all be "
               "removed; the health check removes it again at its period");
}

int DaemonRun::start()
{
    // 1. The logger.
    m_systemUtils = std::make_shared<ZAV::ZAVSystemUtils>();
    m_logger = std::make_unique<ZAV::FMPLogger>(m_systemUtils);
    const ZAV::loggerConfig settings = loggerSettings();
    m_logger->setLoggerSettings(&settings);
    if (!m_logger->initialize(5, 5, "StatefulFirewall", "10.6.11")) {
        m_logger.reset();
        toStderr("Failed to initialize log library");
        return 1;
    }

    // 2. The stop signals; the pipe exists before the handler can write to it.
    if (!makeWakePipe() || !installHandler(SIGINT) || !installHandler(SIGTERM)) {
        const int error = errno;
        log(2, std::string("Cannot install the stop signal handler: ") + std::strerror(error));
        toStderr("Caught unknown exception");
        return 1;
    }

    // Before anything that reads or writes the settings, the stores or iptables, and before
    // any thread: a daemon that is not the only one leaves at once.
    std::string notAlone;
    if (!holdInstanceLock(notAlone)) {
        log(2, notAlone);
        toStderr(notAlone);
        return 1;
    }

    // 3-4. Settings and product information.
    m_config = std::make_unique<SFConfigController>(*m_logger,
                                                    std::make_unique<ZAV::ConfigStoreUtility>(*m_logger),
                                                    std::make_unique<ZAV::ConfigStore>(*m_logger, "ConfigStore"));
    m_productInfo = std::make_unique<std::map<std::string, std::string>>(m_config->getProductInfo());
    m_logger->setVendorName((*m_productInfo)["ProductInformation.VendorName"]);
    m_logger->setProductName((*m_productInfo)["ProductInformation.ProductName"]);
    m_logger->setProductVersion((*m_productInfo)["ProductInformation.ProductVersion"]);
    log(6, "Going to start FW controller from main");

    // 6-8. The command channel's objects.
    m_systemInfo = std::make_shared<ZAV::SystemInfo>(*m_logger, m_systemUtils);
    m_kernelVersion = m_systemInfo->getKernelVersion();
    m_socketUtils = std::make_unique<ZAV::UnixDomainSocketUtils>();
    m_socket = std::make_unique<ZAV::UnixDomainSocket>(*m_socketUtils, m_kernelVersion);
    m_socket->setSocketPath(m_config->getZAVSocketPath());
    m_helperFactory = std::make_unique<ZAV::HelperFactory>(*m_logger);
    m_registration = std::make_unique<SFRegistrationFMCallback>(*m_logger);
    for (int type : m_registration->getSupportedFMMessageTypes())
        m_helperFactory->addFMCallback(type, m_registration.get());
    m_client = std::make_unique<ZAV::FMCommClient>(*m_socket, *m_helperFactory, *m_logger);
    m_systemUtils2 = std::make_shared<ZAV::ZAVSystemUtils>();

    // 9-10. Interface monitor, event adaptor, enforcement bridge and controller.
    m_interfaceMonitor = std::make_unique<SFFMNwIFManager>(*m_logger);
    m_eventAdaptor = std::make_unique<SFEventAdaptor>(*m_logger, *m_config);
    m_zavUtils = std::make_shared<ZAV::ZAVUtils>(m_systemUtils, *m_logger, m_kernelVersion);
    m_bridge = std::make_unique<SFKextInterface>(*m_logger, *m_config, *m_interfaceMonitor,
                                                 *m_eventAdaptor, m_zavUtils);
    m_controller = SFController::getInstance(*m_logger, *m_config, m_bridge.get());
    // A run that died while enforcing (or during a disable) left its chains, lines and DROP
    // policies: a firewall that is not going to enforce removes them before anything else, so
    // the host is not blocked during the registrations below or after one fails. An enable
    // removes them with its first push.
    if (!m_config->getFwEnableStatus())
        removeLeftovers();

    // 11-12. The agent connection, given time to finish before the rule manager is built.
    log(5, "Going to start Message Bus registration.");
    m_msgBusThread = boost::thread(RegisterEnterprise, std::ref(*m_logger), std::ref(*m_config),
                                   std::ref(*m_interfaceMonitor), std::ref(*m_eventAdaptor));
    log(5, "Started Message Bus registration.");
    // sleep_for resumes after a signal, so the pause is never cut short.
    std::this_thread::sleep_for(kAgentPause);
    if (!m_msgBusThread.try_join_for(boost::chrono::milliseconds(0))) {
        log(5, "Message Bus registration is still running; waiting up to 30 seconds more for it");
        m_msgBusThread.try_join_for(kAgentExtraWait);
    }
    // A repeat of what the thread did itself as soon as the adaptor existed.
    m_eventAdaptor->setAgentAdaptor(g_agentAdaptor.load(std::memory_order_acquire));

    // 13. Commands.
    m_commandHandler = std::make_unique<SFCommandRequestImpl>(*m_socket, *m_logger, *m_config,
                                                              *m_interfaceMonitor);
    m_serviceCallback = std::make_unique<ZAV::CommandCallbackForServiceFM>(*m_socket, *m_logger,
                                                                           *m_commandHandler);
    for (int type : m_serviceCallback->getSupportedFMMessageTypes())
        m_helperFactory->addFMCallback(type, m_serviceCallback.get());

    // 14. Registration with the platform service.
    try {
        m_client->startConnection();
        m_clientStarted = true;
        m_commThread = boost::thread(startFMCommClient, m_client.get(), m_registration.get(),
                                     SF_DAEMON_FM_ID, kRegistrationTimeoutSecs,
                                     std::shared_ptr<ZAV::IZAVSystemUtils>(m_systemUtils2));
        if (!m_registration->startFMRegistration(SF_DAEMON_FM_ID, kRegistrationTimeoutSecs, *m_client)) {
            log(2, "Unable to register with ZAV");
            toStderr("Unable to register with ZAV");
            return 1;
        }
    } catch (const ZAV::FMPException& e) {
        log(2, "Exception raised when registering with ZAV");
        toStderr("Exception raised when registering with ZAV");
        log(2, e.getMessage());
        toStderr(e.getMessage());
        return 255;
    } catch (...) {
        log(2, "Unknown exception raised when registering with ZAV");
        toStderr("Unknown exception raised when registering with ZAV");
        return 255;
    }

    // 15-17.
    m_controller->updateKerneltzSupportStatus();
    m_commonPolicy = std::make_unique<SFCommonPolicyRequestImpl>(*m_logger, *m_config);
    m_commonPolicy->getCommonPolicySettings(*m_serviceCallback, SF_DAEMON_FM_ID, *m_client);
    if (m_config->getFwEnableStatus()) {
        log(5, "Enabling stateful firewall");
        m_controller->enableStatefulFirewall(*m_interfaceMonitor);
    }
    return -1;
}

void DaemonRun::shutDown()
{
    log(5, "Product has started the shutdown sequence");
    joinMsgBusThread();
    log(6, "Message Bus thread has joined back");
    detachAgentAdaptor();
    SFController::getInstance(*m_logger, *m_config, nullptr)->disableStatefulFirewall(*m_interfaceMonitor);
    m_registration->startFMDeregistration(SF_DAEMON_FM_ID, *m_client);
    std::this_thread::sleep_for(kDeregistrationGrace);
    stopCommClient();
}

void DaemonRun::joinMsgBusThread() noexcept
{
    try {
        if (m_msgBusThread.joinable())
            m_msgBusThread.join();
    } catch (const std::exception& e) {
        log(2, std::string("Joining the Message Bus thread failed: ") + e.what());
    }
}

// The agent calls the plug-ins on its own thread, and they use the settings, the interface
// monitor and the logger; deleting the adaptor stops that thread before any of them goes.
void DaemonRun::detachAgentAdaptor() noexcept
{
    try {
        if (m_eventAdaptor)
            m_eventAdaptor->setAgentAdaptor(nullptr);
        if (m_config)
            m_config->setAgentAdaptor(nullptr);
        delete g_agentAdaptor.exchange(nullptr, std::memory_order_acq_rel);
    } catch (const std::exception& e) {
        log(2, std::string("Releasing the agent adaptor failed: ") + e.what());
    } catch (...) {
        log(2, "Releasing the agent adaptor failed with an unknown exception");
    }
}

void DaemonRun::stopCommClient() noexcept
{
    try {
        if (m_clientStarted) {
            m_client->stop();
            m_clientStarted = false;
        }
        if (m_commThread.joinable())
            m_commThread.join();
    } catch (const std::exception& e) {
        log(2, std::string("Stopping the command client failed: ") + e.what());
    }
}

void DaemonRun::teardown() noexcept
{
    stopCommClient();
    joinMsgBusThread();
    detachAgentAdaptor();
    try {
        m_commonPolicy.reset();
        m_serviceCallback.reset();
        m_commandHandler.reset();
        m_bridge.reset();
        m_zavUtils.reset();
        m_eventAdaptor.reset();
        m_interfaceMonitor.reset();
        m_systemUtils2.reset();
        m_client.reset();
        m_registration.reset();
        m_helperFactory.reset();
        m_socket.reset();
        m_socketUtils.reset();
        m_kernelVersion.reset();
        m_systemInfo.reset();
        m_productInfo.reset();
        m_config.reset();
        m_lockKeeper.reset();
        m_logger.reset();
    } catch (const std::exception& e) {
        std::cerr << "Destroying the daemon's objects failed: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Destroying the daemon's objects failed with an unknown exception" << std::endl;
    }
}

} // namespace

int MFWMain()
{
    int status = 1;
    try {
        DaemonRun run;
        try {
            status = run.start();
            if (status < 0) {
                // A signal during start-up set the flag already; then this returns at once.
                run.waitForStop();
                run.shutDown();
                status = 0;
            }
        } catch (const std::exception& e) {
            std::cerr << "Caught unknown exception" << std::endl;
            std::cerr << e.what() << std::endl;
            status = 1;
        } catch (const SFException& e) {
            std::cerr << "Caught unknown exception" << std::endl;
            std::cerr << e.message << std::endl;
            status = 1;
        } catch (...) {
            std::cerr << "Caught unknown exception" << std::endl;
            status = 1;
        }
        run.teardown();
    } catch (...) {
        std::cerr << "Caught unknown exception" << std::endl;
        status = 1;
    }
    return status;
}

void signalHandler(int sig)
{
    if (sig != SIGINT && sig != SIGTERM)
        return;
    const int savedErrno = errno;
    stopMain.store(1);
    if (g_wakeWrite >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost by failing.
        [[maybe_unused]] const ssize_t written = ::write(g_wakeWrite, &byte, 1);
    }
    errno = savedErrno;
}

void RegisterEnterprise(ZAV::ILogger& logger, IConfigController& config,
                        INwIFManager& interfaceMonitor, ISFEventAdaptor& eventAdaptor)
{
    ::pthread_setname_np(::pthread_self(), "Msg Bus Client");
    try {
        auto policy = std::make_unique<SFPluginPolicyEnforcementImpl>(logger, config, interfaceMonitor);
        auto properties = std::make_unique<SFPluginPropertyCollectionImpl>(logger, config);
        auto agentInfo = std::make_unique<SFAgentInfo>(logger);
        const auto required = static_cast<ZAV::RqdMsgBusEnterpriseAgentImpl>(
            ZAV::RQD_POLICY_ENFORCEMENT | ZAV::RQD_PROPERTY_COLLECTION | ZAV::RQD_AGENT_INFO |
            ZAV::RQD_SITE_LIST | ZAV::RQD_EVENTS);
        auto agent = std::make_unique<ZAV::MsgBusEnterpriseAgent>(
            logger, "HVRT_FW_1060QUIL", "YALAGENT3700QUIL", config.isDebugLoggingEnabledForMsgBus(),
            required);
        auto* adaptor = new SFAgentAdaptor(logger, std::move(agent), std::move(policy),
                                           std::move(properties), std::move(agentInfo));
        g_agentAdaptor.store(adaptor, std::memory_order_release);
        // At once, so events are reported even when this thread outlasts start-up's pause.
        eventAdaptor.setAgentAdaptor(adaptor);
        config.setAgentAdaptor(adaptor);
        config.setManagedMode(adaptor->getAgentManagedMode());
        if (config.getManagedMode() == 0)
            logger.logMessage(5, moduleName, "Yal events will not be sent as product is running in Unmanaged mode");
        else if (!config.isSendingEventsToYalEnabled())
            logger.logMessage(5, moduleName, "Yal events will not be sent as it is disabled by configuration.");
        return;
    } catch (const ZAV::FMPException& e) {
        logger.logMessage(2, moduleName, "Exception happend to register with WZ Msg BusProduct will be unable to communicate with Yal.");
        logger.logMessage(2, moduleName, e.getMessage());
    } catch (const SFException& e) {
        logger.logMessage(2, moduleName, "Exception happend to register with WZ Msg BusProduct will be unable to communicate with Yal.");
        logger.logMessage(2, moduleName, e.message);
    } catch (const std::exception& e) {
        logger.logMessage(2, moduleName, "Exception happend to register with WZ Msg BusProduct will be unable to communicate with Yal.");
        logger.logMessage(2, moduleName, e.what());
    } catch (...) {
        logger.logMessage(2, moduleName, "Exception happend to register with WZ Msg BusProduct will be unable to communicate with Yal.");
    }
}

void startFMCommClient(ZAV::FMCommClient* client, SFRegistrationFMCallback* registrationCallback,
                       int fmId, int timeoutSecs, std::shared_ptr<ZAV::IZAVSystemUtils> systemUtils)
{
    try {
        systemUtils->setThreadName("FM Comm Client");
    } catch (...) {
        // Only the thread's name is lost.
    }
    for (;;) {
        try {
            client->run();
            return;
        } catch (const std::exception&) {
            // run() has logged the break with its reason; register again while still wanted.
        } catch (...) {
            // As above: run() throws only after logging why the connection ended.
        }
        // An exception while registering again means another pause and another try.
        for (;;) {
            try {
                if (!client->isActive())
                    return;
                std::this_thread::sleep_for(kReconnectPause);
                if (!client->isActive())
                    return;
                registrationCallback->startFMRegistration(fmId, timeoutSecs, *client);
                break;
            } catch (const std::exception&) {
                // The send failed; the client's connect or send has logged it.
            } catch (...) {
                // Only the channel's own exceptions are expected here; try again after the pause.
            }
        }
    }
}

} // namespace FWMain
