// The rule and trusted-network add and delete commands as a user types them: argv and the
// answer on standard input in; exit code, requests, the rule as the daemon reads it back from
// the channel's wide text archive, standard output and log lines out.

#include "CommonFunc.h"
#include "RecordingCliCommands.h"
#include "RecordingLogger.h"
#include "SFCli.h"
#include "SFSerialization.h"

#include <boost/archive/text_wiarchive.hpp>
#include <boost/archive/text_woarchive.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::RecordingCliCommands;

namespace {

const std::string kClientGroup = "7eece6a4-5ac2-9dfb-6374-477569447e00";
const std::string kAdaptiveGroup = "ba869d9b-5ea5-9d72-6164-477569447e00";
const std::string kFirstRuleId = "11111111-2222-3333-4444-555555555555";
const std::string kSecondRuleId = "0000abcd-0001-0002-0304-05060708090a";

// Points a standard stream at a buffer for the life of the object.
class StreamSwap {
public:
    StreamSwap(std::ios& stream, std::streambuf* buffer)
        : m_stream(stream), m_saved(stream.rdbuf(buffer))
    {
    }
    ~StreamSwap() { m_stream.rdbuf(m_saved); }
    StreamSwap(const StreamSwap&) = delete;
    StreamSwap& operator=(const StreamSwap&) = delete;

private:
    std::ios& m_stream;
    std::streambuf* m_saved;
};

// One run of tqctl with a recording request layer whose list reads answer two rules and two
// trusted networks.
struct Tool {
    RecordingCliCommands commands;
    TestSupport::RecordingLogger log;
    std::ostringstream out;
    std::istringstream in;

    Tool()
    {
        commands.ruleIds = {CommonFunc::getGUIDFromString(kFirstRuleId),
                            CommonFunc::getGUIDFromString(kSecondRuleId)};
        commands.ruleNames = {"web", "ssh"};
        commands.trustedList = {"10.0.0.1", "10.0.0.0/8"};
    }

