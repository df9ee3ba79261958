// The rule and trusted-network commands through the dispatcher, with the real managers on
// temporary stores and the controller over the recording bridge: adding and refusing rules,
// the delete texts, listings, enforcement status, trusted networks and both update commands,
// and listings racing changes made by another thread.

#include "RulesCommandFixture.h"

#include "SFMatch.h"
#include "SFResultCodes.h"

#include <atomic>
#include <thread>

using namespace StatefulFirewall;
using namespace TestSupport;
using namespace TestSupport::model;

namespace {

SFRule userRule(const std::string& name, const GUID& groupId, int position = -1)
{
    SFRule rule;
    rule.ruleId = CommonFunc::generateGUID();
    rule.groupId = groupId;
    rule.name = name;
    rule.enabled = true;
    rule.position = position;
    rule.action = FW_ACTION_BLOCK_PACKET;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_REMOTE_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(8080, 0);
    rule.addMatch(match);
    return rule;
}

class SFRulesCommandHelperTest : public RulesCommandFixture {
protected:
    std::list<SFRuleGroup> listGroups()
    {
        auto response = asResponse(run(*emptyRequest(100015)));
        std::list<SFRuleGroup> groups;
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> groups;
        return groups;
    }
    std::vector<std::string> clientRuleNames()
    {
        std::vector<std::string> names;
        for (const SFRuleGroup& group : listGroups())
            if (CommonFunc::textGUID(group.groupId) == CommonFunc::textGUID(kClient))
                for (const SFRule* rule : group.rules)
                    names.push_back(rule->name);
        return names;
    }
    bool enforcementStatus(const SFRule& rule)
    {
        auto response = asResponse(run(*narrowRequest(100039, rule)));
        bool enforced = true;
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> enforced;
        return enforced;
    }
    std::vector<std::string> listedTrusted()
    {
        auto response = asResponse(run(*emptyRequest(100021)));
        std::list<SFTrustedGroupIP> entries;
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> entries;
        std::vector<std::string> values;
        for (const SFTrustedGroupIP& entry : entries)
            values.push_back(entry.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET ? "LOCAL_SUBNET"
                                                                               : entry.getTrustedIPValueString());
        return values;
    }
};

TEST_F(SFRulesCommandHelperTest, AddedRulesAreListedAndReportTheirEnforcement)
{
    const SFRule rule = userRule("Block 8080", kClient);
    bool status = false;
    GUID answered{};
    EXPECT_EQ(addRule(rule, &status, &answered), SF_SUCCESS);
    EXPECT_TRUE(status);
    EXPECT_EQ(CommonFunc::textGUID(answered), CommonFunc::textGUID(rule.ruleId));
    EXPECT_TRUE(m_logger.has(5, "Received SF_RULE_ADD command"));

    const std::vector<std::string> names = clientRuleNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "Block 8080"), names.end());

    EXPECT_FALSE(enforcementStatus(rule));
    m_rules->setRuleEnforced(kClient, rule.ruleId, true);
    EXPECT_TRUE(enforcementStatus(rule));
    EXPECT_FALSE(enforcementStatus(userRule("never added", kClient)));
}

TEST_F(SFRulesCommandHelperTest, RefusedAndMovedRulesAnswerStatusFalse)
{
    // A jump rule belongs in the default group only: refused, table unchanged.
    SFRule jump = userRule("Jump", kClient);
    jump.action = FW_ACTION_JUMP;
    const std::vector<std::string> before = clientRuleNames();
    bool status = true;
    GUID answered{};
    EXPECT_EQ(addRule(jump, &status, &answered), SF_RULE_REFUSED);
    EXPECT_FALSE(status);
    EXPECT_EQ(CommonFunc::textGUID(answered), CommonFunc::textGUID(jump.ruleId));
    EXPECT_EQ(clientRuleNames(), before);

    // Fill the client group to five rules, then ask for place 9: filed at the end, 150022.
    for (int n = static_cast<int>(clientRuleNames().size()); n < 5; ++n)
        ASSERT_EQ(addRule(userRule("filler " + std::to_string(n), kClient)), SF_SUCCESS);
    ASSERT_EQ(clientRuleNames().size(), 5u);
    EXPECT_EQ(addRule(userRule("ninth", kClient, 9), &status), SF_RULE_POSITION_CHANGED);
    EXPECT_FALSE(status);
    EXPECT_EQ(clientRuleNames().back(), "ninth");
}

