// Command 100017 on the real stack in the sandbox: a rule added with 100006 reaches iptables
// with its mark and reports itself enforced; with the firewall setting on but the controller
// not enabled, the store is written and no chain appears.

#include "BridgeSandboxRig.h"

#include "CapturingSocket.h"
#include "CommonFunc.h"
#include "DispatcherCalls.h"
#include "ModelFixtures.h"
#include "SFCommandRequestImpl.h"
#include "SFConfigController.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRuleManager.h"
#include "SFRulesCommandHelper.h"
#include "SFSerialization.h"
#include "SandboxGuard.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace StatefulFirewall;
using namespace BridgeRig;
using namespace TestSupport;

namespace {

// The dispatcher over the stack's settings, answering into a capturing socket.
class Commands {
public:
    explicit Commands(Stack& stack)
        : m_dispatcher(m_socket, stack.logger(), stack.config(), stack.monitor())
    {
    }
    // The reply's leading value of type T.
    template <class T> T run(const ZAV::CommandRequest& request)
    {
        m_socket.clear();
        ZAV::CommandNWRequest arrived = arriving(request);
        EXPECT_TRUE(m_dispatcher.processCommandForFM(arrived, true));
        T value{};
        if (m_socket.sends().size() != 1) {
            ADD_FAILURE() << "not one reply";
            return value;
        }
        auto response = asResponse(decodeReply(m_socket.sends().back()));
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> value;
        return value;
    }

private:
    CapturingSocket m_socket;
    SFCommandRequestImpl m_dispatcher;
};

class SFRulesCommandSandboxTest : public ::testing::Test {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }
    // The stack releases the managers; the helper object goes after it.
    void TearDown() override { SFRulesCommandHelper::releaseInstance(); }
};

TEST_F(SFRulesCommandSandboxTest, AnAddedRuleReachesIptablesWithItsMarkAfterTheUpdate)
{
    Stack stack(Settings{});
    stack.enable();
    {
        Commands commands(stack);
        const SFRule rule = model::portRule("Allow 2424", FW_ACTION_ALLOW, true, 2424);
        auto add = narrowRequest(100006, rule);
        EXPECT_EQ(commands.run<GUID>(*add).Data1, rule.ruleId.Data1);
        EXPECT_EQ(commands.run<int>(*emptyRequest(100017)), SF_SUCCESS);

        unsigned mark = 0;
        for (unsigned candidate = 257; candidate < 400 && mark == 0; ++candidate) {
            KGUID id{};
            if (stack.rules().getNfMarkVsRuleUid(static_cast<unsigned short>(candidate), &id) &&
                CommonFunc::textGUID(fromKGUID(id)) == CommonFunc::textGUID(rule.ruleId))
                mark = candidate;
        }
        ASSERT_NE(mark, 0u);
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%x", mark);
        const std::string listing = iptables("-S");
        EXPECT_EQ(linesWith(listing, "--dports 2424 -j MARK --set-xmark " + std::string(hex) + "/0xffffffff"), 1u)
            << listing;
        EXPECT_EQ(linesWith(listing, "--dports 2424 -j ACCEPT"), 1u) << listing;
        auto status = narrowRequest(100039, rule);
        EXPECT_TRUE(commands.run<bool>(*status));
    }
}

TEST_F(SFRulesCommandSandboxTest, WithTheControllerNotEnabledTheUpdateWritesTheStoreAndNoChain)
{
    Stack stack(Settings{});
    ASSERT_TRUE(stack.config().getFwEnableStatus());
    {
        Commands commands(stack);
        auto add = narrowRequest(100006, model::portRule("Allow 2525", FW_ACTION_ALLOW, true, 2525));
        commands.run<GUID>(*add);
        EXPECT_EQ(commands.run<int>(*emptyRequest(100017)), SF_SUCCESS);
    }
    const std::string store = stack.config().getRuleStorePath();
    EXPECT_EQ(fileMode(store), 0600);
    EXPECT_NE(readFile(store).find("Allow 2525"), std::string::npos);
    EXPECT_EQ(linesWith(iptables("-S"), "QTZ"), 0u);
}

} // namespace
