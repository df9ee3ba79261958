// The rule and trusted-network requests against a scripted sender: how each reply is judged,
// which follow-up requests go out, what is printed, and replies the daemon never gives.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFResultCodes.h"
#include "SFSerialization.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include <list>
#include <sstream>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

const char* const kRuleId = "11111111-2222-3333-4444-555555555555";

std::unique_ptr<SFRule> makeRule(int position, bool enabled)
{
    auto rule = std::make_unique<SFRule>();
    rule->groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    rule->ruleId = CommonFunc::getGUIDFromString(kRuleId);
    rule->position = position;
    rule->enabled = enabled;
    rule->name = "web";
    rule->action = FW_ACTION_ALLOW;
    return rule;
}

std::list<SFRuleGroup> groupsNamed(const std::vector<std::pair<const char*, const char*>>& groups)
{
    std::list<SFRuleGroup> list;
    int n = 0;
    for (const auto& [id, name] : groups) {
        SFRuleGroup& group = list.emplace_back();
        group.groupId = CommonFunc::getGUIDFromString(id);
        group.name = name;
        auto* rule = new SFRule();
        rule->ruleId = CommonFunc::getGUIDFromString("00000000-0000-0000-0000-00000000000" +
                                                     std::to_string(++n));
        rule->groupId = group.groupId;
        rule->position = 1;
        rule->name = std::string(name) + " rule";
        group.rules.push_back(rule);
    }
    return list;
}

SFTrustedGroupIP trusted(int type, const char* start, const char* end = nullptr, int prefix = 0)
{
    SFTrustedGroupIP entry;
    entry.type = type;
    if (type == FW_TRUSTED_ADDRESS_TYPE_CIDR)
        entry.setCidrIPAddress(static_cast<uint8_t>(prefix), start);
    else if (start != nullptr)
        entry.setStartIp4Address(start);
    if (end != nullptr)
        entry.setEndIp4Address(end);
    return entry;
}

// A trusted-listing row: number and value padded as the table pads them.
std::string row(const std::string& number, const std::string& value)
{
    return " " + std::string(5 - number.size(), ' ') + number + "  " + value +
           std::string(value.size() < 32 ? 32 - value.size() : 0, ' ') + " \n";
}

class SFCliRuleCommandsTest : public testing::Test {
protected:
    RecordingLogger m_log;
    SFCliCommands m_commands{m_log};
    ScriptedSender m_sender;
    UnusedCommClient m_client;

    std::pair<std::string, std::string> addRule(const SFRule& rule, bool& ok)
    {
        return captureOutput(
            [&] { return m_commands.addModifyRule(m_sender, m_client, 100006, rule); }, ok);
    }
};

} // namespace

