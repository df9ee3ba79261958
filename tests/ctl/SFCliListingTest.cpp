// The rule listing as a user or a script reads it: the coloured table at three terminal widths,
// the detailed blocks, the log prefixes and match details shown in them, and the XML nodes as a
// parser reads them back. Multi-line outputs are compared with files in tests/ctl/golden;
// TQ_UPDATE_GOLDEN=1 rewrites those files from the current output, for review in the diff.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "RecordingLogger.h"
#include "SFCliColorConstants.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using boost::property_tree::ptree;

namespace {

// Standard output of the scope, with the colour sequences spelled as {green}, {red},
// {yellow} and {reset} so the golden files stay readable.
class StdoutCapture {
public:
    StdoutCapture() : m_saved(std::cout.rdbuf(m_text.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(m_saved); }

    std::string text() const
    {
        std::string out = m_text.str();
        boost::replace_all(out, SFCliColorConstants::CLI_COLOR_GREEN, "{green}");
        boost::replace_all(out, SFCliColorConstants::CLI_COLOR_RED, "{red}");
        boost::replace_all(out, SFCliColorConstants::CLI_COLOR_YELLOW, "{yellow}");
        boost::replace_all(out, SFCliColorConstants::CLI_COLOR_RESET, "{reset}");
        return out;
    }

private:
    std::ostringstream m_text;
    std::streambuf* m_saved;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void expectGolden(const std::string& name, const std::string& actual)
{
    const std::string path = std::string(TQ_SOURCE_DIR) + "/tests/ctl/golden/" + name;
    if (std::getenv("TQ_UPDATE_GOLDEN") != nullptr)
        std::ofstream(path, std::ios::binary) << actual;
    EXPECT_EQ(actual, readFile(path)) << "differs from " << path;
}

// Matches owned by the test; null entries stand for the gaps a decoded list may hold.
struct OwnedMatches {
    std::list<SFMatch*> list;
    OwnedMatches(std::initializer_list<SFMatch*> matches) : list(matches) {}
    ~OwnedMatches()
    {
        for (SFMatch* match : list)
            delete match;
    }
    OwnedMatches(const OwnedMatches&) = delete;
    OwnedMatches& operator=(const OwnedMatches&) = delete;
};

SFMatch* portMatch(int kind, uint16_t port, uint16_t lastPort = 0)
{
    auto* match = new SFMatch;
    match->matchType = kind;
    match->addressType = lastPort != 0 ? FW_ADDRESS_TYPE_PORT_RANGE : FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, lastPort);
    return match;
}

SFMatch* addressMatch(int kind, const char* dotted, uint8_t prefix = 0)
{
    auto* match = new SFMatch;
    match->matchType = kind;
    match->matchOp = FW_MATCH_OP_EQUAL;
    if (prefix != 0) {
        match->addressType = FW_ADDRESS_TYPE_CIDR;
        match->setCidrIPAddress(prefix, dotted);
    } else {
        match->addressType = FW_ADDRESS_TYPE_SINGLE;
        match->setStartIp4Address(dotted);
    }
    return match;
}

SFMatch* valueMatch(int kind, int value)
{
    auto* match = new SFMatch;
    match->matchType = kind;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = value;
    return match;
}

SFMatch* scheduleMatch(const std::string& start, const std::string& end, const std::string& days,
                       int offHoursAction)
{
    MatchSchedule schedule{};
    start.copy(schedule.startTime, sizeof(schedule.startTime) - 1);
    end.copy(schedule.endTime, sizeof(schedule.endTime) - 1);
    days.copy(schedule.days, sizeof(schedule.days) - 1);
    schedule.scheduleAction = offHoursAction;
    auto* match = new SFMatch;
    match->matchType = FW_MATCH_SCHEDULE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setSchedule(schedule);
    return match;
}

struct RuleText {
    int position;
    const char* name;
    int action;
    int transport;
    bool enabled;
    bool enforced;
    bool logEnabled;
};

SFRule* makeRule(const RuleText& text, std::initializer_list<SFMatch*> matches)
{
    auto* rule = new SFRule;
    rule->ruleId = CommonFunc::getGUIDFromString("00000100-0001-0002-0304-050607080900");
    rule->ruleId.Data1 += static_cast<unsigned long>(text.position);
    rule->position = text.position;
    rule->name = text.name;
    rule->action = text.action;
    rule->transport = text.transport;
    rule->enabled = text.enabled;
    rule->enforced = text.enforced;
    rule->logEnabled = text.logEnabled;
    for (SFMatch* match : matches)
        rule->addMatch(match);
    return rule;
}

// The client group: positions 1..3, one rule of each colour.
void fillClientGroup(SFRuleGroup& group)
{
    group.groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    group.name = "Client rules";
    group.chainName = "QTZ_Client";
    group.description = "Rules added by the administrator";
    group.enabled = true;
    group.enforced = true;
    group.rules.push_back(makeRule({1, "Allow web traffic, port 80", FW_ACTION_ALLOW,
                                    FW_TRANS_PROTO_TCP, true, true, true},
                                   {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_EITHER),
                                    portMatch(FW_MATCH_REMOTE_PORT, 80)}));
    group.rules.push_back(makeRule({2, "Block telnet from anywhere on the internet",
                                    FW_ACTION_BLOCK_PACKET, FW_TRANS_PROTO_TCP, true, true, true},
                                   {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND),
                                    portMatch(FW_MATCH_REMOTE_PORT, 23),
                                    portMatch(FW_MATCH_REMOTE_PORT_2, 2300, 2400)}));
    group.rules.push_back(makeRule({3, "Outbound NTP", FW_ACTION_ALLOW, FW_TRANS_PROTO_UDP, true,
                                    false, false},
                                   {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_OUTBOUND),
                                    portMatch(FW_MATCH_REMOTE_PORT, 123)}));
}