TEST_F(SFRulesCommandHelperTest, DeleteTextsDeleteUpToTheFirstFailure)
{
    const SFRule ghost = userRule("ghost", kClient);
    const struct {
        const char* name;
        int rules;          // rules added first
        std::string suffix; // appended after the pairs of those rules
        int pairs;          // how many of their pairs go into the text
        int expected;
        int deleted;
    } cases[] = {
        {"one pair", 1, "", 1, SF_SUCCESS, 1},
        {"two pairs", 2, "", 2, SF_SUCCESS, 2},
        {"a lone id", 1, "", 0, SF_INVALID_ARGUMENT, 0},
        {"a pair and a lone id", 2, "", 1, SF_INVALID_ARGUMENT, 1},
        {"an unknown rule", 0, deletePair(ghost), 0, SF_RULE_TO_DELETE_NOT_FOUND, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SFRule> added;
        for (int n = 0; n < c.rules; ++n) {
            added.push_back(userRule(std::string(c.name) + " " + std::to_string(n), kClient));
            ASSERT_EQ(addRule(added.back()), SF_SUCCESS);
        }
        std::string text;
        for (int n = 0; n < c.pairs; ++n)
            text += (text.empty() ? "" : ",") + deletePair(added[n]);
        if (c.pairs < c.rules)
            text += (text.empty() ? "" : ",") + CommonFunc::textGUID(added[c.pairs].ruleId);
        text += c.suffix;
        m_logger.clear();
        EXPECT_EQ(code(run(*narrowRequest(100007, text))), c.expected);
        const std::vector<std::string> names = clientRuleNames();
        int gone = 0;
        for (const SFRule& rule : added)
            gone += std::find(names.begin(), names.end(), rule.name) == names.end();
        EXPECT_EQ(gone, c.deleted);
        // Clean up what is left for the next case.
        for (const SFRule& rule : added)
            m_rules->delRule(kClient, rule.ruleId);
    }
    EXPECT_TRUE(m_logger.has(5, "Rule Delete Failed for Rule  and Group ID: " +
                                    CommonFunc::textGUID(kClient)));
}

TEST_F(SFRulesCommandHelperTest, TrustedNetworksAnswerTheLastEntrysResult)
{
    SFTrustedGroupIP a = singleTrusted("10.1.1.1"), b = singleTrusted("10.1.1.2"), c = singleTrusted("10.1.1.3");
    EXPECT_EQ(addTrusted({&a}), SF_SUCCESS);
    EXPECT_EQ(addTrusted({&c, &a}), SF_TRUSTED_IP_REFUSED) << "new then duplicate";
    EXPECT_EQ(addTrusted({&a, &b}), SF_SUCCESS) << "duplicate then new";
    EXPECT_EQ(addTrusted({}), SF_NO_TRUSTED_NETWORKS);
    EXPECT_EQ(code(run(*emptyRequest(100019))), SF_NO_TRUSTED_NETWORKS);
    const std::vector<std::string> expected = {"LOCAL_SUBNET", "10.1.1.1", "10.1.1.3", "10.1.1.2"};
    EXPECT_EQ(listedTrusted(), expected);

    EXPECT_EQ(code(run(*narrowRequest(100020, std::string("10.1.1.3")))), SF_SUCCESS);
    EXPECT_EQ(code(run(*narrowRequest(100020, std::string("10.9.9.9")))), SF_TRUSTED_LIST_UNCHANGED);
    EXPECT_EQ(code(run(*narrowRequest(100020, std::string("ALL")))), SF_SUCCESS);
    EXPECT_EQ(listedTrusted(), std::vector<std::string>{"LOCAL_SUBNET"});
}

TEST_F(SFRulesCommandHelperTest, UpdatesWriteTheStoresAndAnswer150001WhenTheyCannot)
{
    SFTrustedGroupIP a = singleTrusted("10.2.2.2");
    EXPECT_EQ(addTrusted({&a}), SF_SUCCESS);
    EXPECT_EQ(code(run(*emptyRequest(100022))), SF_SUCCESS);
    EXPECT_NE(storedValues(m_dir.file("stores/trusted")), std::vector<std::string>{});

    // A change the commands did not write (the trust-local-subnet setting's entry, say): 100022
    // writes it.
    ASSERT_EQ(SFTrustedIPGroupManager::getInstance(m_logger, m_config)
                  ->addTrustedIP(new SFTrustedGroupIP(singleTrusted("10.2.2.3"))),
              SF_SUCCESS);
    // Root ignores file modes: take the folder away so the write cannot succeed.
    boost::filesystem::remove_all(m_dir.file("stores"));
    const CapturedReply failed = run(*emptyRequest(100022));
    EXPECT_EQ(failed.record.status, 1);
    EXPECT_EQ(code(failed), SF_STORE_WRITE_FAILED);
    // The tool reads the narrow reply through its wide view.
    auto response = asResponse(failed);
    int wide = 0;
    ASSERT_NE(response->getWideInputArchive(), nullptr);
    *response->getWideInputArchive() >> wide;
    EXPECT_EQ(wide, SF_STORE_WRITE_FAILED);

    boost::filesystem::create_directories(m_dir.file("stores"));
    // The setting off: no push, the store written, 150000.
    m_config.set(P::enabled, "0");
    m_bridge.clear();
    EXPECT_EQ(code(run(*emptyRequest(100017))), SF_SUCCESS);
    EXPECT_EQ(m_bridge.count("SendRuleAndGroupDataToKext"), 0u);
    EXPECT_FALSE(readFile(m_dir.file("stores/rules")).empty());
    // The setting on and a push that fails.
    m_config.set(P::enabled, "1");
    m_bridge.answer("SendRuleAndGroupDataToKext", false);
    m_bridge.answer("rulesInForce", false);
    // What is in force follows the result, so the tool can tell a push taken back from one
    // linked without the rules that failed.
    auto failedPush = asResponse(run(*emptyRequest(100017)));
    int result = 0;
    int state = -1;
    ASSERT_NE(failedPush->getNarrowInputArchive(), nullptr);
    *failedPush->getNarrowInputArchive() >> result >> state;
    EXPECT_EQ(result, SF_SYSTEM_COMMAND_FAILED);
    EXPECT_EQ(state, SF_RULES_NOT_IN_FORCE);
    EXPECT_TRUE(m_logger.has(2, " Update sending rule table data to Kext failed"));
}

TEST_F(SFRulesCommandHelperTest, ListingsRaceChangesMadeByAnotherThread)
{
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        SFTrustedIPGroupManager* trusted = SFTrustedIPGroupManager::getInstance(m_logger, m_config);
        const GUID racingId = idOf("{0B1C2D3E-1111-2222-3333-444455556666}");
        for (int n = 0; !stop.load(); ++n) {
            auto* group = new SFRuleGroup();
            group->groupId = racingId;
            group->name = "Racing";
            group->chainName = "Racing";
            if (m_rules->addGroup(group) != SF_SUCCESS)
                delete group;
            m_rules->delGroup(racingId);
            auto* entry = new SFTrustedGroupIP(singleTrusted("10.3.3." + std::to_string(n % 200 + 1)));
            if (trusted->addTrustedIP(entry) != SF_SUCCESS)
                delete entry;
            trusted->deleteTrustedIP("10.3.3." + std::to_string(n % 200 + 1));
        }
    });
    for (int n = 0; n < 150; ++n) {
        EXPECT_FALSE(listGroups().empty());
        EXPECT_FALSE(listedTrusted().empty());
    }
    stop = true;
    changer.join();
}

