#pragma once

// Folds learned connections into allow-rule maps: per protocol (TCP, UDP), kind of remote
// address (public, private) and direction, per service port and local subnet, the list of
// remote sources seen. A list grows to nine sources; the tenth distinct one collapses it, a
// public list into "any", a private list into the networks that cover its sources.
//
// One process-wide instance, created and released under m_instanceMutex. The maps are not
// locked: only the daemon's adaptive consume thread aggregates, reads and clears them, and the
// release happens after that thread has ended. The logger and the interface monitor are owned
// by the daemon and outlive the instance.

#include "AggregatedRuleMap.h"
#include "SFAdaptiveQueueEntry.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class INwIFManager;

class SFAdaptiveAggregation {
public:
    // The tenth distinct source of a list collapses it, so a list holds at most nine.
    static constexpr int ADAPTIVE_RULE_AGGREGATE_MAX_COUNT = 10;

    static SFAdaptiveAggregation* getInstance(ZAV::ILogger& logger, INwIFManager& manager);
    // Deletes the instance with all its maps; nothing when there is none.
    static void releaseInstance();

    // True when the record changed a map; a record that is incomplete, malformed, already
    // covered or not from a known local subnet is logged and gives false. Never throws.
    bool aggregateRule(const SFAdaptiveQueueEntry* entry);

    // Copy the incoming map into *incoming and the outgoing map into *outgoing; a null
    // pointer is left out.
    void getTcpPublicAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing) const;
    void getUdpPublicAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing) const;
    void getTcpPrivateAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing) const;
    void getUdpPrivateAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing) const;
    void clearAllAggregatedRules();

    // Address helpers. Texts that do not parse as dotted quads (or "network/prefix" with a
    // prefix of 0 to 32) never match.
    bool isIpPublicIp(std::string ip);
    bool getLocalSubnetFromIp(std::string* out, std::string ip);
    bool getRfc1918SubnetFromIp(std::string* out, std::string ip);
    bool doesIpBelongToSubnet(std::string network, std::string broadcast, std::string ip);
    // Dotted broadcast address of "network/prefix"; empty when the text is malformed.
    std::string getBroadcastIpFromNetworkWithPrefix(std::string networkWithPrefix);
    bool doesIpBelongToNetworkWithPrefix(std::string networkWithPrefix, std::string ip);
    bool getLocalSubnetFromNetworkWithPrefix(std::string* out, std::string networkWithPrefix);
    bool getRfc1918SubnetFromNetworkWithPrefix(std::string* out, std::string networkWithPrefix);

    // Work out the new source list of (port, localSubnet) in `rules` after remoteIp was seen:
    // *subnetMap receives a copy of the port's subnets (empty for a new port), *sources the new
    // list. True when nothing is to change.
    bool aggregatePublicIpParams(AggregatedRuleMap* rules, int port, std::string localSubnet,
                                 std::string remoteIp,
                                 std::map<std::string, std::vector<std::string>>* subnetMap,
                                 std::vector<std::string>* sources);
    bool aggregatePrivateIpParams(AggregatedRuleMap* rules, int port, std::string localSubnet,
                                  std::string remoteIp,
                                  std::map<std::string, std::vector<std::string>>* subnetMap,
                                  std::vector<std::string>* sources);

private:
    SFAdaptiveAggregation(ZAV::ILogger& logger, INwIFManager& manager);

    bool aggregateValidRule(const SFAdaptiveQueueEntry& entry);
    // The local network of `table` (network text -> broadcast text) that holds ip.
    bool findNetworkOfIp(const std::map<std::string, std::string>& table, const std::string& ip,
                         std::string* out);
    bool findNetworkOfNetwork(const std::map<std::string, std::string>& table,
                              const std::string& networkWithPrefix, std::string* out);
    void log(const std::string& message) const;

    ZAV::ILogger& m_logger;
    const std::string m_moduleName;
    INwIFManager& m_nwIFManager;

    AggregatedRuleMap m_tcpPublicIncomingRules;
    AggregatedRuleMap m_tcpPublicOutgoingRules;
    AggregatedRuleMap m_tcpPrivateIncomingRules;
    AggregatedRuleMap m_tcpPrivateOutgoingRules;
    AggregatedRuleMap m_udpPublicIncomingRules;
    AggregatedRuleMap m_udpPublicOutgoingRules;
    AggregatedRuleMap m_udpPrivateIncomingRules;
    AggregatedRuleMap m_udpPrivateOutgoingRules;

    // The three RFC 1918 blocks, network text -> broadcast text.
    std::map<std::string, std::string> m_rfc1918Subnets;

    static std::atomic<SFAdaptiveAggregation*> m_pSelf;
    static boost::mutex m_instanceMutex;
};

} // namespace StatefulFirewall
