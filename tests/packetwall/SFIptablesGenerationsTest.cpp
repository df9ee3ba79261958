// Generation bookkeeping of the iptables driver with a recording runner: what a removal pass
// runs, what it keeps for the next one, the built-in lines and the state file. Nothing real runs.

#include "SFIptables.h"

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFException.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Lines = std::vector<std::string>;

std::string joined(const RecordingHelperUtils::Argv& argv)
{
    std::string line;
    for (size_t i = 1; i < argv.size(); ++i)
        line += (i > 1 ? " " : "") + argv[i];
    return line;
}

class SFIptablesGenerationsTest : public ::testing::Test {
protected:
    void SetUp() override { missing({}); }

    std::unique_ptr<SFIptables> driver()
    {
        return std::make_unique<SFIptables>(m_logger, m_config, m_runner, m_nwif, stateFile(),
                                            m_dir.file("ftp"));
    }
    std::string stateFile() const { return m_dir.file("state/netfilter.state"); }

    // Chains named here do not exist: their listing fails, as iptables' does. The top chains
    // without id text (what the first push looks for) never exist either.
    void missing(std::vector<std::string> chains)
    {
        m_missing = std::move(chains);
        m_missing.push_back("QTZ_INPUT");
        m_missing.push_back("QTZ_OUTPUT");
        m_runner->failWhen([this](const RecordingHelperUtils::Argv& argv) {
            const std::string line = joined(argv);
            if (m_failingOnce.extract(line))
                return true;
            if (line.rfind("-n -L ", 0) != 0 && line.rfind("-X ", 0) != 0 && line.rfind("-F ", 0) != 0)
                return m_failing.count(line) != 0;
            const std::string chain = line.substr(line.rfind(' ') + 1);
            return std::find(m_missing.begin(), m_missing.end(), chain) != m_missing.end() ||
                   m_failing.count(line) != 0;
        });
    }

    // Builds generation id with the given chains the way a push does, up to its redirection.
    void build(SFIptables& netfilter, int id, const Lines& chains)
    {
        m_config.setPreviousUniqueId(m_config.getUniqueId());
        netfilter.saveIptablesChainsToPreviousPolicy();
        m_config.setUniqueId(std::to_string(id));
        netfilter.addVarnikInputOutputChains(m_config.getUniqueId());
        for (const std::string& chain : chains)
            netfilter.addOrDeleteIptablesChain(true, chain);
    }

    RecordingLogger m_logger;
    FakeConfigController m_config;
    FakeNwIFManager m_nwif;
    TempDir m_dir;
    std::shared_ptr<RecordingHelperUtils> m_runner = std::make_shared<RecordingHelperUtils>();
    std::vector<std::string> m_missing;
    std::set<std::string> m_failing;
    // Lines that fail the next time they run only.
    std::multiset<std::string> m_failingOnce;
};

TEST_F(SFIptablesGenerationsTest, RemovalFlushesEveryChainOnceBeforeDeletingAny)
{
    auto netfilter = driver();
    missing({"QTZ_BlockEven_IN_1", "Web_IN_1"}); // so that they get created
    build(*netfilter, 1, {"QTZ_BlockEven_IN_1", "Web_IN_1", "Web_IN_1"});
    missing({});
    build(*netfilter, 2, {});
    m_runner->clear();

    netfilter->flushIptablesInPreviousPolicy();
    // The generation before _1 (none: no id text yet) is looked for first, each top chain
    // listed twice before it is taken for gone.
    EXPECT_EQ(m_runner->lines(), (Lines{
                                     "-n -L QTZ_INPUT",
                                     "-n -L QTZ_INPUT",
                                     "-n -L QTZ_OUTPUT",
                                     "-n -L QTZ_OUTPUT",
                                     "-n -L QTZ_INPUT_1",
                                     "-n -L QTZ_OUTPUT_1",
                                     "-D INPUT -j QTZ_INPUT_1",
                                     "-D OUTPUT -j QTZ_OUTPUT_1",
                                     "-F QTZ_OUTPUT_1",
                                     "-X QTZ_OUTPUT_1",
                                     "-F QTZ_INPUT_1",
                                     "-X QTZ_INPUT_1",
                                     "-F QTZ_BlockEven_IN_1",
                                     "-F Web_IN_1",
                                     "-X QTZ_BlockEven_IN_1",
                                     "-X Web_IN_1",
                                 }));

    // Nothing is left for a second pass.
    m_runner->clear();
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(m_runner->lines().empty());
}