    int run(const std::vector<std::string>& args, const std::string& input = "")
    {
        TestSupport::CommandLine line(args);
        in.str(input);
        StreamSwap output(std::cout, out.rdbuf());
        StreamSwap answers(std::cin, in.rdbuf());
        TestSupport::UnusedCommandCallback callback;
        TestSupport::UnusedCommClient client;
        SFCli cli(log);
        cli.initCli();
        const int parsed = cli.parseAndPerformHelp(line.argc(), line.argv.data());
        return parsed == 99 ? cli.performCli(commands, callback, client) : parsed;
    }
};

std::string line(const std::vector<std::string>& args)
{
    std::string text = "tqctl";
    for (const std::string& a : args)
        text += " '" + a + "'";
    return text;
}

std::vector<std::string> addRule(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--fw-rule-add", "--name", "x", "--action", "allow"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// The rule as the daemon reads it from the command's wide text archive.
std::unique_ptr<SFRule> throughChannel(const SFRule& rule)
{
    std::wstringstream text;
    {
        boost::archive::text_woarchive archive(text);
        archive << rule;
    }
    auto copy = std::make_unique<SFRule>();
    boost::archive::text_wiarchive archive(text);
    archive >> *copy;
    return copy;
}

template <size_t N> std::string field(const char (&text)[N])
{
    return std::string(text, strnlen(text, N));
}

// kind/format/operator, then the value the match carries.
std::string describe(const SFMatch& match)
{
    const std::string head = std::to_string(match.matchType) + "/" +
                             std::to_string(match.addressType) + "/" +
                             std::to_string(match.matchOp);
    const MatchDataType& v = match.value;
    switch (match.matchType) {
    case FW_MATCH_DIRECTION:
    case FW_MATCH_PHYSICAL_MEDIUM:
        return head + ":" + std::to_string(v.intValue);
    case FW_MATCH_SCHEDULE:
        return head + ":" + field(v.schedule.startTime) + "-" + field(v.schedule.endTime) + " " +
               field(v.schedule.days) + " " + std::to_string(v.schedule.daysMask) + " " +
               std::to_string(v.schedule.scheduleAction);
    case FW_MATCH_LOCAL_PORT:
    case FW_MATCH_REMOTE_PORT:
        return head + ":" + std::to_string(v.ports.port) +
               (match.addressType == FW_ADDRESS_TYPE_PORT_RANGE
                    ? "-" + std::to_string(v.ports.lastPort)
                    : "");
    default:
        break;
    }
    switch (match.addressType) {
    case FW_ADDRESS_TYPE_SINGLE:
        return head + ":" + match.getStartIp4Address();
    case FW_ADDRESS_TYPE_IP_RANGE:
        return head + ":" + match.getStartIp4Address() + "-" + match.getEndIp4Address();
    case FW_ADDRESS_TYPE_CIDR:
        return head + ":" + match.getCidrIPAddress();
    case FW_ADDRESS_TYPE_DOMAIN_NAME:
        return head + ":" + match.getDomainName();
    default:
        return head;
    }
}

std::vector<std::string> describe(const SFRule& rule)
{
    std::vector<std::string> matches;
    for (const SFMatch* match : rule.matches)
        matches.push_back(describe(*match));
    return matches;
}

const std::string kDirectionEither = "5/0/1:3";
const std::string kWired = "10/0/1:1";

} // namespace

TEST(SFCliActionsTest, NameAndActionAloneGiveAnEnabledAnyProtocolRuleOfTheClientGroup)
{
    Tool tool;
    ASSERT_EQ(tool.run(addRule({})), 0) << tool.out.str();
    ASSERT_EQ(tool.commands.calls, std::vector<std::string>{"addModifyRule(100006)"});
    const std::unique_ptr<SFRule> rule = throughChannel(*tool.commands.rules.at(0));

    EXPECT_EQ(CommonFunc::textGUID(rule->groupId), kClientGroup);
    EXPECT_FALSE(CommonFunc::isGUIDNull(rule->ruleId));
    EXPECT_EQ(rule->position, -1);
    EXPECT_TRUE(rule->enabled);
    EXPECT_EQ(rule->name, "x");
    EXPECT_EQ(rule->description, "");
    EXPECT_EQ(rule->action, FW_ACTION_ALLOW);
    EXPECT_EQ(rule->transport, FW_TRANS_PROTO_ANY);
    EXPECT_EQ(rule->msgType, FW_ICMP_ANY);
    EXPECT_EQ(rule->netProto, NET_PROTO_ANY);
    EXPECT_FALSE(rule->logEnabled);
    EXPECT_EQ(describe(*rule), (std::vector<std::string>{kDirectionEither, kWired}));
    EXPECT_EQ(tool.out.str(), "");
}

TEST(SFCliActionsTest, EveryOptionAppendsItsMatchInTheFixedOrderWhateverTheTypedOrder)
{
    Tool tool;
    const std::vector<std::string> args = {
        "--fw-rule-add", "--remote-anyv4", "--local-anyv4", "--remote-service", "1000-2000",
        "--local-service", "80", "--proto", "tcp", "--remote-subnet", "--remote-local",
        "--remote-trusted", "--remote-cidr", "192.168.0.0/16", "--remote-range",
        "192.168.1.10-192.168.1.20", "--remote-fqdn", "b.example.org", "--remote-single",
        "192.168.1.1", "--local-subnet", "--local-local", "--local-trusted",
        "--schedule-offhour-action", "reverse", "--schedule-weekdays", "mon, WED",
        "--schedule-end-time", "17:30", "--schedule-start-time", "09:00", "--schedule-status", "on",
        "--local-cidr", "10.0.0.0/8", "--local-range", "10.0.0.1-10.0.0.9", "--local-fqdn",
        "a.example.com", "--local-single", "10.0.0.1", "--notes", "n (x)", "--state", "disable",
        "--log", "--direction", "in", "--action", "deny", "--name", "Web #1", "--index", "4"};
    ASSERT_EQ(tool.run(args), 0) << tool.out.str();
    ASSERT_EQ(tool.commands.rules.size(), 1u);
    const std::unique_ptr<SFRule> rule = throughChannel(*tool.commands.rules[0]);

    EXPECT_EQ(rule->position, 4);
    EXPECT_FALSE(rule->enabled);
    EXPECT_TRUE(rule->logEnabled);
    EXPECT_EQ(rule->name, "Web _1");
    EXPECT_EQ(rule->description, "n _x_");
    EXPECT_EQ(rule->action, FW_ACTION_BLOCK_PACKET);
    EXPECT_EQ(rule->transport, FW_TRANS_PROTO_TCP);
    EXPECT_EQ(describe(*rule), (std::vector<std::string>{
                                   "5/0/1:1",
                                   "2/1/1:10.0.0.1",
                                   "2/5/1:a.example.com",
                                   "2/2/1:10.0.0.1-10.0.0.9",
                                   "2/4/1:10.0.0.0/8",
                                   "11/0/1:09:00-17:30 Mon,Wed, 10 1",
                                   "2/6/1",
                                   "2/7/1",
                                   "2/8/1",
                                   "4/1/1:192.168.1.1",
                                   "4/5/1:b.example.org",
                                   "4/2/1:192.168.1.10-192.168.1.20",
                                   "4/4/1:192.168.0.0/16",
                                   "4/6/1",
                                   "4/7/1",
                                   "4/8/1",
                                   "1/1/1:80",
                                   "3/3/1:1000-2000",
                                   "2/9/1",
                                   "4/9/1",
                                   kWired,
                               }));
}

TEST(SFCliActionsTest, AcceptedOptionValuesBecomeTheseMatchesAndProtocols)
{
    struct Row {
        std::vector<std::string> extra;
        std::vector<std::string> matches;
        int transport;
        int msgType;
    };
    const int any = FW_TRANS_PROTO_ANY;
    const std::vector<Row> rows = {
        // Runs of commas separate once, blanks around elements go, trailing commas close.
        {{"--local-single", "10.0.0.1, 10.0.0.2,,10.0.0.3,"},
         {kDirectionEither, "2/1/1:10.0.0.1", "2/1/1:10.0.0.2", "2/1/1:10.0.0.3", kWired}, any,
         FW_ICMP_ANY},
        {{"--proto", "udp", "--local-service", "1000-2000,22"},
         {kDirectionEither, "1/3/1:1000-2000", "1/1/1:22", kWired}, FW_TRANS_PROTO_UDP,
         FW_ICMP_ANY},
        // Blanks after the delimiter are read as the checks read them.
        {{"--proto", "tcp", "--local-service", "80- 90"},
         {kDirectionEither, "1/3/1:80-90", kWired}, FW_TRANS_PROTO_TCP, FW_ICMP_ANY},
        {{"--remote-cidr", "10.0.0.0/ 8"}, {kDirectionEither, "4/4/1:10.0.0.0/8", kWired}, any,
         FW_ICMP_ANY},
        {{"--proto", "gre"}, {kDirectionEither, kWired}, 47, FW_ICMP_ANY},
        // An alias found in the protocol database is a protocol like any other found there.
        {{"--proto", "TCP"}, {kDirectionEither, kWired}, FW_TRANS_PROTO_TCP, FW_ICMP_ANY},
        {{"--proto", "icmp", "--icmp-type", "8"}, {kDirectionEither, kWired}, FW_TRANS_PROTO_ICMP,
         FW_ICMP_ECHO_REQUEST},
        {{"--proto", "icmp", "--icmp-type", "any"}, {kDirectionEither, kWired},
         FW_TRANS_PROTO_ICMP, FW_ICMP_ANY},
        {{"--schedule-status", "on"},
         {kDirectionEither, "11/0/1:00:00-23:59 Sun,Mon,Tue,Wed,Thu,Fri,Sat, 127 0", kWired}, any,
         FW_ICMP_ANY},
        {{"--direction", "out", "--index", "0"}, {"5/0/1:2", kWired}, any, FW_ICMP_ANY},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> args = addRule(row.extra);
        SCOPED_TRACE(line(args));
        Tool tool;
        ASSERT_EQ(tool.run(args), 0) << tool.out.str();
        ASSERT_EQ(tool.commands.rules.size(), 1u);
        const std::unique_ptr<SFRule> rule = throughChannel(*tool.commands.rules[0]);
        EXPECT_EQ(describe(*rule), row.matches);
        EXPECT_EQ(rule->transport, row.transport);
        EXPECT_EQ(rule->msgType, row.msgType);
    }
}

TEST(SFCliActionsTest, RefusedRuleOptionsPrintOneLineExitWith101AndSendNothing)
{
    struct Row {
        std::vector<std::string> extra;
        std::string shown;
        int level;
        std::string logged;
    };
    const auto invalid = [](const std::string& option) {
        return "Error in adding rule as invalid value for rule " + option + " was provided";
    };
    const std::string service =
        "Error in adding rule as service is not valid for selected protocol";
    const std::string icmpType =
        "Error in adding rule as message type is not valid for selected protocol";
    const std::string badIcmpType = " Error in adding rule as message type parameter is not valid";
    const std::string badProto = "Error in adding rule as invalid protocol was provided";
    const std::string noStatus =
        "Error in adding rule as value for schedule status was not provided";
    const std::vector<Row> rows = {
        {{"--index", "-1"}, invalid("index"), 4,
         " Error in adding rule as invalid rule index was provided"},
        {{"--direction", "up"}, invalid("direction"), 4,
         " Error in adding rule as invalid direction was selected for the rule"},
        {{"--state", "off"}, invalid("state"), 4,
         " Error in adding rule as invalid state was selected for the rule"},
        {{"--local-single", ",10.0.0.1"}, invalid("local-single"), 4,
         " Validation of Ip Address  failed"},
        {{"--local-range", "10.0.0.1"}, invalid("local-range"), 4,
         " Validation of Ip Range  10.0.0.1 failed due to syntax issues"},
        {{"--remote-range", "10.0.0.5-10.0.0.1"}, invalid("remote-range"), 4,
         " Error in adding rule as remote Ip range parameter is not valid"},
        {{"--local-service", "80"}, service, 4,
         " Error in adding rule as local service is not valid for selected protocol"},
        {{"--proto", "any", "--local-service", "80"}, service, 4,
         " Error in adding rule as local service is not valid for selected protocol"},
        {{"--proto", "TCP", "--remote-service", "80"}, service, 4,
         " Error in adding rule as remote service is not valid for selected protocol"},
        {{"--proto", "tcp", "--local-service", "80,0"}, invalid("local-service"), 4,
         "Validation of port 0 failed"},
        {{"--proto", "47"}, invalid("proto"), 4, badProto},
        {{"--proto", "ip"}, invalid("proto"), 4,
         "Error in adding rule as invalid protocol 0 was provided"},
        {{"--proto", "ipv6-icmp"}, "IPv6 protocol is not supported", 5,
         "IPv6 protocols are not supported"},
        {{"--proto", "icmp", "--icmp-type", "1"}, invalid("icmp-type"), 4, badIcmpType},
        {{"--proto", "icmp", "--icmp-type", "8x"}, invalid("icmp-type"), 4, badIcmpType},
        {{"--proto", "icmp", "--icmp-type", " 8"}, invalid("icmp-type"), 4, badIcmpType},
        {{"--proto", "icmp", "--icmp-type", ""}, invalid("icmp-type"), 4, badIcmpType},
        {{"--proto", "tcp", "--icmp-type", "8"}, icmpType, 4,
         " Error in adding rule as message type is not valid for selected protocol"},
        // Typed, even with the default's text, a schedule option needs the status on.
        {{"--schedule-start-time", "00:00"}, noStatus, 4,
         " Error in adding rule as Start time params can only be specified when Schedule status "
         "is on"},
        {{"--schedule-status", "off", "--schedule-end-time", "23:59"}, "Invalid Option", 4,
         " Error in adding rule as end Time params can only be specified when Schedule status is "
         "on"},
        {{"--schedule-status", "maybe"}, invalid("schedule-status"), 4,
         " Error in adding rule as Schedule status parameter value is invalid"},
        {{"--schedule-status", "on", "--schedule-start-time", "17:00", "--schedule-end-time",
          "09:00"},
         "Error in adding rule as invalid value for rule schedule-start-time Or "
         "schedule-end-time was provided",
         4,
         " Error in adding rule as Schedule start Time parameter and(or) end Time parameter is "
         "not valid"},
        // Separators alone name no day.
        {{"--schedule-status", "on", "--schedule-weekdays", ","}, invalid("schedule-weekdays"), 4,
         " Error in adding rule as Schedule Days parameter is not valid"},
        {{"--schedule-status", "on", "--schedule-offhour-action", "skip"},
         invalid("schedule-offhour-action"), 4,
         " Error in adding rule as Schedule Off Hours Action parameter is not valid"},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> args = addRule(row.extra);
        SCOPED_TRACE(line(args));
        Tool tool;
        EXPECT_EQ(tool.run(args), 101);
        EXPECT_EQ(tool.out.str(), row.shown + "\n");
        EXPECT_TRUE(tool.commands.calls.empty());
        EXPECT_TRUE(tool.log.has(row.level, row.logged));
    }
}

TEST(SFCliActionsTest, TrustedAddSendsTheFirstSubOptionGivenAsTyped)
{
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> calls;
        std::string sent; // the entry's type and address
        std::string shown;
    };
    const std::vector<Row> rows = {
        {{"--cidr", "10.0.0.0/8", "--single", "10.1.1.1"}, 0, {"addToTrustedNetwork"},
         "1 10.1.1.1", ""},
        {{"--range", "10.0.0.1-10.0.0.9", "--cidr", "10.0.0.0/ 8"}, 0, {"addToTrustedNetwork"},
         "4 10.0.0.0/8", ""},
        {{"--range", "10.0.0.1-10.0.0.9"}, 0, {"addToTrustedNetwork"}, "2 10.0.0.1-10.0.0.9", ""},
        {{"--single", " 10.1.1.1"}, 101, {}, "",
         "Error in adding trusted network as invalid value for trusted network single was "
         "provided\n"},
        {{"--cidr", "10.0.0.0"}, 101, {}, "",
         "Error in adding trusted network as invalid value for trusted network cidr was "
         "provided\n"},
        {{"--include-local", "on"}, 0, {"setIndividualPrefData(10,true)"}, "", ""},
        {{"--include-local", "off"}, 0, {"setIndividualPrefData(10,false)"}, "", ""},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"--fw-trusted-add"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(line(args));
        Tool tool;
        EXPECT_EQ(tool.run(args), row.exitCode);
        EXPECT_EQ(tool.commands.calls, row.calls);
        EXPECT_EQ(tool.out.str(), row.shown);
        std::string sent;
        for (const SFTrustedGroupIP& entry : tool.commands.trustedEntries)
            sent += std::to_string(entry.type) + " " + entry.getTrustedIPValueString();
        EXPECT_EQ(sent, row.sent);
    }

