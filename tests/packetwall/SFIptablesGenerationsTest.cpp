// Generation bookkeeping of the iptables driver with a recording runner over a small filter
// table: what a removal pass runs, what it keeps for the next one, the built-in lines (the
// fallback accept pair and the hand-over of a generation's lines to the next one) and the state
// file. Nothing real runs.

#include "SFIptables.h"

#include "FakeConfigController.h"
#include "FakeFilterTable.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFException.h"
#include "TempDir.h"

#include <boost/algorithm/string/join.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Lines = std::vector<std::string>;

// The table as generation uid alone leaves it: its top chains, what is given, its jumps.
std::string alone(const std::string& uid, const std::string& more = "")
{
    return "-N QTZ_INPUT" + uid + "\n-N QTZ_OUTPUT" + uid + "\n" + more + "-A INPUT -j QTZ_INPUT" + uid +
           "\n-A OUTPUT -j QTZ_OUTPUT" + uid + "\n";
}

class SFIptablesGenerationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_table.attach(*m_runner);
        m_table.refuse = [this](const std::string& line) { return m_failing.count(line) != 0; };
    }

    std::unique_ptr<SFIptables> driver() { return driver(m_config); }
    std::unique_ptr<SFIptables> driver(IConfigController& config)
    {
        return std::make_unique<SFIptables>(m_logger, config, m_runner, m_nwif, stateFile(), m_dir.file("ftp"));
    }
    // A driver on an empty table with no state file, before the first push of a run.
    std::unique_ptr<SFIptables> freshDriver()
    {
        ::unlink(stateFile().c_str());
        m_table.chains.clear();
        m_table.lines.clear();
        m_config.setUniqueId("");
        return driver();
    }
    std::string stateFile() const { return m_dir.file("state/netfilter.state"); }
    // True when the runner ran this line since it was last cleared.
    bool ran(const std::string& line) const
    {
        const Lines lines = m_runner->lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
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
        netfilter.addRedirectionRulesToInputOutputChains();
    }

    // A line of the client group's last rule as a push places it in INPUT: the driver records
    // it, the table holds it. A LOG line when the target is a log prefix ("QTZ_...").
    void placeInInput(SFIptables& netfilter, const std::string& target)
    {
        const Lines suffix = target.rfind("QTZ_", 0) == 0
                                 ? netfilter.getIptablesRuleLogCmdSuffix(true, false, target, "QTZ_Client_IN", true)
                                 : netfilter.getIptablesRuleActionCmdSuffix(true, false, target, "QTZ_Client_IN", true);
        EXPECT_TRUE(m_table.run(boost::algorithm::join(suffix, " ")));
    }

    RecordingLogger m_logger;
    FakeConfigController m_config;
    FakeNwIFManager m_nwif;
    TempDir m_dir;
    std::shared_ptr<RecordingHelperUtils> m_runner = std::make_shared<RecordingHelperUtils>();
    FakeFilterTable m_table;
    std::set<std::string> m_failing;
};

TEST_F(SFIptablesGenerationsTest, RemovalFlushesEveryChainOnceBeforeDeletingAny)
{
    auto netfilter = driver();
    build(*netfilter, 1, {"QTZ_BlockEven_IN_1", "Web_IN_1", "Web_IN_1"});
    build(*netfilter, 2, {});
    m_runner->clear();

    // The first push of a run hands no generation over: there is none before _1 to look for.
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_EQ(m_runner->lines(), (Lines{"-D INPUT -j QTZ_INPUT_1", "-D OUTPUT -j QTZ_OUTPUT_1", "-F QTZ_INPUT_1",
                                        "-F QTZ_OUTPUT_1", "-F QTZ_BlockEven_IN_1", "-F Web_IN_1", "-X QTZ_INPUT_1",
                                        "-X QTZ_OUTPUT_1", "-X QTZ_BlockEven_IN_1", "-X Web_IN_1"}));
    EXPECT_EQ(m_table.listing(), alone("_2"));

    // Nothing is left for a second pass.
    m_runner->clear();
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(m_runner->lines().empty());
}

