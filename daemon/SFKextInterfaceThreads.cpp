// Starting and stopping the bridge threads. A stop flag is cleared by the starter before the
// thread exists (a thread clearing its own flag could undo a stop that came first) and set by
// the stopper under the mutex its thread waits with, so no wake-up is lost. Every thread is
// joined before its object goes.

#include "SFKextInterface.h"

#include "ILogger.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFException.h"

#include <boost/thread/lock_guard.hpp>

#include <exception>

namespace StatefulFirewall {

namespace {

using Lock = boost::lock_guard<boost::mutex>;

// A queue's stop ends only a run that has opened its queue; a thread started a moment before
// may not have, so the stop is repeated after this long.
const boost::chrono::milliseconds QUEUE_STOP_RETRY(100);
// Rounds between two log lines about a queue thread that does not end.
constexpr int QUEUE_STOP_ROUNDS_PER_LOG = 50;

} // namespace

bool SFKextInterface::runs(ThreadPtr& thread)
{
    if (!thread)
        return false;
    if (!thread->try_join_for(boost::chrono::milliseconds(0)))
        return true;
    thread.reset();
    return false;
}

bool SFKextInterface::stopAndJoinQueueThread(boost::thread& thread,
                                             const std::function<bool()>& stop)
{
    const bool stopped = stop();
    for (int round = 1; !thread.try_join_for(QUEUE_STOP_RETRY); ++round) {
        stop();
        if (round % QUEUE_STOP_ROUNDS_PER_LOG == 0)
            log(2, "Netfilter Queue monitoring thread has not ended after " +
                       std::to_string(round / 10) + " s. Stopping it again");
    }
    return stopped;
}

// ---------------------------------------------------------------------------------------------
// Reporting and health check

bool SFKextInterface::startReporting()
{
    Lock control(m_threadControlMutex);
    if (runs(m_reportingThread))
        return false;
    try {
        {
            Lock lock(m_blockEventListMutex);
            m_reportingStop = false;
        }
        log(5, "Starting Reporting thread for reporting events");
        m_reportingThread =
            std::make_unique<boost::thread>(&SFKextInterface::startReportingThread, this);
        return true;
    } catch (const std::exception&) {
        log(5, "Unknown exception occurred when starting the reporting thread");
    }
    return false;
}

bool SFKextInterface::startHealthCheck()
{
    Lock control(m_threadControlMutex);
    if (runs(m_healthCheckThread)) {
        // A thread that ran out of work while disabled sets its stop flag as it leaves its
        // loop: it is joined so a fresh one takes its place.
        bool ending = false;
        {
            Lock lock(m_healthCheckMutex);
            ending = m_healthCheckStop;
        }
        if (!ending)
            return false;
        m_healthCheckThread->join();
        m_healthCheckThread.reset();
    }
    try {
        {
            Lock lock(m_healthCheckMutex);
            m_healthCheckStop = false;
        }
        log(5, "Starting health check thread");
        m_healthCheckThread =
            std::make_unique<boost::thread>(&SFKextInterface::startHealthCheckThread, this);
        return true;
    } catch (const std::exception&) {
        log(5, "Unknown exception occurred when starting the health check thread");
    }
    return false;
}

void SFKextInterface::stopReportingThread()
{
    if (!m_reportingThread)
        return;
    {
        Lock lock(m_blockEventListMutex);
        m_reportingStop = true;
    }
    log(5, "Shutting down Firewall. Notifying reporting data thread to join back");
    m_reportingWakeUp.notify_all();
    m_reportingThread->join();
    m_reportingThread.reset();
}

void SFKextInterface::stopHealthCheckThread()
{
    if (!m_healthCheckThread)
        return;
    {
        Lock lock(m_healthCheckMutex);
        m_healthCheckStop = true;
    }
    log(5, "Shutting down Firewall. Notifying health check thread to join back");
    m_healthCheckWakeUp.notify_all();
    m_healthCheckThread->join();
    m_healthCheckThread.reset();
}

// ---------------------------------------------------------------------------------------------
// Block-event queue

void SFKextInterface::startBlockEventQueue()
{
    if (runs(m_blockEventQueueThread))
        return;
    try {
        log(5, "Starting Netfilter Queue monitoring thread for block / intrusion events");
        m_blockEventQueueThread =
            std::make_unique<boost::thread>(&SFKextInterface::startBlockEventQueueThread, this);
    } catch (const std::exception&) {
        log(5, "Unknown exception occurred when starting the Netfilter Queue monitoring thread "
               "for block / intrusion events");
    }
}

void SFKextInterface::stopBlockEventQueue()
{
    if (!m_blockEventQueueThread)
        return;
    try {
        log(5, "Stopping Netfilter Queue monitoring thread for block / intrusion events");
        stopBlockEventQueueThread();
    } catch (const std::exception&) {
        log(5, "Unknown exception occurred when stopping the Netfilter Queue monitoring thread "
               "for block / intrusion events");
    }
}

void SFKextInterface::stopBlockEventQueueThread()
{
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, m_configController);
    stopAndJoinQueueThread(*m_blockEventQueueThread, [queue] { return queue->stopBlockEventQueue(); });
    m_blockEventQueueThread.reset();
    SFBlockEventQueueWrapper::releaseInstance();
}

