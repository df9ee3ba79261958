#include "SFRuleManager.h"

#include "CommonFunc.h"
#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "TempDir.h"

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

using namespace TestSupport::model;



// One line per match, in the words of the rule editor: "REMOTE_PORT 53", "DIRECTION OUT".
// Operators other than EQUAL are written in front.
std::string describe(const SFMatch& match)
{
    static const std::map<int, std::string> kinds = {{FW_MATCH_LOCAL_PORT, "LOCAL_PORT"},
                                                     {FW_MATCH_LOCAL_IP_ADDRESS, "LOCAL_IP"},
                                                     {FW_MATCH_REMOTE_PORT, "REMOTE_PORT"},
                                                     {FW_MATCH_REMOTE_IP_ADDRESS, "REMOTE_IP"},
                                                     {FW_MATCH_DIRECTION, "DIRECTION"}};
    std::string text =
        match.matchOp == FW_MATCH_OP_EQUAL ? "" : "op" + std::to_string(match.matchOp) + " ";
    text +=
        kinds.count(match.matchType) ? kinds.at(match.matchType) : std::to_string(match.matchType);
    if (match.matchType == FW_MATCH_DIRECTION) {
        static const char* const directions[] = {"NOT_SET", "IN", "OUT", "EITHER"};
        return text + " " + directions[match.value.intValue & 3];
    }
    if (SFMatch::isPortKind(match.matchType)) {
        text += " " + std::to_string(match.value.ports.port);
        if (match.addressType == FW_ADDRESS_TYPE_PORT_RANGE)
            text += "-" + std::to_string(match.value.ports.lastPort);
        else if (match.addressType != FW_ADDRESS_TYPE_SINGLE)
            text += " format " + std::to_string(match.addressType);
        return text;
    }
    switch (match.addressType) {
    case FW_ADDRESS_TYPE_SINGLE:
        return text + " " + match.getStartIp4Address();
    case FW_ADDRESS_TYPE_CIDR:
        return text + " CIDR " + match.getCidrIPAddress();
    case FW_ADDRESS_TYPE_DOMAIN_NAME:
        return text + " NAME " + match.getDomainName();
    case FW_ADDRESS_TYPE_ANY_LOCAL_IP:
        return text + " ANY_LOCAL_IP";
    case FW_ADDRESS_TYPE_ANY_IPV4_ADD:
        return text + " ANY_IPV4";
    default:
        return text + " format " + std::to_string(match.addressType);
    }
}

std::vector<std::string> matchesOf(const SFRule& rule)
{
    std::vector<std::string> lines;
    for (const SFMatch* match : rule.matches)
        lines.push_back(describe(*match));
    return lines;
}

using Lines = std::vector<std::string>;

class SFRuleManagerBuiltinsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set("GlobalConfiguration.RuleStorePath", m_dir.file("rules.data"));
    }
    void TearDown() override { SFRuleManager::releaseInstance(); }

    SFRuleManager& manager() { return *SFRuleManager::getInstance(m_logger, m_config, true); }
    SFRuleManager& restart()
    {
        SFRuleManager::releaseInstance();
        return manager();
    }

    std::unique_ptr<SFRuleGroup> group(const GUID& id) { return manager().copyGroup(id); }

    Lines ruleNames(const GUID& id)
    {
        Lines names;
        if (auto copy = group(id))
            for (const SFRule* rule : copy->rules)
                names.push_back(rule->name);
        return names;
    }

    // The stored rule of that name, or an empty rule (named "missing") when there is none.
    SFRule rule(const GUID& groupId, const std::string& name)
    {
        if (auto copy = group(groupId))
            for (const SFRule* stored : copy->rules)
                if (stored->name == name)
                    return *stored;
        SFRule none;
        none.name = "missing";
        return none;
    }

    Lines allAgentMatches()
    {
        Lines all;
        if (auto copy = group(kAgent))
            for (const SFRule* stored : copy->rules)
                for (const std::string& line : matchesOf(*stored))
                    all.push_back(line);
        return all;
    }

    bool logged(int level, const std::string& part) const
    {
        for (const auto& line : m_logger.lines())
            if (line.level == level && line.message.find(part) != std::string::npos)
                return true;
        return false;
    }

    // Removes the client group from the table and writes the store, as an older or damaged
    // store would hold it; withJump also drops the default group's jump to it.
    void writeStoreWithoutClientGroup(bool withJump)
    {
        SFRuleManager& rules = manager();
        {
            boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
            if (withJump) {
                ASSERT_EQ(SF_SUCCESS, rules.m_ruleTable.delGroupLocked(kClient));
            } else {
                auto& groups = rules.m_ruleTable.groups;
                auto client = std::find_if(groups.begin(), groups.end(),
                                           [](const SFRuleGroup* g) { return g->isClientGroup(); });
                ASSERT_NE(client, groups.end());
                delete *client;
                groups.erase(client);
            }
        }
        ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
        SFRuleManager::releaseInstance();
        m_logger.clear();
    }

    TestSupport::TempDir m_dir;
    TestSupport::FakeConfigController m_config;
    TestSupport::RecordingLogger m_logger;
};

