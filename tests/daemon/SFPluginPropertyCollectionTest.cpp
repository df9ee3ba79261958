// The property plug-in behind the in-memory agent: the JSON rule list and its pieces, the
// product and compliance properties, the size limits, and collections and policies racing
// changes of the client and adaptive rules.

#include "AgentPluginRig.h"

#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <sstream>
#include <thread>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Properties = std::vector<ZAV::StandInSectionsHandle::Property>;

SFMatch* portMatch(int kind, int port, int last = 0)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->addressType = last ? FW_ADDRESS_TYPE_PORT_RANGE : FW_ADDRESS_TYPE_SINGLE;
    match->setPortNumber(static_cast<uint16_t>(port), static_cast<uint16_t>(last));
    return match;
}

SFMatch* addressMatch(int kind, const char* start, const char* end = nullptr)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->addressType = end ? FW_ADDRESS_TYPE_IP_RANGE : FW_ADDRESS_TYPE_SINGLE;
    match->setStartIp4Address(start);
    if (end)
        match->setEndIp4Address(end);
    return match;
}

class SFPluginPropertyCollectionTest : public ::testing::Test {
protected:
    // The client group starts with its built-in rules; the tests report their own only.
    void SetUp() override { m_rig.manager()->flushClientSideRules(); }

    // Adds a rule to the client group; its identifier ends in the given number.
    SFRule& addClientRule(int number, const std::string& name, int action, int transport,
                          int netProto, std::vector<SFMatch*> matches, const GUID& group = model::kClient)
    {
        auto rule = std::make_unique<SFRule>();
        char id[40];
        std::snprintf(id, sizeof(id), "33333333-0000-0000-0000-%012d", number);
        rule->ruleId = CommonFunc::getGUIDFromString(id);
        rule->groupId = group;
        rule->name = name;
        rule->action = action;
        rule->transport = transport;
        rule->netProto = netProto;
        rule->enabled = true;
        for (SFMatch* match : matches)
            rule->addMatch(match);
        SFRule& kept = *rule;
        EXPECT_EQ(m_rig.manager()->addRule(rule.release()), SF_SUCCESS);
        return kept;
    }

    Properties collect(bool all = true)
    {
        Properties properties;
        EXPECT_EQ(m_rig.m_agent.collect(all, properties), 1);
        return properties;
    }

    std::map<std::string, std::string> byName(const Properties& properties)
    {
        std::map<std::string, std::string> values;
        for (const auto& p : properties)
            values[p.section + "/" + p.name] = p.value;
        return values;
    }

    // The pieces of the rule list joined, with their names.
    std::string json(const Properties& properties, std::vector<std::string>* names = nullptr)
    {
        std::string text;
        for (const auto& p : properties)
            if (p.section == "ClientPolicy") {
                text += p.value;
                if (names)
                    names->push_back(p.name);
            }
        return text;
    }

    AgentPluginRig m_rig;
};