TEST_F(SFCliRuleCommandsTest, AnAddIsJudgedByStatusResultAndEnforcement)
{
    const GUID id = CommonFunc::getGUIDFromString(kRuleId);
    auto rule = makeRule(-1, true);
    bool ok = false;

    // Refused by the daemon: no update, no enforcement question, a failed command.
    Reply refused = narrowReply(id, SF_RULE_REFUSED);
    refused.status = false;
    m_sender.replies[SF_CLI_RULE_ADD] = refused;
    auto [out, err] = addRule(*rule, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "FMP communication error\n"
                   "The change was not made: the firewall refused it with result 150021\n");
    EXPECT_EQ(m_sender.sent, (std::vector<std::string>{"100006->7000 flagged"}));

    // Placed last instead of at the asked index: reported by the enforcement answer.
    Reply moved = narrowReply(id, SF_RULE_POSITION_CHANGED);
    moved.status = false;
    m_sender.replies[SF_CLI_RULE_ADD] = moved;
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(true);
    m_sender.sent.clear();
    std::tie(out, err) = addRule(*makeRule(7, true), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Incorrect rule index provided. However, rule was successfully created and "
                   "enforced at last index\n");
    EXPECT_EQ(m_sender.sent, (std::vector<std::string>{"100006->7000 flagged", "100017->7000",
                                                       "100039->7000"}));
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(false);
    std::tie(out, err) = addRule(*makeRule(7, true), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Incorrect rule index provided. However, rule was successfully created at last "
                   "index but enforcement failed\n");

    // Filed where asked.
    m_sender.replies[SF_CLI_RULE_ADD] = narrowReply(id, SF_SUCCESS);
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(true);
    std::tie(out, err) = addRule(*makeRule(3, true), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Rule was successfully created and enforced at index : 3\n");
    EXPECT_TRUE(m_log.has(5, "Rule was successfully created and enforced at index : 3 and "
                             "internal rule ID : " + std::string(kRuleId)));
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(false);
    std::tie(out, err) = addRule(*makeRule(3, true), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Rule was successfully created at index : 3 but enforcement failed \n");

    // A disabled rule is never asked about; a failed update fails the command, with no
    // sentence that claims success.
    m_sender.sent.clear();
    m_sender.replies[SF_CLI_RULES_UPDATE] = narrowReply(SF_SYSTEM_COMMAND_FAILED);
    std::tie(out, err) = addRule(*makeRule(-1, false), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "FMP communication error\nThe change was stored, but applying it to iptables "
                   "failed: the previous rules stay in force and the firewall retries\n");
    EXPECT_EQ(m_sender.sent, (std::vector<std::string>{"100006->7000 flagged", "100017->7000"}));

    // No answer at all.
    m_sender.replies[SF_CLI_RULE_ADD] = Reply{false, false, ZAV::kDataKindNone, ""};
    std::tie(out, err) = addRule(*rule, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "FMP communication error\n");
    EXPECT_TRUE(m_log.has(6, "Command Failed : completed = 0 Status = 0"));
}

TEST_F(SFCliRuleCommandsTest, DeletesSendTheirTextAndFollowUpOnlyOnSuccess)
{
    bool ok = false;
    auto [out, err] = captureOutput(
        [&] { return m_commands.deleteRule("a,b", m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Successfully deleted rule\n");
    EXPECT_EQ(m_sender.sent, (std::vector<std::string>{"100007->7000", "100017->7000"}));

    m_sender.sent.clear();
    m_sender.replies[SF_CLI_RULES_DEL] = narrowReply(SF_RULE_TO_DELETE_NOT_FOUND);
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.deleteRule("a,b", m_sender, m_client); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "The rule was not deleted: it no longer exists\n");
    EXPECT_EQ(m_sender.sent, (std::vector<std::string>{"100007->7000"}));

    // A duplicate or unknown trusted network comes back with the status set and a result.
    m_sender.sent.clear();
    m_sender.replies[SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL] = narrowReply(SF_TRUSTED_LIST_UNCHANGED);
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.deleteFromTrustedNetwork("10.0.0.1", m_sender, m_client); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "The trusted network was not deleted: it no longer exists\n");
    m_sender.replies.erase(SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL);
    m_sender.sent.clear();
    m_sender.payloads.clear();
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.deleteFromTrustedNetwork("10.0.0.1", m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Trusted Network was successfully deleted\n");
    EXPECT_EQ(m_sender.sent,
              (std::vector<std::string>{"100020->7000", "100022->7000", "100017->7000"}));
    ASSERT_FALSE(m_sender.payloads.empty());
    EXPECT_NE(m_sender.payloads.front().find("8 10.0.0.1"), std::string::npos)
        << m_sender.payloads.front();
}

TEST_F(SFCliRuleCommandsTest, RuleNamesComeFromTheAskedGroupOnly)
{
    m_sender.replies[SF_CLI_LIST_ALL_RULES_IN_GROUP] = narrowReply(groupsNamed(
        {{SF_ADAPTIVE_GROUP_ID, "adaptive"}, {SF_CLIENT_GROUP_ID, "client"}}));
    std::vector<GUID> ids;
    std::vector<std::string> names;
    bool ok = false;
    captureOutput([&] {
        return m_commands.getAllRules(SF_CLIENT_GROUP_ID, ids, names, m_sender, m_client);
    }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(names, std::vector<std::string>{"client rule"});
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(CommonFunc::textGUID(ids[0]), "00000000-0000-0000-0000-000000000002");

    names.clear();
    captureOutput([&] {
        return m_commands.getAllRules("99999999-0000-0000-0000-000000000000", ids, names, m_sender,
                                      m_client);
    }, ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(names.empty());
}

TEST_F(SFCliRuleCommandsTest, GarbledOrOversizedListsAreParseErrors)
{
    // A count far beyond what the data holds must be refused, not allocated.
    for (const std::string data : {"not an archive", "22 serialization::archive 18 0 0 999999999 0"}) {
        m_sender.replies[SF_CLI_LIST_ALL_RULES_IN_GROUP] = {true, true, ZAV::kDataKindNarrow, data};
        m_sender.replies[SF_CLI_LIST_ALL_TRUSTED_IPS] = {true, true, ZAV::kDataKindNarrow, data};
        bool ok = true;
        auto [out, err] = captureOutput(
            [&] { return m_commands.listAllRules(true, m_sender, m_client); }, ok);
        EXPECT_FALSE(ok) << data;
        EXPECT_EQ(err, "Error parsing data from FMP\n") << data;
        std::vector<std::string> values;
        std::tie(out, err) = captureOutput(
            [&] { return m_commands.getAllTrustedNetwork(values, m_sender, m_client); }, ok);
        EXPECT_FALSE(ok) << data;
        EXPECT_EQ(err, "Error parsing data from FMP\n") << data;
        EXPECT_TRUE(values.empty());
    }
}

TEST_F(SFCliRuleCommandsTest, TheRulesDocumentEndsWithTheClientAndTheAdaptiveGroup)
{
    m_sender.replies[SF_CLI_LIST_ALL_RULES_IN_GROUP] = narrowReply(groupsNamed(
        {{SF_CLIENT_GROUP_ID, "client"}, {"0a0a0a0a-0000-0000-0000-000000000001", "policy"}}));
    bool ok = false;
    auto [out, err] = captureOutput(
        [&] { return m_commands.listAllRules(true, m_sender, m_client); }, ok);
    ASSERT_TRUE(ok) << err;
    EXPECT_EQ(out.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<groups>\n    <group ", 0), 0u)
        << out;
    std::istringstream in(out);
    boost::property_tree::ptree document;
    boost::property_tree::read_xml(in, document);
    std::vector<std::string> names;
    std::vector<size_t> ruleCounts;
    for (const auto& [tag, group] : document.get_child("groups")) {
        EXPECT_EQ(tag, "group");
        names.push_back(group.get("<xmlattr>.groupName", std::string("(empty)")));
        ruleCounts.push_back(group.count("rule"));
    }
    // The adaptive group is missing from the reply: an empty element still closes the list.
    EXPECT_EQ(names, (std::vector<std::string>{"policy", "client", "(empty)"}));
    EXPECT_EQ(ruleCounts, (std::vector<size_t>{1, 1, 0}));
    EXPECT_NE(out.find("    <group/>\n</groups>\n"), std::string::npos) << out;
}

TEST_F(SFCliRuleCommandsTest, TrustedListingsNumberAllButTheLocalSubnet)
{
    SFPrefsData prefs;
    prefs.m_prefPresent = true;
    prefs.m_prefType = SF_PREF_TRUST_LOCAL_SUBNET;
    prefs.m_trustLocalSubnet = true;
    m_sender.replies[SF_CLI_GET_PREF_INDIVIDUAL] = narrowReply(prefs);
    const std::list<SFTrustedGroupIP> entries{
        trusted(FW_TRUSTED_ADDRESS_TYPE_SINGLE, "10.1.1.1"),
        trusted(FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET, nullptr),
        trusted(FW_TRUSTED_ADDRESS_TYPE_CIDR, "10.0.0.0", nullptr, 8),
        trusted(FW_TRUSTED_ADDRESS_TYPE_IP_RANGE, "192.168.0.1", "192.168.0.9")};
    m_sender.replies[SF_CLI_LIST_ALL_TRUSTED_IPS] = narrowReply(entries);
    const std::string separator(41, '-');

    bool ok = false;
    auto [out, err] = captureOutput(
        [&] { return m_commands.listTrustedNetwork(false, m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "\n" + row("Index", "Trusted networks") + separator + "\n" +
                       row("1", "10.1.1.1") + row("2", "10.0.0.0/8") +
                       row("3", "192.168.0.1-192.168.0.9") + separator +
                       "\n\nTrust local subnet: Enabled\n\n");

    std::vector<std::string> values;
    captureOutput([&] { return m_commands.getAllTrustedNetwork(values, m_sender, m_client); }, ok);
    EXPECT_EQ(values,
              (std::vector<std::string>{"10.1.1.1", "10.0.0.0/8", "192.168.0.1-192.168.0.9"}));

    std::tie(out, err) = captureOutput(
        [&] { return m_commands.listTrustedNetwork(true, m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                   "<trustedNetworks trustLocalSubnet=\"Enabled\">\n"
                   "    <trustedNetwork index=\"1\">10.1.1.1</trustedNetwork>\n"
                   "    <trustedNetwork index=\"2\">10.0.0.0/8</trustedNetwork>\n"
                   "    <trustedNetwork index=\"3\">192.168.0.1-192.168.0.9</trustedNetwork>\n"
                   "</trustedNetworks>\n");

    // The setting cannot be read and the list is empty: both still shown.
    m_sender.replies[SF_CLI_GET_PREF_INDIVIDUAL] = Reply{true, false, ZAV::kDataKindNone, ""};
    m_sender.replies[SF_CLI_LIST_ALL_TRUSTED_IPS] =
        narrowReply(std::list<SFTrustedGroupIP>{trusted(FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET, nullptr)});
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.listTrustedNetwork(false, m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "\n" + row("Index", "Trusted networks") + separator +
                       "\n Trusted networks list is empty\n" + separator +
                       "\n\nTrust local subnet: \n\n");
}

// The client group files a rule asked for at index 0 first, not last: which end it went to
// decides which rule wins, so the message must name the right one.
TEST_F(SFCliRuleCommandsTest, AnIndexOfZeroIsReportedAtTheFirstPlace)
{
    const GUID id = CommonFunc::getGUIDFromString(kRuleId);
    Reply moved = narrowReply(id, SF_RULE_POSITION_CHANGED);
    moved.status = false;
    m_sender.replies[SF_CLI_RULE_ADD] = moved;
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(true);
    bool ok = false;
    auto [out, err] = addRule(*makeRule(0, true), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Incorrect rule index provided. However, rule was successfully created and "
                   "enforced at first index\n");
    EXPECT_TRUE(m_log.has(5, "Rule was successfully created and enforced. Incorrect rule index "
                             "was provided. Incorrect rule index was provided. It was created "
                             "at first index and internal rule ID : " + std::string(kRuleId)));

    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(false);
    std::tie(out, err) = addRule(*makeRule(0, true), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Incorrect rule index provided. However, rule was successfully created at "
                   "first index but enforcement failed\n");
}