// Lists the group the way the rule listing does: group lines, then each rule with its place.
std::string tableListing(SFCliCommands& commands, const SFRuleGroup& group, int columns)
{
    StdoutCapture capture;
    commands.showGroupInStdout(group, true);
    int ordinal = 0;
    for (SFRule* rule : group.rules)
        commands.showRuleInStdout(rule, true, columns, static_cast<int>(group.rules.size()),
                                  ++ordinal);
    return capture.text();
}

// The entries in order, blank-separated: "key=text" for a leaf, the key alone for an entry
// with children (whose text is the writer's indentation).
std::string entriesOf(const ptree& tree)
{
    std::string entries;
    for (const auto& child : tree) {
        entries += (entries.empty() ? "" : " ") + child.first;
        if (child.second.empty())
            entries += "=" + child.second.data();
    }
    return entries;
}

// The group node with its rules as the rules document holds it, written and parsed back.
ptree writtenAndReadBack(SFCliCommands& commands, const SFRuleGroup& group, std::string* written)
{
    ptree node = commands.getGroupNodeInXml(group);
    for (SFRule* rule : group.rules)
        node.add_child("rule", commands.getRuleNodeInXml(rule));
    ptree groups;
    groups.add_child("group", node);
    ptree root;
    root.add_child("groups", groups);
    std::ostringstream out;
    boost::property_tree::write_xml(
        out, root, boost::property_tree::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));
    *written = out.str();
    std::istringstream in(*written);
    ptree parsed;
    boost::property_tree::read_xml(in, parsed);
    return parsed.get_child("groups.group");
}