const Lines kAgentBase = {"Varnik-Allow Bootp", "Varnik-Allow DNS Resolution",
                          "Varnik-Allow TCP DNS Resolution"};

Lines agentRules(Lines before, Lines after = {})
{
    Lines all = std::move(before);
    all.insert(all.end(), kAgentBase.begin(), kAgentBase.end());
    all.insert(all.end(), after.begin(), after.end());
    return all;
}

// ---- Fresh table --------------------------------------------------------------------------

TEST_F(SFRuleManagerBuiltinsTest, FreshTableJumpsFromTheDefaultGroupToEachFixedGroup)
{
    const SFRuleTableSnapshot table = manager().snapshot();
    ASSERT_EQ(4u, table.groups.size());
    const GUID order[] = {kDefault, kClient, kAdaptive, kAgent};
    const char* chains[] = {"", "QTZ_Client", "QTZ_Adaptive", "QTZ_WZ"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(CommonFunc::textGUID(order[i]), CommonFunc::textGUID(table.groups[i]->groupId));
        EXPECT_EQ(chains[i], table.groups[i]->chainName);
    }

    auto primary = group(kDefault);
    ASSERT_EQ(3u, primary->rules.size());
    const GUID targets[] = {kAgent, kClient, kAdaptive};
    const char* names[] = {"Jump to group QTZ WZ", "Jump to group QTZ Client",
                           "Jump to group QTZ Adaptive"};
    size_t i = 0;
    for (const SFRule* jump : primary->rules) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(names[i], jump->name);
        EXPECT_EQ(FW_ACTION_JUMP, jump->action);
        // Deleting a group finds its jump by the group's identifier.
        EXPECT_EQ(CommonFunc::textGUID(targets[i]), CommonFunc::textGUID(jump->jumpTarget));
        EXPECT_EQ(CommonFunc::textGUID(targets[i]), CommonFunc::textGUID(jump->ruleId));
        EXPECT_TRUE(jump->keep);
        EXPECT_TRUE(jump->enabled);
        EXPECT_EQ(0, jump->transport);
        EXPECT_EQ(NET_PROTO_ANY, jump->netProto);
        EXPECT_TRUE(jump->matches.empty());
        ++i;
    }
    EXPECT_TRUE(group(kAdaptive)->rules.empty());
}

TEST_F(SFRuleManagerBuiltinsTest, FreshTableStartsWithTheClientRules)
{
    EXPECT_EQ((Lines{"Varnik-Allow-SSH", "Varnik-Allow-Loopback", "Varnik-Allow-Ntp",
                     "Varnik-Allow-AnyLocalIp"}),
              ruleNames(kClient));

    const SFRule ssh = rule(kClient, "Varnik-Allow-SSH");
    EXPECT_EQ(FW_TRANS_PROTO_TCP, ssh.transport);
    EXPECT_EQ((Lines{"LOCAL_PORT 22", "DIRECTION IN"}), matchesOf(ssh));
    const SFRule loopback = rule(kClient, "Varnik-Allow-Loopback");
    EXPECT_EQ(FW_TRANS_PROTO_ANY, loopback.transport);
    EXPECT_EQ(
        (Lines{"DIRECTION EITHER", "LOCAL_IP CIDR 127.0.0.0/8", "REMOTE_IP CIDR 127.0.0.0/8"}),
        matchesOf(loopback));
    const SFRule ntp = rule(kClient, "Varnik-Allow-Ntp");
    EXPECT_EQ(FW_TRANS_PROTO_UDP, ntp.transport);
    EXPECT_EQ((Lines{"DIRECTION OUT", "REMOTE_PORT 123"}), matchesOf(ntp));
    EXPECT_EQ((Lines{"DIRECTION EITHER", "LOCAL_IP ANY_LOCAL_IP", "REMOTE_IP ANY_LOCAL_IP"}),
              matchesOf(rule(kClient, "Varnik-Allow-AnyLocalIp")));

    const auto client = group(kClient);
    for (const SFRule* stored : client->rules) {
        SCOPED_TRACE(stored->name);
        EXPECT_EQ(FW_ACTION_ALLOW, stored->action);
        EXPECT_EQ(NET_PROTO_IP, stored->netProto);
        EXPECT_TRUE(stored->enabled);
        EXPECT_FALSE(stored->keep);
        EXPECT_EQ(CommonFunc::textGUID(kClient), CommonFunc::textGUID(stored->groupId));
    }
}

