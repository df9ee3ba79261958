#include "SFAdaptiveAggregation.h"

#include "ILogger.h"
#include "INwIFManager.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/lock_guard.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <set>

namespace StatefulFirewall {

std::atomic<SFAdaptiveAggregation*> SFAdaptiveAggregation::m_pSelf{nullptr};
boost::mutex SFAdaptiveAggregation::m_instanceMutex;

namespace {

using Lock = boost::lock_guard<boost::mutex>;
using SubnetMap = std::map<std::string, std::vector<std::string>>;

enum class SourceList { NewPort, NewSubnet, Found };

// Finds the source list of (port, subnet): the port's subnet map goes to subnetMap and the list
// to sources when they exist; a list that does not exist yet starts as {ip}.
SourceList findSourceList(const AggregatedRuleMap& rules, int port, const std::string& subnet,
                          const std::string& ip, SubnetMap* subnetMap,
                          std::vector<std::string>* sources)
{
    const auto portEntry = rules.find(port);
    if (portEntry == rules.end()) {
        *sources = {ip};
        return SourceList::NewPort;
    }
    *subnetMap = portEntry->second;
    const auto subnetEntry = subnetMap->find(subnet);
    if (subnetEntry == subnetMap->end()) {
        *sources = {ip};
        return SourceList::NewSubnet;
    }
    *sources = subnetEntry->second;
    return SourceList::Found;
}

constexpr int kLogLevel = 6;
constexpr int kTcp = 6;
constexpr int kUdp = 17;
const char* const kAny = "any";

// Strict dotted quad (what inet_pton accepts); the value in host order.
bool parseIpv4(const std::string& text, uint32_t* out)
{
    boost::system::error_code error;
    const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(text, error);
    if (error)
        return false;
    *out = address.to_uint();
    return true;
}

bool isIpv4(const std::string& text)
{
    uint32_t ignored = 0;
    return parseIpv4(text, &ignored);
}

// The record comes from another library; a field that fills all 16 bytes has no NUL, so the
// text is cut at the field's end rather than read past it.
std::string fieldText(const char (&field)[16])
{
    return std::string(field, strnlen(field, sizeof(field)));
}

std::string networkAddressOf(const std::string& networkWithPrefix)
{
    return networkWithPrefix.substr(0, networkWithPrefix.find('/'));
}

// One or two decimal digits from 0 to 32; anything else (signs, blanks, trailing text, values
// that would wrap) is not a prefix.
bool parsePrefix(const std::string& text, unsigned* out)
{
    if (text.empty() || text.size() > 2)
        return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 32)
        return false;
    *out = value;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation

SFAdaptiveAggregation* SFAdaptiveAggregation::getInstance(ZAV::ILogger& logger,
                                                          INwIFManager& manager)
{
    SFAdaptiveAggregation* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        self = new SFAdaptiveAggregation(logger, manager);
        m_pSelf.store(self);
    }
    return self;
}

void SFAdaptiveAggregation::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

SFAdaptiveAggregation::SFAdaptiveAggregation(ZAV::ILogger& logger, INwIFManager& manager)
    : m_logger(logger), m_moduleName("SFAdaptiveAggregation"), m_nwIFManager(manager),
      m_rfc1918Subnets{{"10.0.0.0/8", "10.255.255.255"},
                       {"172.16.0.0/12", "172.31.255.255"},
                       {"192.168.0.0/16", "192.168.255.255"}}
{
}

void SFAdaptiveAggregation::log(const std::string& message) const
{
    m_logger.logMessage(kLogLevel, m_moduleName, message);
}

// ---------------------------------------------------------------------------------------------
// Address helpers

bool SFAdaptiveAggregation::doesIpBelongToSubnet(std::string network, std::string broadcast,
                                                 std::string ip)
{
    uint32_t address = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    if (!parseIpv4(ip, &address) || !parseIpv4(network, &first) || !parseIpv4(broadcast, &last)) {
        log("Unexpected exception occurred when checking if Ip Address " + ip +
            " belongs to the network " + network + " with broadcast " + broadcast);
        return false;
    }
    if (address < first || address > last)
        return false;
    log("Ip Address " + ip + " belongs to the network " + network + " with broadcast " + broadcast);
    return true;
}

bool SFAdaptiveAggregation::findNetworkOfIp(const std::map<std::string, std::string>& table,
                                            const std::string& ip, std::string* out)
{
    for (const auto& [network, broadcast] : table) {
        if (doesIpBelongToSubnet(networkAddressOf(network), broadcast, ip)) {
            *out = network;
            return true;
        }
    }
    return false;
}

bool SFAdaptiveAggregation::getLocalSubnetFromIp(std::string* out, std::string ip)
{
    if (out == nullptr || !findNetworkOfIp(m_nwIFManager.getUniqueNetworksVsBroadcast(), ip, out))
        return false;
    log("Ip Address " + ip + " falls within the subnet of " + *out);
    return true;
}

bool SFAdaptiveAggregation::getRfc1918SubnetFromIp(std::string* out, std::string ip)
{
    if (out == nullptr || !findNetworkOfIp(m_rfc1918Subnets, ip, out))
        return false;
    log("Ip Address " + ip + " falls within the rfc 1918 subnet of " + *out);
    return true;
}

bool SFAdaptiveAggregation::isIpPublicIp(std::string ip)
{
    std::string subnet;
    if (getLocalSubnetFromIp(&subnet, ip)) {
        log("Ip Address " + ip + " is not a public ip as it was found in the local subnet - " +
            subnet);
        return false;
    }
    if (getRfc1918SubnetFromIp(&subnet, ip)) {
        log("Ip Address " + ip + " is not a public ip as it was found in the rfc 1918 subnet - " +
            subnet);
        return false;
    }
    log("Ip Address " + ip + " is a public ip");
    return true;
}

std::string SFAdaptiveAggregation::getBroadcastIpFromNetworkWithPrefix(std::string networkWithPrefix)
{
    const std::string::size_type slash = networkWithPrefix.find('/');
    uint32_t network = 0;
    unsigned prefix = 0;
    if (slash == std::string::npos || !parseIpv4(networkWithPrefix.substr(0, slash), &network) ||
        !parsePrefix(networkWithPrefix.substr(slash + 1), &prefix))
        return std::string();
    // Computed in 64 bits: a 32-bit shift by 32 (prefix 0, which the monitor reports for an
    // address without a prefix length) is undefined.
    const uint64_t hostBits = (uint64_t{1} << (32 - prefix)) - 1;
    return boost::asio::ip::address_v4(network | static_cast<uint32_t>(hostBits)).to_string();
}

bool SFAdaptiveAggregation::doesIpBelongToNetworkWithPrefix(std::string networkWithPrefix,
                                                            std::string ip)
{
    if (!doesIpBelongToSubnet(networkAddressOf(networkWithPrefix),
                              getBroadcastIpFromNetworkWithPrefix(networkWithPrefix), ip))
        return false;
    log("Ip Address " + ip + " falls in the network with prefix - " + networkWithPrefix);
    return true;
}

bool SFAdaptiveAggregation::findNetworkOfNetwork(const std::map<std::string, std::string>& table,
                                                 const std::string& networkWithPrefix,
                                                 std::string* out)
{
    const std::string first = networkAddressOf(networkWithPrefix);
    const std::string last = getBroadcastIpFromNetworkWithPrefix(networkWithPrefix);
    for (const auto& [network, broadcast] : table) {
        const std::string address = networkAddressOf(network);
        if (doesIpBelongToSubnet(address, broadcast, first) &&
            doesIpBelongToSubnet(address, broadcast, last)) {
            *out = network;
            return true;
        }
    }
    return false;
}

bool SFAdaptiveAggregation::getLocalSubnetFromNetworkWithPrefix(std::string* out,
                                                                std::string networkWithPrefix)
{
    if (out == nullptr ||
        !findNetworkOfNetwork(m_nwIFManager.getUniqueNetworksVsBroadcast(), networkWithPrefix, out))
        return false;
    log("Network with Prefix " + networkWithPrefix + " falls within the subnet of " + *out);
    return true;
}

bool SFAdaptiveAggregation::getRfc1918SubnetFromNetworkWithPrefix(std::string* out,
                                                                  std::string networkWithPrefix)
{
    if (out == nullptr || !findNetworkOfNetwork(m_rfc1918Subnets, networkWithPrefix, out))
        return false;
    log("Network with Prefix " + networkWithPrefix + " falls within the rfc 1918 subnet of " + *out);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Source lists

bool SFAdaptiveAggregation::aggregatePublicIpParams(AggregatedRuleMap* rules, int port,
                                                    std::string subnet, std::string ip,
                                                    SubnetMap* subnetMap,
                                                    std::vector<std::string>* sources)
{
    if (rules == nullptr || subnetMap == nullptr || sources == nullptr)
        return true;
    const std::string portText = std::to_string(port);
    switch (findSourceList(*rules, port, subnet, ip, subnetMap, sources)) {
    case SourceList::NewPort:
        log("Adding new public source ip " + ip + " for new subnet entry " + subnet +
            " for new destination Port " + portText + " during aggregation");
        return false;
    case SourceList::NewSubnet:
        log("Adding new public source ip " + ip + " for new subnet entry " + subnet +
            " for an existing destination Port " + portText + " during aggregation");
        return false;
    case SourceList::Found:
        break;
    }
    if (!sources->empty() && sources->front() == kAny) {
        log("Not aggregating new public source ip " + ip + " for subnet entry " + subnet +
            " for destination port " + portText +
            " as it has already been aggregated to the keyword of any");
        return true;
    }
    if (std::find(sources->begin(), sources->end(), ip) != sources->end()) {
        log("Not aggregating new public source ip " + ip + " for subnet entry " + subnet +
            " for destination port " + portText + " as same ip has already been aggregated");
        return true;
    }
    if (sources->size() >= ADAPTIVE_RULE_AGGREGATE_MAX_COUNT - 1) {
        log("Number of source ip to aggregate has crossed the maximum limit, aggregating it to "
            "the keyword of any");
        *sources = {kAny};
        return false;
    }
    log("Adding new public source ip " + ip + " for subnet entry " + subnet +
        " for destination port " + portText +
        "for an existing subnet entry for existing destination Port during aggregation");
    sources->push_back(ip);
    return false;
}

bool SFAdaptiveAggregation::aggregatePrivateIpParams(AggregatedRuleMap* rules, int port,
                                                     std::string subnet, std::string ip,
                                                     SubnetMap* subnetMap,
                                                     std::vector<std::string>* sources)
{
    if (rules == nullptr || subnetMap == nullptr || sources == nullptr)
        return true;
    const std::string portText = std::to_string(port);
    switch (findSourceList(*rules, port, subnet, ip, subnetMap, sources)) {
    case SourceList::NewPort:
        log("Adding new private source ip " + ip + " for a new subnet entry " + subnet +
            " for new destination Port " + portText + " during aggregation");
        return false;
    case SourceList::NewSubnet:
        log("Adding new private source ip " + ip + " for a new subnet entry " + subnet +
            " for existing destination Port " + portText + " during aggregation");
        return false;
    case SourceList::Found:
        break;
    }
    for (const std::string& source : *sources) {
        if (source.find('/') == std::string::npos) {
            if (source == ip) {
                log("Not aggregating new private source ip " + ip + " for subnet entry " +
                    subnet + " for destination port " + portText +
                    " as same ip has already been aggregated");
                return true;
            }
        } else if (doesIpBelongToNetworkWithPrefix(source, ip)) {
            log("Not aggregating new private source ip " + ip + " for subnet entry " + subnet +
                " for destination port " + portText +
                " as it belongs to a subnet that has already been aggregated");
            return true;
        }
    }
    if (sources->size() < ADAPTIVE_RULE_AGGREGATE_MAX_COUNT - 1) {
        log("Adding new private source ip " + ip + " for an existing subnet entry " + subnet +
            " for existing destination Port " + portText + " during aggregation");
        sources->push_back(ip);
        return false;
    }

    log("Number of source ip to aggregate has crossed the maximum limit, aggregating it for "
        "private subnets");
    sources->push_back(ip);
    // Each source is replaced by the widest network that still names it: the local subnet it
    // lies in, else its RFC 1918 block. The set removes the duplicates this creates.
    std::set<std::string> collapsed;
    for (const std::string& source : *sources) {
        std::string network;
        if (source.find('/') == std::string::npos) {
            if (getLocalSubnetFromIp(&network, source)) {
                log("Aggregating source ip - " + source + " as it belonged to the local subnet - " +
                    network);
                collapsed.insert(network);
            } else if (getRfc1918SubnetFromIp(&network, source)) {
                log("Aggregating source ip - " + source + " as it belonged to rfc 1918 network - " +
                    network);
                collapsed.insert(network);
            } else {
                log("Not aggregating old source ip - " + source +
                    " as it did not belong to any of the local subnets or rfc 1918 network");
            }
        } else if (getLocalSubnetFromNetworkWithPrefix(&network, source)) {
            log("Aggregating source network - " + source + " as it belonged to the local subnet - " +
                network);
            collapsed.insert(network);
        } else if (getRfc1918SubnetFromNetworkWithPrefix(&network, source)) {
            log("Aggregating source network - " + source + " as it belonged to rfc 1918 network - " +
                network);
            collapsed.insert(network);
        } else {
            log("Not aggregating old source ip - " + source +
                " as it did not belong to any of the local subnets or rfc 1918 network");
        }
    }
    if (collapsed.empty()) {
        // The host's networks changed under the collapse and no source is covered any more. An
        // empty list would become a rule for any source: keep the list as it was instead.
        sources->pop_back();
        log("Not aggregating new private source ip " + ip + " for subnet entry " + subnet +
            " for destination port " + portText +
            " as none of the sources belongs to a local subnet or rfc 1918 network any more");
        return true;
    }
    sources->assign(collapsed.begin(), collapsed.end());
    return false;
}

// ---------------------------------------------------------------------------------------------
// Records

bool SFAdaptiveAggregation::aggregateRule(const SFAdaptiveQueueEntry* entry)
{
    if (entry == nullptr) {
        log("Skip aggregating NULL adaptive rule");
        return false;
    }
    try {
        return aggregateValidRule(*entry);
    } catch (const std::exception& e) {
        // Copies of the maps can run out of memory; the consume thread goes on with the next
        // record.
        log(std::string("Unexpected exception occurred when aggregating adaptive rule: ") +
            e.what());
        return false;
    }
}

bool SFAdaptiveAggregation::aggregateValidRule(const SFAdaptiveQueueEntry& entry)
{
    const std::string sourceIp = fieldText(entry.sourceIp);
    const std::string destinationIp = fieldText(entry.destinationIp);
    if (entry.protocol == 0) {
        log("Skip aggregating adaptive rule where protocol is NULL");
        return false;
    }
    if (sourceIp.empty()) {
        log("Skip aggregating adaptive rule where source Ip is NULL");
        return false;
    }
    if (entry.sourcePort == 0) {
        log("Skip aggregating adaptive rule where source Port is NULL");
        return false;
    }
    if (destinationIp.empty()) {
        log("Skip aggregating adaptive rule where destination Ip is NULL");
        return false;
    }
    if (entry.destinationPort == 0) {
        log("Skip aggregating adaptive rule where destination Port is NULL");
        return false;
    }
    if (entry.protocol != kTcp && entry.protocol != kUdp) {
        log("Skip aggregating adaptive rule where protocol is not supported");
        return false;
    }
    // A remote text that does not parse would fall through every containment test, count as
    // public and end up as a rule source; refuse it here.
    if (!isIpv4(sourceIp)) {
        log("Skip aggregating adaptive rule where source Ip " + sourceIp +
            " is not a valid IPv4 address");
        return false;
    }
    if (!isIpv4(destinationIp)) {
        log("Skip aggregating adaptive rule where destination Ip " + destinationIp +
            " is not a valid IPv4 address");
        return false;
    }

    const bool incoming = entry.incoming != 0;
    const bool tcp = entry.protocol == kTcp;
    std::string localSubnet;
    std::string remoteIp;
    if (incoming) {
        if (!getLocalSubnetFromIp(&localSubnet, destinationIp)) {
            log("Skip aggregating incoming adaptive rule as destination Ip is not part of any "
                "known subnet");
            return false;
        }
        remoteIp = sourceIp;
    } else {
        if (!getLocalSubnetFromIp(&localSubnet, sourceIp)) {
            log("Skip aggregating outgoing adaptive rule as source Ip is not part of any known "
                "subnet");
            return false;
        }
        remoteIp = destinationIp;
    }

    const bool isPublic = isIpPublicIp(remoteIp);
    AggregatedRuleMap& rules =
        tcp ? (isPublic ? (incoming ? m_tcpPublicIncomingRules : m_tcpPublicOutgoingRules)
                        : (incoming ? m_tcpPrivateIncomingRules : m_tcpPrivateOutgoingRules))
            : (isPublic ? (incoming ? m_udpPublicIncomingRules : m_udpPublicOutgoingRules)
                        : (incoming ? m_udpPrivateIncomingRules : m_udpPrivateOutgoingRules));
    const std::string what = std::string(incoming ? "incoming" : "outgoing") + " adaptive " +
                             (tcp ? "TCP" : "UDP") + " rule";
    if (incoming || tcp)
        log("Aggregating " + what + " Ip parameters");

    const int port = entry.destinationPort;
    SubnetMap subnetMap;
    std::vector<std::string> sources;
    const bool unchanged =
        isPublic ? aggregatePublicIpParams(&rules, port, localSubnet, remoteIp, &subnetMap, &sources)
                 : aggregatePrivateIpParams(&rules, port, localSubnet, remoteIp, &subnetMap, &sources);
    if (unchanged) {
        log("Skip aggregating adaptive rule as it has already been aggregated");
        return false;
    }
    subnetMap[localSubnet] = std::move(sources);
    log("Aggregating " + what);
    rules[port] = std::move(subnetMap);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Maps

namespace {

void copyPair(const AggregatedRuleMap& incoming, const AggregatedRuleMap& outgoing,
              AggregatedRuleMap* incomingOut, AggregatedRuleMap* outgoingOut)
{
    if (incomingOut != nullptr)
        *incomingOut = incoming;
    if (outgoingOut != nullptr)
        *outgoingOut = outgoing;
}

} // namespace

void SFAdaptiveAggregation::getTcpPublicAggregatedRules(AggregatedRuleMap* incoming,
                                                        AggregatedRuleMap* outgoing) const
{
    copyPair(m_tcpPublicIncomingRules, m_tcpPublicOutgoingRules, incoming, outgoing);
}

void SFAdaptiveAggregation::getUdpPublicAggregatedRules(AggregatedRuleMap* incoming,
                                                        AggregatedRuleMap* outgoing) const
{
    copyPair(m_udpPublicIncomingRules, m_udpPublicOutgoingRules, incoming, outgoing);
}

void SFAdaptiveAggregation::getTcpPrivateAggregatedRules(AggregatedRuleMap* incoming,
                                                         AggregatedRuleMap* outgoing) const
{
    copyPair(m_tcpPrivateIncomingRules, m_tcpPrivateOutgoingRules, incoming, outgoing);
}

void SFAdaptiveAggregation::getUdpPrivateAggregatedRules(AggregatedRuleMap* incoming,
                                                         AggregatedRuleMap* outgoing) const
{
    copyPair(m_udpPrivateIncomingRules, m_udpPrivateOutgoingRules, incoming, outgoing);
}

void SFAdaptiveAggregation::clearAllAggregatedRules()
{
    for (AggregatedRuleMap* rules :
         {&m_tcpPublicIncomingRules, &m_tcpPublicOutgoingRules, &m_tcpPrivateIncomingRules,
          &m_tcpPrivateOutgoingRules, &m_udpPublicIncomingRules, &m_udpPublicOutgoingRules,
          &m_udpPrivateIncomingRules, &m_udpPrivateOutgoingRules})
        rules->clear();
}

} // namespace StatefulFirewall