// Fails for every character of the document outside XML 1.0's Char production (tab, line feed,
// carriage return, U+0020..U+D7FF, U+E000..U+FFFD, U+10000..U+10FFFF) or not in well-formed
// UTF-8, which the document declares: what a strict parser refuses, unlike the one above.
void expectOnlyXmlCharacters(const std::string& document)
{
    size_t i = 0;
    while (i < document.size()) {
        const auto lead = static_cast<unsigned char>(document[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        bool wellFormed = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4);
        for (size_t k = 1; wellFormed && k < length; ++k) {
            const auto next = i + k < document.size() ? static_cast<unsigned char>(document[i + k])
                                                      : 0;
            wellFormed = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        wellFormed = wellFormed && code >= smallest[length];
        const bool xmlChar = code == 0x9 || code == 0xA || code == 0xD ||
                             (code >= 0x20 && code <= 0xD7FF) ||
                             (code >= 0xE000 && code <= 0xFFFD) ||
                             (code >= 0x10000 && code <= 0x10FFFF);
        EXPECT_TRUE(wellFormed && xmlChar)
            << "character U+" << std::hex << code << " at byte " << std::dec << i;
        if (!(wellFormed && xmlChar))
            return;
        i += length;
    }
}

// Fails for every byte a terminal acts on rather than shows: C0 controls other than the line
// feeds the listing writes itself, DEL, and the C1 controls as UTF-8 or as single bytes.
void expectNoTerminalControls(const std::string& listing)
{
    size_t continuations = 0; // still expected after a UTF-8 lead byte
    for (size_t i = 0; i < listing.size(); ++i) {
        const auto byte = static_cast<unsigned char>(listing[i]);
        if (continuations > 0 && (byte & 0xC0) == 0x80) {
            --continuations;
            continue;
        }
        continuations = 0;
        const auto next = i + 1 < listing.size() ? static_cast<unsigned char>(listing[i + 1]) : 0;
        const bool control = (byte < 0x20 && byte != '\n') || byte == 0x7F ||
                             (byte == 0xC2 && next >= 0x80 && next <= 0x9F) ||
                             (byte >= 0x80 && byte <= 0x9F);
        EXPECT_FALSE(control) << "byte " << static_cast<int>(byte) << " at " << i << " in:\n"
                              << listing;
        if (byte >= 0xC2 && byte <= 0xF4)
            continuations = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
    }
}

// Names as policies and the channel may deliver them: markup, controls, a window-title and a
// clear-screen sequence, the two non-characters XML forbids, a C1 control in both spellings.
const std::string HOSTILE_GROUP_NAME = "grp\x1b]0;owned\x07\x1b[2J<&\">";
const std::string HOSTILE_RULE_NAME = "rule\xef\xbf\xbe\xef\xbf\xbf\xc2\x9b" "31m\x9b" "2J\x7f";

class SFCliListingTest : public testing::Test {
protected:
    TestSupport::RecordingLogger m_logger;
    SFCliCommands m_commands{m_logger};
};

} // namespace

TEST_F(SFCliListingTest, TableWidthFollowsTheTerminalAndFramesTheGroupsRules)
{
    SFRuleGroup group;
    fillClientGroup(group);
    expectGolden("listing-table-80.txt", tableListing(m_commands, group, 80));
    expectGolden("listing-table-100.txt", tableListing(m_commands, group, 100));
    expectGolden("listing-table-200.txt", tableListing(m_commands, group, 200));
}

// Regression: framing by position lost the header and the closing frame of every group but the
// client group, whose rules alone are numbered 1..n.
TEST_F(SFCliListingTest, GroupWithUnnumberedRulesIsStillFramedAndDisabledRuleStaysUncoloured)
{
    SFRuleGroup group;
    group.name = "Allow the management servers to reach this host over SSH and HTTPS";
    group.chainName = "QTZ_Group_1";
    group.enabled = true;
    group.enforced = false;
    group.rules.push_back(makeRule({-1, "Management SSH", FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP,
                                    false, true, true},
                                   {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND),
                                    portMatch(FW_MATCH_LOCAL_PORT, 22)}));
    group.rules.push_back(makeRule({-1, "Management HTTPS", FW_ACTION_ALLOW, 47, true, false,
                                    false},
                                   {portMatch(FW_MATCH_LOCAL_PORT, 443)}));
    expectGolden("listing-table-other-group.txt", tableListing(m_commands, group, 100));
}

