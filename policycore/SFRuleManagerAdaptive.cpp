// The rules of adaptive mode: the block rules of the adaptive group and the allow rules learned
// from traffic. Factories only: the callers add what they build.

#include "SFRuleManager.h"

#include "SFBuiltinRuleParts.h"

namespace StatefulFirewall {

using namespace builtin;

SFRule* SFRuleManager::createAdaptiveICMPRule()
{
    SFRule* rule = newBuiltinRule("Adaptive_Block_ICMP", adaptiveId(), FW_ACTION_BLOCK_PACKET,
                                  FW_TRANS_PROTO_ICMP);
    rule->msgType = FW_ICMP_ANY;
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    return rule;
}

SFRule* SFRuleManager::createAdaptiveBroadcastRule()
{
    SFRule* rule = newBuiltinRule("Adaptive_Block_Broadcast", adaptiveId(), FW_ACTION_BLOCK_PACKET,
                                  FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    rule->addMatch(
        singleAddressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "255.255.255.255", FW_MATCH_OP_EQUAL));
    return rule;
}

SFRule* SFRuleManager::createAdaptiveAnyRule()
{
    SFRule* rule = newBuiltinRule("Adaptive_Block_Any", adaptiveId(), FW_ACTION_BLOCK_PACKET,
                                  FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    rule->addMatch(singleAddressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "0.0.0.0", FW_MATCH_OP_EQUAL));
    return rule;
}

SFRule* SFRuleManager::createAdaptiveMulticastInRule()
{
    SFRule* rule = newBuiltinRule("Adaptive_Block_Multicast_In", adaptiveId(),
                                  FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_INBOUND));
    rule->addMatch(cidrMatch(FW_MATCH_LOCAL_IP_ADDRESS, "224.0.0.0", 4));
    return rule;
}

SFRule* SFRuleManager::createAdaptiveMulticastOutRule()
{
    SFRule* rule = newBuiltinRule("Adaptive_Block_Multicast_Out", adaptiveId(),
                                  FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));
    rule->addMatch(cidrMatch(FW_MATCH_REMOTE_IP_ADDRESS, "224.0.0.0", 4));
    return rule;
}

// Learned traffic to or from a service port: the service side keeps its port, the other side
// may use any ephemeral port.
SFRule* SFRuleManager::initializeAdaptiveRule(bool tcp, bool inbound, int port)
{
    SFRule* rule = newBuiltinRule(
        tcp ? "Aggregated_Adaptive_TCP_Rule" : "Aggregated_Adaptive_UDP_Rule", adaptiveId(),
        FW_ACTION_ALLOW, tcp ? FW_TRANS_PROTO_TCP : FW_TRANS_PROTO_UDP);
    rule->description = kAggregatedText;
    rule->msgType = FW_ICMP_ANY;
    rule->netProto = NET_PROTO_ANY;
    const auto servicePort = static_cast<uint16_t>(port);
    rule->addMatch(directionMatch(inbound ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND));
    if (inbound) {
        rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, servicePort));
        rule->addMatch(portRangeMatch(FW_MATCH_REMOTE_PORT, kFirstEphemeralPort, kLastPort));
    } else {
        rule->addMatch(portRangeMatch(FW_MATCH_LOCAL_PORT, kFirstEphemeralPort, kLastPort));
        rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, servicePort));
    }
    return rule;
}

SFRule* SFRuleManager::initializeDiscreteAdaptiveRule(bool inbound, bool tcp,
                                                      std::string sourceAddress, int sourcePort,
                                                      std::string destinationAddress,
                                                      int destinationPort)
{
    SFRule* rule = newBuiltinRule(tcp ? "Discrete_Adaptive_TCP_Rule" : "Discrete_Adaptive_UDP_Rule",
                                  adaptiveId(), FW_ACTION_ALLOW,
                                  tcp ? FW_TRANS_PROTO_TCP : FW_TRANS_PROTO_UDP);
    rule->description = kDiscreteText;
    rule->msgType = FW_ICMP_ANY;
    rule->netProto = NET_PROTO_ANY;
    // Local is this host: the destination of inbound traffic, the source of outbound traffic.
    const std::string& localAddress = inbound ? destinationAddress : sourceAddress;
    const std::string& remoteAddress = inbound ? sourceAddress : destinationAddress;
    const int localPort = inbound ? destinationPort : sourcePort;
    const int remotePort = inbound ? sourcePort : destinationPort;
    rule->addMatch(directionMatch(inbound ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND));
    rule->addMatch(
        singleAddressMatch(FW_MATCH_LOCAL_IP_ADDRESS, localAddress, FW_MATCH_OP_INVALID));
    rule->addMatch(
        singleAddressMatch(FW_MATCH_REMOTE_IP_ADDRESS, remoteAddress, FW_MATCH_OP_INVALID));
    rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, static_cast<uint16_t>(localPort)));
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, static_cast<uint16_t>(remotePort)));
    return rule;
}

SFMatch* SFRuleManager::getAdaptiveRuleRemoteMatch(std::string source)
{
    std::unique_ptr<SFMatch> match(
        addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_INVALID));
    if (source == "any")
        match->addressType = FW_ADDRESS_TYPE_ANY_IPV4_ADD;
    else
        fillLearnedAddress(*match, source);
    return match.release();
}

SFMatch* SFRuleManager::getAdaptiveRuleLocalMatch(std::string subnet)
{
    std::unique_ptr<SFMatch> match(
        addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_INVALID));
    fillLearnedAddress(*match, subnet);
    return match.release();
}

} // namespace StatefulFirewall
