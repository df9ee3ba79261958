#include "MigrationSamples.h"

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"

#include <cstring>

using namespace StatefulFirewall;

namespace TestSupport {
namespace migration {

namespace {

SFMatch* match(int kind, int format)
{
    auto* m = new SFMatch();
    m->matchType = kind;
    m->addressType = format;
    m->matchOp = FW_MATCH_OP_EQUAL;
    return m;
}

SFMatch* ports(int kind, int format, uint16_t port, uint16_t last)
{
    SFMatch* m = match(kind, format);
    m->setPortNumber(port, last);
    return m;
}

SFMatch* address(int kind, int format, const char* start, const char* end = nullptr)
{
    SFMatch* m = match(kind, format);
    m->setStartIp4Address(start);
    if (end != nullptr)
        m->setEndIp4Address(end);
    return m;
}

SFMatch* intValue(int kind, int value)
{
    SFMatch* m = match(kind, 0);
    m->value.intValue = value;
    return m;
}

SFRule* rule(SFRuleGroup& group, const char* id, const char* name,
             std::initializer_list<SFMatch*> matches)
{
    auto* r = new SFRule();
    r->ruleId = CommonFunc::getGUIDFromString(id);
    r->groupId = group.groupId;
    r->name = name;
    r->enabled = true;
    r->action = FW_ACTION_ALLOW;
    r->transport = FW_TRANS_PROTO_TCP;
    r->netProto = NET_PROTO_IP;
    for (SFMatch* m : matches)
        r->addMatch(m);
    group.rules.push_back(r);
    r->position = static_cast<int>(group.rules.size());
    return r;
}

} // namespace

GUID officeGroupId()
{
    return CommonFunc::getGUIDFromString("0a0a0a0a-1111-2222-83f4-ffeeddccbbaa");
}

std::unique_ptr<SFRuleTable> sampleTable()
{
    auto table = std::make_unique<SFRuleTable>();
    table->agentGroupId = CommonFunc::getGUIDFromString(SF_AGENT_GROUP_ID);
    table->clientGroupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    table->adaptiveGroupId = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    table->defaultGroupId = CommonFunc::getGUIDFromString(SF_DEFAULT_GROUP_ID);

    auto* primary = new SFRuleGroup();
    table->groups.push_back(primary);
    primary->groupId = table->defaultGroupId;
    primary->name = "Primary group";
    primary->chainName = "Primary";
    primary->enabled = true;
    SFRule* jump =
        rule(*primary, "00000001-0000-0000-0000-000000000001", "Jump to group Office", {});
    jump->action = FW_ACTION_JUMP;
    jump->jumpTarget = officeGroupId();
    jump->keep = true;

    auto* office = new SFRuleGroup();
    table->groups.push_back(office);
    office->groupId = officeGroupId();
    office->name = "Office";
    office->chainName = "Office";
    office->description = "rules of the office network";
    office->enabled = true;
    office->auxFlag = true;
    office->enforced = true;
    office->transport = FW_TRANS_PROTO_ANY;
    office->msgType = FW_ICMP_ANY;
    office->matches.push_back(intValue(FW_MATCH_DIRECTION, FW_DIRECTION_EITHER));
    office->matches.push_back(intValue(FW_MATCH_PHYSICAL_MEDIUM, IF_ALL));

    SFRule* portRule = rule(*office, "0b0b0b0b-0001-0002-8081-fffefdfcfbfa", "Ports of every kind",
                            {ports(FW_MATCH_LOCAL_PORT, FW_ADDRESS_TYPE_SINGLE, 22, 0),
                             ports(FW_MATCH_REMOTE_PORT, FW_ADDRESS_TYPE_PORT_RANGE, 1000, 2000),
                             ports(FW_MATCH_LOCAL_PORT_2, FW_ADDRESS_TYPE_SINGLE, 2222, 0),
                             ports(FW_MATCH_REMOTE_PORT_2, FW_ADDRESS_TYPE_PORT_RANGE, 1, 65535),
                             ports(FW_MATCH_LOCAL_PORT, FW_ADDRESS_TYPE_ANY_LOCAL_IP, 9, 0)});
    portRule->treatAsIntrusion = true;
    portRule->logEnabled = true;

    SFMatch* cidr = match(FW_MATCH_LOCAL_IP_ADDRESS_2, FW_ADDRESS_TYPE_CIDR);
    cidr->setCidrIPAddress(24, "192.168.0.0");
    SFMatch* domain = match(FW_MATCH_REMOTE_IP_ADDRESS_2, FW_ADDRESS_TYPE_DOMAIN_NAME);
    domain->setFQDNString("updates.example.org");
    SFRule* addressRule =
        rule(*office, "0c0c0c0c-0003-0004-0506-0708090a0b0c", "Addresses",
             {address(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE, "127.0.0.1"),
              address(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_IP_RANGE, "10.0.0.1", "10.0.0.9"),
              cidr, domain, match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_TRUSTED),
              match(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_ANY_LOCAL_IP),
              match(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_LOCAL_SUBNET),
              match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_ANY_IPV4_ADD)});
    addressRule->adaptiveKey = 77;
    addressRule->description = "learned";

    MatchSchedule schedule{};
    std::strcpy(schedule.startTime, "08:00");
    std::strcpy(schedule.endTime, "17:30");
    std::strcpy(schedule.days, "Mon,Tue");
    schedule.daysMask = 6;
    schedule.scheduleAction = FW_SCHEDULE_ACTION_REVERSE;
    SFMatch* scheduled = match(FW_MATCH_SCHEDULE, 0);
    scheduled->setSchedule(schedule);
    SFRule* timed = rule(*office, "0d0d0d0d-0005-0006-0000-000000000000", "Office hours",
                         {intValue(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND),
                          intValue(FW_MATCH_PHYSICAL_MEDIUM, FW_PHYSICAL_MEDIUM_WIRELESS),
                          scheduled});
    timed->action = FW_ACTION_BLOCK_PACKET;
    timed->treatAsIntrusion = true;
    timed->enabled = false;
    return table;
}

TrustedSample::TrustedSample()
{
    auto* single = new SFTrustedGroupIP();
    single->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    single->setStartIp4Address("10.1.2.3");
    auto* range = new SFTrustedGroupIP();
    range->type = FW_TRUSTED_ADDRESS_TYPE_IP_RANGE;
    range->setStartIp4Address("10.0.0.1");
    range->setEndIp4Address("10.0.0.9");
    auto* cidr = new SFTrustedGroupIP();
    cidr->type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
    cidr->setCidrIPAddress(24, "192.168.0.0");
    auto* subnet = new SFTrustedGroupIP();
    subnet->type = FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
    entries = {single, range, cidr, subnet};
}

TrustedSample::~TrustedSample()
{
    for (SFTrustedGroupIP* entry : entries)
        delete entry;
}

} // namespace migration
} // namespace TestSupport