TEST_F(SFCliListingTest, DetailedListingShowsGroupAndRulesWithAndWithoutSchedule)
{
    SFRuleGroup group;
    fillClientGroup(group);
    group.transport = FW_TRANS_PROTO_ANY;
    group.addGrpMatch(valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND));
    group.addGrpMatch(scheduleMatch("08:00", "18:00", "Mon,Tue,Wed,Thu,Fri,", 0));

    SFRule* scheduled = group.rules.front();
    scheduled->description = "Office hours only";
    scheduled->addMatch(addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, "192.168.1.10"));
    scheduled->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "10.0.0.0", 8));
    scheduled->addMatch(scheduleMatch("09:30", "17:45", "Sat,Sun,", 1));
    SFRule* plain = group.rules.back();
    plain->transport = FW_TRANS_PROTO_ICMP;
    plain->msgType = FW_ICMP_ECHO_REQUEST;
    plain->treatAsIntrusion = true;

    StdoutCapture capture;
    m_commands.showGroupInStdout(group, false);
    m_commands.showRuleInStdout(scheduled, false, 0, 3, 1);
    m_commands.showRuleInStdout(plain, false, 0, 3, 3);
    expectGolden("listing-detailed.txt", capture.text());
}

TEST_F(SFCliListingTest, EllipsisCutsOnlyTextsLongerThanWidthAndThreeCharacters)
{
    EXPECT_EQ(m_commands.getEllipsisFromString("abcdef", 5), "ab...");
    EXPECT_EQ(m_commands.getEllipsisFromString("abcde", 5), "abcde");
    EXPECT_EQ(m_commands.getEllipsisFromString("abc", 1), "abc");
    // A two-byte character at the cut is dropped whole, never halved.
    EXPECT_EQ(m_commands.getEllipsisFromString("caf\xc3\xa9 au lait", 7), "caf...");
}

TEST_F(SFCliListingTest, LogPrefixIsTheDriversPrefixOnlyForLoggedAllowOrDenyWithDirection)
{
    const std::string name = "Allow web traffic, port 80";
    const OwnedMatches either = {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_EITHER)};
    const OwnedMatches inbound = {valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND)};
    const OwnedMatches none = {portMatch(FW_MATCH_LOCAL_PORT, 80)};

    EXPECT_EQ(m_commands.getRuleLogPrefixString(true, name, FW_ACTION_ALLOW, either.list),
              "QTZ_I_A_Allow_web_traffic__p,QTZ_O_A_Allow_web_traffic__p");
    EXPECT_EQ(m_commands.getRuleLogPrefixString(true, "ssh", FW_ACTION_BLOCK_PACKET, inbound.list),
              "QTZ_I_B_ssh");
    EXPECT_EQ(m_commands.getRuleLogPrefixString(false, name, FW_ACTION_ALLOW, either.list), "");
    EXPECT_EQ(m_commands.getRuleLogPrefixString(true, name, FW_ACTION_JUMP, either.list), "");
    EXPECT_EQ(m_commands.getRuleLogPrefixString(true, name, FW_ACTION_ALLOW, none.list), "");
}

TEST_F(SFCliListingTest, MatchDetailsJoinEachKindAndTrimTheScheduleDays)
{
    const OwnedMatches matches = {addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, "10.0.0.1"),
                                  nullptr,
                                  addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, "10.0.0.0", 8),
                                  portMatch(FW_MATCH_LOCAL_PORT, 8080, 8090),
                                  valueMatch(FW_MATCH_PHYSICAL_MEDIUM, FW_PHYSICAL_MEDIUM_WIRED),
                                  scheduleMatch("07:00", "09:00", "Sun,Mon,", 1)};

    const std::map<std::string, std::string> expected = {
        {"srcType", "1,4"},          {"srcIp", "10.0.0.1,10.0.0.0/8"},
        {"srcPort", "8080-8090"},    {"dstType", ""},
        {"dstIp", ""},               {"dstPort", ""},
        {"direction", "NA"},         {"interfaceType", "FW_PHYSICAL_MEDIUM_WIRED"},
        {"schedStatus", "Enabled"},  {"schedStartTime", "07:00"},
        {"schedEndTime", "09:00"},   {"schedDays", "Sun,Mon"},
        {"schedOffHrAction", "Reverse"},
    };
    EXPECT_EQ(m_commands.getRuleOrGroupMatchDetails(matches.list), expected);
}

