// The rule and trusted-network requests when the daemon could not keep a change: a refusal for
// the store is reported as such and ends the command, and a failed follow-up update is reported
// without any sentence that claims success.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFResultCodes.h"
#include "SFSerialization.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

const std::string kStoreRefused =
    "The change was not made: the firewall could not write it to its store\n";

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
        EXPECT_EQ(err, kStoreRefused);
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
        EXPECT_EQ(err, "FMP communication error\n");
    }

    // A rule that is not in force after the failed update says so.
    m_sender.replies[SF_CLI_GET_RULE_ENFORCEMENT_STATUS] = narrowReply(false);
    bool ok = true;
    auto [out, err] = captureOutput(
        [&] { return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(true)); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "Rule was successfully created but enforcement failed\n");
    // A disabled rule: only the failure.
    std::tie(out, err) = captureOutput(
        [&] { return m_commands.addModifyRule(m_sender, m_client, SF_CLI_RULE_ADD, rule(false)); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "FMP communication error\n");
}
