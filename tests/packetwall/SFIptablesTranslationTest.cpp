#include "SFIptables.h"

#include "DriverPushReplay.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFMatch.h"
#include "SFTrustedGroupIP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Words = std::vector<std::string>;
using Alternatives = std::vector<Words>;

SFMatch matchOf(int type, int format)
{
    SFMatch match;
    match.matchType = type;
    match.addressType = format;
    match.matchOp = FW_MATCH_OP_EQUAL;
    return match;
}

KSFRule ruleOf(const char* name, int action, int transport, bool log)
{
    KSFRule rule{};
    std::strcpy(rule.name, name);
    rule.action = action;
    rule.transport = transport;
    rule.netProto = NET_PROTO_IP;
    rule.msgType = FW_MSG_TYPE_UNKNOWN;
    rule.enabled = 1;
    rule.logEnabled = log ? 1 : 0;
    return rule;
}

std::list<SFMatch*> pointers(std::list<SFMatch>& matches)
{
    std::list<SFMatch*> out;
    for (SFMatch& match : matches)
        out.push_back(&match);
    return out;
}

Words sorted(Words words)
{
    std::sort(words.begin(), words.end());
    return words;
}

class SFIptablesTranslationTest : public ::testing::Test {
protected:
    SFIptablesTranslationTest()
        : runner(std::make_shared<RecordingHelperUtils>()),
          driver(logger, config, runner, nwif, dir.file("netfilter.state"), dir.file("ftp"))
    {
        config.setUniqueId("7");
    }

    bool addRule(KSFRule rule, std::list<SFMatch> matches, const std::string& group,
                 bool primary, unsigned short mark, bool last = false,
                 SFwDirection groupDirection = FW_DIRECTION_EITHER)
    {
        return driver.addRuleToNetfilterGroup(rule, pointers(matches), group, primary, {},
                                              groupDirection, mark, last);
    }

    // What the next default-drop flush deletes: exactly the lines placed into INPUT and OUTPUT.
    Words flushedLines()
    {
        runner->clear();
        driver.flushIptablesDefaultDropRule();
        return sorted(runner->lines());
    }

    TempDir dir;
    RecordingLogger logger;
    FakeConfigController config;
    FakeNwIFManager nwif;
    std::shared_ptr<RecordingHelperUtils> runner;
    SFIptables driver;
};

} // namespace