TEST_F(SFCliListingTest, XmlNodesKeepTheirOrderAndValuesThroughWriterAndParser)
{
    SFRuleGroup group;
    fillClientGroup(group);
    group.enforced = false;
    group.netProto = NET_PROTO_IP;
    group.transport = FW_TRANS_PROTO_TCP;
    group.addGrpMatch(valueMatch(FW_MATCH_DIRECTION, FW_DIRECTION_OUTBOUND));
    group.rules.back()->enabled = false;

    std::string written;
    const ptree parsed = writtenAndReadBack(m_commands, group, &written);

    EXPECT_EQ(entriesOf(parsed), "<xmlattr> rule rule rule");
    EXPECT_EQ(entriesOf(parsed.get_child("<xmlattr>")),
              std::string("guid=") + SF_CLIENT_GROUP_ID +
                  " enabled=true enforcementStatus=false groupName=Client rules"
                  " groupInternalName=QTZ_Client groupDesc=Rules added by the administrator"
                  " numOfRules=3 networkProtocol=NET_PROTO_IP transportProtocol=TCP localIP="
                  " localService= remoteIP= remoteService= direction=Out interfaceType="
                  " schedStatus=Disabled schedStartTime= schedEndTime= schedDays="
                  " schedOffHrAction=");

    const ptree& lastRule = std::prev(parsed.end())->second;
    EXPECT_EQ(entriesOf(lastRule.get_child("<xmlattr>")),
              "ruleId=00000103-0001-0002-0304-050607080900 enforcementStatus=false");
    EXPECT_EQ(entriesOf(lastRule),
              "<xmlattr> ruleIndex=3 ruleName=Outbound NTP ruleDesc= ruleAction=FW_ACTION_ALLOW"
              " ruleStatus=Disabled logStatus=Disabled networkProtocol=NET_PROTO_ANY"
              " transportProtocol=UDP localIP= localService= remoteIP= remoteService=123"
              " icmpType=NOT SET direction=Out interfaceType= treatAsIntrusion=Disabled"
              " schedStatus=Disabled schedStartTime= schedEndTime= schedDays= schedOffHrAction=");
}

