// Many threads use the rule manager and the trusted-network manager the way the daemon's
// threads do: rule edits, emptying and rebuilding the table, store writes, copies and archive
// encodings, mark look-ups, trusted-network edits and writes. Run under ThreadSanitizer.

#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"

#include "CommonFunc.h"
#include "FakeConfigController.h"
#include "RecordingLogger.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFStoreCodec.h"
#include "SFTrustedGroupIP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace StatefulFirewall;

namespace {

SFRule* clientRule(int n)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    rule->name = "rule " + std::to_string(n);
    rule->position = n % 5;
    rule->action = FW_ACTION_ALLOW;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_LOCAL_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->setPortNumber(static_cast<uint16_t>(1000 + n), 0);
    rule->addMatch(match);
    return rule;
}

TEST(SFManagersConcurrencyTest, ThreadsEditWriteAndReadWithoutRacesAndTheStoresStayLoadable)
{
    TestSupport::TempDir dir;
    TestSupport::FakeConfigController config;
    TestSupport::RecordingLogger logger;
    config.set("GlobalConfiguration.RuleStorePath", dir.file("rule-store.data"));
    config.set("GlobalConfiguration.TrustedIPStorePath", dir.file("trustedip-store.data"));
    SFRuleManager& rules = *SFRuleManager::getInstance(logger, config, true);
    SFTrustedIPGroupManager& trusted = *SFTrustedIPGroupManager::getInstance(logger, config);

    constexpr int kRounds = 150;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 2; ++writer)
        threads.emplace_back([&, writer] {
            for (int n = 0; n < kRounds; ++n) {
                SFRule* rule = clientRule(writer * kRounds + n);
                const GUID id = rule->ruleId;
                const GUID group = rule->groupId;
                const int added = rules.addRule(rule);
                if (added != SF_SUCCESS && added != SF_RULE_POSITION_CHANGED)
                    delete rule; // the client group was being rebuilt: the rule stays ours
                else if (n % 2 == 0)
                    rules.delRule(group, id);
            }
        });
    threads.emplace_back([&] {
        for (int n = 0; n < kRounds / 10; ++n)
            if (rules.delAllGroups(n % 2 == 0) != SF_SUCCESS)
                failed = true;
    });
    threads.emplace_back([&] {
        for (int n = 0; n < kRounds / 5; ++n)
            if (rules.updateRuleStore() != SF_SUCCESS)
                failed = true;
    });
    threads.emplace_back([&] {
        for (int n = 0; n < kRounds; ++n) {
            SFRuleTableSnapshot copy = rules.snapshot();
            if (copy.groups.size() < 4)
                failed = true; // the fixed groups are never seen missing
            rules.updateNfMarkVsRuleUid(static_cast<unsigned short>(257 + n % 7),
                                        toKGUID(copy.defaultGroupId));
            KGUID found{};
            rules.getNfMarkVsRuleUid(257, &found);
        }
    });
    threads.emplace_back([&] {
        for (int n = 0; n < kRounds; ++n) {
            auto* entry = new SFTrustedGroupIP();
            entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
            const std::string address = "10.0.0." + std::to_string(n % 200 + 1);
            entry->setStartIp4Address(address.c_str());
            if (trusted.addTrustedIP(entry) != SF_SUCCESS)
                delete entry;
            if (n % 3 == 0)
                trusted.deleteTrustedIP(address);
            if (n % 10 == 0)
                trusted.persistTrustedIPStore();
            trusted.copyTrustedIPList();
        }
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed);

    ASSERT_EQ(SF_SUCCESS, rules.updateRuleStore());
    trusted.persistTrustedIPStore();
    const size_t trustedCount = trusted.copyTrustedIPList().size();
    SFTrustedIPGroupManager::releaseInstance();
    SFRuleManager::releaseInstance();

    logger.clear();
    SFRuleManager& reloaded = *SFRuleManager::getInstance(logger, config, true);
    EXPECT_FALSE(logger.has(2, "Caught exception. Clearing our store and returning."));
    EXPECT_EQ(reloaded.snapshot().groups.size(), 4u);
    EXPECT_EQ(SFTrustedIPGroupManager::getInstance(logger, config)->copyTrustedIPList().size(),
              trustedCount);
    EXPECT_FALSE(logger.has(2, "Caught exception. Clearing our store and returning."));
    SFTrustedIPGroupManager::releaseInstance();
    SFRuleManager::releaseInstance();
}

} // namespace
