// The policy plug-in behind the in-memory agent: entry and options, trusted networks, the
// translation of rules, aggregations and groups into the rule table, change detection and the
// conversion edge cases.

#include "AgentPluginRig.h"

#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFResultCodes.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <iostream>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

const std::string kRuleA = "11111111-0000-0000-0000-000000000001";
const std::string kRuleB = "11111111-0000-0000-0000-000000000002";
const std::string kJump = "11111111-0000-0000-0000-000000000003";
const std::string kInner = "11111111-0000-0000-0000-000000000004";
const std::string kAgg = "22222222-0000-0000-0000-000000000001";

class SFPluginPolicyEnforcementTest : public ::testing::Test {
protected:
    // The rules of the policy's groups and the default group's rules of the policy, as
    // "name|action|transport|match values" lines in table order.
    std::vector<std::string> policyRules()
    {
        std::vector<std::string> lines;
        for (const auto& group : m_rig.manager()->snapshot().groups)
            for (const SFRule* rule : group->rules) {
                if (rule->name.find("11111111-") == std::string::npos &&
                    rule->name != "Jump to group jumpers")
                    continue;
                std::string line = rule->name + "|" + std::to_string(rule->action) + "|" +
                                   std::to_string(rule->transport);
                for (const SFMatch* match : rule->matches)
                    line += "|" + std::to_string(match->matchType) + ":" + match->getMatchValueString();
                lines.push_back(line);
            }
        return lines;
    }

    bool exists(const std::string& path) { return boost::filesystem::exists(path); }

    void TearDown() override
    {
        if (HasFailure())
            for (const LogLine& line : m_rig.m_logger.lines())
                if (line.level <= 2)
                    std::cerr << line.level << " " << line.message << "\n";
    }

    AgentPluginRig m_rig;
};

TEST_F(SFPluginPolicyEnforcementTest, EntryAndOptions)
{
    const std::string rules = readFile(m_rig.m_dir.file("rules"));
    // Another software's policy changes nothing.
    EXPECT_EQ(m_rig.deliver(PolicyText("OTHER").option("FWStatus", "0")), 0);
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::enabled), "1");
    EXPECT_EQ(readFile(m_rig.m_dir.file("rules")), rules);
    EXPECT_TRUE(m_rig.m_logger.has(2, "Policy is not for our software ID so ignoring."));

    // EnforcePolicy 0 applies nothing.
    EXPECT_EQ(m_rig.deliver(PolicyText().enforce("0").option("FWStatus", "0")), 1);
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::enabled), "1");
    EXPECT_FALSE(m_rig.m_controller->getPolicyFirewallStatusSet());

    // A client rule that "MergeRules" 0 flushes while "FWStatus" 2 disables the firewall.
    auto client = std::make_unique<SFRule>();
    client->groupId = model::kClient;
    client->ruleId = CommonFunc::generateGUID();
    client->name = "client";
    client->action = FW_ACTION_ALLOW;
    ASSERT_EQ(m_rig.manager()->addRule(client.get()), SF_SUCCESS);
    client.release();
    m_rig.manager()->updateRuleStore();

    EXPECT_EQ(m_rig.deliver(PolicyText().option("FWStatus", "2").option("MergeRules", "0")
                                .option("TCPTimeout", "45").option("_AddressType", "0")),
              1);
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::enabled), "0");
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::retain), "0");
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::tcpTimeout), "45");
    EXPECT_TRUE(m_rig.m_controller->getPolicyFirewallStatusSet());
    EXPECT_FALSE(m_rig.m_controller->getPolicyFirewallStatus());
    EXPECT_FALSE(m_rig.manager()->isClientSideRulesPresent());
    // Disabled: the flush and the rebuild write the store but never push.
    EXPECT_EQ(m_rig.pushes(), 0u);
    SFRuleTable reloaded;
    decodeRuleStore(readFile(m_rig.m_dir.file("rules")), reloaded);
    for (const SFRuleGroup* group : reloaded.groups) {
        if (sameGuidBytes(group->groupId, model::kClient)) {
            EXPECT_TRUE(group->rules.empty());
        }
    }

    // Numbers that are not numbers, and a schedule without a week mask: false, nothing thrown,
    // the table as it was.
    ASSERT_EQ(m_rig.deliver(PolicyText().option("_AddressType", "0").sequence("", {kRuleA})
                                .rule(kRuleA, "ALLOW", {})),
              1);
    const std::vector<std::string> before = policyRules();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(m_rig.deliver(PolicyText().option("FWStatus", "abc")), 0);
    EXPECT_EQ(m_rig.deliver(PolicyText().option("_AddressType", "0").sequence("", {kRuleB})
                                .rule(kRuleB, "BLOCK", {{"ScheduleEnabled", "1"}})),
              0);
    EXPECT_EQ(policyRules(), before);
    EXPECT_TRUE(m_rig.m_logger.count(2) >= 2u);
}

