// The rule, trusted-network and setting requests when the daemon could not keep a change or did
// not answer: a refusal for the store, the settings file or an entry that is gone is reported as
// such and ends the command; a change without reply is reported as of unknown outcome; a failed
// or unanswered follow-up is reported as a change made with its enforcement unconfirmed, and no
// sentence is built from a reply that did not come.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFResultCodes.h"
#include "SFSerialization.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

const std::string kStoreRefused =
    "The change was not made: the firewall could not write it to its store\n";
const std::string kRuleNotStored =
    "The rule was not added: the firewall could not store it (its rule store could not be "
    "written, or the rule would make it larger than the firewall can read back)\n";
const std::string kUnconfirmed =
    "The change was made and stored, but its enforcement could not be confirmed\n";

class SFCliStoreRefusalTest : public testing::Test {
protected:
    RecordingLogger m_log;
    SFCliCommands m_commands{m_log};
    ScriptedSender m_sender;
    UnusedCommClient m_client;
    SFTrustedGroupIP m_entry;

    SFCliStoreRefusalTest()
    {
        m_entry.type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        m_entry.setStartIp4Address("10.1.1.1");
    }

    SFRule rule(bool enabled)
    {
        SFRule made;
        made.groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
        made.ruleId = CommonFunc::generateGUID();
        made.position = -1;
        made.enabled = enabled;
        made.name = "web";
        made.action = FW_ACTION_ALLOW;
        return made;
    }

    // Each change of the tool, by the command id that carries it.
    std::vector<std::pair<int, std::function<bool()>>> changes()
    {
        return {
            {SF_CLI_RULE_ADD,
             [this] { return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(true)); }},
            {SF_CLI_RULES_DEL, [this] { return m_commands.deleteRule("a,b", m_sender, m_client); }},
            {SF_CLI_ADD_TRUSTED_GROUP_IPS,
             [this] {
                 return m_commands.addToTrustedNetwork({&m_entry}, m_sender, m_client);
             }},
            {SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL,
             [this] { return m_commands.deleteFromTrustedNetwork("10.1.1.1", m_sender, m_client); }},
        };
    }
};

} // namespace

TEST_F(SFCliStoreRefusalTest, AChangeTheStoreRefusedIsReportedAloneAndNotFollowedUp)
{
    for (const auto& [command, change] : changes()) {
        SCOPED_TRACE(command);
        // The add answers its rule id first and a clear status; the others the result alone.
        Reply refused = command == SF_CLI_RULE_ADD
                            ? narrowReply(CommonFunc::generateGUID(), SF_STORE_WRITE_FAILED)
                            : narrowReply(SF_STORE_WRITE_FAILED);
        refused.status = command != SF_CLI_RULE_ADD;
        m_sender.replies.clear();
        m_sender.replies[command] = refused;
        m_sender.sent.clear();
        bool ok = true;
        const auto [out, err] = captureOutput(change, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, command == SF_CLI_RULE_ADD ? kRuleNotStored : kStoreRefused);
        EXPECT_EQ(m_sender.sent.size(), 1u) << "a refused change is not followed by an update";
    }
}

TEST_F(SFCliStoreRefusalTest, AFailedUpdatePrintsNoSuccessSentence)
{
    for (const auto& [command, change] : changes()) {
        SCOPED_TRACE(command);
        m_sender.replies.clear();
        if (command == SF_CLI_RULE_ADD)
            m_sender.replies[command] = narrowReply(CommonFunc::generateGUID(), SF_SUCCESS);
        m_sender.replies[SF_CLI_RULES_UPDATE] = narrowReply(SF_STORE_WRITE_FAILED);
        // The rule is reported in force: the update's failure still is all that is printed.
        m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(true);
        bool ok = true;
        const auto [out, err] = captureOutput(change, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "FMP communication error\n" + kUnconfirmed);
    }

    // A rule that is not in force after the failed update says so.
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(false);
    bool ok = true;
    auto [out, err] = captureOutput(
        [&] { return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(true)); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Rule was successfully created but enforcement failed\n");
    // A disabled rule: the failure, and that the stored rule's table is not confirmed in force.
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(false)); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "FMP communication error\n" + kUnconfirmed);
}