TEST_F(SFCliListingTest, XmlEscapesMarkupAndTurnsForbiddenCharactersIntoQuestionMarks)
{
    SFRuleGroup group;
    group.name = "a<&\">b";
    group.description = "bell\x07 and\ttab";
    group.rules.push_back(makeRule({1, "x\x01y", FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP, true, true,
                                    false},
                                   {}));

    std::string written;
    const ptree parsed = writtenAndReadBack(m_commands, group, &written);

    expectOnlyXmlCharacters(written);
    EXPECT_EQ(parsed.get<std::string>("<xmlattr>.groupName"), "a<&\">b");
    EXPECT_EQ(parsed.get<std::string>("<xmlattr>.groupDesc"), "bell? and\ttab");
    EXPECT_EQ(parsed.get<std::string>("rule.ruleName"), "x?y");
    EXPECT_EQ(SFCliCommands::xmlSafeText("\x1f\r\n\x7f"), "?\r\n\x7f");
    // Well-formed UTF-8 stays; a Latin-1 byte, a cut sequence and a surrogate do not.
    EXPECT_EQ(SFCliCommands::xmlSafeText("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(SFCliCommands::xmlSafeText("caf\xe9!"), "caf?!");
    EXPECT_EQ(SFCliCommands::xmlSafeText("\xe2\x82"), "??");
    EXPECT_EQ(SFCliCommands::xmlSafeText("\xed\xa0\x80"), "???");
    // U+FFFE and U+FFFF are one "?" each; their neighbours U+FFFD and U+10000 stay.
    EXPECT_EQ(SFCliCommands::xmlSafeText("\xef\xbf\xbd\xef\xbf\xbe\xef\xbf\xbf\xf0\x90\x80\x80"),
              "\xef\xbf\xbd??\xf0\x90\x80\x80");
}

TEST_F(SFCliListingTest, HostileNamesGiveAWellFormedDocumentAndInertTextListings)
{
    SFRuleGroup group;
    fillClientGroup(group);
    group.name = HOSTILE_GROUP_NAME;
    group.description = HOSTILE_RULE_NAME;
    group.chainName = "QTZ_\x1b[2J";
    SFRule& rule = *group.rules.front();
    rule.name = HOSTILE_RULE_NAME;
    rule.description = HOSTILE_GROUP_NAME;
    auto* domain = new SFMatch;
    domain->matchType = FW_MATCH_REMOTE_IP_ADDRESS;
    domain->addressType = FW_ADDRESS_TYPE_DOMAIN_NAME;
    domain->matchOp = FW_MATCH_OP_EQUAL;
    ASSERT_TRUE(domain->setFQDNString("evil\x1b[2J.example"));
    rule.addMatch(domain);

    std::string written;
    const ptree parsed = writtenAndReadBack(m_commands, group, &written);
    expectOnlyXmlCharacters(written);
    EXPECT_EQ(parsed.get<std::string>("<xmlattr>.groupName"), "grp?]0;owned??[2J<&\">");
    EXPECT_EQ(parsed.get<std::string>("rule.ruleName"), "rule??\xc2\x9b" "31m?2J\x7f");
    EXPECT_EQ(parsed.get<std::string>("rule.remoteIP"), "evil?[2J.example");

    // The table and the detailed forms; the colour sequences are the listing's own.
    for (const int columns : {60, 121}) {
        SCOPED_TRACE(columns);
        const std::string table = tableListing(m_commands, group, columns);
        expectNoTerminalControls(table);
        EXPECT_NE(table.find("grp?]0;owned??[2J<&\">"), std::string::npos) << table;
        EXPECT_NE(table.find("QTZ_?[2J"), std::string::npos) << table;
    }
    StdoutCapture capture;
    m_commands.showGroupInStdout(group, false);
    int ordinal = 0;
    for (SFRule* each : group.rules)
        m_commands.showRuleInStdout(each, false, 0, 3, ++ordinal);
    const std::string detailed = capture.text();
    expectNoTerminalControls(detailed);
    // Printable text around the controls stays readable, U+FFFE and U+FFFF included.
    EXPECT_NE(detailed.find("rule\xef\xbf\xbe\xef\xbf\xbf?31m?2J?"), std::string::npos) << detailed;
    EXPECT_NE(detailed.find("evil?[2J.example"), std::string::npos) << detailed;
    // Latin-1 letters are shown as they come; only control bytes change.
    EXPECT_EQ(SFCliCommands::terminalSafeText("caf\xe9\tx\r\n\xc2\xa0"), "caf\xe9?x??\xc2\xa0");
}

TEST_F(SFCliListingTest, MissingRuleIsLoggedAndPrintsNothing)
{
    StdoutCapture capture;
    m_commands.showRuleInStdout(nullptr, true, 80, 1, 1);
    const ptree node = m_commands.getRuleNodeInXml(nullptr);
    EXPECT_EQ(capture.text(), "");
    EXPECT_TRUE(node.empty());
    EXPECT_TRUE(m_logger.has(
        4, " Caught Unknown Exception, when converting rule details to human readable format"));
    EXPECT_TRUE(m_logger.has(4, "Caught Unknown Exception, when converting rule details to xml format"));
}