TEST_F(SFPluginPolicyEnforcementTest, TrustedNetworks)
{
    // Dotted and mapped single addresses, ranges and networks; the walk ends at the first empty
    // value; untrusted, invalid and duplicate entries add nothing.
    const PolicyText policy = PolicyText().trusted({
        {"SingleIP", "10.1.1.1"},
        {"SingleIP", mapped("10.1.1.2")},
        {"Range", "10.2.0.1-10.2.0.9"},
        {"Range", mapped("10.3.0.1") + "-" + mapped("10.3.0.9")},
        {"Subnet", "10.4.0.0/16"},
        {"Subnet", mapped("10.5.0.0") + "/104"},
        {"SingleIP", "10.6.0.1", "0"},
        {"SingleIP", "10.1.1.1"},
        {"Subnet", "10.7.0.0/256"},
        {"Subnet", "10.7.0.0/33"},
        {"Subnet", "x/24"},
        {"Range", "10.8.0.1"},
        {"LocalSubnet", "ignored", "1"},
        {"SingleIP", ""},
        {"SingleIP", "10.9.9.9"},
    });
    EXPECT_EQ(m_rig.deliver(policy), 1);
    const std::vector<std::string> expected = {"10.1.1.1", "10.1.1.2", "10.2.0.1-10.2.0.9",
                                               "10.3.0.1-10.3.0.9", "10.4.0.0/16", "10.5.0.0/8"};
    EXPECT_EQ(m_rig.trustedValues(), expected);
    std::vector<std::string> stored = model::storedValues(m_rig.m_dir.file("trusted"));
    stored.erase(std::remove(stored.begin(), stored.end(), "NOT SET"), stored.end());
    EXPECT_EQ(stored, expected);
    // "LocalSubnet" trusted: the setting follows.
    EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::trustSubnet), "1");

    // The same networks in another order: no store write, no forced rebuild.
    boost::filesystem::remove(m_rig.m_dir.file("trusted"));
    const size_t forced = m_rig.m_logger.lines().size();
    EXPECT_EQ(m_rig.deliver(PolicyText().trusted({
                  {"Subnet", "10.5.0.0/8"}, {"SingleIP", "10.1.1.2"}, {"Range", "10.3.0.1-10.3.0.9"},
                  {"SingleIP", "10.1.1.1"}, {"Range", "10.2.0.1-10.2.0.9"}, {"Subnet", "10.4.0.0/16"},
                  {"LocalSubnet", "", "1"}})),
              1);
    EXPECT_FALSE(exists(m_rig.m_dir.file("trusted")));
    const auto lines = m_rig.m_logger.lines();
    EXPECT_TRUE(std::none_of(lines.begin() + static_cast<long>(forced), lines.end(), [](const LogLine& l) {
        return l.message.find("Trusted networks has changed") != std::string::npos;
    }));

    // Current {A,B}, policy {A,A}: B is no longer trusted.
    EXPECT_EQ(m_rig.deliver(PolicyText().trusted({{"SingleIP", "10.0.0.1"}, {"SingleIP", "10.0.0.2"},
                                                  {"LocalSubnet", "", "1"}})),
              1);
    EXPECT_EQ(m_rig.deliver(PolicyText().trusted({{"SingleIP", "10.0.0.1"}, {"SingleIP", "10.0.0.1"},
                                                  {"LocalSubnet", "", "1"}})),
              1);
    EXPECT_EQ(m_rig.trustedValues(), std::vector<std::string>{"10.0.0.1"});

    // A store that cannot be written fails the policy.
    m_rig.m_config.set(FakeConfigController::path::trustedStore, m_rig.m_dir.file("missing/trusted"));
    EXPECT_EQ(m_rig.deliver(PolicyText().trusted({{"SingleIP", "10.0.0.3"}, {"LocalSubnet", "", "1"}})), 0);
    EXPECT_TRUE(m_rig.m_logger.has(2, "Unable to write the trusted network store"));
    EXPECT_EQ(m_rig.trustedValues(), std::vector<std::string>{"10.0.0.3"});
}