TEST_F(SFCliStoreRefusalTest, EachOutcomeOfAChangeGetsItsOwnSentence)
{
    const std::string ruleUnknown = "No reply came from the firewall daemon: the change may have "
                                    "been made. Run tqctl --fw-rules-list to see whether it was\n";
    const std::string trustedUnknown = "No reply came from the firewall daemon: the change may "
                                       "have been made. Run tqctl --fw-trusted-list to see whether "
                                       "it was\n";
    const std::string settingUnknown = "No reply came from the firewall daemon: the setting may "
                                       "have been changed. Run tqctl --fw status to see whether it "
                                       "was\n";
    const std::string notWritten =
        "The setting was not changed: the firewall could not write it to its settings file\n";
    const Reply added = narrowReply(CommonFunc::generateGUID(), SF_SUCCESS);
    Reply refusedQuery;
    refusedQuery.status = false;
    SFPrefsData localOff;
    localOff.m_prefPresent = true;
    localOff.m_prefType = SF_PREF_TRUST_LOCAL_SUBNET;
    localOff.m_trustLocalSubnet = false;
    const Reply currentlyOff = narrowReply(localOff);
    const auto set = [this](SFPrefType kind) {
        return [this, kind] { return m_commands.setIndividualPrefData(kind, "true", m_sender, m_client); };
    };
    const std::function<bool()> addRule = changes()[0].second;
    const std::function<bool()> deleteRule = changes()[1].second;
    const std::function<bool()> addTrusted = changes()[2].second;
    const std::function<bool()> deleteTrusted = changes()[3].second;
    const std::function<bool()> addDisabledRule = [this] {
        return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(false));
    };
    const struct {
        const char* what;
        std::function<bool()> change;
        std::map<int, Reply> replies;
        size_t sent;
        std::string out;
        std::string err;
    } rows[] = {
        {"rule add unanswered", addRule, {{SF_CLI_RULE_ADD, noReply()}}, 1, "", ruleUnknown},
        {"rule delete unanswered", deleteRule, {{SF_CLI_RULES_DEL, noReply()}}, 1, "", ruleUnknown},
        {"trusted add unanswered", addTrusted, {{SF_CLI_ADD_TRUSTED_GROUP_IPS, noReply()}}, 1, "",
         trustedUnknown},
        {"trusted delete unanswered", deleteTrusted,
         {{SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, noReply()}}, 1, "", trustedUnknown},
        {"rule add, update unanswered", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_RULES_UPDATE, noReply()}}, 2, "", kUnconfirmed},
        {"disabled rule add, update unanswered", addDisabledRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_RULES_UPDATE, noReply()}}, 2, "", kUnconfirmed},
        {"rule add, enforcement unanswered", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_GET_RULE_ENFORCEMENT_STATUS, noReply()}}, 3, "",
         kUnconfirmed},
        // Completed with its status set but without the flag: nothing can be read from it.
        {"rule add, enforcement reply without data", addRule, {{SF_CLI_RULE_ADD, added}}, 3, "",
         kUnconfirmed},
        {"rule add, enforcement refused", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_GET_RULE_ENFORCEMENT_STATUS, refusedQuery}}, 3, "",
         kUnconfirmed},
        {"rule delete, update unanswered", deleteRule, {{SF_CLI_RULES_UPDATE, noReply()}}, 2, "",
         kUnconfirmed},
        // After the refresh got no reply the rule update is not sent to the silent peer.
        {"trusted add, refresh unanswered", addTrusted, {{SF_CLI_TRUSTED_IP_UPDATE, noReply()}}, 2,
         "", kUnconfirmed},
        {"trusted delete, update unanswered", deleteTrusted, {{SF_CLI_RULES_UPDATE, noReply()}},
         3, "", kUnconfirmed},
        {"rule delete of a rule gone", deleteRule,
         {{SF_CLI_RULES_DEL, narrowReply(SF_RULE_TO_DELETE_NOT_FOUND)}}, 1, "",
         "The rule was not deleted: it no longer exists\n"},
        {"trusted delete of an entry gone", deleteTrusted,
         {{SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, narrowReply(SF_TRUSTED_LIST_UNCHANGED)}}, 1, "",
         "The trusted network was not deleted: it no longer exists\n"},
        {"ftp inspection not written", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}}, 1, "", notWritten},
        {"mode not written", set(SF_PREF_FW_MODE),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}}, 1, "", notWritten},
        {"local subnet not written", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff},
          {SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}},
         2, "", notWritten},
        {"ftp inspection unanswered", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, noReply()}}, 1, "", settingUnknown},
        {"local subnet unanswered", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff}, {SF_CLI_SET_PREF_INDIVIDUAL, noReply()}}, 2,
         "", trustedUnknown},
        {"local subnet set, update unanswered", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff},
          {SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_SUCCESS)},
          {SF_CLI_RULES_UPDATE, noReply()}},
         3, "Preferences set successfully\n", kUnconfirmed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_sender.replies = row.replies;
        m_sender.sent.clear();
        bool ok = true;
        const auto [out, err] = captureOutput(row.change, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(err, row.err);
        EXPECT_EQ(m_sender.sent.size(), row.sent);
    }
}
