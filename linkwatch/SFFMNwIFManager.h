#pragma once

// The interface monitor: one thread per run follows the host's links and IPv4 addresses on an
// rtnetlink socket and keeps the class-wide tables of local addresses, networks and broadcast
// addresses up to date.
//
// Ownership: the daemon owns the object and the logger, which outlives it. Each run (start to
// stop) owns a RunState - the netlink socket, the wake-up eventfd, the stop flag and the
// receive buffer - shared by the object and the run's thread, so neither can free it under the
// other. The destructor stops and joins the run.
//
// Threads and locks, in this order: m_controlMutex (instance) serialises start, stop and the
// destructor and guards m_thread and m_run; m_instanceMutex (class-wide) guards the raw and
// unique tables and the changed flag, and is taken by the getters on any thread. The ignored
// interface table is used by the run's thread alone (runs never overlap: a run is joined
// before the next one starts).

#include "INwIFManager.h"

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <map>
#include <memory>
#include <string>
#include <utility>

struct nlmsghdr;
struct nlattr;

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class SFFMNwIFManager : public INwIFManager {
public:
    explicit SFFMNwIFManager(ZAV::ILogger& logger);
    ~SFFMNwIFManager() override;
    SFFMNwIFManager(const SFFMNwIFManager&) = delete;
    SFFMNwIFManager& operator=(const SFFMNwIFManager&) = delete;

    // Starts a run unless one is monitoring; a run being stopped is joined first. Waits up to
    // three seconds for the run's first table build (or its failure); always true.
    bool startSFFMNwIFManager() override;
    // Wakes the run's thread and joins it; false only when the wake-up could not be sent.
    bool stopSFFMNwIFManager() override;
    bool hasNetworkChanged() override;
    std::map<std::string, std::string> getUniqueSubnets() override;
    std::map<std::string, std::string> getUniqueIpAddresses() override;
    std::map<std::string, std::string> getUniqueNetworksVsBroadcast() override;

private:
    struct RunState;
    enum class DumpResult { Done, Failed, Stopped };

    void networkManagerThread(RunState& run);
    bool configureNetlinkConnection(RunState& run);
    // Reads links, then addresses, into the emptied raw tables; repeated while notifications
    // were lost or the kernel flagged a dump as interrupted, so the tables match the kernel.
    // *links tells whether the link dump was the one that failed.
    DumpResult readAllTables(RunState& run, DumpResult* links);
    DumpResult dump(RunState& run, bool links, bool* resyncNeeded);
    bool updateUniqueNetworkInfo();
    void monitorNwInterfaces(RunState& run);
    // Reads the tables again after lost notifications; false when a dump failed.
    bool resynchronise(RunState& run);

    int updateIgnoredInterface(const nlmsghdr* message, bool add);
    int updateNetworkInfo(const nlmsghdr* message, bool add);
    // Applies a notification to the raw tables only; the caller rebuilds the unique tables.
    int applyNotification(const nlmsghdr* message);
    int readAllInterface(const nlmsghdr* message);
    int readAllIpAddress(const nlmsghdr* message);
    int monitorNetwork(const nlmsghdr* message);
    static int readAllInterfaceFnCallback(const nlmsghdr* message, void* data);
    static int readAllIpAddressFnCallback(const nlmsghdr* message, void* data);
    static int monitorNetworkFnCallback(const nlmsghdr* message, void* data);
    static int ipAddressAttributeCallback(const nlattr* attribute, void* table);

    static void clearRawTables();
    void log(int level, const std::string& message) const;

    ZAV::ILogger& m_logger;
    const std::string m_componentName;

    boost::mutex m_controlMutex;
    boost::thread m_thread;          // guarded by m_controlMutex
    std::shared_ptr<RunState> m_run; // guarded by m_controlMutex

    // Raw tables, keyed by (address text "/" prefix, interface index) so that one address
    // configured on two interfaces stays known until it is removed from both.
    using RawTable = std::map<std::pair<std::string, int>, std::string>;
    static RawTable m_localIpAddressWithPrefix;       // guarded by m_instanceMutex
    static RawTable m_localBroadcastAddress;          // guarded by m_instanceMutex
    static std::map<int, std::string> m_ignoredInterfaceIndex; // run's thread only
    static std::map<std::string, std::string> m_localAggregatedNetworks;            // m_instanceMutex
    static std::map<std::string, std::string> m_localAggregatedIpAddresses;         // m_instanceMutex
    static std::map<std::string, std::string> m_localAggregatedNetworksVsBroadcast; // m_instanceMutex
    static bool m_uniqueSubnetListChanged;            // guarded by m_instanceMutex
    static boost::mutex m_instanceMutex;
};

} // namespace StatefulFirewall