TEST_F(SFPluginPropertyCollectionTest, GoldenRuleList)
{
    addClientRule(1, "ssh \"in\"", FW_ACTION_ALLOW, 6, 2048, {portMatch(FW_MATCH_LOCAL_PORT, 22)});
    auto* schedule = new SFMatch();
    schedule->matchType = FW_MATCH_SCHEDULE;
    addClientRule(2, "timed", FW_ACTION_ALLOW, 6, 2048, {schedule});
    addClientRule(3, "range", FW_ACTION_BLOCK_PACKET, 1024, 1,
                  {portMatch(FW_MATCH_REMOTE_PORT, 1000, 2000),
                   addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "10.0.0.1", "10.0.0.9")});
    addClientRule(4, "nothing", FW_ACTION_ALLOW, 1024, 1, {});
    SFRule& icmp = addClientRule(5, "icmp", FW_ACTION_ALLOW, 1, 2048, {});
    (void)icmp;
    addClientRule(6, "adaptive", FW_ACTION_ALLOW, 17, 2048, {portMatch(FW_MATCH_LOCAL_PORT, 53)},
                  model::kAdaptive);

    const std::string match = "{\"@_NodeName\":\"match\",\"type\":";
    auto proto = [&](const char* type, int value) {
        return match + "\"" + type + "\",\"subType\":\"NOT SPECIFIED\",\"enabled\":true,\"operator\":"
                                     "\"FW_MATCH_OP_EQUAL\",\"isRange\":false,\"isTime\":false,\"value1\":\"" +
               std::to_string(value) + "\",\"value2\":\"\",\"value3\":\"\"}";
    };
    auto rule = [](int number, const std::string& name, const char* action, const std::string& matches) {
        char id[40];
        std::snprintf(id, sizeof(id), "33333333-0000-0000-0000-%012d", number);
        return std::string("{\"@_NodeName\":\"clientRule\",\"id\":\"") + id + "\",\"name\":\"" + name +
               "\",\"enabled\":true,\"action\":\"" + action +
               "\",\"logMatchingTraffic\":false,\"treatAsIntrusion\":false,\"hotDropIfNotMatch\":false,"
               "\"invertMatch\":false,\"enforceTimeRestrictions\":false,\"switchWhenExpired\":false,"
               "\"matches\":[" + matches + "]}";
    };
    const std::string expected =
        "{\"list\":[" +
        rule(1, "ssh \\\"in\\\"", "allow",
             proto("FW_MATCH_NETWORK_LAYER_PROTOCOL", 2048) + "," + proto("FW_MATCH_IP_PROTOCOL", 6) + "," +
                 match + "\"FW_MATCH_LOCAL_PORT\",\"subType\":\"NOT SPECIFIED\",\"enabled\":true,"
                         "\"operator\":\"FW_MATCH_OP_EQUAL\",\"isRange\":false,\"isTime\":false,"
                         "\"value1\":\"22\",\"value2\":\"\",\"value3\":\"\"}") +
        "," +
        rule(3, "range", "block",
             match + "\"FW_MATCH_REMOTE_PORT\",\"subType\":\"NOT SPECIFIED\",\"enabled\":true,"
                     "\"operator\":\"FW_MATCH_OP_IN_RANGE\",\"isRange\":true,\"isTime\":false,"
                     "\"value1\":\"1000\",\"value2\":\"2000\",\"value3\":\"\"}," +
                 match + "\"FW_MATCH_REMOTE_IP_ADDRESS\",\"subType\":\"IP ADDRESS\",\"enabled\":true,"
                         "\"operator\":\"FW_MATCH_OP_IN_RANGE\",\"isRange\":true,\"isTime\":false,"
                         "\"value1\":\"10.0.0.1-10.0.0.9\",\"value2\":\"\",\"value3\":\"\"}") +
        "," +
        rule(5, "icmp", "allow",
             proto("FW_MATCH_NETWORK_LAYER_PROTOCOL", 2048) + "," + proto("FW_MATCH_IP_PROTOCOL", 1)) +
        "," +
        rule(6, "adaptive", "allow",
             proto("FW_MATCH_NETWORK_LAYER_PROTOCOL", 2048) + "," + proto("FW_MATCH_IP_PROTOCOL", 17) + "," +
                 match + "\"FW_MATCH_LOCAL_PORT\",\"subType\":\"NOT SPECIFIED\",\"enabled\":true,"
                         "\"operator\":\"FW_MATCH_OP_EQUAL\",\"isRange\":false,\"isTime\":false,"
                         "\"value1\":\"53\",\"value2\":\"\",\"value3\":\"\"}") +
        "]}";
    std::vector<std::string> names;
    const std::string text = json(collect(), &names);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(names, (std::vector<std::string>{"ClientFwRules_000_002", "ClientFwRules_001_002"}));
    EXPECT_TRUE(m_rig.m_logger.has(2, "SFPluginPolicyEnforcementImpl::getJsonMatchStr unsupported Message "
                                      "Type 7found so something has gone wrong"));
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    EXPECT_NO_THROW(boost::property_tree::read_json(in, tree));
    EXPECT_EQ(tree.get_child("list").size(), 4u);
}

TEST_F(SFPluginPropertyCollectionTest, ProductComplianceAndFlag)
{
    // Nothing reported with the flag false, and still a complete collection.
    EXPECT_TRUE(collect(false).empty());

    auto values = byName(collect());
    EXPECT_EQ(values.count("ClientPolicy/ClientFwRules_000_001"), 0u);
    EXPECT_TRUE(m_rig.m_logger.has(6, "No client side and adaptive rules present"));
    EXPECT_EQ(values["General/ServiceRunning"], "1");
    EXPECT_EQ(values["General/Language"], "0409");
    EXPECT_EQ(values["General/PolicyNameClientUI"], "Not Applicable");
    EXPECT_EQ(values["Options/FWStatus"], "1");
    EXPECT_EQ(values["Options/FWAdaptiveModeStatus"], "0");

    // Compliance: status set on, firewall off is the one non-compliant case.
    struct Case {
        bool set, status, enabled;
        const char* compliant;
    };
    for (const Case c : {Case{false, true, false, "1"}, Case{true, true, false, "0"},
                         Case{true, true, true, "1"}, Case{true, false, false, "1"}}) {
        m_rig.m_controller->setPolicyFirewallStatus(c.status);
        m_rig.m_controller->setPolicyFirewallStatusSet(c.set);
        m_rig.m_config.set(FakeConfigController::path::enabled, c.enabled ? "1" : "0");
        values = byName(collect());
        EXPECT_EQ(values["CustomProps/bComplianceStatus"], c.compliant);
        EXPECT_EQ(values["CustomProps/szComplianceStatus"], std::string(c.compliant) == "1" ? "0" : "1");
    }

    // A policy's names are reported.
    ASSERT_EQ(m_rig.deliver(PolicyText().option("_AddressType", "0")), 1);
    values = byName(collect());
    EXPECT_EQ(values["General/PolicyNameFwOptions"], "Options A");
    EXPECT_EQ(values["General/PolicyNameFwRules"], "Rules A");
}