TEST_F(SFPluginPolicyEnforcementTest, GoldenTranslation)
{
    const PolicyText policy =
        PolicyText()
            .option("_AddressType", "0")
            .sequence("", {kRuleA, kRuleB, kJump})
            .sequence(kJump, {kInner})
            .rule(kRuleA, "ALLOW", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "6"},
                                    {"_LocalPort", "1"}, {"+LocalPort#0", "22,1000-2000"}})
            .rule(kRuleB, "BLOCK", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "17"},
                                    {"_AggRef", "1"}, {"+AggRef#0", kAgg}})
            .aggregation(kAgg, 65546,
                         {"[trusted]", mapped("10.0.0.1") + "-" + mapped("10.0.0.5"),
                          mapped("10.9.0.0") + "/104"})
            .rule(kJump, "JUMP", {{"Name", "jumpers"}, {"Direction", "IN"}})
            .rule(kInner, "ALLOW", {{"_RemotePort", "1"}, {"+RemotePort#0", "443"}});
    ASSERT_EQ(m_rig.deliver(policy), 1);
    const std::vector<std::string> expected = {
        // The jump group's rule comes first: the group stands after the default group.
        "rule " + kRuleA + "|1|6|1:22|1:1000-2000|10:IF_ALL|5:FW_DIRECTION_EITHER",
        "rule " + kRuleB + "|2|17|10:IF_ALL|5:FW_DIRECTION_EITHER|4:[Trusted]|4:10.0.0.1-10.0.0.5|4:10.9.0.0/8",
        "Jump to group jumpers|6|0",
        "rule " + kInner + "|1|1024|3:443|10:IF_ALL|5:FW_DIRECTION_EITHER",
    };
    EXPECT_EQ(policyRules(), expected);

    const SFRuleTableSnapshot table = m_rig.manager()->snapshot();
    std::vector<std::string> order;
    for (const auto& group : table.groups)
        order.push_back(CommonFunc::textGUID(group->groupId));
    const auto defaultAt = std::find(order.begin(), order.end(), SF_DEFAULT_GROUP_ID);
    const auto jumpAt = std::find(order.begin(), order.end(), kJump);
    ASSERT_NE(jumpAt, order.end());
    EXPECT_LT(defaultAt, jumpAt);
    const SFRuleGroup& jump = *table.groups[static_cast<size_t>(jumpAt - order.begin())];
    EXPECT_EQ(jump.name, "jumpers");
    std::vector<std::string> groupMatches;
    for (const SFMatch* match : jump.matches)
        groupMatches.push_back(match->getMatchValueString());
    EXPECT_EQ(groupMatches, (std::vector<std::string>{"IF_ALL", "FW_DIRECTION_INBOUND"}));
    ASSERT_EQ(jump.rules.size(), 1u);
    EXPECT_TRUE(sameGuidBytes(jump.rules.front()->groupId, jump.groupId));

    // The store holds the same table.
    SFRuleTable reloaded;
    decodeRuleStore(readFile(m_rig.m_dir.file("rules")), reloaded);
    ASSERT_EQ(reloaded.groups.size(), table.groups.size());
    auto stored = reloaded.groups.begin();
    for (const auto& group : table.groups)
        EXPECT_TRUE(**stored++ == *group) << group->name;
    EXPECT_EQ(m_rig.pushes(), 1u);
}

