#pragma once

// Identifiers, rules and store readers shared by the rule-model tests.

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFStoreCodec.h"
#include "SFTrustedGroupIP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

namespace TestSupport {
namespace model {

inline StatefulFirewall::GUID idOf(const char* text)
{
    return StatefulFirewall::CommonFunc::getGUIDFromString(text);
}

inline const StatefulFirewall::GUID kDefault = idOf(StatefulFirewall::SF_DEFAULT_GROUP_ID);
inline const StatefulFirewall::GUID kClient = idOf(StatefulFirewall::SF_CLIENT_GROUP_ID);
inline const StatefulFirewall::GUID kAdaptive = idOf(StatefulFirewall::SF_ADAPTIVE_GROUP_ID);
inline const StatefulFirewall::GUID kAgent = idOf(StatefulFirewall::SF_AGENT_GROUP_ID);

// A client-group rule on one TCP port: inbound on the local port, or outbound on the remote
// port.
inline StatefulFirewall::SFRule portRule(const std::string& name, StatefulFirewall::SFwActionType action,
                                         bool inbound, uint16_t port)
{
    using namespace StatefulFirewall;
    SFRule rule;
    rule.ruleId = CommonFunc::generateGUID();
    rule.groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    rule.name = name;
    rule.enabled = true;
    rule.action = action;
    rule.transport = FW_TRANS_PROTO_TCP;
    rule.netProto = NET_PROTO_IP;
    auto* direction = new SFMatch();
    direction->matchType = FW_MATCH_DIRECTION;
    direction->matchOp = FW_MATCH_OP_EQUAL;
    direction->value.intValue = inbound ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND;
    rule.addMatch(direction);
    auto* match = new SFMatch();
    match->matchType = inbound ? FW_MATCH_LOCAL_PORT : FW_MATCH_REMOTE_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, 0);
    rule.addMatch(match);
    return rule;
}

// Value texts of the entries a trusted-network store file holds; a failure to decode fails
// the test.
inline std::vector<std::string> storedValues(const std::string& path)
{
    std::list<StatefulFirewall::SFTrustedGroupIP*> list;
    std::vector<std::string> values;
    try {
        StatefulFirewall::decodeTrustedStore(readFile(path), list);
        for (const StatefulFirewall::SFTrustedGroupIP* entry : list)
            values.push_back(entry->getTrustedIPValueString());
    } catch (const std::exception& e) {
        ADD_FAILURE() << path << " does not decode: " << e.what();
    }
    for (StatefulFirewall::SFTrustedGroupIP* entry : list)
        delete entry;
    return values;
}

} // namespace model
} // namespace TestSupport
