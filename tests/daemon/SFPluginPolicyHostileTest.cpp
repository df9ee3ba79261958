// Policies whose list counts or cross references would make the plug-in allocate or loop far
// beyond what the policy holds. Each is refused alone with one level-2 line and changes nothing;
// the good policy after it applies. The process runs under a memory ceiling, so a count that
// is walked or allocated anyway ends the test instead of the machine's memory.

#include "AgentPluginRig.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer reserves far more address space than it uses, so its own resident-memory
// ceiling stands in for the address-space limit below.
extern "C" const char* __asan_default_options()
{
    return "hard_rss_limit_mb=1536";
}
#endif

using namespace TestSupport;

namespace {

const std::string kRule = "33333333-0000-0000-0000-000000000001";
const std::string kOther = "33333333-0000-0000-0000-000000000002";
const std::string kAgg = "44444444-0000-0000-0000-000000000001";
const std::string kHuge = "2147483647";

class SFPluginPolicyHostileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // 4 GiB of address space: ample for the test, far below what the hostile counts ask.
        const rlim_t ceiling = rlim_t(4) << 30;
        rlimit limit{};
        if (::getrlimit(RLIMIT_AS, &limit) == 0 && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > ceiling)) {
            limit.rlim_cur = ceiling;
            ::setrlimit(RLIMIT_AS, &limit);
        }
#endif
    }

    static PolicyText good(const std::string& stamp)
    {
        return PolicyText()
            .trusted({{"SingleIP", "10.7.7.7"}})
            .sequence("", {kRule})
            .rule(kRule, "ALLOW", {{"LastModified", stamp}, {"_LocalPort", "1"}, {"+LocalPort#0", "22"}});
    }

    AgentPluginRig m_rig;
};

struct Hostile {
    const char* what;
    PolicyText policy;
};

// A rule referring to one aggregation of n addresses n times: n * n matches from 2n keys.
PolicyText crossedAggregations(int n)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < n; ++i)
        addresses.push_back(mapped("10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)));
    PolicyText::Keys keys{{"LastModified", "h"}, {"_AggRef", std::to_string(n)}};
    for (int i = 0; i < n; ++i)
        keys.push_back({"+AggRef#" + std::to_string(i), kAgg});
    return PolicyText().sequence("", {kRule}).aggregation(kAgg, 65546, addresses).rule(kRule, "BLOCK", keys);
}

// A sequence listing one rule of n port matches n times.
PolicyText repeatedRule(int n)
{
    std::string ports;
    for (int i = 0; i < n; ++i)
        ports += (i == 0 ? "" : ",") + std::to_string(1000 + i);
    return PolicyText()
        .sequence("", std::vector<std::string>(static_cast<size_t>(n), kRule))
        .rule(kRule, "BLOCK", {{"LastModified", "h"}, {"_LocalPort", "1"}, {"+LocalPort#0", ports}});
}

TEST_F(SFPluginPolicyHostileTest, EachHostilePolicyIsRefusedAloneAndTheNextApplies)
{
    const std::vector<Hostile> cases = {
        {"rule sequence count", PolicyText().sequence("", {kRule}).setting(
                                    "100", "seq-huge", {{"RuleListID", ""}, {"_RuleIDSequence", kHuge}})},
        {"trusted-network count", PolicyText().option("_AddressType", kHuge)},
        {"trusted-network count with entries", PolicyText()
                                                  .trusted({{"SingleIP", "10.1.1.1"}, {"Range", "x"}})
                                                  .option("_AddressType", kHuge)},
        {"local port count", PolicyText().sequence("", {kOther}).rule(
                                 kOther, "ALLOW", {{"_LocalPort", kHuge}, {"+LocalPort#0", "22"}})},
        {"remote port count", PolicyText().sequence("", {kOther}).rule(kOther, "ALLOW", {{"_RemotePort", kHuge}})},
        {"aggregation reference count", PolicyText().sequence("", {kOther}).rule(kOther, "ALLOW", {{"_AggRef", kHuge}})},
        {"local address count", PolicyText().setting("AggregateCriterion", "agg",
                                                     {{"GUID", kAgg}, {"Type", "65541"}, {"_LocalAddress", kHuge}})},
        {"remote address count", PolicyText().setting("AggregateCriterion", "agg",
                                                      {{"GUID", kAgg}, {"Type", "65546"}, {"_RemoteAddress", kHuge}})},
        {"count past 32 bits", PolicyText().option("_AddressType", "4294967296")},
        {"one aggregation referred to 400 times", crossedAggregations(400)},
        {"one rule listed 400 times", repeatedRule(400)},
    };

    ASSERT_EQ(m_rig.deliver(good("g0")), 1);
    int round = 0;
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string rules = readFile(m_rig.m_dir.file("rules"));
        const std::vector<std::string> trusted = m_rig.trustedValues();
        const size_t pushes = m_rig.pushes();
        const size_t errors = m_rig.m_logger.count(2);

        EXPECT_EQ(m_rig.deliver(c.policy), 0);
        EXPECT_EQ(m_rig.m_logger.count(2), errors + 1);
        const std::string refusal = m_rig.m_logger.lines().back().message;
        EXPECT_EQ(refusal.rfind("Policy refused, nothing was applied: ", 0), 0u) << refusal;
        EXPECT_EQ(readFile(m_rig.m_dir.file("rules")), rules);
        EXPECT_EQ(m_rig.trustedValues(), trusted);
        EXPECT_EQ(m_rig.pushes(), pushes);

        EXPECT_EQ(m_rig.deliver(good("g" + std::to_string(++round))), 1);
        EXPECT_EQ(m_rig.pushes(), pushes + 1);
    }
}

// Counts that the policy backs with entries, and counts of zero or below, are not hostile.
TEST_F(SFPluginPolicyHostileTest, CountsBackedByEntriesAndCountsBelowOneAreTaken)
{
    EXPECT_EQ(m_rig.deliver(PolicyText()
                                .option("_AddressType", "-5")
                                .sequence("", {kRule})
                                .rule(kRule, "ALLOW", {{"_LocalPort", "0"}, {"_RemotePort", "-1"}, {"_AggRef", "0"}})),
              1);
    EXPECT_EQ(m_rig.deliver(crossedAggregations(100)), 1);
    EXPECT_EQ(m_rig.deliver(repeatedRule(100)), 1);
}

} // namespace