// ---------------------------------------------------------------------------------------------
// Adaptive threads

void SFKextInterface::startAdaptiveThreads()
{
    runs(m_adaptiveQueueThread);
    if (!m_adaptiveQueueThread) {
        try {
            log(5, "Starting Netfilter Queue monitoring thread in Adaptive mode");
            m_adaptiveQueueThread =
                std::make_unique<boost::thread>(&SFKextInterface::startAdaptiveQueue, this);
        } catch (const std::exception&) {
            log(5, "Unknown exception occurred when starting the Netfilter Queue monitoring thread "
                   "in Adaptive mode");
        }
    }
    try {
        // A thread whose stop flag is set is on its way out (a read thread that leaves sets
        // the consume thread's flag too): it is joined so a fresh one takes its place.
        bool readEnding = false;
        bool consumeEnding = false;
        {
            Lock lock(m_adaptiveListMutex);
            readEnding = m_readStop;
            consumeEnding = m_consumeStop;
        }
        if (runs(m_adaptiveReadThread) && readEnding) {
            m_adaptiveReadThread->join();
            m_adaptiveReadThread.reset();
        }
        if (runs(m_adaptiveConsumeThread) && consumeEnding) {
            m_adaptiveConsumeThread->join();
            m_adaptiveConsumeThread.reset();
        }
        if (!m_adaptiveReadThread) {
            {
                Lock lock(m_adaptiveListMutex);
                m_readStop = false;
            }
            log(5, "Starting the read Adaptive data thread");
            m_adaptiveReadThread =
                std::make_unique<boost::thread>(&SFKextInterface::getAdaptiveDataFromNetfilter, this);
        }
        if (!m_adaptiveConsumeThread) {
            {
                Lock lock(m_adaptiveListMutex);
                m_consumeStop = false;
            }
            log(5, "Starting the consume Adaptive data thread");
            m_adaptiveConsumeThread = std::make_unique<boost::thread>(
                &SFKextInterface::consumeAdaptiveDataFromNetfilter, this);
        }
    } catch (const std::exception&) {
        log(5, "Exception occurred while starting the read or consume Adaptive data thread");
    }
}

bool SFKextInterface::stopAdaptiveQueueThread()
{
    SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
    const bool stopped =
        stopAndJoinQueueThread(*m_adaptiveQueueThread, [queue] { return queue->stopAdaptiveQueue(); });
    m_adaptiveQueueThread.reset();
    SFAdaptiveQueueWrapper::releaseInstance();
    return stopped;
}

void SFKextInterface::stopReadThread(const char* logText)
{
    if (!m_adaptiveReadThread)
        return;
    {
        Lock lock(m_adaptiveListMutex);
        m_readStop = true;
    }
    log(5, logText);
    m_readWakeUp.notify_all();
    m_adaptiveReadThread->join();
    m_adaptiveReadThread.reset();
}

void SFKextInterface::stopConsumeThread(const char* logText)
{
    if (!m_adaptiveConsumeThread)
        return;
    {
        Lock lock(m_adaptiveListMutex);
        m_consumeStop = true;
    }
    m_consumeWakeUp.notify_all();
    log(5, logText);
    m_adaptiveConsumeThread->join();
    m_adaptiveConsumeThread.reset();
}

// ---------------------------------------------------------------------------------------------
// Shutdown

void SFKextInterface::stopThreads()
{
    auto guarded = [this](const char* what, auto&& step) {
        try {
            step();
        } catch (const SFException& e) {
            log(2, std::string("Exception occurred while stopping the ") + what + " - " + e.message);
        } catch (const std::exception& e) {
            log(2, std::string("Exception occurred while stopping the ") + what + " - " + e.what());
        }
    };
    // Keyed on the thread, not on the mode setting, which may have changed since it started.
    guarded("adaptive queue thread", [this] {
        if (!m_adaptiveQueueThread)
            return;
        log(5, "Shutting down Firewall. Shutting down Netfilter Queue monitoring thread as it was in Adaptive mode");
        stopAdaptiveQueueThread();
        SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    });
    guarded("read thread", [this] {
        stopReadThread("Shutting down Firewall. Notifying read Adaptive data thread to join back");
    });
    guarded("consume thread", [this] {
        stopConsumeThread("Shutting down Firewall. Notifying consume Adaptive data thread to join back");
    });
    guarded("block event queue thread", [this] {
        Lock lock(m_guardRuleTableDataParsing);
        if (!m_blockEventQueueThread)
            return;
        stopBlockEventQueueThread();
        log(5, "Shutting down Firewall. Deleting Netfilter Queue monitoring thread for block / intrusion events");
    });
    guarded("reporting thread", [this] { stopReportingThread(); });
    guarded("health check thread", [this] { stopHealthCheckThread(); });
}

} // namespace StatefulFirewall