TEST_F(SFIptablesGenerationsTest, AChainThatCouldNotBeDeletedIsRetriedByTheNextPass)
{
    auto netfilter = driver();
    build(*netfilter, 1, {"Web_IN_1"});
    m_failing = {"-X Web_IN_1"};
    build(*netfilter, 2, {});
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(m_logger.has(6, "Exception occurred while flushing previous policy iptables chains: "
                                "exit status 1: iptables: failed by the test"));

    m_failing.clear();
    m_runner->clear();
    build(*netfilter, 3, {});
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(ran("-X Web_IN_1"));
    EXPECT_TRUE(ran("-X QTZ_INPUT_2"));
    EXPECT_EQ(m_table.listing(), alone("_3"));
}

TEST_F(SFIptablesGenerationsTest, AnAbandonedGenerationGoesAndTheOneBeforeIsCurrentAgain)
{
    auto netfilter = driver();
    // Each generation places the client group's catch-all into INPUT.
    build(*netfilter, 1, {"Web_IN_1"});
    placeInInput(*netfilter, "DROP");
    netfilter->flushIptablesInPreviousPolicy(); // _1 is linked: what came before goes
    netfilter->saveDefaultDropRulesToPreviousPolicy();
    build(*netfilter, 2, {"Web_IN_2"});
    placeInInput(*netfilter, "ACCEPT");
    m_runner->clear();
    netfilter->abandonCurrentGeneration("_1");
    for (const char* expected : {"-D INPUT -j QTZ_INPUT_2", "-X QTZ_OUTPUT_2", "-X Web_IN_2", "-D INPUT -j ACCEPT"})
        EXPECT_TRUE(ran(expected)) << expected;
    for (const std::string& line : m_runner->lines())
        EXPECT_TRUE(line.find("_1") == std::string::npos && line != "-D INPUT -j DROP") << line;
    EXPECT_EQ(m_config.getUniqueId(), "_1");
    EXPECT_FALSE(netfilter->hasPendingRemovals());

    // _1 is the current generation again, with its line: the disable removes both.
    netfilter->flushIptablesDefaultDropRule();
    netfilter->flushIptablesInCurrentPolicy();
    EXPECT_EQ(m_table.listing(), "");
    EXPECT_EQ(fileMode(stateFile()), -1);
}

// A generation a push left without its redirection or its twin loses what it has; what was
// never created is answered absent by its flush and not looked for again.
TEST_F(SFIptablesGenerationsTest, AGenerationWithoutRedirectionOrTwinStillLosesItsTopChains)
{
    auto netfilter = driver();
    m_failing = {"-N QTZ_OUTPUT_1"};
    EXPECT_THROW(build(*netfilter, 1, {}), SFException);
    m_failing.clear();
    build(*netfilter, 2, {});
    m_runner->clear();
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_EQ(m_runner->lines(), (Lines{"-F QTZ_INPUT_1", "-F QTZ_OUTPUT_1", "-X QTZ_INPUT_1"}));
    EXPECT_FALSE(netfilter->hasPendingRemovals());
}