// ---- The agent group ----------------------------------------------------------------------

TEST_F(SFRuleManagerBuiltinsTest, WithoutAgentDataTheAgentGroupHoldsOnlyBootpAndDns)
{
    EXPECT_EQ(kAgentBase, ruleNames(kAgent));
    const SFRule bootp = rule(kAgent, "Varnik-Allow Bootp");
    EXPECT_EQ(FW_TRANS_PROTO_UDP, bootp.transport);
    EXPECT_EQ((Lines{"LOCAL_PORT 68", "REMOTE_PORT 67", "DIRECTION EITHER"}), matchesOf(bootp));
    const SFRule dns = rule(kAgent, "Varnik-Allow DNS Resolution");
    EXPECT_EQ(FW_TRANS_PROTO_UDP, dns.transport);
    EXPECT_EQ((Lines{"REMOTE_PORT 53", "DIRECTION OUT"}), matchesOf(dns));
    const SFRule tcpDns = rule(kAgent, "Varnik-Allow TCP DNS Resolution");
    EXPECT_EQ(FW_TRANS_PROTO_TCP, tcpDns.transport);
    EXPECT_EQ((Lines{"REMOTE_PORT 53", "DIRECTION OUT"}), matchesOf(tcpDns));
}

TEST_F(SFRuleManagerBuiltinsTest, ServerAddressesAreUsedInsteadOfServerNames)
{
    m_config.setAgentList("serverIp", {"192.0.2.10", "192.0.2.11"});
    m_config.setAgentList("serverName", {"mgmt.example.com"});
    m_config.setAgentList("securePort", {"8443"});
    m_config.setAgentList("serverPort", {"80", "8080"});

    EXPECT_EQ(agentRules({"Varnik-Allow Yal by Address for Secure Port",
                          "Varnik-Allow Yal by Address for Server Port"}),
              ruleNames(kAgent));
    const SFRule secure = rule(kAgent, "Varnik-Allow Yal by Address for Secure Port");
    EXPECT_EQ(FW_TRANS_PROTO_TCP, secure.transport);
    EXPECT_EQ((Lines{"REMOTE_PORT 8443", "REMOTE_IP 192.0.2.10", "REMOTE_IP 192.0.2.11",
                     "DIRECTION OUT"}),
              matchesOf(secure));
    EXPECT_EQ((Lines{"REMOTE_PORT 80", "REMOTE_PORT 8080", "REMOTE_IP 192.0.2.10",
                     "REMOTE_IP 192.0.2.11", "DIRECTION OUT"}),
              matchesOf(rule(kAgent, "Varnik-Allow Yal by Address for Server Port")));
}

TEST_F(SFRuleManagerBuiltinsTest, ServerNamesWithOnlyASecurePortGiveOneRuleByName)
{
    m_config.setAgentList("serverName", {"mgmt.example.com"});
    m_config.setAgentList("securePort", {"8443"});

    EXPECT_EQ(agentRules({"Varnik-Allow Yal by Name for Secure Port"}), ruleNames(kAgent));
    EXPECT_EQ((Lines{"REMOTE_PORT 8443", "REMOTE_IP NAME mgmt.example.com", "DIRECTION OUT"}),
              matchesOf(rule(kAgent, "Varnik-Allow Yal by Name for Secure Port")));
}

TEST_F(SFRuleManagerBuiltinsTest, UpdateSiteRulesComeAfterDnsHttpBeforeFtp)
{
    m_config.setAgentList("httpUrl", {"update.example.com", "192.0.2.7"});
    m_config.setAgentList("httpPort", {"80", "443"});
    m_config.setAgentList("ftpUrl", {"ftp.example.com"});
    m_config.setAgentList("ftpPort", {"21"});

    EXPECT_EQ(agentRules({}, {"Varnik-Allow Dat update http", "Varnik-Allow Dat update ftp"}),
              ruleNames(kAgent));
    const SFRule http = rule(kAgent, "Varnik-Allow Dat update http");
    EXPECT_EQ(FW_TRANS_PROTO_TCP, http.transport);
    EXPECT_EQ((Lines{"REMOTE_IP NAME update.example.com", "REMOTE_IP 192.0.2.7", "REMOTE_PORT 80",
                     "REMOTE_PORT 443", "DIRECTION OUT"}),
              matchesOf(http));
    EXPECT_EQ((Lines{"REMOTE_IP NAME ftp.example.com", "REMOTE_PORT 21", "DIRECTION OUT"}),
              matchesOf(rule(kAgent, "Varnik-Allow Dat update ftp")));
}

