// Which store changes count as applied: the real managers' versions, changed by the daemon's
// rule and trusted-network commands (100006, 100019) and as adaptive learning files its rules,
// against the pushes and adaptive rebuilds that copied them and the health check's passes.

#include "SFAppliedChanges.h"

#include "RulesCommandFixture.h"
#include "SFResultCodes.h"

#include <functional>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

class SFAppliedChangesTest : public RulesCommandFixture {
protected:
    int storeRule() { return addRule(model::portRule("stored", FW_ACTION_ALLOW, true, ++m_port)); }
    void learnRule()
    {
        auto rule = std::make_unique<SFRule>(model::portRule("learned", FW_ACTION_ALLOW, true, ++m_port));
        rule->groupId = model::kAdaptive;
        ASSERT_EQ(m_rules->addRule(rule.get()), SF_SUCCESS);
        rule.release();
    }
    void push(SFAppliedChanges& applied)
    {
        applied.copyTable(*m_rules);
        applied.copyTrusted(*SFTrustedIPGroupManager::getInstance(m_logger, m_config));
    }
    static void rebuildAdaptive(SFAppliedChanges& applied) { applied.adaptiveApplied(SFRuleManager::adaptiveVersion()); }
    uint16_t m_port = 7000;
};

} // namespace

TEST_F(SFAppliedChangesTest, AChangeNoCopyHoldsIsPendingAndDueAtTheSecondHealthCheckPass)
{
    using Applied = SFAppliedChanges&;
    const struct {
        const char* what;
        std::function<void(Applied)> change; // after a push that copied everything
        bool pending;
    } cases[] = {
        {"a rule stored, no push", [&](Applied) { storeRule(); }, true},
        {"a rule stored, then a push", [&](Applied a) { storeRule(); push(a); }, false},
        {"a trusted network added, no push",
         [&](Applied) {
             SFTrustedGroupIP entry = singleTrusted("10.9.9.8");
             EXPECT_EQ(addTrusted({&entry}), SF_SUCCESS);
         },
         true},
        {"a learned rule, then its rebuild", [&](Applied a) { learnRule(); rebuildAdaptive(a); }, false},
        {"a rule stored, then an adaptive rebuild", [&](Applied a) { storeRule(); rebuildAdaptive(a); }, true},
        // The usual road: the push asked for comes between two passes; only a change it did
        // not copy becomes due, a pass later.
        {"a rule stored, a pass, a push, another rule",
         [&](Applied a) { storeRule(); EXPECT_FALSE(a.pushDue()); push(a); storeRule(); }, true},
        {"a rule and a trusted network the store refused, undone",
         [&](Applied) {
             boost::filesystem::remove_all(m_dir.file("stores"));
             EXPECT_EQ(storeRule(), SF_STORE_WRITE_FAILED);
             SFTrustedGroupIP entry = singleTrusted("10.9.9.9");
             EXPECT_EQ(addTrusted({&entry}), SF_STORE_WRITE_FAILED);
             boost::filesystem::create_directories(m_dir.file("stores"));
         },
         false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        SFAppliedChanges applied;
        push(applied);
        each.change(applied);
        EXPECT_EQ(applied.pending(), each.pending);
        EXPECT_FALSE(applied.pushDue()) << "due before it waited a whole period";
        EXPECT_EQ(applied.pushDue(), each.pending);
    }
}