// Nothing is forgotten while iptables fails as a whole, whatever the pass: every listing,
// deletion and check fails then. Once it works again, the next pass leaves the table as the
// generation in force alone would, also for a new driver that read the state file and pushed.
TEST_F(SFIptablesGenerationsTest, AnOutageForgetsNothingAndTheNextPassRemovesIt)
{
    enum Pass { Removal, TakeBack, Disable };
    const struct {
        const char* what;
        Pass pass;
        bool restart;        // a new driver reads the state file after the outage
        const char* inForce; // the id text left in force
        const char* line;    // the built-in line left with it
    } cases[] = {
        {"an earlier generation", Removal, false, "2", "-A INPUT -j LOG --log-level 4 --log-prefix QTZ_I_new\n"},
        {"an earlier generation, after a restart", Removal, true, "3", ""},
        {"a try taken back", TakeBack, false, "1", "-A INPUT -j DROP\n"},
        {"a disable", Disable, false, "", ""},
        {"a disable, after a restart", Disable, true, "", ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        auto netfilter = freshDriver();
        build(*netfilter, 1, {"Web_IN_1"});
        placeInInput(*netfilter, "DROP");
        netfilter->setNetfilterPolicyToAccept(false);
        netfilter->saveDefaultDropRulesToPreviousPolicy();
        build(*netfilter, 2, {"Web_IN_2"});
        placeInInput(*netfilter, "QTZ_I_new");
        const std::string before = m_table.listing();

        const auto removal = [&netfilter] {
            netfilter->flushDefaultDropRulesOfPreviousPolicy();
            netfilter->flushIptablesInPreviousPolicy();
        };
        const auto disable = [&netfilter](bool outage) {
            if (outage) {
                EXPECT_THROW(netfilter->setNetfilterPolicyToAccept(true), SFException);
            } else {
                EXPECT_TRUE(netfilter->dropPoliciesMayStand());
                netfilter->setNetfilterPolicyToAccept(true);
            }
            netfilter->flushIptablesDefaultDropRule();
            netfilter->flushIptablesInCurrentPolicy();
        };
        m_table.outage = true;
        if (each.pass == Removal)
            removal();
        else if (each.pass == TakeBack)
            netfilter->abandonCurrentGeneration("_1");
        else
            disable(true);
        EXPECT_TRUE(netfilter->hasRecordedLeftovers());
        EXPECT_EQ(netfilter->leftoverEffect(), INetfilter::LeftoverEffect::Drops);
        EXPECT_TRUE(netfilter->earlierGenerationsLinked()) << "said in force";
        EXPECT_TRUE(netfilter->dropPoliciesMayStand());
        const std::string state = readFile(stateFile());
        for (const char* record : {"generation _1 ", "Web_IN_1", "generation _2 ", "Web_IN_2", "INPUT action -j DROP\n",
                                   "QTZ_I_new\n", "policy INPUT DROP\n", "policy OUTPUT DROP\n"})
            EXPECT_NE(state.find(record), std::string::npos) << record << " is missing from\n" << state;

        m_table.outage = false;
        if (each.restart)
            netfilter = driver();
        if (each.pass != Disable && each.restart) {
            // A new run's first push: the state file's generations wait as earlier ones.
            netfilter->saveDefaultDropRulesToPreviousPolicy();
            build(*netfilter, 3, {"Web_IN_3"});
        }
        each.pass == Disable ? disable(false) : removal();
        if (*each.inForce == '\0') {
            EXPECT_EQ(m_table.listing(), "");
            EXPECT_FALSE(netfilter->hasRecordedLeftovers());
            EXPECT_EQ(fileMode(stateFile()), -1);
            continue;
        }
        const std::string uid = std::string("_") + each.inForce;
        EXPECT_EQ(m_table.listing(), alone(uid, "-N Web_IN" + uid + "\n" + each.line));
        EXPECT_FALSE(netfilter->hasPendingRemovals());
        EXPECT_FALSE(netfilter->earlierGenerationsLinked());
    }
}

// A try taken back while an earlier generation's line waits for its deletion leaves that line
// a leftover: still pending, and deleted by the next pass.
TEST_F(SFIptablesGenerationsTest, ATakeBackKeepsAnEarlierGenerationsLineALeftover)
{
    auto netfilter = driver();
    build(*netfilter, 1, {});
    placeInInput(*netfilter, "DROP");
    netfilter->saveDefaultDropRulesToPreviousPolicy();
    build(*netfilter, 2, {});
    placeInInput(*netfilter, "QTZ_I_B_two");
    m_failing = {"-D INPUT -j DROP"};
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    netfilter->flushIptablesInPreviousPolicy();
    m_failing.clear();
    ASSERT_TRUE(netfilter->hasPendingRemovals());

    netfilter->saveDefaultDropRulesToPreviousPolicy();
    build(*netfilter, 3, {});
    placeInInput(*netfilter, "ACCEPT");
    netfilter->abandonCurrentGeneration("_2");
    EXPECT_TRUE(netfilter->hasPendingRemovals());
    EXPECT_TRUE(netfilter->earlierGenerationsLinked());

    m_runner->clear();
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    netfilter->flushIptablesInPreviousPolicy();
    EXPECT_TRUE(ran("-D INPUT -j DROP"));
    EXPECT_FALSE(netfilter->hasPendingRemovals());
    EXPECT_EQ(m_table.listing(), alone("_2", "-A INPUT -j LOG --log-level 4 --log-prefix QTZ_I_B_two\n"));
}

TEST_F(SFIptablesGenerationsTest, DisablingRemovesPendingGenerationsAndTheCurrentOne)
{
    auto netfilter = driver();
    build(*netfilter, 1, {});
    build(*netfilter, 2, {}); // _1 still pending: the push of _2 never reached its removal pass
    m_runner->clear();
    netfilter->flushIptablesInCurrentPolicy();
    for (const char* expected : {"-X QTZ_INPUT_1", "-X QTZ_OUTPUT_1", "-X QTZ_INPUT_2", "-X QTZ_OUTPUT_2"})
        EXPECT_TRUE(ran(expected)) << expected;
    EXPECT_EQ(fileMode(stateFile()), -1);
}

TEST_F(SFIptablesGenerationsTest, RecordingAChainTwiceRunsOneCreationAndDeletingAMissingOneRunsNothing)
{
    auto netfilter = driver();
    m_config.setUniqueId("1");
    m_table.chains.insert("Web_IN_1");
    netfilter->addOrDeleteIptablesChain(true, "Web_IN_1"); // listing succeeds: it exists
    netfilter->addOrDeleteIptablesChain(false, "Gone_IN_1");
    // iptables answers the deletion that the chain does not exist: nothing to retry.
    EXPECT_EQ(m_runner->lines(), (Lines{"-n -L Web_IN_1", "-X Gone_IN_1"}));
    EXPECT_EQ(m_config.getUniqueId(), "_1");
    EXPECT_EQ(readFile(stateFile()).find("Gone_IN_1"), std::string::npos);
}

TEST_F(SFIptablesGenerationsTest, StateFileLetsANewDriverRemoveAnEarlierOnesChainsAndLines)
{
    build(*driver(), 1, {"Web_IN_1"});
    ASSERT_EQ(fileMode(stateFile()), 0600);
    // Lines an earlier driver placed into the built-in chains, as its state file lists them.
    writeFile(stateFile(), readFile(stateFile()) +
                               "INPUT mark -j MARK --set-mark 259\n"
                               "INPUT log -j LOG --log-level 6 --log-prefix QTZ_I_A_Block_All\n"
                               "INPUT action -j ACCEPT\n"
                               "OUTPUT action -j DROP\n");
    const Lines placed = {"INPUT -j MARK --set-mark 259", "INPUT -j LOG --log-level 6 --log-prefix QTZ_I_A_Block_All",
                          "INPUT -j ACCEPT", "OUTPUT -j DROP"};
    m_table.lines.insert(placed.begin(), placed.end());

    FakeConfigController restarted;
    auto second = driver(restarted);
    m_runner->clear();
    second->flushIptablesDefaultDropRule();
    Lines deleted;
    for (const std::string& line : placed)
        deleted.push_back("-D " + line);
    EXPECT_EQ(m_runner->lines(), deleted);

    m_runner->clear();
    restarted.setUniqueId("9");
    second->saveIptablesChainsToPreviousPolicy();
    second->flushIptablesInPreviousPolicy();
    for (const char* expected : {"-X QTZ_INPUT_1", "-X QTZ_OUTPUT_1", "-X Web_IN_1"})
        EXPECT_TRUE(ran(expected)) << expected;
    EXPECT_EQ(fileMode(stateFile()), -1);
}

// A failed deletion proves nothing (iptables may refuse some calls and answer others), and
// neither does a listing's silence; iptables' answer that the line does not exist does.
TEST_F(SFIptablesGenerationsTest, ABuiltInLineIsForgottenOnlyWhenDeletedOrAnsweredAbsent)
{
    const auto withoutInput = [](const std::string& whole) { return whole.substr(0, whole.find("-A INPUT")); };
    const struct {
        const char* what;
        Lines records;  // INPUT records of the state file
        Lines standing; // what INPUT holds
        std::set<std::string> refused;
        std::function<std::string(const std::string&)> cut;
        size_t kept; // records left after the pass
    } cases[] = {
        {"deletion refused", {"action -j DROP"}, {"INPUT -j DROP"}, {"-D INPUT -j DROP"}, nullptr, 1},
        {"deletion refused, a listing without it", {"action -j DROP"}, {"INPUT -j DROP"}, {"-D INPUT -j DROP"},
         withoutInput, 1},
        {"deletion refused, never placed", {"action -j REJECT"}, {}, {"-D INPUT -j REJECT"}, nullptr, 1},
        {"never placed: iptables answers it does not exist", {"action -j REJECT"}, {}, {}, nullptr, 0},
        {"another program emptied INPUT",
         {"mark -j MARK --set-mark 259", "log -j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "action -j DROP"}, {}, {},
         nullptr, 0},
        {"two records, two lines, deletions refused", {"action -j DROP", "action -j DROP"},
         {"INPUT -j DROP", "INPUT -j DROP"}, {"-D INPUT -j DROP"}, nullptr, 2},
        {"two records, one line, deletions refused", {"action -j DROP", "action -j DROP"}, {"INPUT -j DROP"},
         {"-D INPUT -j DROP"}, nullptr, 2},
        {"two records, one line: one deletion runs, the other is answered", {"action -j DROP", "action -j DROP"},
         {"INPUT -j DROP"}, {}, nullptr, 0},
        {"a LOG line refused beside a DROP line deleted",
         {"log -j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "action -j DROP"},
         {"INPUT -j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "INPUT -j DROP"},
         {"-D INPUT -j LOG --log-level 4 --log-prefix QTZ_I_B_deny"}, nullptr, 1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        ::mkdir(m_dir.file("state").c_str(), 0700);
        std::string state = "tq-netfilter-state 2\n";
        for (const std::string& record : each.records)
            state += "INPUT " + record + "\n";
        writeFile(stateFile(), state);
        m_table.lines = {each.standing.begin(), each.standing.end()};
        m_table.cut = each.cut;
        m_failing = each.refused;
        auto netfilter = driver();
        netfilter->flushIptablesDefaultDropRule();
        EXPECT_EQ(netfilter->hasRecordedLeftovers(), each.kept != 0);
        const std::string after = fileMode(stateFile()) == -1 ? std::string() : readFile(stateFile());
        EXPECT_EQ(static_cast<size_t>(std::count(after.begin(), after.end(), '\n')), each.kept == 0 ? 0 : each.kept + 1)
            << after;
        // What stays is removed by the next pass once iptables answers, also by a new driver.
        m_failing.clear();
        m_table.cut = nullptr;
        driver()->flushIptablesDefaultDropRule();
        EXPECT_TRUE(m_table.lines.empty());
        EXPECT_EQ(fileMode(stateFile()), -1);
    }
}

// Lines an earlier generation placed with the same words as lines of the generation in force
// (the catch-all's MARK, LOG and DROP of every push): a deletion by words takes the first copy,
// so only the copies a listing shows beyond those in force are deleted. Whatever the earlier
// copies became (deleted by hand, by another program, by a run killed before it wrote its state
// file), INPUT ends as the generation in force alone leaves it, and its disable empties it.
TEST_F(SFIptablesGenerationsTest, IdenticalLinesOfTheGenerationInForceAreNeverDeletedForAnEarlierOne)
{
    const Lines catchAll = {"INPUT -j MARK --set-mark 259", "INPUT -j LOG --log-level 4 --log-prefix QTZ_I_B_deny",
                            "INPUT -j DROP"};
    const auto withoutInput = [](const std::string& whole) { return whole.substr(0, whole.find("-A INPUT")); };
    const struct {
        const char* what;
        Lines gone;     // earlier copies no longer in INPUT
        bool refusedListing;
        std::function<std::string(const std::string&)> cut;
        bool pending; // earlier records still wait for removal after the pass
    } cases[] = {
        {"the earlier copies stand", {}, false, nullptr, false},
        {"the earlier LOG line deleted by hand", {catchAll[1]}, false, nullptr, false},
        {"every earlier copy gone (iptables -F, a crash after the deletions)", catchAll, false, nullptr, false},
        {"the listing refused", {}, true, nullptr, true},
        {"the listing cut before INPUT's lines", {}, false, withoutInput, true},
        {"the listing cut, the earlier copies gone", catchAll, false, withoutInput, true},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        auto netfilter = freshDriver();
        const auto placeCatchAll = [&] {
            EXPECT_TRUE(m_table.run(boost::algorithm::join(
                netfilter->getIptablesMarkRuleCmdSuffix("QTZ_Client", true, false, 259, true), " ")));
            placeInInput(*netfilter, "QTZ_I_B_deny");
            placeInInput(*netfilter, "DROP");
        };
        build(*netfilter, 1, {});
        placeCatchAll();
        netfilter->saveDefaultDropRulesToPreviousPolicy();
        build(*netfilter, 2, {});
        placeCatchAll();
        for (const std::string& line : each.gone)
            m_table.lines.erase(m_table.lines.find(line));
        m_table.cut = each.cut;
        m_failing = each.refusedListing ? std::set<std::string>{"-S"} : std::set<std::string>{};
        const std::string kept = alone("_2", "-A " + catchAll[2] + "\n-A " + catchAll[1] + "\n-A " + catchAll[0] + "\n");

        netfilter->flushDefaultDropRulesOfPreviousPolicy();
        netfilter->flushIptablesInPreviousPolicy();
        EXPECT_EQ(netfilter->hasPendingRemovals(), each.pending);
        EXPECT_EQ(netfilter->earlierGenerationsLinked(), each.pending);
        if (!each.pending) {
            EXPECT_EQ(m_table.listing(), kept);
        }
        for (const std::string& line : catchAll)
            EXPECT_GE(m_table.lines.count(line), 1u) << line << " of the generation in force was deleted";

        // Once iptables lists the table whole, the next pass leaves the generation in force alone.
        m_table.cut = nullptr;
        m_failing.clear();
        netfilter->flushDefaultDropRulesOfPreviousPolicy();
        EXPECT_FALSE(netfilter->hasPendingRemovals());
        EXPECT_EQ(m_table.listing(), kept);
        netfilter->flushIptablesDefaultDropRule();
        netfilter->flushIptablesInCurrentPolicy();
        EXPECT_EQ(m_table.listing(), "");
        EXPECT_FALSE(netfilter->hasRecordedLeftovers());
    }
}

// Only iptables' own words that the one chain or line does not exist prove it gone; any other
// failure, one of a wrapper or a refusal that echoes such words among others, proves nothing.
TEST(SFIptablesAnswerTest, OnlyIptablesSayingTheChainOrLineDoesNotExistProvesItAbsent)
{
    const std::string hint = "Try `iptables -h' or 'iptables --help' for more information.";
    const Lines jump = {"-D", "INPUT", "-j", "QTZ_INPUT_7"};
    const Lines line = {"-D", "INPUT", "-j", "DROP"};
    const struct {
        Lines words;
        int status;
        std::string errorText;
        bool absent;
    } answers[] = {
        {line, 1, "iptables: Bad rule (does a matching rule exist in that chain?).", true},
        {line, 1, "iptables: No chain/target/match by that name.", true},
        {{"-X", "Web_IN_7"}, 1, "iptables: No chain/target/match by that name.", true},
        {jump, 2, "iptables v1.8.9 (nf_tables): Chain 'QTZ_INPUT_7' does not exist\n" + hint, true},
        {jump, 2, "iptables v1.8.9 (legacy): Couldn't load target `QTZ_INPUT_7':No such file or directory\n\n" + hint, true},
        {jump, 2, "iptables v1.8.9 (nf_tables): Chain 'QTZ_INPUT_8' does not exist\n" + hint, false},
        {jump, 1, "iptables v1.8.9 (nf_tables): Chain 'QTZ_INPUT_7' does not exist", false},
        {line, 4, "iptables: Bad rule (does a matching rule exist in that chain?).", false},
        {line, 1, "iptables: failed on purpose: -D INPUT -j DROP", false},
        {{"-X", "Web_IN_7"}, 1, "iptables: Too many links.", false},
        {line, 1, "iptables: Bad rule (does a matching rule exist in that chain?).\niptables: something else", false},
    };
    for (const auto& each : answers)
        EXPECT_EQ(SFIptables::answersAbsent(each.words, each.status, each.errorText), each.absent)
            << each.status << " " << each.errorText;
}

TEST(SFIptablesLineKeyTest, ARecordedLineIsKnownInTheFormIptablesListsItAndNoOtherLineIs)
{
    const auto key = [](const std::string& text) {
        std::istringstream in(text);
        return SFIptables::lineKey({std::istream_iterator<std::string>(in), {}});
    };
    const struct {
        const char* recorded;
        const char* listed;
        bool same;
    } pairs[] = {
        {"-j MARK --set-mark 259", "-j MARK --set-xmark 0x103/0xffffffff", true},
        {"-j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "-j LOG --log-prefix QTZ_I_B_deny", true},
        {"-j LOG --log-level 6 --log-prefix QTZ_I_B_deny", "-j LOG --log-prefix QTZ_I_B_deny --log-level 6", true},
        {"-j ACCEPT -m state --state ESTABLISHED,RELATED", "-m state --state RELATED,ESTABLISHED -j ACCEPT", true},
        {"-j REJECT", "-j REJECT --reject-with icmp-port-unreachable", true},
        {"-j DROP", "-s 10.0.0.1/32 -j DROP", false},
        {"-j DROP", "! -i lo -j DROP", false},
        {"-j DROP", "-j ACCEPT", false},
        {"-j MARK --set-mark 259", "-j MARK --set-xmark 0x103/0xff", false},
        {"-j MARK --set-mark 259", "-j MARK --set-xmark 0x104/0xffffffff", false},
        {"-j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "-j LOG --log-prefix QTZ_I_B_other", false},
        {"-j LOG --log-level 4 --log-prefix QTZ_I_B_deny", "-j LOG --log-prefix QTZ_I_B_deny --log-level 6", false},
        {"-j ACCEPT -m state --state ESTABLISHED,RELATED", "-m state --state ESTABLISHED -j ACCEPT", false},
        {"-j REJECT", "-j REJECT --reject-with tcp-reset", false},
    };
    for (const auto& each : pairs)
        EXPECT_EQ(key(each.recorded) == key(each.listed), each.same) << each.recorded << " ~ " << each.listed;
}

TEST_F(SFIptablesGenerationsTest, UnreadableStateFileIsKeptAsideAndNothingIsLoaded)
{
    const std::string header = "tq-netfilter-state 1\n";
    for (const std::string& bad : {std::string("not a state file\n"), header + "generation _1 bad;name\n",
                                  header + "INPUT drop -j DROP\n", header + "FORWARD action -j DROP\n",
                                  header + "generation 1\n", header + "generation _1 INPUT\n",
                                  header + "generation _1 sshguard\n", header + "generation - QTZ_INPUT\n",
                                  header + "generation _1 Web_IN_2\n"}) {
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
    m_config.setUniqueId("3"); // the table holds none of its chains: the jump's deletion fails
    EXPECT_THROW(netfilter->addOrDeleteQueueGroupWithJumpRule(false), SFException);
    EXPECT_EQ(m_runner->lines(),
              (Lines{"-m state --state ESTABLISHED,RELATED -m mark --mark 1 -j QueueGroup_3 -D QTZ_INPUT_3"}));
}

TEST_F(SFIptablesGenerationsTest, TheFallbackPairIsPlacedOnceAndANewDriverRemovesIt)
{
    const Lines pair = {"INPUT -j ACCEPT -m state --state ESTABLISHED,RELATED",
                        "OUTPUT -j ACCEPT -m state --state ESTABLISHED,RELATED"};
    auto netfilter = driver();
    EXPECT_FALSE(netfilter->hasRecordedLeftovers());
    netfilter->addRelEstRuleToNetfilter(false);
    netfilter->addRelEstRuleToNetfilter(false);
    EXPECT_EQ(m_runner->lines(), (Lines{"-I " + pair[0], "-I " + pair[1]}));
    EXPECT_TRUE(netfilter->hasRecordedLeftovers());

    // The pair is in the state file: a daemon that died leaves it to the next one.
    FakeConfigController restarted;
    auto successor = driver(restarted);
    EXPECT_TRUE(successor->hasRecordedLeftovers());
    m_runner->clear();
    successor->addRelEstRuleToNetfilter(false);
    EXPECT_TRUE(m_runner->lines().empty()) << "a second pair was placed";
    successor->flushIptablesDefaultDropRule();
    EXPECT_EQ(m_runner->lines(), (Lines{"-D " + pair[0], "-D " + pair[1]}));
    EXPECT_FALSE(successor->hasRecordedLeftovers());
}

TEST_F(SFIptablesGenerationsTest, OnlyTheLinesHandedToThePreviousGenerationGoAfterTheSwitch)
{
    auto netfilter = driver();
    // The client group's last rule, a logged allow, as one push places it.
    auto placeClientLines = [&](const std::string& prefix) {
        placeInInput(*netfilter, prefix);
        placeInInput(*netfilter, "ACCEPT");
    };
    placeClientLines("QTZ_I_old");
    netfilter->addRelEstRuleToNetfilter(false);
    netfilter->saveDefaultDropRulesToPreviousPolicy();
    placeClientLines("QTZ_I_new");

    m_runner->clear();
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    // The new generation's ACCEPT line has the same words as the old one's: a listing counts
    // the copies before one is deleted.
    EXPECT_EQ(m_runner->lines(), (Lines{"-D INPUT -j LOG --log-level 4 --log-prefix QTZ_I_old", "-S", "-D INPUT -j ACCEPT",
                                        "-D INPUT -j ACCEPT -m state --state ESTABLISHED,RELATED",
                                        "-D OUTPUT -j ACCEPT -m state --state ESTABLISHED,RELATED"}));

    // The new generation's lines stay recorded, also for a new process, until its own turn.
    m_runner->clear();
    netfilter->flushDefaultDropRulesOfPreviousPolicy();
    EXPECT_TRUE(m_runner->lines().empty());
    FakeConfigController restarted;
    driver(restarted)->flushIptablesDefaultDropRule();
    EXPECT_EQ(m_runner->lines(), (Lines{"-D INPUT -j LOG --log-level 4 --log-prefix QTZ_I_new", "-D INPUT -j ACCEPT"}));
}

} // namespace