TEST_F(SFRuleManagerBuiltinsTest, WakeupEntriesTakeTransportPortsAndDirectionFromTheirCodes)
{
    m_config.setAgentList("serverIp", {"192.0.2.10"});
    m_config.setAgentList("httpUrl", {"update.example.com"});
    m_config.setAgentList("httpPort", {"80"});
    m_config.setAgentRules({{"Wake TCP in", {"0", "8081", "", "0"}},
                            {"Wake UDP out", {"1", "", "9000", "1"}},
                            {"Wake any either", {"7", "7000", "7001", "x"}}});

    // Entries in key order, between the DNS rules and the update rule.
    EXPECT_EQ(agentRules({}, {"Wake TCP in", "Wake UDP out", "Wake any either",
                              "Varnik-Allow Dat update http"}),
              ruleNames(kAgent));
    const SFRule tcpIn = rule(kAgent, "Wake TCP in");
    EXPECT_EQ(FW_TRANS_PROTO_TCP, tcpIn.transport);
    EXPECT_EQ((Lines{"REMOTE_PORT 8081", "REMOTE_IP 192.0.2.10", "DIRECTION IN"}),
              matchesOf(tcpIn));
    const SFRule udpOut = rule(kAgent, "Wake UDP out");
    EXPECT_EQ(FW_TRANS_PROTO_UDP, udpOut.transport);
    EXPECT_EQ((Lines{"LOCAL_PORT 9000", "REMOTE_IP 192.0.2.10", "DIRECTION OUT"}),
              matchesOf(udpOut));
    const SFRule anyEither = rule(kAgent, "Wake any either");
    EXPECT_EQ(FW_TRANS_PROTO_ANY, anyEither.transport);
    EXPECT_EQ(
        (Lines{"REMOTE_PORT 7000", "LOCAL_PORT 7001", "REMOTE_IP 192.0.2.10", "DIRECTION EITHER"}),
        matchesOf(anyEither));
}

TEST_F(SFRuleManagerBuiltinsTest, WakeupRulesByNameMatchTheServerNames)
{
    m_config.setAgentList("serverName", {"mgmt.example.com", "backup.example.com"});
    m_config.setAgentRules({{"Wake", {"0", "8081", "", "0"}}});

    EXPECT_EQ(agentRules({}, {"Wake"}), ruleNames(kAgent));
    EXPECT_EQ((Lines{"REMOTE_PORT 8081", "REMOTE_IP NAME mgmt.example.com",
                     "REMOTE_IP NAME backup.example.com", "DIRECTION IN"}),
              matchesOf(rule(kAgent, "Wake")));
}

// The agent's rule file is edited by hand: blanks around a port and a plus sign are what the
// management server's own reading of the file accepts, so they must not drop the entry.
TEST_F(SFRuleManagerBuiltinsTest, WakeupPortsTakeBlanksAndAPlusSignButNotJunk)
{
    m_config.setAgentList("serverIp", {"192.0.2.10"});
    m_config.setAgentRules({{"Wake blank before", {"0", " 8082", "", "0"}},
                            {"Wake blank after", {"0", "8083 ", "", "0"}},
                            {"Wake plus", {"0", "+80", "\t+9000\n", "0"}},
                            {"Wake x blank in sign", {"0", "+ 80", "", "0"}},
                            {"Wake x negative", {"0", "-80", "", "0"}},
                            {"Wake x two signs", {"0", "++80", "", "0"}},
                            {"Wake x too large", {"0", " +65536 ", "", "0"}},
                            {"Wake x only blanks", {"0", "  ", "", "0"}},
                            {"Wake x inner blank", {"0", "80 81", "", "0"}}});

    EXPECT_EQ(agentRules({}, {"Wake blank after", "Wake blank before", "Wake plus"}), ruleNames(kAgent));
    EXPECT_EQ((Lines{"REMOTE_PORT 8082", "REMOTE_IP 192.0.2.10", "DIRECTION IN"}),
              matchesOf(rule(kAgent, "Wake blank before")));
    EXPECT_EQ((Lines{"REMOTE_PORT 8083", "REMOTE_IP 192.0.2.10", "DIRECTION IN"}),
              matchesOf(rule(kAgent, "Wake blank after")));
    EXPECT_EQ((Lines{"REMOTE_PORT 80", "LOCAL_PORT 9000", "REMOTE_IP 192.0.2.10", "DIRECTION IN"}),
              matchesOf(rule(kAgent, "Wake plus")));
    for (const char* text : {"'+ 80'", "'-80'", "'++80'", "' +65536 '", "'  '", "'80 81'"})
        EXPECT_TRUE(logged(2, text)) << text;
}

