#pragma once

// The interface monitor: follows the host's IPv4 addresses on a thread of its own and hands out
// copies of what it knows. One instance, owned by the daemon and passed by reference; the
// iptables driver and the aggregation keep that reference without owning it. Every getter
// copies under the monitor's own mutex, so callers on any thread see a whole table, never one
// the monitor thread is halfway through replacing. Network texts are the network address, "/"
// and the prefix length in decimal; address texts are dotted quads; maps are in key order.

#include <map>
#include <string>

namespace StatefulFirewall {

class INwIFManager {
public:
    virtual ~INwIFManager() = default;

    // Starts the monitor thread unless one is running, and waits (at most 3 s) until the tables
    // are first built; true also when it already ran or could not be started (the failure is
    // logged by the monitor, not reported).
    virtual bool startSFFMNwIFManager() = 0;
    // Stops the monitor thread and waits for it to end; false only when the thread could not be
    // woken (it is then joined by the next start or by the destructor).
    virtual bool stopSFFMNwIFManager() = 0;
    // True once after the local networks or addresses changed, then false until the next
    // change (the flag is read and cleared under the monitor's mutex); never fails.
    virtual bool hasNetworkChanged() = 0;
    // Copy, taken under the monitor's mutex, of network text -> interface name; empty when no
    // address is known; never fails.
    virtual std::map<std::string, std::string> getUniqueSubnets() = 0;
    // Copy, taken under the monitor's mutex, of address text -> interface name; empty when none;
    // never fails.
    virtual std::map<std::string, std::string> getUniqueIpAddresses() = 0;
    // Copy, taken under the monitor's mutex, of network text -> broadcast address text; empty
    // when none; never fails.
    virtual std::map<std::string, std::string> getUniqueNetworksVsBroadcast() = 0;
};

} // namespace StatefulFirewall
