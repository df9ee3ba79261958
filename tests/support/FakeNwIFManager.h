#pragma once

// A stand-in for the interface monitor: answers from tables the test sets; no thread, no
// socket, no lock (tests call it from one thread).

#include "INwIFManager.h"

#include <map>
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
    void setNetworkChanged(bool changed) { m_changed = changed; }

    bool startSFFMNwIFManager() override { return true; }
    bool stopSFFMNwIFManager() override { return true; }
    bool hasNetworkChanged() override
    {
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
    bool m_changed = false;
};

} // namespace TestSupport