// ---- Hosts and ports from the agent's data --------------------------------------------------

TEST_F(SFRuleManagerBuiltinsTest, HostsThatAreNeitherAddressNorNameAreSkipped)
{
    m_config.setAgentList("httpUrl", {"srv01", "2001:db8::1", "bad host!", "192.0.2.9"});
    m_config.setAgentList("httpPort", {"80"});
    m_config.setAgentList("serverIp", {"mgmt-01", "10.0.0.1:80"});
    m_config.setAgentList("securePort", {"8443"});

    // A short name ending in a digit is still a host name; an IPv6 address or junk would
    // otherwise have become a match on 0.0.0.0.
    EXPECT_EQ(
        (Lines{"REMOTE_IP NAME srv01", "REMOTE_IP 192.0.2.9", "REMOTE_PORT 80", "DIRECTION OUT"}),
        matchesOf(rule(kAgent, "Varnik-Allow Dat update http")));
    EXPECT_EQ((Lines{"REMOTE_PORT 8443", "REMOTE_IP NAME mgmt-01", "DIRECTION OUT"}),
              matchesOf(rule(kAgent, "Varnik-Allow Yal by Address for Secure Port")));
    for (const std::string& line : allAgentMatches())
        EXPECT_NE("REMOTE_IP 0.0.0.0", line);
    EXPECT_TRUE(logged(2, "'2001:db8::1'"));
    EXPECT_TRUE(logged(2, "'bad host!'"));
    EXPECT_TRUE(logged(2, "'10.0.0.1:80'"));
}

TEST_F(SFRuleManagerBuiltinsTest, RulesWithoutAnyUsableHostAreNotBuilt)
{
    m_config.setAgentList("serverIp", {"2001:db8::1", "bad host!"});
    m_config.setAgentList("securePort", {"8443"});
    m_config.setAgentList("serverPort", {"80"});
    m_config.setAgentList("httpUrl", {"bad host!"});
    m_config.setAgentList("httpPort", {"80"});
    m_config.setAgentList("ftpUrl", {"ftp.example.com"});
    m_config.setAgentList("ftpPort", {"21"});
    m_config.setAgentRules({{"Wake", {"0", "8081", "", "0"}}});

    // Without a host the rules would admit every server; the sequence still goes on to FTP.
    EXPECT_EQ(agentRules({}, {"Varnik-Allow Dat update ftp"}), ruleNames(kAgent));
    EXPECT_TRUE(logged(2, "Varnik-Allow Yal by Address for Secure Port"));
    EXPECT_TRUE(logged(2, "Varnik-Allow Dat update http"));
}

TEST_F(SFRuleManagerBuiltinsTest, PortsOutside1To65535AreSkippedNotWrapped)
{
    m_config.setAgentList("serverIp", {"192.0.2.10"});
    m_config.setAgentList("securePort", {"70000", "-1", "8a", "", "0", " 443"});
    m_config.setAgentList("serverPort", {"65536", "443", "65535"});
    m_config.setAgentRules({{"Wake bad local", {"0", "8081", "99999", "0"}},
                            {"Wake bad remote", {"0", "80x", "", "0"}},
                            {"Wake good", {"1", "", "9000", "1"}}});

    EXPECT_EQ(agentRules({"Varnik-Allow Yal by Address for Server Port"}, {"Wake good"}),
              ruleNames(kAgent));
    EXPECT_EQ(
        (Lines{"REMOTE_PORT 443", "REMOTE_PORT 65535", "REMOTE_IP 192.0.2.10", "DIRECTION OUT"}),
        matchesOf(rule(kAgent, "Varnik-Allow Yal by Address for Server Port")));
    for (const char* text :
         {"'70000'", "'-1'", "'8a'", "''", "'0'", "' 443'", "'65536'", "'99999'", "'80x'"})
        EXPECT_TRUE(logged(2, text)) << text;
    // "70000" read as a 16-bit number would have been 4464, "-1" 65535, "8a" 8.
    for (const std::string& line : allAgentMatches()) {
        EXPECT_NE("REMOTE_PORT 4464", line);
        EXPECT_NE("REMOTE_PORT 8", line);
    }
}