TEST_F(SFRulesCommandHelperTest, ARuleStoreThatCannotBeWrittenFailsTheRulesUpdate)
{
    ASSERT_EQ(addRule(userRule("unsaved", kClient)), SF_SUCCESS);
    // Root ignores file modes: take the folder away so the write cannot succeed.
    boost::filesystem::remove_all(m_dir.file("stores"));
    for (const char* enabled : {"0", "1"}) {
        SCOPED_TRACE(std::string("enabled ") + enabled);
        // Enabled, the push itself succeeds: the failed write alone must reach the reply.
        m_config.set(P::enabled, enabled);
        m_bridge.answer("SendRuleAndGroupDataToKext", true);
        m_logger.clear();
        EXPECT_EQ(code(run(*emptyRequest(100017))), SF_STORE_WRITE_FAILED);
        EXPECT_TRUE(m_logger.has(2, "Could not open Rule Store file"));
    }
    EXPECT_FALSE(boost::filesystem::exists(m_dir.file("stores/rules")));
}

// The commands the tool sends, then a new start on the same stores: what each update wrote is
// what comes back, and nothing deleted returns.
TEST_F(SFRulesCommandHelperTest, ChangesWrittenByTheUpdatesAreWhatTheNextStartLoads)
{
    const SFRule kept = userRule("kept", kClient);
    const SFRule deleted = userRule("deleted", kClient);
    ASSERT_EQ(addRule(kept), SF_SUCCESS);
    ASSERT_EQ(addRule(deleted), SF_SUCCESS);
    ASSERT_EQ(code(run(*narrowRequest(100007, deletePair(deleted)))), SF_SUCCESS);
    ASSERT_EQ(code(run(*emptyRequest(100017))), SF_SUCCESS);

    SFTrustedGroupIP a = singleTrusted("10.4.4.1"), b = singleTrusted("10.4.4.2");
    ASSERT_EQ(addTrusted({&a, &b}), SF_SUCCESS);
    ASSERT_EQ(code(run(*emptyRequest(100022))), SF_SUCCESS);
    ASSERT_EQ(code(run(*narrowRequest(100020, std::string("10.4.4.1")))), SF_SUCCESS);
    ASSERT_EQ(code(run(*emptyRequest(100022))), SF_SUCCESS);
    // The update itself wrote the deletion, not the shutdown that follows.
    EXPECT_EQ(storedValues(m_dir.file("stores/trusted")), (std::vector<std::string>{"NOT SET", "10.4.4.2"}));
    const std::vector<std::string> clientRules = clientRuleNames();

    m_dispatcher.reset();
    SFRulesCommandHelper::releaseInstance();
    m_dispatcher = std::make_unique<SFCommandRequestImpl>(m_socket, m_logger, m_config, m_monitor);
    m_rules = SFRuleManager::getInstance();

    EXPECT_EQ(clientRuleNames(), clientRules);
    const std::vector<std::string> names = clientRuleNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "kept"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "deleted"), names.end());
    EXPECT_EQ(listedTrusted(), (std::vector<std::string>{"LOCAL_SUBNET", "10.4.4.2"}));
}

} // namespace
