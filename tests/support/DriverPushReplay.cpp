#include "DriverPushReplay.h"

#include "IConfigController.h"
#include "SFException.h"
#include "SFIptablesUtils.h"

#include <cstring>
#include <list>

using namespace StatefulFirewall;

namespace TestSupport {

namespace {

SFMatch match(int kind, int format)
{
    SFMatch m;
    m.matchType = kind;
    m.addressType = format;
    m.matchOp = FW_MATCH_OP_EQUAL;
    return m;
}

std::list<SFMatch*> pointers(const std::vector<SFMatch>& matches)
{
    std::list<SFMatch*> list;
    for (const SFMatch& m : matches)
        list.push_back(const_cast<SFMatch*>(&m));
    return list;
}

KSFRule record(const ReplayRule& rule)
{
    KSFRule r{};
    std::strncpy(r.name, rule.name.c_str(), sizeof(r.name) - 1);
    r.action = rule.action;
    r.transport = rule.transport;
    r.netProto = NET_PROTO_IP;
    r.msgType = rule.icmpType;
    r.enabled = 1;
    r.logEnabled = rule.log ? 1 : 0;
    r.treatAsIntrusion = rule.intrusion ? 1 : 0;
    r.matchCount = static_cast<int>(rule.matches.size());
    return r;
}

} // namespace

SFMatch portMatch(int kind, uint16_t port, uint16_t lastPort)
{
    SFMatch m = match(kind, lastPort != 0 ? FW_ADDRESS_TYPE_PORT_RANGE : FW_ADDRESS_TYPE_SINGLE);
    m.setPortNumber(port, lastPort);
    return m;
}

SFMatch directionMatch(int direction)
{
    SFMatch m = match(FW_MATCH_DIRECTION, FW_ADDRESS_TYPE_INVALID);
    m.value.intValue = direction;
    return m;
}

SFMatch mediumMatch(int medium)
{
    SFMatch m = match(FW_MATCH_PHYSICAL_MEDIUM, FW_ADDRESS_TYPE_INVALID);
    m.value.intValue = medium;
    return m;
}

SFMatch rangeMatch(int kind, const char* first, const char* last)
{
    SFMatch m = match(kind, FW_ADDRESS_TYPE_IP_RANGE);
    m.setStartIp4Address(first);
    m.setEndIp4Address(last);
    return m;
}

SFMatch singleMatch(int kind, const char* address)
{
    SFMatch m = match(kind, FW_ADDRESS_TYPE_SINGLE);
    m.setStartIp4Address(address);
    return m;
}

SFMatch scheduleMatch(const char* start, const char* end, const char* days, int action)
{
    SFMatch m = match(FW_MATCH_SCHEDULE, FW_ADDRESS_TYPE_INVALID);
    MatchSchedule s{};
    std::strncpy(s.startTime, start, sizeof(s.startTime) - 1);
    std::strncpy(s.endTime, end, sizeof(s.endTime) - 1);
    std::strncpy(s.days, days, sizeof(s.days) - 1);
    s.scheduleAction = action;
    m.setSchedule(s);
    return m;
}

ReplayResult replayPush(INetfilter& driver, IConfigController& config, const ReplayTable& table)
{
    ReplayResult result;
    try {
        driver.saveDefaultDropRulesToPreviousPolicy();
        config.setPreviousUniqueId(config.getUniqueId());
        driver.saveIptablesChainsToPreviousPolicy();
        config.setUniqueId(std::to_string(config.getGlobalEnforcementPolicyUniqueId()));
        driver.addVarnikInputOutputChains(config.getUniqueId());
        driver.addRelEstRuleToNetfilter(true);
        driver.addBlockEventChain();
    } catch (const SFException&) {
        return result;
    }
    result.switched = true;

    const SFIptablesUtils utils;
    unsigned short mark = 257;
    bool lastResult = true;
    std::vector<bool> created(table.groups.size(), false);
    auto enforce = [&](const ReplayGroup& group, bool primary) {
        const auto direction = static_cast<SFwDirection>(utils.getGroupDirection(pointers(group.matches)));
        const size_t count = group.rules.size();
        for (size_t p = 1; p <= count; ++p) {
            const ReplayRule& rule = group.rules[p - 1];
            if (rule.jumpTo >= 0) {
                const ReplayGroup& target = table.groups[static_cast<size_t>(rule.jumpTo)];
                created[static_cast<size_t>(rule.jumpTo)] = driver.createNetfilterGroup(
                    target.chainName, NET_PROTO_IP, static_cast<SFwTransProtocol>(target.transport),
                    static_cast<SFMsgType>(target.icmpType), pointers(target.matches), table.trusted);
                continue;
            }
            const bool last = primary ? p + 2 == count : (group.chainName == "QTZ_Client" && p == count);
            KSFRule r = record(rule);
            try {
                lastResult = driver.addRuleToNetfilterGroup(r, pointers(rule.matches), group.chainName,
                                                            primary, table.trusted, direction, mark, last);
                if (lastResult)
                    result.marks.push_back(mark++);
            } catch (const SFException&) {
                // The bridge logs it and goes on with the next rule.
            }
        }
    };

    try {
        enforce(table.primary, true);
        for (size_t i = 0; i < table.groups.size(); ++i) {
            if (created[i])
                enforce(table.groups[i], false);
        }
        if (!table.adaptiveGroup.empty()) {
            driver.addOrDeleteQueueGroupWithJumpRule(true);
            driver.addRulesToQueueGroup();
            driver.addOrDeleteConnmarkRestoreRule(true);
            driver.appendQueueRuleToAdaptiveGroup(table.adaptiveGroup);
        }
        driver.addRedirectionRulesToInputOutputChains();
        driver.setNetfilterPolicyToAccept(false);
        driver.flushDefaultDropRulesOfPreviousPolicy();
        driver.flushIptablesInPreviousPolicy();
    } catch (const SFException&) {
        try {
            driver.addRelEstRuleToNetfilter(false);
        } catch (const SFException&) {
        }
        return result;
    }
    result.pushed = lastResult;
    return result;
}

void replayDisable(INetfilter& driver)
{
    try {
        driver.setNetfilterPolicyToAccept(true);
        driver.flushIptablesDefaultDropRule();
        driver.flushIptablesInCurrentPolicy();
    } catch (const SFException&) {
        // The bridge logs it; what stands is for the test to look at.
    }
}

} // namespace TestSupport