TEST_F(SFPluginPropertyCollectionTest, PiecesAndSizeLimits)
{
    // Empty-named rules while one more still fits in 3000 characters, then names fill the rest.
    std::vector<int> numbers;
    size_t length = 0;
    size_t perRule = 0;
    for (int n = 1; numbers.empty() || length + perRule + 1 <= 3000; ++n) {
        addClientRule(n, "", FW_ACTION_ALLOW, 6, 1, {});
        numbers.push_back(n);
        const size_t next = json(collect()).size();
        perRule = numbers.size() == 1 ? next - std::string("{\"list\":[]}").size() : next - length - 1;
        length = next;
    }
    auto rebuild = [&](size_t extra) {
        m_rig.manager()->flushClientSideRules();
        for (int n : numbers) {
            const size_t take = std::min<size_t>(extra, 250);
            extra -= take;
            addClientRule(n, std::string(take, 'n'), FW_ACTION_ALLOW, 6, 1, {});
        }
        ASSERT_EQ(extra, 0u);
    };
    rebuild(3000 - length);
    std::vector<std::string> names;
    EXPECT_EQ(json(collect(), &names).size(), 3000u);
    EXPECT_EQ(names, std::vector<std::string>{"ClientFwRules_000_001"});
    rebuild(3001 - length);
    names.clear();
    const Properties pieces = collect();
    EXPECT_EQ(json(pieces, &names).size(), 3001u);
    EXPECT_EQ(names, (std::vector<std::string>{"ClientFwRules_000_002", "ClientFwRules_001_002"}));
    EXPECT_EQ(byName(pieces)["ClientPolicy/ClientFwRules_001_002"], "}");

    // Over 1000 characters of remote ports, and over 500 remote addresses, are left out; a name
    // is cut before a character that would not fit whole.
    m_rig.manager()->flushClientSideRules();
    std::vector<SFMatch*> ports;
    for (int i = 0; i < 200; ++i)
        ports.push_back(portMatch(FW_MATCH_REMOTE_PORT, 10000 + i));
    ports.push_back(portMatch(FW_MATCH_LOCAL_PORT, 80));
    addClientRule(1, std::string(254, 'a') + "\xc3\xa9", FW_ACTION_ALLOW, 6, 2048, ports);
    std::vector<SFMatch*> addresses;
    for (int i = 0; i < 501; ++i)
        addresses.push_back(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "10.0.0.1"));
    addClientRule(2, "many", FW_ACTION_ALLOW, 6, 2048, addresses);
    std::vector<SFMatch*> fewer;
    for (int i = 0; i < 500; ++i)
        fewer.push_back(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "10.0.0.1"));
    addClientRule(3, "fewer", FW_ACTION_ALLOW, 6, 2048, fewer);

    boost::property_tree::ptree tree;
    std::istringstream in(json(collect()));
    ASSERT_NO_THROW(boost::property_tree::read_json(in, tree));
    std::vector<size_t> counts;
    std::vector<std::string> lastTypes;
    for (const auto& rule : tree.get_child("list")) {
        counts.push_back(rule.second.get_child("matches").size());
        lastTypes.push_back(rule.second.get_child("matches").back().second.get<std::string>("type"));
    }
    EXPECT_EQ(counts, (std::vector<size_t>{3, 2, 502}));
    EXPECT_EQ(lastTypes.front(), "FW_MATCH_LOCAL_PORT");
    EXPECT_EQ(tree.get_child("list").front().second.get<std::string>("name"), std::string(254, 'a'));
}

// Collections and policies on the agent's thread while another thread adds, flushes and
// pushes client and adaptive rules.
TEST_F(SFPluginPropertyCollectionTest, CollectAndEnforceWhileRulesChange)
{
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int n = 0; !stop; ++n) {
            for (const GUID& group : {model::kClient, model::kAdaptive}) {
                auto rule = std::make_unique<SFRule>();
                rule->ruleId = CommonFunc::generateGUID();
                rule->groupId = group;
                rule->name = "r" + std::to_string(n);
                rule->action = FW_ACTION_ALLOW;
                rule->transport = 6;
                rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, 1000 + n % 100));
                if (m_rig.manager()->addRule(rule.get()) == SF_SUCCESS)
                    rule.release();
            }
            if (n % 7 == 0)
                m_rig.manager()->flushClientSideRules();
            m_rig.m_controller->SendRuleAndGroupDataToKext();
        }
    });
    for (int i = 0; i < 40; ++i) {
        Properties properties;
        EXPECT_EQ(m_rig.m_agent.collect(true, properties), 1);
        const std::string text = json(properties);
        if (!text.empty()) {
            boost::property_tree::ptree tree;
            std::istringstream in(text);
            EXPECT_NO_THROW(boost::property_tree::read_json(in, tree));
        }
        EXPECT_EQ(m_rig.deliver(PolicyText()
                                    .option("_AddressType", "0")
                                    .option("MergeRules", i % 2 ? "1" : "0")
                                    .sequence("", {"44444444-0000-0000-0000-000000000001"})
                                    .rule("44444444-0000-0000-0000-000000000001", "ALLOW",
                                          {{"LastModified", std::to_string(i)}})),
                  1);
    }
    stop = true;
    changer.join();
}

} // namespace