    Tool tool;
    EXPECT_EQ(tool.run({"--fw-trusted-add", "--include-local", "yes"}), 101);
    EXPECT_EQ(tool.out.str().rfind("Invalid Syntax\nOptions:\n", 0), 0u) << tool.out.str();
    EXPECT_TRUE(tool.commands.calls.empty());
    EXPECT_TRUE(tool.log.has(
        4, " Failed to change include local subnets in Trusted Network due to invalid syntax"));
}

TEST(SFCliActionsTest, DeletesPickTheEntryByPositionAndAskUnlessForced)
{
    struct Row {
        std::vector<std::string> args;
        std::string input;
        int mode;
        std::string failing;
        int exitCode;
        std::vector<std::string> calls;
        std::string shown;
    };
    const std::string listClient = "getAllRules(" + kClientGroup + ")";
    const std::string deleteSecond = "deleteRule(" + kSecondRuleId + "," + kClientGroup + ")";
    const std::string prompt = "Delete firewall rule - ssh (Enter y to confirm): ";
    const std::string cancelled = prompt + "Cancelled delete of firewall rule\n";
    const std::string invalidIndex = "Error in deleting rule as invalid rule index was provided\n";
    const std::string notFound =
        "Error in deleting rule as rule with that index could not be found\n";
    const std::string trustedPrompt = "Delete Trusted Network - 10.0.0.0/8 (Enter y to confirm): ";
    const std::string trustedInvalid =
        "Error in deleting trusted network as invalid index was provided\n";
    const int regular = FW_MODE_REGULAR;
    const std::vector<Row> rows = {
        {{"--fw-rule-delete", "--index", "0"}, "y\n", regular, "", 101, {}, invalidIndex},
        {{"--fw-rule-delete", "--index=-3"}, "y\n", regular, "", 101, {}, invalidIndex},
        {{"--fw-rule-delete", "--index", "3"}, "y\n", regular, "", 101, {listClient}, notFound},
        {{"--fw-rule-delete", "--index", "2"}, "y\n", regular, "", 0, {listClient, deleteSecond},
         prompt + "Deleting firewall rule: ssh\n"},
        {{"--fw-rule-delete", "--index", "2"}, "Y\n", regular, "", 0, {listClient, deleteSecond},
         prompt + "Deleting firewall rule: ssh\n"},
        {{"--fw-rule-delete", "--index", "2"}, "n\n", regular, "", 101, {listClient}, cancelled},
        {{"--fw-rule-delete", "--index", "2"}, "\n", regular, "", 101, {listClient}, cancelled},
        {{"--fw-rule-delete", "--index", "2"}, "y \n", regular, "", 101, {listClient}, cancelled},
        {{"--fw-rule-delete", "--index", "2"}, "yes\n", regular, "", 101, {listClient}, cancelled},
        {{"--fw-rule-delete", "--index", "2"}, "", regular, "", 101, {listClient}, cancelled},
        {{"--fw-rule-delete", "--index", "2", "--force"}, "n\n", regular, "", 0,
         {listClient, deleteSecond}, "Deleting firewall rule: ssh\n"},
        // The request layer reports a list it could not fetch; nothing is said about the index.
        {{"--fw-rule-delete", "--index", "1"}, "y\n", regular, "getAllRules", 103, {listClient},
         ""},
        {{"--fw-rule-delete", "--index", "2", "--force"}, "", regular, "deleteRule", 103,
         {listClient, deleteSecond}, "Deleting firewall rule: ssh\n"},
        {{"--fw-rule-delete", "--index", "1", "--adaptive", "--force"}, "", regular, "", 0,
         {"getIndividualPref(6)", "getAllRules(" + kAdaptiveGroup + ")",
          "deleteRule(" + kFirstRuleId + "," + kAdaptiveGroup + ")"},
         "Deleting firewall rule: web\n"},
        {{"--fw-rule-delete", "--index", "1", "--adaptive", "--force"}, "", FW_MODE_ADAPTIVE, "",
         101, {"getIndividualPref(6)"},
         "Error in deleting adaptive rule as firewall is in adaptive mode\n"},
        // Without the mode the tool cannot tell that the adaptive group may be changed.
        {{"--fw-rule-delete", "--index", "1", "--adaptive", "--force"}, "", regular,
         "getIndividualPref", 103, {"getIndividualPref(6)"},
         "Error in deleting adaptive rule as firewall mode could not be read\n"},
        {{"--fw-trusted-delete", "--index", "0"}, "y\n", regular, "", 101, {}, trustedInvalid},
        {{"--fw-trusted-delete", "--index", "3"}, "y\n", regular, "", 101,
         {"getAllTrustedNetwork"}, trustedInvalid},
        {{"--fw-trusted-delete", "--index", "2"}, "y\n", regular, "", 0,
         {"getAllTrustedNetwork", "deleteFromTrustedNetwork(10.0.0.0/8)"},
         trustedPrompt + "Deleting Trusted Network: 10.0.0.0/8\n"},
        {{"--fw-trusted-delete", "--index", "2"}, "", regular, "", 101, {"getAllTrustedNetwork"},
         trustedPrompt + "Cancelled delete of Trusted Network\n"},
        {{"--fw-trusted-delete", "--index", "1", "--force"}, "", regular, "", 0,
         {"getAllTrustedNetwork", "deleteFromTrustedNetwork(10.0.0.1)"},
         "Deleting Trusted Network: 10.0.0.1\n"},
        {{"--fw-trusted-delete", "--index", "1"}, "", regular, "getAllTrustedNetwork", 103,
         {"getAllTrustedNetwork"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(line(row.args) + " answering '" + row.input + "'");
        Tool tool;
        tool.commands.mode = row.mode;
        if (!row.failing.empty())
            tool.commands.failing.insert(row.failing);
        EXPECT_EQ(tool.run(row.args, row.input), row.exitCode);
        EXPECT_EQ(tool.commands.calls, row.calls);
        EXPECT_EQ(tool.out.str(), row.shown);
    }
}

TEST(SFCliActionsTest, ForcedDeleteNamesTheEntryBeforeTheRequestAndReadsNoAnswer)
{
    for (const std::string command : {"--fw-rule-delete", "--fw-trusted-delete"}) {
        SCOPED_TRACE(command);
        Tool tool;
        std::string shownBeforeDelete;
        tool.commands.onCall = [&](const std::string& call) {
            if (call.rfind("delete", 0) == 0)
                shownBeforeDelete = tool.out.str();
        };
        EXPECT_EQ(tool.run({command, "--index", "1", "--force"}, "n\n"), 0);
        EXPECT_EQ(shownBeforeDelete, command == "--fw-rule-delete"
                                         ? "Deleting firewall rule: web\n"
                                         : "Deleting Trusted Network: 10.0.0.1\n");
        EXPECT_EQ(tool.in.tellg(), 0);
    }
}

TEST(SFCliActionsTest, DeletePromptShowsControlBytesOfTheNameAsQuestionMarks)
{
    Tool tool;
    tool.commands.ruleNames[1] = "ssh\x1b]0;owned\x07\x1b[2J";
    EXPECT_EQ(tool.run({"--fw-rule-delete", "--index", "2"}, "y\n"), 0);
    EXPECT_EQ(tool.out.str(), "Delete firewall rule - ssh?]0;owned??[2J (Enter y to confirm): "
                              "Deleting firewall rule: ssh?]0;owned??[2J\n");
    // The rule is still deleted by its identifier.
    EXPECT_EQ(tool.commands.calls.back(), "deleteRule(" + kSecondRuleId + "," + kClientGroup + ")");
}