TEST_F(SFIptablesGenerationsTest, AChainThatCouldNotBeDeletedIsRetriedByTheNextPass)
{
    auto netfilter = driver();
    missing({"Web_IN_1"});
    build(*netfilter, 1, {"Web_IN_1"});
    missing({});
    m_failing = {"-X Web_IN_1"};
    build(*netfilter, 2, {});
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(m_logger.has(6, "Exception occurred while flushing previous policy iptables chains: "
                                "failed by the test: /opt/Varnik/kyv/fw/bin/iptables"));

    m_failing.clear();
    m_runner->clear();
    build(*netfilter, 3, {});
    netfilter->flushIptablesInPreviousPolicy();
    const Lines lines = m_runner->lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "-X Web_IN_1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "-n -L QTZ_INPUT_2"), lines.end());
}

TEST_F(SFIptablesGenerationsTest, AnAbandonedGenerationGoesAndTheOneBeforeIsCurrentAgain)
{
    auto netfilter = driver();
    // Each generation places the client group's catch-all into INPUT.
    missing({"Web_IN_1"});
    build(*netfilter, 1, {"Web_IN_1"});
    netfilter->getIptablesRuleActionCmdSuffix(true, false, "DROP", "QTZ_Client_IN", true);
    netfilter->flushIptablesInPreviousPolicy(); // _1 is linked: what came before goes
    netfilter->saveDefaultDropRulesToPreviousPolicy();
    missing({"Web_IN_2"});
    build(*netfilter, 2, {"Web_IN_2"});
    netfilter->getIptablesRuleActionCmdSuffix(true, false, "ACCEPT", "QTZ_Client_IN", true);
    missing({});
    m_runner->clear();
    netfilter->abandonCurrentGeneration("_1");
    Lines lines = m_runner->lines();
    for (const char* expected : {"-D INPUT -j QTZ_INPUT_2", "-X QTZ_OUTPUT_2", "-X Web_IN_2", "-D INPUT -j ACCEPT"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    for (const std::string& line : lines)
        EXPECT_TRUE(line.find("_1") == std::string::npos && line != "-D INPUT -j DROP") << line;
    EXPECT_EQ(m_config.getUniqueId(), "_1");
    EXPECT_FALSE(netfilter->hasPendingRemovals());

    // _1 is the current generation again, with its line: the disable removes both.
    m_runner->clear();
    netfilter->flushIptablesDefaultDropRule();
    netfilter->flushIptablesInCurrentPolicy();
    lines = m_runner->lines();
    for (const char* expected : {"-D INPUT -j DROP", "-X QTZ_INPUT_1", "-X Web_IN_1"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_EQ(fileMode(stateFile()), -1);
}

TEST_F(SFIptablesGenerationsTest, AGenerationWithoutRedirectionOrTwinStillLosesItsTopChains)
{
    auto netfilter = driver();
    build(*netfilter, 1, {});
    // The push of _1 stopped after its input chain: no output chain, no redirection.
    missing({"QTZ_OUTPUT_1"});
    build(*netfilter, 2, {});
    m_runner->clear();
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_EQ(m_runner->lines(), (Lines{"-n -L QTZ_INPUT", "-n -L QTZ_INPUT", "-n -L QTZ_OUTPUT", "-n -L QTZ_OUTPUT",
                                        "-n -L QTZ_INPUT_1", "-n -L QTZ_OUTPUT_1", "-n -L QTZ_OUTPUT_1",
                                        "-D INPUT -j QTZ_INPUT_1", "-F QTZ_INPUT_1", "-X QTZ_INPUT_1"}));
}

// A listing that fails once may be iptables failing beside another program: the top chain is
// removed all the same, by a take-back of the try or by a removal pass of an earlier generation.
TEST_F(SFIptablesGenerationsTest, ATopChainWhoseListingFailsOnceIsStillRemoved)
{
    const struct {
        const char* chain;
        bool takeBack; // the new generation is taken back, else the old one goes in a removal pass
    } cases[] = {{"QTZ_OUTPUT_", true}, {"QTZ_INPUT_", true}, {"QTZ_OUTPUT_", false}};
    int old = 1;
    for (const auto& c : cases) {
        old += 10;
        const std::string chain = c.chain + std::to_string(c.takeBack ? old + 1 : old);
        SCOPED_TRACE(chain);
        ::unlink(stateFile().c_str());
        auto netfilter = driver();
        build(*netfilter, old, {});
        netfilter->flushIptablesInPreviousPolicy();
        build(*netfilter, old + 1, {});
        m_failingOnce = {"-n -L " + chain};
        m_runner->clear();
        if (c.takeBack)
            netfilter->abandonCurrentGeneration("_" + std::to_string(old));
        else
            netfilter->flushIptablesInPreviousPolicy();
        const Lines lines = m_runner->lines();
        EXPECT_TRUE(m_failingOnce.empty()) << "the chain was never listed";
        EXPECT_NE(std::find(lines.begin(), lines.end(), "-X " + chain), lines.end());
        EXPECT_FALSE(netfilter->hasPendingRemovals());
    }
}

TEST_F(SFIptablesGenerationsTest, DisablingRemovesPendingGenerationsAndTheCurrentOne)
{
    auto netfilter = driver();
    build(*netfilter, 1, {});
    build(*netfilter, 2, {}); // _1 still pending: the push of _2 never reached its removal pass
    m_runner->clear();
    netfilter->flushIptablesInCurrentPolicy();
    const Lines lines = m_runner->lines();
    for (const char* expected : {"-X QTZ_INPUT_1", "-X QTZ_OUTPUT_1", "-X QTZ_INPUT_2", "-X QTZ_OUTPUT_2"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_EQ(fileMode(stateFile()), -1);
}

TEST_F(SFIptablesGenerationsTest, RecordingAChainTwiceRunsOneCreationAndDeletingAMissingOneRunsNothing)
{
    auto netfilter = driver();
    m_config.setUniqueId("1");
    netfilter->addOrDeleteIptablesChain(true, "Web_IN_1"); // listing succeeds: it exists
    missing({"Gone_IN_1"});
    netfilter->addOrDeleteIptablesChain(false, "Gone_IN_1");
    EXPECT_EQ(m_runner->lines(), (Lines{"-n -L Web_IN_1", "-n -L Gone_IN_1"}));
}

TEST_F(SFIptablesGenerationsTest, StateFileLetsANewDriverRemoveAnEarlierOnesChainsAndLines)
{
    {
        auto first = driver();
        missing({"Web_IN_1"});
        build(*first, 1, {"Web_IN_1"});
    }
    ASSERT_EQ(fileMode(stateFile()), 0600);
    // Lines an earlier driver placed into the built-in chains, as its state file lists them.
    writeFile(stateFile(), readFile(stateFile()) +
                               "INPUT mark -j MARK --set-mark 259\n"
                               "INPUT log -j LOG --log-level 6 --log-prefix QTZ_I_A_Block_All\n"
                               "INPUT action -j ACCEPT\n"
                               "OUTPUT action -j DROP\n");

    FakeConfigController restarted;
    SFIptables second(m_logger, restarted, m_runner, m_nwif, stateFile(), m_dir.file("ftp"));
    m_runner->clear();
    missing({});
    second.flushIptablesDefaultDropRule();
    EXPECT_EQ(m_runner->lines(), (Lines{
                                     "-D INPUT -j MARK --set-mark 259",
                                     "-D INPUT -j LOG --log-level 6 --log-prefix QTZ_I_A_Block_All",
                                     "-D INPUT -j ACCEPT",
                                     "-D OUTPUT -j DROP",
                                 }));

    m_runner->clear();
    restarted.setUniqueId("9");
    second.saveIptablesChainsToPreviousPolicy();
    second.flushIptablesInPreviousPolicy();
    const Lines lines = m_runner->lines();
    for (const char* expected : {"-X QTZ_INPUT_1", "-X QTZ_OUTPUT_1", "-X Web_IN_1"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_EQ(fileMode(stateFile()), -1);
}

TEST_F(SFIptablesGenerationsTest, AFailedBuiltInDeletionDoesNotStopTheOthersAndIsTriedAgain)
{
    ::mkdir(m_dir.file("state").c_str(), 0700);
    writeFile(stateFile(), "tq-netfilter-state 1\nINPUT action -j DROP\nINPUT action -j DROP\n");
    auto netfilter = driver();
    int calls = 0;
    m_runner->failWhen([&calls](const RecordingHelperUtils::Argv&) { return ++calls == 1; });
    netfilter->flushIptablesDefaultDropRule();
    // The line still stands after its failed deletion: it stays recorded.
    EXPECT_EQ(m_runner->lines(), (Lines{"-D INPUT -j DROP", "-C INPUT -j DROP", "-D INPUT -j DROP"}));
    EXPECT_TRUE(netfilter->hasRecordedLeftovers());

    m_runner->clear();
    netfilter->flushIptablesDefaultDropRule();
    EXPECT_EQ(m_runner->lines(), (Lines{"-D INPUT -j DROP"}));
    m_runner->clear();
    netfilter->flushIptablesDefaultDropRule();
    EXPECT_TRUE(m_runner->lines().empty());
    EXPECT_FALSE(netfilter->hasRecordedLeftovers());
}

TEST_F(SFIptablesGenerationsTest, UnreadableStateFileIsKeptAsideAndNothingIsLoaded)
{
    for (const std::string& bad : {std::string("not a state file\n"),
                                  std::string("tq-netfilter-state 1\ngeneration _1 bad;name\n"),
                                  std::string("tq-netfilter-state 1\nINPUT drop -j DROP\n"),
                                  std::string("tq-netfilter-state 1\nFORWARD action -j DROP\n"),
                                  std::string("tq-netfilter-state 1\ngeneration 1\n")}) {
        ::mkdir(m_dir.file("state").c_str(), 0700);
        ::unlink((stateFile() + ".corrupt").c_str()); // an earlier copy is never replaced
        writeFile(stateFile(), bad);
        m_logger.clear();
        auto netfilter = driver();
        EXPECT_EQ(m_logger.count(2), 1u) << bad;
        EXPECT_EQ(readFile(stateFile() + ".corrupt"), bad);
        EXPECT_EQ(fileMode(stateFile()), -1);
        m_runner->clear();
        netfilter->flushIptablesDefaultDropRule();
        EXPECT_TRUE(m_runner->lines().empty()) << bad;
    }
}

TEST_F(SFIptablesGenerationsTest, HashLimitRatesIptablesWouldRefuseBecomeTheDefault)
{
    auto netfilter = driver();
    for (const char* good : {"5/hour", "1", "2/day", "1/h", "5/Hour", "100/sec", "1000000/s", "3/min"}) {
        m_config.set(FakeConfigController::path::hashLimit, good);
        EXPECT_EQ(netfilter->getCheckedHashLimitRate(), good);
    }
    for (const char* bad : {"", "0", "0/sec", "1/day", "1000001/sec", "-5/hour", "5/", "5/hours",
                            "5/week", "5 /hour", "12345678901", "/hour"}) {
        m_config.set(FakeConfigController::path::hashLimit, bad);
        m_logger.clear();
        EXPECT_EQ(netfilter->getCheckedHashLimitRate(), "5/hour") << bad;
        EXPECT_EQ(m_logger.count(2), 1u) << bad;
    }
    // Tables of different rates never share a name; equal rates always do.
    EXPECT_EQ(SFIptables::hashLimitName("udpin", "5/hour"), "udpin_c2f7");
    EXPECT_NE(SFIptables::hashLimitName("udpin", "100/sec"), SFIptables::hashLimitName("udpin", "1/hour"));
}

TEST_F(SFIptablesGenerationsTest, LeavingAdaptiveModeWithoutItsJumpsStopsAtTheFirstDeletion)
{
    auto netfilter = driver();
    m_config.setUniqueId("3");
    m_runner->failWhen([](const RecordingHelperUtils::Argv& argv) { return joined(argv).find(" -D ") != std::string::npos; });
    EXPECT_THROW(netfilter->addOrDeleteQueueGroupWithJumpRule(false), SFException);
    EXPECT_EQ(m_runner->lines(), (Lines{"-m state --state ESTABLISHED,RELATED -m mark --mark 1 -j QueueGroup_3 -D QTZ_INPUT_3"}));
}

} // namespace