TEST_F(SFRuleManagerBuiltinsTest, UpdateRuleCallsAnswerSuccessWhenNothingUsableIsLeft)
{
    SFRuleManager& rules = manager();
    EXPECT_EQ(SF_SUCCESS, rules.CreateHttpDatUpdateRule({"update.example.com"}, {"http"}));
    EXPECT_EQ(SF_SUCCESS, rules.CreateYalByNameRule({"bad host!"}, {"443"}, "for Secure Port"));
    EXPECT_EQ(kAgentBase, ruleNames(kAgent));

    EXPECT_EQ(SF_SUCCESS, rules.CreateFtpDatUpdateRule({"ftp.example.com"}, {"21"}));
    EXPECT_EQ(agentRules({}, {"Varnik-Allow Dat update ftp"}), ruleNames(kAgent));
}

// ---- Adaptive rules -----------------------------------------------------------------------

TEST_F(SFRuleManagerBuiltinsTest, AggregatedRulesKeepTheServicePortAndOpenTheEphemeralSide)
{
    SFRuleManager& rules = manager();
    std::unique_ptr<SFRule> udpIn(rules.initializeAdaptiveRule(false, true, 53));
    EXPECT_EQ("Aggregated_Adaptive_UDP_Rule", udpIn->name);
    EXPECT_EQ(FW_TRANS_PROTO_UDP, udpIn->transport);
    EXPECT_EQ(FW_ICMP_ANY, udpIn->msgType);
    EXPECT_EQ(NET_PROTO_ANY, udpIn->netProto);
    EXPECT_EQ(FW_ACTION_ALLOW, udpIn->action);
    EXPECT_EQ(CommonFunc::textGUID(kAdaptive), CommonFunc::textGUID(udpIn->groupId));
    EXPECT_EQ("This rule was created after aggregating the adaptive traffic", udpIn->description);
    EXPECT_EQ((Lines{"DIRECTION IN", "LOCAL_PORT 53", "REMOTE_PORT 1024-65535"}),
              matchesOf(*udpIn));

    std::unique_ptr<SFRule> tcpOut(rules.initializeAdaptiveRule(true, false, 443));
    EXPECT_EQ("Aggregated_Adaptive_TCP_Rule", tcpOut->name);
    EXPECT_EQ(FW_TRANS_PROTO_TCP, tcpOut->transport);
    EXPECT_EQ((Lines{"DIRECTION OUT", "LOCAL_PORT 1024-65535", "REMOTE_PORT 443"}),
              matchesOf(*tcpOut));
}

TEST_F(SFRuleManagerBuiltinsTest, DiscreteRulesPutThisHostOnTheLocalSide)
{
    SFRuleManager& rules = manager();
    // Direction first here, transport first in the aggregated factory.
    std::unique_ptr<SFRule> tcpIn(
        rules.initializeDiscreteAdaptiveRule(true, true, "198.51.100.4", 40000, "192.0.2.1", 22));
    EXPECT_EQ("Discrete_Adaptive_TCP_Rule", tcpIn->name);
    EXPECT_EQ(FW_TRANS_PROTO_TCP, tcpIn->transport);
    EXPECT_EQ("This rule was created from the adaptive traffic and could not be aggregated",
              tcpIn->description);
    EXPECT_EQ((Lines{"DIRECTION IN", "op0 LOCAL_IP 192.0.2.1", "op0 REMOTE_IP 198.51.100.4",
                     "LOCAL_PORT 22", "REMOTE_PORT 40000"}),
              matchesOf(*tcpIn));

    std::unique_ptr<SFRule> udpOut(
        rules.initializeDiscreteAdaptiveRule(false, false, "192.0.2.1", 5353, "198.51.100.4", 53));
    EXPECT_EQ("Discrete_Adaptive_UDP_Rule", udpOut->name);
    EXPECT_EQ(FW_TRANS_PROTO_UDP, udpOut->transport);
    EXPECT_EQ((Lines{"DIRECTION OUT", "op0 LOCAL_IP 192.0.2.1", "op0 REMOTE_IP 198.51.100.4",
                     "LOCAL_PORT 5353", "REMOTE_PORT 53"}),
              matchesOf(*udpOut));
}

TEST_F(SFRuleManagerBuiltinsTest, LearnedAddressesBecomeAnyCidrOrSingleMatches)
{
    SFRuleManager& rules = manager();
    auto remote = [&](const char* text) {
        return describe(*std::unique_ptr<SFMatch>(rules.getAdaptiveRuleRemoteMatch(text)));
    };
    EXPECT_EQ("REMOTE_IP ANY_IPV4", remote("any"));
    EXPECT_EQ("REMOTE_IP CIDR 10.0.0.0/8", remote("10.0.0.0/8"));
    EXPECT_EQ("REMOTE_IP 192.0.2.5", remote("192.0.2.5"));
    EXPECT_EQ(
        "LOCAL_IP CIDR 192.168.1.0/24",
        describe(*std::unique_ptr<SFMatch>(rules.getAdaptiveRuleLocalMatch("192.168.1.0/24"))));

    EXPECT_THROW(remote("10.0.0.0/x"), boost::bad_lexical_cast);
    EXPECT_THROW(remote("10.0.0.0/"), boost::bad_lexical_cast);
    // 264 would wrap to a /8 in the 8-bit prefix.
    EXPECT_THROW(remote("10.0.0.0/264"), boost::bad_lexical_cast);
    EXPECT_THROW(rules.getAdaptiveRuleLocalMatch("10.0.0.0/-1"), boost::bad_lexical_cast);
}