TEST_F(SFPluginPolicyEnforcementTest, ChangeDetection)
{
    auto policy = [](const std::string& stamp, std::vector<std::string> order) {
        return PolicyText()
            .option("_AddressType", "0")
            .sequence("", order)
            .rule(kRuleA, "ALLOW", {{"LastModified", stamp}})
            .rule(kRuleB, "BLOCK", {});
    };
    ASSERT_EQ(m_rig.deliver(policy("t1", {kRuleA, kRuleB})), 1);
    EXPECT_EQ(m_rig.pushes(), 1u);

    // The same policy: no push, no store write.
    boost::filesystem::remove(m_rig.m_dir.file("rules"));
    EXPECT_EQ(m_rig.deliver(policy("t1", {kRuleA, kRuleB})), 1);
    EXPECT_EQ(m_rig.pushes(), 1u);
    EXPECT_FALSE(exists(m_rig.m_dir.file("rules")));
    EXPECT_TRUE(m_rig.m_logger.has(6, "Skipping rule enforcement since there were no change in rule "
                                      "policy, list of Trusted networks or the local Ip Address "
                                      "configuration"));

    // A changed stamp, a new order and a changed network each rebuild.
    EXPECT_EQ(m_rig.deliver(policy("t2", {kRuleA, kRuleB})), 1);
    EXPECT_EQ(m_rig.pushes(), 2u);
    EXPECT_EQ(m_rig.deliver(policy("t2", {kRuleB, kRuleA})), 1);
    EXPECT_EQ(m_rig.pushes(), 3u);
    EXPECT_EQ(policyRules().front().substr(0, 41), "rule " + kRuleB);
    m_rig.m_monitor.setNetworkChanged(true);
    EXPECT_EQ(m_rig.deliver(policy("t2", {kRuleB, kRuleA})), 1);
    EXPECT_EQ(m_rig.pushes(), 4u);

    // A failed push fails the policy, and the same policy again is applied again.
    m_rig.m_bridge.answer("SendRuleAndGroupDataToKext", false);
    EXPECT_EQ(m_rig.deliver(policy("t3", {kRuleB, kRuleA})), 0);
    m_rig.m_bridge.answer("SendRuleAndGroupDataToKext", true);
    EXPECT_EQ(m_rig.deliver(policy("t3", {kRuleB, kRuleA})), 1);
    EXPECT_EQ(m_rig.pushes(), 6u);

    // So does a rule store that cannot be written; once it can, the same policy writes it.
    const std::string store = m_rig.m_dir.file("rules");
    m_rig.m_config.set(FakeConfigController::path::ruleStore, m_rig.m_dir.file("missing/rules"));
    EXPECT_EQ(m_rig.deliver(policy("t4", {kRuleB, kRuleA})), 0);
    m_rig.m_config.set(FakeConfigController::path::ruleStore, store);
    boost::filesystem::remove(store);
    EXPECT_EQ(m_rig.deliver(policy("t4", {kRuleB, kRuleA})), 1);
    EXPECT_TRUE(exists(store));
}