TEST_F(SFIptablesTranslationTest, MultiportGroupsHoldAtMostFifteenSlots)
{
    auto groupsOf = [&](Words ports) { return driver.splitMultiPortData(false, ports); };
    Words fifteen;
    for (int port = 1; port <= 15; ++port)
        fifteen.push_back(std::to_string(port));
    ASSERT_EQ(1u, groupsOf(fifteen).size());
    EXPECT_EQ((Words{"-m", "multiport", "--dport", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"}),
              groupsOf(fifteen)[0]);

    Words sixteen = fifteen;
    sixteen.push_back("16");
    EXPECT_EQ((Alternatives{{"-m", "multiport", "--dport", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"},
                            {"-m", "multiport", "--dport", "16"}}),
              groupsOf(sixteen));

    Words ranges(7, "100:200");
    ranges.push_back("80");
    EXPECT_EQ(1u, groupsOf(ranges).size()) << "7 ranges and 1 port fill exactly 15 slots";
    Words eightRanges(8, "100:200");
    const Alternatives split = driver.splitMultiPortData(true, eightRanges);
    ASSERT_EQ(2u, split.size());
    EXPECT_EQ((Words{"-m", "multiport", "--sport", "100:200"}), split[1]);
    EXPECT_TRUE(logger.has(6, "Completed splitting only 7ports after reaching maximum in "
                              "multiport module. Continuing splitting"));
}

TEST_F(SFIptablesTranslationTest, AddressesShareOneWordWhileEachRangeIsItsOwnAlternative)
{
    const Words local = {"10.0.0.1", "10.0.0.0/8"};
    const Words localRanges = {"10.1.1.1-10.1.1.9"};
    EXPECT_EQ((Alternatives{{"-d", "10.0.0.1,10.0.0.0/8"},
                            {"-m", "iprange", "--dst-range", "10.1.1.1-10.1.1.9"}}),
              driver.getIpAndPortParams(true, local, {}, {}, {}, localRanges, {}));

    // Outbound the local side is the source; ports multiply every address alternative.
    EXPECT_EQ((Alternatives{{"-s", "10.0.0.1,10.0.0.0/8", "-d", "192.0.2.1", "-m", "multiport",
                             "--sport", "80", "-m", "multiport", "--dport", "53"},
                            {"-m", "iprange", "--src-range", "10.1.1.1-10.1.1.9", "-d",
                             "192.0.2.1", "-m", "multiport", "--sport", "80", "-m", "multiport",
                             "--dport", "53"}}),
              driver.getIpAndPortParams(false, local, {"192.0.2.1"}, {"80"}, {"53"},
                                        localRanges, {}));
    EXPECT_TRUE(driver.getIpAndPortParams(true, {}, {}, {}, {}, {}, {}).empty());
}

TEST_F(SFIptablesTranslationTest, LocalSubnetsJoinEachSideOnlyOnce)
{
    nwif.setSubnets({{"10.0.0.0/8", "eth0"}, {"192.168.1.0/24", "eth1"}});
    config.setShouldTrustLocalSubnet(true);
    SFMatch subnet = matchOf(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_LOCAL_SUBNET);
    SFMatch trustedMatch = matchOf(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_TRUSTED);
    Words noTrusted;

    Words local, localRanges;
    bool localFlag = false;
    EXPECT_TRUE(driver.addIpAddressParams(FW_ADDRESS_TYPE_LOCAL_SUBNET, subnet.value, &local,
                                          &localRanges, &noTrusted, &localFlag));
    EXPECT_FALSE(driver.addIpAddressParams(FW_ADDRESS_TYPE_LOCAL_SUBNET, subnet.value, &local,
                                           &localRanges, &noTrusted, &localFlag));
    EXPECT_EQ((Words{"10.0.0.0/8", "192.168.1.0/24"}), local);

    // An empty trusted list still counts when it brings the local subnets to a fresh side.
    Words remote, remoteRanges;
    bool remoteFlag = false;
    EXPECT_TRUE(driver.addIpAddressParams(FW_ADDRESS_TYPE_TRUSTED, trustedMatch.value, &remote,
                                          &remoteRanges, &noTrusted, &remoteFlag));
    EXPECT_EQ(local, remote);

    Words trusted = {"1.2.3.4", "5.5.5.1-5.5.5.9", "172.16.0.0/12"};
    EXPECT_TRUE(driver.addIpAddressParams(FW_ADDRESS_TYPE_TRUSTED, trustedMatch.value, &remote,
                                          &remoteRanges, &trusted, &remoteFlag));
    EXPECT_EQ((Words{"10.0.0.0/8", "192.168.1.0/24", "1.2.3.4", "172.16.0.0/12"}), remote);
    EXPECT_EQ((Words{"5.5.5.1-5.5.5.9"}), remoteRanges);

    SFTrustedGroupIP single, localSubnet;
    single.type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    ASSERT_TRUE(single.setStartIp4Address("1.2.3.4"));
    localSubnet.type = FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
    EXPECT_EQ((Words{"1.2.3.4"}), driver.getTrustedNetworkParams({&single, &localSubnet}));
    EXPECT_TRUE(logger.has(6, "Unknown Trusted Network Address type"));
}

TEST_F(SFIptablesTranslationTest, ScheduleKeepsTheLastMinuteAndOnlyKnownActionsRestrict)
{
    Alternatives times;
    bool reverse = false;
    config.setKerneltzSupportStatus(false);
    driver.addTimeParams(scheduleMatch("08:00", "17:30", "Mon,Tue", 0).value.schedule, times,
                         reverse);
    EXPECT_EQ((Alternatives{{"-m", "time", "--timestart", "08:00:00", "--timestop", "17:30:59",
                             "--weekdays", "Mon,Tue", "--localtz"}}),
              times);
    EXPECT_FALSE(reverse);

    driver.addTimeParams(scheduleMatch("08:00", "17:30", "Sun", 2).value.schedule, times, reverse);
    EXPECT_EQ(1u, times.size()) << "an unknown action adds no time restriction";
    driver.addTimeParams(scheduleMatch("22:00", "23:00", "Sun", 1).value.schedule, times, reverse);
    EXPECT_EQ(2u, times.size());
    EXPECT_TRUE(reverse);
}

TEST_F(SFIptablesTranslationTest, SuffixesPlaceOnlyDefaultDropLinesIntoBuiltInChains)
{
    struct Row {
        Words actual;
        Words expected;
    };
    const Row rows[] = {
        {driver.getIptablesRuleActionCmdSuffix(true, true, "ACCEPT", "X_IN", false),
         {"-j", "ACCEPT", "-A", "QTZ_INPUT_7"}},
        // The client-side chain decides by name, whatever the inbound flag says.
        {driver.getIptablesRuleActionCmdSuffix(true, false, "ACCEPT", "QTZ_Client_OUT", true),
         {"-j", "ACCEPT", "-A", "OUTPUT"}},
        {driver.getIptablesRuleActionCmdSuffix(false, false, "DROP", "Web_OUT", true),
         {"-j", "DROP", "-A", "Web_OUT_7"}},
        // A primary default-drop rule that allows keeps its action line in the own chain ...
        {driver.getIptablesRuleActionCmdSuffix(true, true, "ACCEPT", "X_IN", true),
         {"-j", "ACCEPT", "-A", "QTZ_INPUT_7"}},
        // ... while its LOG and MARK lines go to the built-in chain.
        {driver.getIptablesRuleLogCmdSuffix(true, true, "QTZ_I_A_x", "X_IN", true),
         {"-j", "LOG", "--log-level", "4", "--log-prefix", "QTZ_I_A_x", "-A", "INPUT"}},
        {driver.getIptablesMarkRuleCmdSuffix("X", true, true, 12, true),
         {"-j", "MARK", "--set-mark", "12", "-A", "INPUT"}},
        {driver.getIptablesRuleActionCmdSuffix(false, true, "DROP", "X_OUT", true),
         {"-j", "DROP", "-A", "OUTPUT"}},
        {driver.getIptablesRuleLogCmdSuffix(true, false, "QTZ_I_B_Block_Telnet", "Web_IN", false),
         {"-j", "LOG", "--log-level", "4", "--log-prefix", "QTZ_I_B_Block_Telnet", "-A",
          "Web_IN_7"}},
        {driver.getIptablesMarkRuleCmdSuffix("QTZ_Client", true, false, 3, false),
         {"-j", "MARK", "--set-mark", "3", "-A", "QTZ_Client_IN_7"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, row.actual);

    EXPECT_EQ(sorted({"-D INPUT -j LOG --log-level 4 --log-prefix QTZ_I_A_x",
                      "-D INPUT -j MARK --set-mark 12", "-D OUTPUT -j ACCEPT",
                      "-D OUTPUT -j DROP"}),
              flushedLines());
}

TEST_F(SFIptablesTranslationTest, LogLevelOutsideZeroToSevenFallsBackToFour)
{
    config.set(FakeConfigController::path::iptablesLevel, "9");
    EXPECT_EQ((Words{"-j", "LOG", "--log-level", "4", "--log-prefix", "p", "-A", "W_IN_7"}),
              driver.getIptablesRuleLogCmdSuffix(true, false, "p", "W_IN", false));
    EXPECT_TRUE(logger.has(2, "Iptables rule log level 9 is not between 0 and 7, using 4"));
    config.set(FakeConfigController::path::iptablesLevel, "7");
    EXPECT_EQ("7", driver.getIptablesRuleLogCmdSuffix(true, false, "p", "W_IN", false)[3]);
}

// Each rule's lines in order; only a last logged client rule places lines into the built-in
// chains, which the next default-drop flush deletes.
TEST_F(SFIptablesTranslationTest, EachRuleRunsItsLinesAndOnlyALastLoggedClientRuleFillsBuiltInChains)
{
    const std::string tcp = "-p tcp -m state --state NEW ";
    const std::string ssh = tcp + "-m multiport --dport 22 ";
    const std::string dns = "-p udp -m multiport --dport 53 ";
    const std::string in = tcp + "-s 192.0.2.1 -m multiport --dport 80 ";
    const std::string out = tcp + "-d 192.0.2.1 -m multiport --sport 80 ";
    KSFRule intrusion = ruleOf("Web in", FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP, false);
    intrusion.treatAsIntrusion = 1;
    const KSFRule blockAll = ruleOf("Block All", FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_ANY, true);
    KSFRule silent = blockAll;
    silent.logEnabled = 0;
    const struct {
        const char* what;
        KSFRule rule;
        std::list<SFMatch> matches;
        const char* group;
        bool primary;
        unsigned short mark;
        bool last;
        Words lines;
        Words flushed = {};
    } rows[] = {
        {"an allow rule of the primary group marks, logs and accepts",
         ruleOf("Allow SSH", FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP, true),
         {directionMatch(FW_DIRECTION_INBOUND), portMatch(FW_MATCH_LOCAL_PORT, 22)}, "QTZ_Primary", true, 5, false,
         {ssh + "-j MARK --set-mark 5 -A QTZ_INPUT_7",
          ssh + "-j LOG --log-level 4 --log-prefix QTZ_I_A_Allow_SSH -A QTZ_INPUT_7",
          ssh + "-j ACCEPT -A QTZ_INPUT_7"}},
        {"a reverse schedule adds the opposite lines without the time",
         ruleOf("No DNS", FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_UDP, false),
         {directionMatch(FW_DIRECTION_OUTBOUND), portMatch(FW_MATCH_REMOTE_PORT, 53),
          scheduleMatch("08:00", "17:00", "Mon,Tue", FW_SCHEDULE_ACTION_REVERSE)},
         "Web", false, 0, false,
         {dns + "-m time --timestart 08:00:00 --timestop 17:00:59 --weekdays Mon,Tue --kerneltz -j DROP -A Web_OUT_7",
          dns + "-j ACCEPT -A Web_OUT_7"}},
        {"both directions pair their mark lines and an intrusion targets the block-event chains", intrusion,
         {portMatch(FW_MATCH_LOCAL_PORT, 80), singleMatch(FW_MATCH_REMOTE_IP_ADDRESS, "192.0.2.1")}, "Web", false, 2,
         false,
         {in + "-j MARK --set-mark 2 -A Web_IN_7", out + "-j MARK --set-mark 2 -A Web_OUT_7",
          in + "-j QTZ_BlockEven_IN_7 -A Web_IN_7", out + "-j QTZ_BlockEven_OUT_7 -A Web_OUT_7"}},
        {"the last logged client rule goes to the built-in chains until flushed", blockAll, {}, "QTZ_Client", false,
         9, true,
         {"-j MARK --set-mark 9 -A INPUT", "-j MARK --set-mark 9 -A OUTPUT",
          "-j LOG --log-level 4 --log-prefix QTZ_I_B_Block_All -A INPUT", "-j DROP -A INPUT",
          "-j LOG --log-level 4 --log-prefix QTZ_O_B_Block_All -A OUTPUT", "-j DROP -A OUTPUT"},
         {"-D INPUT -j MARK --set-mark 9", "-D OUTPUT -j MARK --set-mark 9",
          "-D INPUT -j LOG --log-level 4 --log-prefix QTZ_I_B_Block_All",
          "-D OUTPUT -j LOG --log-level 4 --log-prefix QTZ_O_B_Block_All", "-D INPUT -j DROP", "-D OUTPUT -j DROP"}},
        {"without logging it is an ordinary rule of the client-side chains", silent, {}, "QTZ_Client", false, 0, true,
         {"-j DROP -A QTZ_Client_IN_7", "-j DROP -A QTZ_Client_OUT_7"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        runner->clear();
        ASSERT_TRUE(addRule(row.rule, row.matches, row.group, row.primary, row.mark, row.last));
        EXPECT_EQ(row.lines, runner->lines());
        EXPECT_EQ(SF_IPTABLES_PATH, runner->calls().front().front());
        EXPECT_EQ(sorted(row.flushed), flushedLines());
    }
}

TEST_F(SFIptablesTranslationTest, RefusedRulesAndGroupsRunNothing)
{
    nwif.setSubnets({});
    const KSFRule lastClientRule =
        ruleOf("Block All", FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_ANY, true);
    SFMatch negated = portMatch(FW_MATCH_LOCAL_PORT, 22);
    negated.matchOp = FW_MATCH_OP_EQUAL_NOT;

    EXPECT_FALSE(addRule(lastClientRule, {negated}, "QTZ_Client", false, 9, true));
    EXPECT_TRUE(logger.has(5, "Not enforcing rule - Block All in the group - QTZ_Client as match "
                              "operator 2 is not supported"));
    EXPECT_FALSE(addRule(lastClientRule, {directionMatch(FW_DIRECTION_OUTBOUND)}, "QTZ_Client",
                         false, 9, true, FW_DIRECTION_INBOUND));
    EXPECT_FALSE(addRule(lastClientRule,
                         {matchOf(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_LOCAL_SUBNET)},
                         "QTZ_Client", false, 9, true));
    EXPECT_TRUE(logger.has(5, "Not enforcing rule - Block All, in the group - QTZ_Client as none "
                              "of the local match types were valid for this rule"));

    std::list<SFMatch> negatedGroup = {negated};
    EXPECT_FALSE(driver.createNetfilterGroup("G", NET_PROTO_IP, FW_TRANS_PROTO_TCP,
                                             FW_MSG_TYPE_UNKNOWN, pointers(negatedGroup), {}));
    std::list<SFMatch> noDirection = {directionMatch(FW_DIRECTION_NOT_SET)};
    EXPECT_FALSE(driver.createNetfilterGroup("G", NET_PROTO_IP, FW_TRANS_PROTO_TCP,
                                             FW_MSG_TYPE_UNKNOWN, pointers(noDirection), {}));
    EXPECT_TRUE(logger.has(5, "Not creating netfilter group - G as group direction 0 is not "
                              "supported"));

    EXPECT_TRUE(runner->calls().empty());
    EXPECT_TRUE(flushedLines().empty()) << "a refused default-drop rule records nothing";
}

TEST_F(SFIptablesTranslationTest, FailingLineStopsTheRuleAndKeepsEarlierLines)
{
    // MARK, LOG and DROP under the schedule, then the reverse LOG and ACCEPT: five lines.
    runner->failAtCall(3);
    EXPECT_FALSE(addRule(ruleOf("Night", FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_UDP, true),
                         {scheduleMatch("22:00", "23:00", "Sun", FW_SCHEDULE_ACTION_REVERSE)},
                         "Web", false, 3, false, FW_DIRECTION_INBOUND));
    ASSERT_EQ(3u, runner->calls().size()) << "two lines ran, the third failed, none followed";
    EXPECT_TRUE(logger.has(6, "Not adding Inbound Rule Night  as an Exception occurred"));
    EXPECT_TRUE(logger.has(5, "Exception occurred when enforcing the incoming rule - Night in "
                              "the group - Web"));
}

TEST_F(SFIptablesTranslationTest, GroupChainsExistBeforeTheirJumpsCarryTheGroupCriteria)
{
    // The recorder succeeds on every command, so listing a chain must fail for it to be new.
    runner->failWhen([](const RecordingHelperUtils::Argv& argv) { return argv[1] == "-n"; });
    std::list<SFMatch> inbound = {directionMatch(FW_DIRECTION_INBOUND),
                                  portMatch(FW_MATCH_LOCAL_PORT, 80)};
    ASSERT_TRUE(driver.createNetfilterGroup("QTZ_Group_1", NET_PROTO_IP, FW_TRANS_PROTO_TCP,
                                            FW_MSG_TYPE_UNKNOWN, pointers(inbound), {}));
    EXPECT_EQ((Words{"-n -L QTZ_Group_1_IN_7", "-N QTZ_Group_1_IN_7",
                     "-p tcp -m state --state NEW -m multiport --dport 80 -A QTZ_INPUT_7 -j "
                     "QTZ_Group_1_IN_7"}),
              runner->lines());

    runner->clear();
    ASSERT_TRUE(driver.createNetfilterGroup("Any side", NET_PROTO_ANY, FW_TRANS_PROTO_ICMP,
                                            FW_ICMP_ANY, {}, {}));
    EXPECT_EQ((Words{"-n -L Any_side_IN_7", "-N Any_side_IN_7", "-n -L Any_side_OUT_7",
                     "-N Any_side_OUT_7",
                     "-p icmp --icmp-type any -A QTZ_INPUT_7 -j Any_side_IN_7",
                     "-p icmp --icmp-type any -A QTZ_OUTPUT_7 -j Any_side_OUT_7"}),
              runner->lines());

    runner->failWhen([](const RecordingHelperUtils::Argv& argv) { return argv[1] == "-p"; });
    EXPECT_FALSE(driver.createNetfilterGroup("QTZ_Group_1", NET_PROTO_IP, FW_TRANS_PROTO_TCP,
                                             FW_MSG_TYPE_UNKNOWN, pointers(inbound), {}));
    EXPECT_TRUE(logger.has(5, "Disabling netfilter group - QTZ_Group_1 when creating incoming "
                              "jump rule to it due to exception"));
}
