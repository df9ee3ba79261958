#pragma once

// Builders shared by the files that make the built-in and adaptive rules of SFRuleManager.
// Internal to the library: not installed, not used elsewhere.

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFRule.h"

#include <boost/lexical_cast.hpp>

#include <string>

namespace StatefulFirewall {
namespace builtin {

inline constexpr const char* const kAggregatedText =
    "This rule was created after aggregating the adaptive traffic";
inline constexpr const char* const kDiscreteText =
    "This rule was created from the adaptive traffic and could not be aggregated";
inline constexpr uint16_t kFirstEphemeralPort = 1024;
inline constexpr uint16_t kLastPort = 65535;

inline GUID clientId()
{
    return CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
}

inline GUID adaptiveId()
{
    return CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
}

inline bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline SFMatch* intMatch(int type, int value)
{
    auto* match = new SFMatch();
    match->matchType = type;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = value;
    return match;
}

inline SFMatch* directionMatch(int direction)
{
    return intMatch(FW_MATCH_DIRECTION, direction);
}

inline SFMatch* portMatch(int type, uint16_t port)
{
    auto* match = new SFMatch();
    match->matchType = type;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, 0);
    return match;
}

inline SFMatch* portRangeMatch(int type, uint16_t first, uint16_t last)
{
    auto* match = new SFMatch();
    match->matchType = type;
    match->addressType = FW_ADDRESS_TYPE_PORT_RANGE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(first, last);
    return match;
}

inline SFMatch* addressMatch(int type, int format, int op = FW_MATCH_OP_EQUAL)
{
    auto* match = new SFMatch();
    match->matchType = type;
    match->addressType = format;
    match->matchOp = op;
    return match;
}

inline SFMatch* cidrMatch(int type, const char* address, uint8_t prefix)
{
    SFMatch* match = addressMatch(type, FW_ADDRESS_TYPE_CIDR);
    match->setCidrIPAddress(prefix, address);
    return match;
}

inline SFMatch* singleAddressMatch(int type, const std::string& address, int op)
{
    SFMatch* match = addressMatch(type, FW_ADDRESS_TYPE_SINGLE, op);
    match->setStartIp4Address(address.c_str());
    return match;
}

// The common fields of every built-in rule; matches are added by the caller.
inline SFRule* newBuiltinRule(const std::string& name, const GUID& groupId, int action, int transport)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = groupId;
    rule->name = name;
    rule->enabled = true;
    rule->action = action;
    rule->transport = transport;
    rule->netProto = NET_PROTO_IP;
    rule->msgType = FW_MSG_TYPE_UNKNOWN;
    rule->position = -1;
    return rule;
}

// The part of a learned address match after its kind: "a.b.c.d/n" is a CIDR, anything else a
// single address. A prefix that is not a number from 0 to 32 raises the same bad-cast error as
// junk, since a wrapped prefix would match another network.
inline void fillLearnedAddress(SFMatch& match, const std::string& text)
{
    const std::string::size_type slash = text.find('/');
    if (slash == std::string::npos) {
        match.addressType = FW_ADDRESS_TYPE_SINGLE;
        match.setStartIp4Address(text.c_str());
        return;
    }
    const int prefix = boost::lexical_cast<int>(text.substr(slash + 1));
    if (prefix < 0 || prefix > 32)
        throw boost::bad_lexical_cast();
    match.addressType = FW_ADDRESS_TYPE_CIDR;
    match.setCidrIPAddress(static_cast<uint8_t>(prefix), text.substr(0, slash).c_str());
}

} // namespace builtin
} // namespace StatefulFirewall
