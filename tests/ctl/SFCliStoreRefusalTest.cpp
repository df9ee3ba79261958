// The rule, trusted-network and setting requests when the daemon could not keep a change or did
// not answer: a refusal for the store, the settings file, an entry that is gone or one already
// listed is reported as such and ends the command; a change without reply is reported as of
// unknown outcome; an update the daemon answered with a failure is reported as a change stored
// and not applied; an unanswered follow-up as a change made with its enforcement unconfirmed, and
// no sentence is built from a reply that did not come.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFResultCodes.h"
#include "SFRulesInForce.h"
#include "SFSerialization.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <string>

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
const std::string kChannel = "FMP communication error\n";
const std::string kNotApplied = "The change was stored, but applying it to iptables failed: the "
                                "previous rules stay in force and the firewall retries\n";

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

    // Adds an allow rule named web to the client group, enabled or not.
    bool addRuleEnabled(bool enabled)
    {
        SFRule made;
        made.groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
        made.ruleId = CommonFunc::generateGUID();
        made.position = -1;
        made.enabled = enabled;
        made.name = "web";
        made.action = FW_ACTION_ALLOW;
        return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, made);
    }
};

} // namespace

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
    // The add answers its rule id first and a clear status; the others the result alone.
    const auto addRefused = [](int code) {
        Reply reply = narrowReply(CommonFunc::generateGUID(), code);
        reply.status = false;
        return reply;
    };
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
    const auto addRule = [this] { return addRuleEnabled(true); };
    const auto addDisabledRule = [this] { return addRuleEnabled(false); };
    const auto deleteRule = [this] { return m_commands.deleteRule("a,b", m_sender, m_client); };
    const auto addTrusted = [this] { return m_commands.addToTrustedNetwork({&m_entry}, m_sender, m_client); };
    const auto deleteTrusted = [this] {
        return m_commands.deleteFromTrustedNetwork("10.1.1.1", m_sender, m_client);
    };
    // The replies to a rule add whose update got this answer, the rule then said enforced or not.
    const auto addThen = [&added](const Reply& update, bool enforced = true) {
        return std::map<int, Reply>{{SF_CLI_RULE_ADD, added},
                                    {SF_CLI_RULES_UPDATE, update},
                                    {SF_CLI_GET_RULE_ENFORCEMENT_STATUS, narrowReply(enforced)}};
    };
    // The daemon's answers to a change or an update: the store could not be written (again), or
    // the push failed; and a reply from the service that carries no result of the daemon's.
    const Reply storeFailed = narrowReply(SF_STORE_WRITE_FAILED);
    const Reply notApplied = narrowReply(SF_SYSTEM_COMMAND_FAILED, int(SF_RULES_EARLIER_IN_FORCE));
    // Linked without the rules whose commands failed: the change itself is in force.
    const Reply partlyApplied = narrowReply(SF_SYSTEM_COMMAND_FAILED, int(SF_RULES_PARTLY_IN_FORCE));
    const std::string kPartlyApplied = "The change was stored and is in force without the rules "
                                       "whose iptables commands failed: they are shown as not "
                                       "enforced, and the firewall tries them again at its health "
                                       "check\n";
    // Linked, or taken back, with chains that are not in force still maybe linked beside.
    const Reply staleLinked = narrowReply(SF_SYSTEM_COMMAND_FAILED, int(SF_RULES_STALE_CHAINS_LINKED));
    const Reply staleBeside = narrowReply(SF_SYSTEM_COMMAND_FAILED, int(SF_RULES_EARLIER_WITH_STALE_CHAINS));
    const std::string kStaleLinked = "The change was stored and its rules are applied, but removing chains "
                                     "that are not in force from iptables failed: INPUT or OUTPUT may still "
                                     "lead to them, so they may let in what they allowed until the health "
                                     "check removes them\n";
    const std::string kStaleBeside = "The change was stored, but applying it to iptables failed, and removing "
                                     "what is not in force failed too: besides the previous rules, INPUT or "
                                     "OUTPUT may still lead to chains that may let in what they allowed until "
                                     "the health check removes them; the firewall retries\n";
    const std::string kNotRewritten = "The change was stored and applied, but the firewall could "
                                      "not write its rules to their store again\n";
    const Reply noResult{false, false, ZAV::kDataKindNone, "", true};
    const std::string settingNotApplied = "The setting was stored, but applying it to iptables "
                                          "failed: the previous rules stay in force and the "
                                          "firewall retries\n";
    const struct {
        const char* what;
        std::function<bool()> change;
        std::map<int, Reply> replies;
        size_t sent;
        std::string err;
        std::string out = "";
    } rows[] = {
        // Refused for the store: reported alone and not followed by an update.
        {"rule add not stored", addRule, {{SF_CLI_RULE_ADD, addRefused(SF_STORE_WRITE_FAILED)}}, 1,
         kRuleNotStored},
        {"rule delete not stored", deleteRule, {{SF_CLI_RULES_DEL, storeFailed}}, 1, kStoreRefused},
        {"trusted add not stored", addTrusted, {{SF_CLI_ADD_TRUSTED_GROUP_IPS, storeFailed}}, 1,
         kStoreRefused},
        {"trusted delete not stored", deleteTrusted,
         {{SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, storeFailed}}, 1, kStoreRefused},
        {"rule add unanswered", addRule, {{SF_CLI_RULE_ADD, noReply()}}, 1, ruleUnknown},
        {"rule delete unanswered", deleteRule, {{SF_CLI_RULES_DEL, noReply()}}, 1, ruleUnknown},
        {"trusted add unanswered", addTrusted, {{SF_CLI_ADD_TRUSTED_GROUP_IPS, noReply()}}, 1,
         trustedUnknown},
        {"trusted delete unanswered", deleteTrusted,
         {{SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, noReply()}}, 1, trustedUnknown},
        {"rule add, update unanswered", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_RULES_UPDATE, noReply()}}, 2, kUnconfirmed},
        {"disabled rule add, update unanswered", addDisabledRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_RULES_UPDATE, noReply()}}, 2, kUnconfirmed},
        {"rule add, enforcement unanswered", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_GET_RULE_ENFORCEMENT_STATUS, noReply()}}, 3, kUnconfirmed},
        // Completed with its status set but without the flag: nothing can be read from it.
        {"rule add, enforcement reply without data", addRule, {{SF_CLI_RULE_ADD, added}}, 3, kUnconfirmed},
        {"rule add, enforcement refused", addRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_GET_RULE_ENFORCEMENT_STATUS, refusedQuery}}, 3, kUnconfirmed},
        {"rule delete, update unanswered", deleteRule, {{SF_CLI_RULES_UPDATE, noReply()}}, 2, kUnconfirmed},
        // After the refresh got no reply the rule update is not sent to the silent peer.
        {"trusted add, refresh unanswered", addTrusted, {{SF_CLI_TRUSTED_IP_UPDATE, noReply()}}, 2,
         kUnconfirmed},
        {"trusted delete, update unanswered", deleteTrusted, {{SF_CLI_RULES_UPDATE, noReply()}}, 3,
         kUnconfirmed},
        {"rule delete of a rule gone", deleteRule,
         {{SF_CLI_RULES_DEL, narrowReply(SF_RULE_TO_DELETE_NOT_FOUND)}}, 1,
         "The rule was not deleted: it no longer exists\n"},
        {"trusted delete of an entry gone", deleteTrusted,
         {{SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, narrowReply(SF_TRUSTED_LIST_UNCHANGED)}}, 1,
         "The trusted network was not deleted: it no longer exists\n"},
        {"ftp inspection not written", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}}, 1, notWritten},
        {"mode not written", set(SF_PREF_FW_MODE),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}}, 1, notWritten},
        {"local subnet not written", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff},
          {SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_PREF_WRITE_FAILED)}},
         2, notWritten},
        {"ftp inspection unanswered", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, noReply()}}, 1, settingUnknown},
        {"local subnet unanswered", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff}, {SF_CLI_SET_PREF_INDIVIDUAL, noReply()}}, 2,
         trustedUnknown},
        {"local subnet set, update unanswered", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff}, {SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_SUCCESS)},
          {SF_CLI_RULES_UPDATE, noReply()}},
         3, kUnconfirmed, "Preferences set successfully\n"},
        // Answered failures are the daemon's: said after the channel's fixed text, never as
        // the channel's failure alone nor as unconfirmed.
        {"trusted add of an entry already listed", addTrusted,
         {{SF_CLI_ADD_TRUSTED_GROUP_IPS, narrowReply(SF_TRUSTED_IP_REFUSED)}}, 1,
         kChannel + "The trusted network was not added: it is already in the list\n"},
        {"rule add refused", addRule, {{SF_CLI_RULE_ADD, addRefused(SF_RULE_REFUSED)}}, 1,
         kChannel + "The change was not made: the firewall refused it with result 150021\n"},
        {"rule delete refused", deleteRule, {{SF_CLI_RULES_DEL, narrowReply(SF_INVALID_ARGUMENT)}}, 1,
         kChannel + "The change was not made: the firewall refused it with result 150003\n"},
        // The rule said to be enforced: the update's failure still is all that is printed.
        {"rule add, update not applied", addRule, addThen(notApplied), 3, kChannel + kNotApplied},
        {"rule add, update not applied, rule not enforced", addRule, addThen(notApplied, false), 3,
         kChannel + kNotApplied, "Rule was successfully created but enforcement failed\n"},
        {"disabled rule add, update not applied", addDisabledRule,
         {{SF_CLI_RULE_ADD, added}, {SF_CLI_RULES_UPDATE, notApplied}}, 2, kChannel + kNotApplied},
        {"rule delete, update not applied", deleteRule, {{SF_CLI_RULES_UPDATE, notApplied}}, 2,
         kChannel + kNotApplied},
        {"rule delete, update without a state after its result", deleteRule,
         {{SF_CLI_RULES_UPDATE, narrowReply(SF_SYSTEM_COMMAND_FAILED)}}, 2, kChannel + kNotApplied},
        {"rule add, update linked without failing rules", addRule, addThen(partlyApplied), 3,
         kChannel + kPartlyApplied, "Rule was successfully created and enforced\n"},
        {"rule delete, update linked without failing rules", deleteRule,
         {{SF_CLI_RULES_UPDATE, partlyApplied}}, 2, kChannel + kPartlyApplied},
        {"trusted add, update linked without failing rules", addTrusted,
         {{SF_CLI_RULES_UPDATE, partlyApplied}}, 3, kChannel + kPartlyApplied},
        {"rule add, update linked beside chains not in force", addRule, addThen(staleLinked), 3,
         kChannel + kStaleLinked, "Rule was successfully created and enforced\n"},
        {"rule delete, update linked beside chains not in force", deleteRule,
         {{SF_CLI_RULES_UPDATE, staleLinked}}, 2, kChannel + kStaleLinked},
        {"rule delete, update taken back beside chains not in force", deleteRule,
         {{SF_CLI_RULES_UPDATE, staleBeside}}, 2, kChannel + kStaleBeside},
        {"rule add, update taken back beside chains not in force", addRule, addThen(staleBeside), 3,
         kChannel + kStaleBeside},
        {"rule add, rule store not written again", addRule, addThen(storeFailed), 3, kChannel + kNotRewritten},
        {"rule delete, rule store not written again", deleteRule, {{SF_CLI_RULES_UPDATE, storeFailed}}, 2,
         kChannel + kNotRewritten},
        {"rule delete, update without the daemon's result", deleteRule, {{SF_CLI_RULES_UPDATE, noResult}}, 2,
         kChannel + kUnconfirmed},
        {"trusted add, update not applied", addTrusted, {{SF_CLI_RULES_UPDATE, notApplied}}, 3,
         kChannel + kNotApplied},
        {"trusted delete, update not applied", deleteTrusted, {{SF_CLI_RULES_UPDATE, notApplied}}, 3,
         kChannel + kNotApplied},
        // The list was stored by the change itself and the rules applied.
        {"trusted add, store not written again", addTrusted, {{SF_CLI_TRUSTED_IP_UPDATE, notApplied}}, 3,
         kChannel + "The change was stored and applied, but the firewall could not write its "
                    "trusted networks to their store again\n"},
        {"local subnet set, update not applied", set(SF_PREF_TRUST_LOCAL_SUBNET),
         {{SF_CLI_GET_PREF_INDIVIDUAL, currentlyOff}, {SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_SUCCESS)},
          {SF_CLI_RULES_UPDATE, notApplied}},
         3, kChannel + kNotApplied, "Preferences set successfully\n"},
        {"mode switch not applied", set(SF_PREF_FW_MODE),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_SYSTEM_COMMAND_FAILED)}}, 1,
         kChannel + "Firewall mode is set to Adaptive in the settings, but applying it to iptables "
                    "failed: none of the firewall's rules are in force, and the firewall tries "
                    "again at its health check\n"},
        {"ftp inspection not applied", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_SYSTEM_COMMAND_FAILED)}}, 1,
         kChannel + settingNotApplied},
        {"ftp inspection refused", set(SF_PREF_FTP_INSPECTION),
         {{SF_CLI_SET_PREF_INDIVIDUAL, wideReply(SF_INVALID_ARGUMENT)}}, 1,
         kChannel + "The setting was not changed: the firewall refused it with result 150003\n"},
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