// A policy that cannot be read at the options, the trusted networks or the rule list changes
// nothing: settings, trusted networks, rules, both stores, the bridge and the monitor's changed
// flag stay as they were. The corrected policy after it is then compared with what is in force
// and applied whole, although its trusted list and stamps equal the failed one's.
TEST_F(SFPluginPolicyEnforcementTest, AFailedPolicyChangesNothingAndTheCorrectedOneAppliesWhole)
{
    auto policy = [](const std::string& trusted, const std::string& timeout, const std::string& stamp,
                     const PolicyText::Keys& optionFaults, const PolicyText::Keys& ruleFaults) {
        PolicyText text;
        text.option("FWStatus", "1").option("TCPTimeout", timeout);
        text.trusted({{"SingleIP", trusted}, {"LocalSubnet", "", "0"}});
        // Later lines replace earlier ones, so a fault may also replace a count.
        for (const auto& key : optionFaults)
            text.option(key.first, key.second);
        PolicyText::Keys ruleKeys{{"LastModified", stamp}, {"_AggRef", "1"}, {"+AggRef#0", kAgg}};
        ruleKeys.insert(ruleKeys.end(), ruleFaults.begin(), ruleFaults.end());
        return text.sequence("", {kRuleA})
            .aggregation(kAgg, 65546, {"[trusted]"})
            .rule(kRuleA, "ALLOW", ruleKeys);
    };
    struct Case {
        const char* stage;
        PolicyText::Keys optionFaults;
        PolicyText::Keys ruleFaults;
    };
    const std::vector<Case> cases = {
        {"options: a timeout that is no number", {{"VCTimeout", "x30"}}, {}},
        {"trusted networks: an IsTrusted that is no number", {{"+IsTrusted#0", "yes"}}, {}},
        {"trusted networks: a count above the entries", {{"_AddressType", "3"}}, {}},
        {"rules: a week mask that is no number", {}, {{"ScheduleEnabled", "1"}, {"WeekMask", "x62"}}},
        {"rules: a schedule without week mask", {}, {{"ScheduleEnabled", "1"}}},
        {"rules: a port count above the entries", {}, {{"_LocalPort", "2"}, {"+LocalPort#0", "22"}}},
    };

    ASSERT_EQ(m_rig.deliver(policy("10.1.1.0", "40", "s0", {}, {})), 1);
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        ++round;
        const std::string next = "10.2.2." + std::to_string(round);
        const std::string timeout = std::to_string(40 + round);
        const std::string stamp = "s" + std::to_string(round);

        const std::vector<std::string> trustedBefore = m_rig.trustedValues();
        const std::vector<std::string> rulesBefore = policyRules();
        const std::string ruleStore = readFile(m_rig.m_dir.file("rules"));
        const std::string trustedStore = readFile(m_rig.m_dir.file("trusted"));
        const std::string timeoutBefore = m_rig.m_config.get(FakeConfigController::path::tcpTimeout);
        const std::vector<std::string> bridgeCalls = m_rig.m_bridge.calls();
        const size_t refusals = m_rig.m_logger.count(2);
        m_rig.m_monitor.setNetworkChanged(true);

        EXPECT_EQ(m_rig.deliver(policy(next, timeout, stamp, c.optionFaults, c.ruleFaults)), 0);
        EXPECT_EQ(m_rig.m_logger.count(2), refusals + 1);
        const auto lines = m_rig.m_logger.lines();
        EXPECT_EQ(lines.back().level, 2);
        EXPECT_EQ(lines.back().message.rfind("Policy refused, nothing was applied: ", 0), 0u)
            << lines.back().message;
        EXPECT_EQ(m_rig.trustedValues(), trustedBefore);
        EXPECT_EQ(policyRules(), rulesBefore);
        EXPECT_EQ(readFile(m_rig.m_dir.file("rules")), ruleStore);
        EXPECT_EQ(readFile(m_rig.m_dir.file("trusted")), trustedStore);
        EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::tcpTimeout), timeoutBefore);
        EXPECT_EQ(m_rig.m_bridge.calls(), bridgeCalls);
        // The change is left for the health-check thread.
        EXPECT_TRUE(m_rig.m_monitor.hasNetworkChanged());

        const size_t pushes = m_rig.pushes();
        EXPECT_EQ(m_rig.deliver(policy(next, timeout, stamp, {}, {})), 1);
        EXPECT_EQ(m_rig.trustedValues(), std::vector<std::string>{next});
        EXPECT_EQ(m_rig.m_config.get(FakeConfigController::path::tcpTimeout), timeout);
        EXPECT_EQ(m_rig.pushes(), pushes + 1);
    }
}

