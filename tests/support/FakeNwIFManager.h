#pragma once

// A stand-in for the interface monitor: answers from tables the test sets; no thread, no
// socket. The tables are set before the code under test runs; the network-changed flag and the
// pass gate may be used while a health-check thread asks, under m_mutex.
//
// The pass gate: the bridge's health-check thread asks hasNetworkChanged once at the start of
// every pass. After holdPasses, each question waits until runPass lets one pass through, and
// runPass returns once that pass is over (the thread asks again after its period), so a test
// steps the health check pass by pass and acts between two passes. releasePasses opens the gate
// for good; a test calls it before the bridge stops, since the thread holds the bridge's
// health-check lock while it waits here. No wait outlasts the hang guard.

#include "HangGuard.h"
#include "INwIFManager.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace TestSupport {

class FakeNwIFManager : public StatefulFirewall::INwIFManager {
public:
    using Table = std::map<std::string, std::string>;

    // network text -> broadcast text, what the aggregation reads.
    void setNetworksVsBroadcast(Table table) { m_networksVsBroadcast = std::move(table); }
    // network text -> interface name.
    void setSubnets(Table table) { m_subnets = std::move(table); }
    // address text -> interface name.
    void setIpAddresses(Table table) { m_addresses = std::move(table); }
    void setNetworkChanged(bool changed)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed = changed;
    }

    void holdPasses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = true;
        m_allowed = m_asked;
    }
    void releasePasses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
        m_wakeUp.notify_all();
    }
    // Lets one pass through once the thread waits at the gate, and waits until it asks again.
    // False when either wait ran out.
    bool runPass()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto waiting = [this] { return m_asked > m_allowed; };
        if (!m_wakeUp.wait_for(lock, kHangGuard, waiting))
            return false;
        ++m_allowed;
        m_wakeUp.notify_all();
        return m_wakeUp.wait_for(lock, kHangGuard, waiting);
    }

    bool startSFFMNwIFManager() override { return true; }
    bool stopSFFMNwIFManager() override { return true; }
    bool hasNetworkChanged() override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_asked;
        m_wakeUp.notify_all();
        if (m_held)
            m_wakeUp.wait_for(lock, kHangGuard, [this] { return !m_held || m_allowed >= m_asked; });
        const bool changed = m_changed;
        m_changed = false;
        return changed;
    }
    Table getUniqueSubnets() override { return m_subnets; }
    Table getUniqueIpAddresses() override { return m_addresses; }
    Table getUniqueNetworksVsBroadcast() override { return m_networksVsBroadcast; }

private:
    Table m_networksVsBroadcast;
    Table m_subnets;
    Table m_addresses;
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_changed = false;     // guarded by m_mutex
    bool m_held = false;        // guarded by m_mutex
    // Guarded by m_mutex: questions so far, and those let through (or asked before the hold);
    // while held, a question beyond those let through waits at the gate.
    unsigned long m_asked = 0;
    unsigned long m_allowed = 0;
};

} // namespace TestSupport
