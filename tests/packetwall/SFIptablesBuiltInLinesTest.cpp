// The iptables driver's lines in the built-in INPUT and OUTPUT with a recording runner: the
// fallback accept pair and the hand-over of a generation's lines to the next one. Nothing real
// runs.

#include "SFIptables.h"

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Lines = std::vector<std::string>;

const char* const kInputPair = "-I INPUT -j ACCEPT -m state --state ESTABLISHED,RELATED";
const char* const kOutputPair = "-I OUTPUT -j ACCEPT -m state --state ESTABLISHED,RELATED";

class SFIptablesBuiltInLinesTest : public ::testing::Test {
protected:
    std::unique_ptr<SFIptables> driver(IConfigController& config)
    {
        return std::make_unique<SFIptables>(m_logger, config, m_runner, m_nwif,
                                            m_dir.file("state/netfilter.state"), m_dir.file("ftp"));
    }

    RecordingLogger m_logger;
    FakeConfigController m_config;
    FakeNwIFManager m_nwif;
    TempDir m_dir;
    std::shared_ptr<RecordingHelperUtils> m_runner = std::make_shared<RecordingHelperUtils>();
};

} // namespace

TEST_F(SFIptablesBuiltInLinesTest, TheFallbackPairIsPlacedOnceAndANewDriverRemovesIt)
{
    auto netfilter = driver(m_config);
    EXPECT_FALSE(netfilter->hasRecordedLeftovers());
    netfilter->addRelEstRuleToNetfilter(false);
    netfilter->addRelEstRuleToNetfilter(false);
    EXPECT_EQ(m_runner->lines(), (Lines{kInputPair, kOutputPair}));
    EXPECT_TRUE(netfilter->hasRecordedLeftovers());

    // The pair is in the state file: a daemon that died leaves it to the next one.
    FakeConfigController restarted;
    auto successor = driver(restarted);
    EXPECT_TRUE(successor->hasRecordedLeftovers());
    m_runner->clear();
    successor->addRelEstRuleToNetfilter(false);
    EXPECT_TRUE(m_runner->lines().empty()) << "a second pair was placed";
    successor->flushIptablesDefaultDropRule();
    EXPECT_EQ(m_runner->lines(),
              (Lines{"-D INPUT -j ACCEPT -m state --state ESTABLISHED,RELATED",
                     "-D OUTPUT -j ACCEPT -m state --state ESTABLISHED,RELATED"}));
    EXPECT_FALSE(successor->hasRecordedLeftovers());
}

TEST_F(SFIptablesBuiltInLinesTest, OnlyTheLinesHandedToThePreviousGenerationGoAfterTheSwitch)
{
    auto netfilter = driver(m_config);
    // The client group's last rule, a logged allow, as one push places it.
    auto placeClientLines = [&netfilter](const std::string& prefix) {
        netfilter->getIptablesRuleLogCmdSuffix(true, false, prefix, "QTZ_Client_IN", true);
        netfilter->getIptablesRuleActionCmdSuffix(true, false, "ACCEPT", "QTZ_Client_IN", true);
    };
    placeClientLines("QTZ_I_old");
    netfilter->addRelEstRuleToNetfilter(false);
    netfilter->saveDefaultDropRulesToPreviousPolicy();
    placeClientLines("QTZ_I_new");

    m_runner->clear();
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    Lines deleted = m_runner->lines();
    ASSERT_EQ(deleted.size(), 4u) << ::testing::PrintToString(deleted);
    EXPECT_NE(deleted[0].find("-D INPUT -j LOG"), std::string::npos) << deleted[0];
    EXPECT_NE(deleted[0].find("QTZ_I_old"), std::string::npos) << deleted[0];
    EXPECT_EQ(deleted[1], "-D INPUT -j ACCEPT");
    EXPECT_EQ(deleted[2], "-D INPUT -j ACCEPT -m state --state ESTABLISHED,RELATED");
    EXPECT_EQ(deleted[3], "-D OUTPUT -j ACCEPT -m state --state ESTABLISHED,RELATED");

    // The new generation's lines stay recorded, also for a new process, until its own turn.
    m_runner->clear();
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    EXPECT_TRUE(m_runner->lines().empty());
    FakeConfigController restarted;
    auto successor = driver(restarted);
    successor->flushIptablesDefaultDropRule();
    deleted = m_runner->lines();
    ASSERT_EQ(deleted.size(), 2u) << ::testing::PrintToString(deleted);
    EXPECT_NE(deleted[0].find("QTZ_I_new"), std::string::npos) << deleted[0];
    EXPECT_EQ(deleted[1], "-D INPUT -j ACCEPT");
}