// One rule's keys against what reaches the table ("" when the rule is dropped).
TEST_F(SFPluginPolicyEnforcementTest, ConversionTable)
{
    const std::string mappedNet = mapped("10.0.0.0");
    struct Case {
        const char* what;
        PolicyText::Keys keys;
        std::string expected; // the rule line without its name, or "" when dropped
        std::string aggregation = std::string();
    };
    const std::vector<Case> cases = {
        {"transport 47 kept", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "47"}},
         "1|47|10:IF_ALL|5:FW_DIRECTION_EITHER"},
        {"transport 58 dropped", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "58"}}, ""},
        {"message type 255 is any", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "1"},
                                     {"_MessageType", "1"}, {"+MessageType#0", "255"}},
         "1|1|10:IF_ALL|5:FW_DIRECTION_EITHER"},
        {"message type 7 dropped", {{"_TransportProtocol", "1"}, {"+TransportProtocol#0", "1"},
                                    {"_MessageType", "1"}, {"+MessageType#0", "7"}}, ""},
        {"three media are all", {{"_PhysicalMedium", "3"}, {"+PhysicalMedium#0", "WIRED"}},
         "1|1024|10:IF_ALL|5:FW_DIRECTION_EITHER"},
        {"two media", {{"_PhysicalMedium", "2"}, {"+PhysicalMedium#0", "WIRED"}, {"+PhysicalMedium#1", "VPN"}},
         "1|1024|10:FW_PHYSICAL_MEDIUM_WIRED|10:FW_PHYSICAL_MEDIUM_VIRTUAL|5:FW_DIRECTION_EITHER"},
        {"application section", {{"_AppName", "1"}}, ""},
        {"timed group", {{"ClickTimeout", "1"}}, ""},
        {"direction BOTH", {{"Direction", "BOTH"}}, ""},
        {"special IPv6 rule", {{"ViewOnly", "1"}, {"GUID", "AE02D3DB-11E3-4FDB-9F7D-F004CEE03E23"}}, ""},
        {"week mask 5", {{"ScheduleEnabled", "1"}, {"WeekMask", "5"}, {"ScheduleStartHours", "08"},
                         {"ScheduleStartMinutes", "00"}, {"ScheduleEndHours", "17"},
                         {"ScheduleEndMinutes", "30"}, {"OffHours", "SWITCH"}},
         "1|1024|10:IF_ALL|5:FW_DIRECTION_EITHER|11:startTime: 08:00endTime: 17:30days: Sun,Tue,daysMask:5Action: 1"},
        {"week mask 0", {{"ScheduleEnabled", "1"}, {"WeekMask", "0"}, {"ScheduleStartHours", "08"},
                         {"ScheduleStartMinutes", "00"}, {"ScheduleEndHours", "17"},
                         {"ScheduleEndMinutes", "30"}, {"OffHours", "NONE"}},
         "1|1024|10:IF_ALL|5:FW_DIRECTION_EITHER|11:startTime: 08:00endTime: 17:30days: Sun,Mon,Tue,Wed,Thu,Fri,Sat,daysMask:0Action: 0"},
        {"port 70000", {{"_LocalPort", "1"}, {"+LocalPort#0", "70000"}}, ""},
        {"port abc", {{"_RemotePort", "1"}, {"+RemotePort#0", "abc"}}, ""},
        {"range backwards", {{"_RemotePort", "1"}, {"+RemotePort#0", "90-80"}}, ""},
        {"CIDR /104", {{"_AggRef", "1"}, {"+AggRef#0", kAgg}},
         "1|1024|10:IF_ALL|5:FW_DIRECTION_EITHER|2:10.0.0.0/8", mappedNet + "/104"},
        {"CIDR /95 drops the rule", {{"_AggRef", "1"}, {"+AggRef#0", kAgg}}, "", mappedNet + "/95"},
        {"CIDR /129 drops the rule", {{"_AggRef", "1"}, {"+AggRef#0", kAgg}}, "", mappedNet + "/129"},
        {"256-character domain", {{"_AggRef", "1"}, {"+AggRef#0", kAgg}}, "", std::string(252, 'a') + ".com"},
        {"undefined aggregation", {{"_AggRef", "1"}, {"+AggRef#0", "no-such"}},
         "1|1024|10:IF_ALL|5:FW_DIRECTION_EITHER"},
    };
    int stamp = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PolicyText::Keys keys = c.keys;
        keys.push_back({"LastModified", "s" + std::to_string(++stamp)});
        PolicyText policy;
        policy.option("_AddressType", "0").sequence("", {kRuleA}).rule(kRuleA, "ALLOW", keys);
        if (!c.aggregation.empty()) {
            PolicyText::Keys agg{{"GUID", kAgg}, {"LastModified", "a" + std::to_string(stamp)},
                                 {"Type", "65541"}, {"_LocalAddress", "1"}, {"+LocalAddress#0", c.aggregation}};
            policy.setting("AggregateCriterion", "agg", agg);
        }
        ASSERT_EQ(m_rig.deliver(policy), 1);
        const std::vector<std::string> rules = policyRules();
        if (c.expected.empty()) {
            EXPECT_TRUE(rules.empty()) << (rules.empty() ? "" : rules.front());
        } else {
            ASSERT_EQ(rules.size(), 1u);
            EXPECT_EQ(rules.front(), "rule " + kRuleA + "|" + c.expected);
        }
    }
}

// Settings whose TCP timeout cannot be written, as a read-only settings file would answer.
class ReadOnlyTimeoutConfig : public FakeConfigController {
public:
    int setFwTCPConTimeout(int) override { return SF_PREF_WRITE_FAILED; }
};

TEST(SFPluginPolicyEnforcementSettingsTest, AFailedSettingWriteFailsThePolicyAndTheOtherOptionsStillApply)
{
    AgentPluginRig rig(std::make_unique<ReadOnlyTimeoutConfig>());
    EXPECT_EQ(rig.deliver(PolicyText().option("TCPTimeout", "45").option("VCTimeout", "50")
                              .option("_AddressType", "0").sequence("", {kRuleA}).rule(kRuleA, "ALLOW", {})),
              0);
    EXPECT_EQ(rig.m_config.get(FakeConfigController::path::udpTimeout), "50");
    EXPECT_TRUE(rig.m_logger.has(2, "Error Firewall Options Policy enforcement failed "));
    // The rules were still applied.
    EXPECT_EQ(rig.pushes(), 1u);
}

} // namespace