TEST_F(SFRuleManagerBuiltinsTest, AdaptiveBlockRulesMatchWhatTheyBlock)
{
    SFRuleManager& rules = manager();
    struct Expected {
        SFRule* rule;
        const char* name;
        int transport;
        Lines matches;
    } expected[] = {
        {rules.createAdaptiveICMPRule(),
         "Adaptive_Block_ICMP",
         FW_TRANS_PROTO_ICMP,
         {"DIRECTION EITHER"}},
        {rules.createAdaptiveBroadcastRule(),
         "Adaptive_Block_Broadcast",
         FW_TRANS_PROTO_ANY,
         {"DIRECTION EITHER", "REMOTE_IP 255.255.255.255"}},
        {rules.createAdaptiveAnyRule(),
         "Adaptive_Block_Any",
         FW_TRANS_PROTO_ANY,
         {"DIRECTION EITHER", "REMOTE_IP 0.0.0.0"}},
        {rules.createAdaptiveMulticastInRule(),
         "Adaptive_Block_Multicast_In",
         FW_TRANS_PROTO_ANY,
         {"DIRECTION IN", "LOCAL_IP CIDR 224.0.0.0/4"}},
        {rules.createAdaptiveMulticastOutRule(),
         "Adaptive_Block_Multicast_Out",
         FW_TRANS_PROTO_ANY,
         {"DIRECTION OUT", "REMOTE_IP CIDR 224.0.0.0/4"}},
        {rules.createLoopbackRule(false),
         "Varnik-Allow-Loopback",
         FW_TRANS_PROTO_ANY,
         {"DIRECTION EITHER", "LOCAL_IP CIDR 127.0.0.0/8", "REMOTE_IP CIDR 127.0.0.0/8"}},
    };
    for (const Expected& e : expected) {
        std::unique_ptr<SFRule> owned(e.rule);
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.name, owned->name);
        EXPECT_EQ(e.transport, owned->transport);
        EXPECT_EQ(e.matches, matchesOf(*owned));
        EXPECT_EQ(CommonFunc::textGUID(kAdaptive), CommonFunc::textGUID(owned->groupId));
    }
    std::unique_ptr<SFRule> icmp(rules.createAdaptiveICMPRule());
    EXPECT_EQ(FW_ACTION_BLOCK_PACKET, icmp->action);
    EXPECT_EQ(FW_ICMP_ANY, icmp->msgType);
}

// ---- Stores that lost a fixed group or hold one twice ---------------------------------------

TEST_F(SFRuleManagerBuiltinsTest, StoreMissingTheClientGroupGetsItBackWithOneJump)
{
    writeStoreWithoutClientGroup(false); // the jump to it stays in the store

    auto repaired = group(kClient);
    ASSERT_NE(repaired, nullptr);
    EXPECT_EQ("QTZ Client", repaired->name);
    EXPECT_EQ("QTZ_Client", repaired->chainName);
    EXPECT_TRUE(repaired->rules.empty()); // a store that was read gets no built-in client rules
    EXPECT_EQ(
        (Lines{"Jump to group QTZ WZ", "Jump to group QTZ Client", "Jump to group QTZ Adaptive"}),
        ruleNames(kDefault));
    EXPECT_TRUE(logged(2, "Failed to set the client side group name to QTZ Client"));
}

TEST_F(SFRuleManagerBuiltinsTest, RepairedClientJumpGoesRightBeforeTheAdaptiveJump)
{
    SFRule* user = manager().createSSHRule();
    user->name = "user rule";
    user->groupId = GUID();
    ASSERT_EQ(SF_SUCCESS, manager().addRule(user));
    writeStoreWithoutClientGroup(true);

    ASSERT_NE(group(kClient), nullptr);
    // The push reads the last two rules of the default group as the client and adaptive jumps.
    EXPECT_EQ((Lines{"Jump to group QTZ WZ", "user rule", "Jump to group QTZ Client",
                     "Jump to group QTZ Adaptive"}),
              ruleNames(kDefault));
    int position = 0;
    const auto primary = group(kDefault);
    for (const SFRule* stored : primary->rules)
        EXPECT_EQ(++position, stored->position);
}

