#include "BenchRuleMix.h"

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"

#include <cstdio>
#include <random>
#include <string>

namespace StatefulFirewall {

namespace {

SFMatch* match(int type, int format)
{
    auto* m = new SFMatch();
    m->matchType = type;
    m->addressType = format;
    m->matchOp = FW_MATCH_OP_EQUAL;
    return m;
}

SFMatch* direction(bool inbound)
{
    SFMatch* m = match(FW_MATCH_DIRECTION, FW_ADDRESS_TYPE_INVALID);
    m->value.intValue = inbound ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND;
    return m;
}

SFMatch* remoteAddress(int n, std::mt19937& random)
{
    const std::string address =
        "10." + std::to_string(n % 250) + "." + std::to_string(random() % 250) + ".1";
    switch (n % 3) {
    case 0: {
        SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE);
        m->setStartIp4Address(address.c_str());
        return m;
    }
    case 1: {
        SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_IP_RANGE);
        m->setStartIp4Address(address.c_str());
        m->setEndIp4Address("10.255.255.254");
        return m;
    }
    default: {
        SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_CIDR);
        m->setCidrIPAddress(24, address.c_str());
        return m;
    }
    }
}

SFMatch* workingHours()
{
    SFMatch* m = match(FW_MATCH_SCHEDULE, FW_ADDRESS_TYPE_INVALID);
    MatchSchedule schedule{};
    std::snprintf(schedule.startTime, sizeof(schedule.startTime), "08:00");
    std::snprintf(schedule.endTime, sizeof(schedule.endTime), "17:30");
    std::snprintf(schedule.days, sizeof(schedule.days), "Mon,Tue,Wed,Thu,Fri,");
    schedule.daysMask = 62;
    m->setSchedule(schedule);
    return m;
}

} // namespace

void fillBenchTable(SFRuleTable& table, int count)
{
    table.defaultGroupId = CommonFunc::getDefaultGroupID();
    table.clientGroupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    table.adaptiveGroupId = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    table.agentGroupId = CommonFunc::getYalAgentGroupID();
    table.addDefaultGroup();
    table.addClientSideGroup();
    table.addAdaptiveGroup();
    table.addYalAgentGroup();
    addBenchRules(*table.findGroup(table.clientGroupId), count);
}

void addBenchRules(SFRuleGroup& client, int count)
{
    std::mt19937 random(42);
    for (int n = 0; n < count; ++n) {
        auto* rule = new SFRule();
        rule->ruleId = CommonFunc::generateGUID();
        rule->groupId = client.groupId;
        rule->name = "Rule " + std::to_string(n);
        rule->description = "benchmark rule";
        rule->enabled = true;
        rule->action = n % 3 == 0 ? FW_ACTION_BLOCK_PACKET : FW_ACTION_ALLOW;
        rule->transport = n % 2 ? FW_TRANS_PROTO_TCP : FW_TRANS_PROTO_UDP;
        rule->netProto = NET_PROTO_IP;
        rule->logEnabled = n % 4 == 0;
        // Only blocking rules report intrusions; every third rule blocks, so n % 30 == 0 gives
        // a tenth of the blocking rules and a thirtieth of all.
        rule->treatAsIntrusion = n % 30 == 0;
        // Inbound rules match the local port, outbound ones the remote port.
        const bool inbound = n % 7 != 0;
        rule->matches.push_back(direction(inbound));
        SFMatch* port = match(inbound ? FW_MATCH_LOCAL_PORT : FW_MATCH_REMOTE_PORT,
                              n % 5 ? FW_ADDRESS_TYPE_SINGLE : FW_ADDRESS_TYPE_PORT_RANGE);
        port->setPortNumber(static_cast<uint16_t>(1 + random() % 60000), 61000);
        rule->matches.push_back(port);
        rule->matches.push_back(remoteAddress(n, random));
        if (n % 50 == 0)
            rule->matches.push_back(workingHours());
        client.rules.push_back(rule);
    }
    client.updateAllRuleIndex();
}

} // namespace StatefulFirewall