TEST_F(SFRuleManagerBuiltinsTest, StoreHoldingTheAgentGroupTwiceRestartsWithOne)
{
    SFRuleManager& rules = manager();
    {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        boost::lock_guard<boost::mutex> rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
        boost::lock_guard<boost::mutex> matchesLock(SFRule::m_guardMatchList);
        rules.m_ruleTable.groups.push_back(
            new SFRuleGroup(*rules.m_ruleTable.findGroupLocked(kAgent)));
    }
    ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
    restart();

    const SFRuleTableSnapshot table = manager().snapshot();
    EXPECT_EQ(1, std::count_if(table.groups.begin(), table.groups.end(), [](const auto& g) {
                  return CommonFunc::textGUID(g->groupId) == SF_AGENT_GROUP_ID;
              }));
    EXPECT_EQ(kAgentBase, ruleNames(kAgent));
    EXPECT_EQ(
        (Lines{"Jump to group QTZ WZ", "Jump to group QTZ Client", "Jump to group QTZ Adaptive"}),
        ruleNames(kDefault));
}

// Regression: a store holding a jump to the agent group but not the group came back with two
// agent jumps sharing one rule id.
TEST_F(SFRuleManagerBuiltinsTest, StrayAgentJumpIsReplacedNotDoubled)
{
    SFRuleManager& rules = manager();
    {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        auto& groups = rules.m_ruleTable.groups;
        auto agent = std::find(groups.begin(), groups.end(), rules.m_ruleTable.findGroupLocked(kAgent));
        ASSERT_NE(agent, groups.end());
        SFRuleGroup* removed = *agent;
        groups.erase(agent);
        delete removed; // its jump stays in the default group
    }
    ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
    restart();
    EXPECT_EQ(
        (Lines{"Jump to group QTZ WZ", "Jump to group QTZ Client", "Jump to group QTZ Adaptive"}),
        ruleNames(kDefault));
}

// The fixed groups and jumps a repaired table must hold: one default and one client group, and
// the default group's three jumps, each once.
void expectOneOfEachFixedGroupAndJump(const SFRuleTableSnapshot& table, const Lines& defaultRules)
{
    for (const char* id : {SF_DEFAULT_GROUP_ID, SF_CLIENT_GROUP_ID, SF_ADAPTIVE_GROUP_ID}) {
        EXPECT_EQ(1, std::count_if(table.groups.begin(), table.groups.end(), [&](const auto& g) {
                      return CommonFunc::textGUID(g->groupId) == id;
                  })) << id;
    }
    EXPECT_EQ(
        (Lines{"Jump to group QTZ WZ", "Jump to group QTZ Client", "Jump to group QTZ Adaptive"}),
        defaultRules);
}

// Regression: a store that named the default group but had lost it came back with no default
// group at all, so nothing jumped to the client, adaptive or agent chains.
TEST_F(SFRuleManagerBuiltinsTest, StoreMissingTheDefaultGroupGetsItBackWithItsJumps)
{
    SFRuleManager& rules = manager();
    {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        auto& groups = rules.m_ruleTable.groups;
        auto primary = std::find(groups.begin(), groups.end(),
                                 rules.m_ruleTable.findGroupLocked(kDefault));
        ASSERT_NE(primary, groups.end());
        SFRuleGroup* removed = *primary;
        groups.erase(primary);
        delete removed; // the table still names it as its default group
    }
    ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
    restart();

    expectOneOfEachFixedGroupAndJump(manager().snapshot(), ruleNames(kDefault));
    EXPECT_EQ(4u, ruleNames(kClient).size()); // the client rules as stored
    EXPECT_TRUE(logged(2, "is missing from the rule store; it is rebuilt"));
}

// Regression: a store whose client-group identifier was null came back with a second
// "QTZ Client" group and a second client jump sharing the first one's rule id.
TEST_F(SFRuleManagerBuiltinsTest, StoreWithANullClientGroupIdAdoptsItsClientGroup)
{
    SFRuleManager& rules = manager();
    {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        rules.m_ruleTable.clientGroupId = GUID();
    }
    ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
    restart();

    expectOneOfEachFixedGroupAndJump(manager().snapshot(), ruleNames(kDefault));
    EXPECT_EQ(4u, ruleNames(kClient).size());
    // Adopted, so the next start finds it named and changes nothing.
    restart();
    expectOneOfEachFixedGroupAndJump(manager().snapshot(), ruleNames(kDefault));
}

} // namespace
