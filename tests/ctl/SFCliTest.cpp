// The command line as a user types it: argv in, exit code, requests in order and the key
// lines on standard output.

#include "RecordingCliCommands.h"
#include "RecordingLogger.h"
#include "SFCli.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using StatefulFirewall::SFCli;
using TestSupport::RecordingCliCommands;

namespace {

struct Outcome {
    int parseCode = -1;
    int exitCode = -1;
    std::vector<std::string> calls;
    std::string out;
};

Outcome run(const std::vector<std::string>& args, size_t failAt = 0,
            TestSupport::RecordingLogger* logger = nullptr)
{
    TestSupport::RecordingLogger ownLogger;
    TestSupport::RecordingLogger& log = logger ? *logger : ownLogger;
    TestSupport::CommandLine line(args);

    RecordingCliCommands commands;
    commands.failAt = failAt;
    TestSupport::UnusedCommandCallback callback;
    TestSupport::UnusedCommClient client;
    Outcome outcome;
    testing::internal::CaptureStdout();
    SFCli cli(log);
    cli.initCli();
    outcome.parseCode = cli.parseAndPerformHelp(line.argc(), line.argv.data());
    outcome.exitCode = outcome.parseCode;
    if (outcome.parseCode == 99)
        outcome.exitCode = cli.performCli(commands, callback, client);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.calls = commands.calls;
    return outcome;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Row {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> calls;
    std::string shows; // a text standard output must hold ("" for none)
};

} // namespace

TEST(SFCliTest, CommandLinesGiveTheirExitCodesRequestsAndMessages)
{
    const std::vector<Row> rows = {
        {{}, 0, {}, "Options:\n  --help "},
        {{"loose", "words"}, 0, {}, "Options:"},
        {{"--fw=on"}, 100, {}, "Invalid Syntax\nOptions:"},
        {{"--fw", "on", "--fw", "off"}, 100, {}, "Invalid Syntax\nOptions:"},
        {{"--fw", "on", "--fw-mode", "adaptive"}, 100, {}, "'--fw-mode'"},
        {{"--fw", "--xml"}, 101, {}, "Invalid Syntax"},
        {{"--fw", "bogus"}, 101, {}, "Invalid Syntax"},
        {{"--fw", "status"}, 0, {"getPrefs(0)"}, ""},
        {{"--fw", "status", "--xml"}, 0, {"getPrefs(1)"}, ""},
        {{"--fw", "on", "--xml"}, 0, {"setIndividualPrefData(0,true)"}, ""},
        {{"--fw", "off", "extra"}, 0, {"setIndividualPrefData(0,false)"}, ""},
        {{"--fw-mode", "adaptive"}, 0, {"setIndividualPrefData(6,true)"}, ""},
        {{"--fw-mode", "regular"}, 0, {"setIndividualPrefData(6,false)"}, ""},
        {{"--fw-mode", "Adaptive"}, 101, {}, "Invalid Syntax"},
        {{"--fw-inspect-ftp-traffic", "off"}, 0, {"setIndividualPrefData(4,false)"}, ""},
        {{"--fw-inspect-ftp-traffic", "maybe"}, 101, {}, "Invalid Syntax"},
        {{"--fw-inspect-ftp-traffic"}, 100, {}, "Invalid Option\nGeneral description:"},
        {{"--vers"}, 0, {"showVersion(0)"}, ""},
        {{"--version", "--xml"}, 0, {"showVersion(1)"}, ""},
        {{"--fw-r"}, 100, {}, "Invalid Syntax"},
        {{"--fw-rules-list", "--fw-trusted-list"}, 100, {}, "Invalid Syntax\nOptions:"},
        {{"--fw-rules-list", "--xml"}, 0, {"listAllRules(1)"}, ""},
        {{"--fw-trusted-list", "extra"}, 100, {}, "Invalid Option\nGeneral description:"},
        {{"--fw-trusted-list"}, 0, {"listTrustedNetwork(0)"}, ""},
        {{"--fw-trusted-add"}, 100, {}, "Invalid Syntax\nGeneral description:"},
        {{"--fw-trusted-add", "extra"}, 100, {}, "Invalid Option\nGeneral description:"},
        {{"--fw-trusted-add", "--single", "1.2.3.4"}, 0, {"addToTrustedNetwork"}, ""},
        {{"--fw-trusted-delete", "--index", "1", "extra"}, 100, {}, "Invalid Option"},
        {{"--fw-trusted-delete"}, 100, {}, "'--index' is required"},
        {{"--fw-rule-delete"}, 100, {}, "'--index' is required"},
        {{"--fw-rule-delete", "--index", "2", "--force"}, 101,
         {"getAllRules(7eece6a4-5ac2-9dfb-6374-477569447e00)"}, "could not be found"},
        {{"--fw-rule-add", "--name", "r"}, 100, {}, "'--action' is required"},
        {{"--fw-rule-add", "--action", "allow"}, 100, {}, "'--name' is required"},
        {{"--fw-rule-add", "--name", "r", "--action", "allow", "--index", "99999999999"}, 100, {},
         "Additional options:"},
        {{"--fw-rule-add", "--name", "r", "--action", "allow", "--log=1"}, 100, {}, ""},
        {{"--fw-rule-add", "--name", "r", "--action", "allow", "--log"}, 0,
         {"addModifyRule(100006)"}, ""},
        {{"-fw", "on"}, 0, {}, "Options:"},
        {{"--help", "--fw", "--fw-mode"}, 0, {}, "General description:\n  --fw arg"},
        {{"--help"}, 0, {}, "Options:"},
        {{"--showlogsettings", "extra"}, 0, {"getLogSettings"}, ""},
        {{"--help", "--fw-rule-add", "extra"}, 0, {}, "General description:"},
        {{"--productlog", "enable"}, 0,
         {"setZAVProductLogConfig(1)", "setFWProductLogConfig(1)"}, ""},
        {{"--debuglog", "disable"}, 0, {"setZAVDebugLogConfig(0)", "setFWDebugLogConfig(0)"}, ""},
        {{"--debuglog", "off"}, 101, {}, "Invalid Syntax"},
        {{"--usesyslog", "disable"}, 0, {"setZAVUseSysLogConfig(0)", "setFWUseSysLogConfig(0)"},
         ""},
        {{"--setmaxproductlogsize", "7"}, 0,
         {"setZAVMaxProductLogSize(7)", "setMaxProductLogSize(7)"}, ""},
        {{"--setmaxproductlogsize", "0"}, 101, {}, "Invalid Syntax"},
        {{"--setmaxproductlogsize", "1000"}, 101, {}, "Invalid Syntax"},
        {{"--setmaxproductlogsize", "ten"}, 100, {}, "General description:"},
        {{"--fw-log-level", "Info"}, 101, {}, "Invalid Syntax"},
        {{"--fw-log-level", "debug"}, 0, {"setZAVDebugLogConfig(1)", "setFWDebugLogConfig(1)"},
         ""},
    };
    for (const Row& row : rows) {
        std::string line;
        for (const std::string& a : row.args)
            line += a + " ";
        SCOPED_TRACE("tqctl " + line);
        const Outcome outcome = run(row.args);
        EXPECT_EQ(outcome.exitCode, row.exitCode);
        EXPECT_EQ(outcome.calls, row.calls);
        if (!row.shows.empty()) {
            EXPECT_NE(outcome.out.find(row.shows), std::string::npos) << outcome.out;
        }
    }
}

// A loose word after a rule command is most often a value whose option was forgotten; taking the
// rest of the line without it would build a rule broader than asked (a deny on SSH for every
// peer instead of one) or turn on what was meant off.
TEST(SFCliTest, LooseWordsAfterRuleCommandsAreRefusedAndNothingIsSent)
{
    const std::vector<std::string> ssh = {"--fw-rule-add", "--name", "ssh", "--action", "deny",
                                          "--proto", "tcp", "--local-service", "22"};
    auto with = [](std::vector<std::string> args, std::initializer_list<std::string> more) {
        args.insert(args.end(), more);
        return args;
    };
    const std::vector<std::vector<std::string>> lines = {
        with(ssh, {"10.99.0.3"}),
        with(ssh, {"--log", "no"}),
        with(ssh, {"--log", "no", "--remote-single", "10.99.0.3"}),
        {"--fw-rule-add", "stray", "--name", "r", "--action", "allow"},
        {"--fw-rule-add", "--name", "r", "--action", "allow", "--direction", "in", "out"},
        {"--fw-rule-delete", "--index", "1", "2"},
        {"--fw-rule-delete", "--index", "1", "--force", "yes"},
        {"--fw-rules-list", "extra"},
        {"--fw-rules-list", "--xml", "yes"},
    };
    for (const auto& args : lines) {
        std::string line;
        for (const std::string& a : args)
            line += a + " ";
        SCOPED_TRACE("tqctl " + line);
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.exitCode, 100);
        EXPECT_EQ(outcome.calls, std::vector<std::string>{});
        EXPECT_EQ(outcome.out.find("Invalid Option\nGeneral description:"), 0u) << outcome.out;
    }
    // The same lines without the loose word still go through.
    EXPECT_EQ(run(with(ssh, {"--remote-single", "10.99.0.3"})).calls,
              std::vector<std::string>{"addModifyRule(100006)"});
    EXPECT_EQ(run(with(ssh, {"--log"})).calls, std::vector<std::string>{"addModifyRule(100006)"});
    EXPECT_EQ(run({"--fw-rules-list", "--xml"}).calls, std::vector<std::string>{"listAllRules(1)"});
}

TEST(SFCliTest, LogLevelSequencesStopAtTheFirstFailedRequest)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> levels = {
        {"disabled",
         {"setZAVProductLogConfig(0)", "setFWProductLogConfig(0)", "setZAVDebugLogConfig(0)",
          "setFWDebugLogConfig(0)"}},
        {"info",
         {"setZAVDebugLogConfig(0)", "setFWDebugLogConfig(0)", "setZAVProductLogConfig(1)",
          "setFWProductLogConfig(1)"}},
        {"debug", {"setZAVDebugLogConfig(1)", "setFWDebugLogConfig(1)"}},
    };
    for (const auto& [level, sequence] : levels) {
        EXPECT_EQ(run({"--fw-log-level", level}).calls, sequence) << level;
        for (size_t failAt = 1; failAt <= sequence.size(); ++failAt) {
            SCOPED_TRACE(level + " failing at " + std::to_string(failAt));
            const Outcome outcome = run({"--fw-log-level", level}, failAt);
            EXPECT_EQ(outcome.exitCode, 103);
            EXPECT_EQ(outcome.calls,
                      std::vector<std::string>(sequence.begin(), sequence.begin() + failAt));
        }
    }
    // The daemon's half of a log setting follows only a successful platform request.
    EXPECT_EQ(run({"--productlog", "disable"}, 1).calls,
              std::vector<std::string>{"setZAVProductLogConfig(0)"});
    EXPECT_EQ(run({"--setmaxproductlogsize", "5"}, 1).exitCode, 103);
    EXPECT_EQ(run({"--fw", "status"}, 1).exitCode, 103);
}

TEST(SFCliTest, LogLinesKeepTheirExactWording)
{
    TestSupport::RecordingLogger log;
    run({"--fw", "status"}, 0, &log);
    EXPECT_TRUE(log.has(5, "Processing firewall status command"));
    EXPECT_TRUE(log.has(5, "Executed --fw status  command."));
    log.clear();
    run({"--fw", "on", "--fw", "off"}, 0, &log);
    EXPECT_TRUE(log.has(5, "Invalid syntax for CLI. Refer Man Page."));
    log.clear();
    run({"--fw-rules-list", "--fw-trusted-list"}, 0, &log);
    EXPECT_TRUE(log.has(4, "Invalid combination of parameters. Refer Man Page."));
    log.clear();
    run({"--fw-trusted-add"}, 0, &log);
    EXPECT_TRUE(
        log.has(4, "No sub option parameter for Processing Trusted network add command is selected"));
    log.clear();
    run({"--fw-log-level", "loud"}, 0, &log);
    EXPECT_TRUE(log.has(5, "Invalid syntax with --fw-log-level command."));
    log.clear();
    run({"--fw-rule-add", "--name", "r", "--action", "allow", "10.0.0.1"}, 0, &log);
    EXPECT_TRUE(log.has(4, "Unknown parameter for Processing firewall rule insert command"));
    log.clear();
    run({"--fw-rule-delete", "--index", "1", "2"}, 0, &log);
    EXPECT_TRUE(log.has(4, "Unknown parameter for Processing firewall rule delete command"));
    log.clear();
    run({"--fw-rules-list", "extra"}, 0, &log);
    EXPECT_TRUE(log.has(6, "Unknown parameter for Processing firewall list command"));
    log.clear();
    run({"--help", "--fw-rule-add"}, 0, &log);
    EXPECT_TRUE(log.has(5, "Processing help command"));
    EXPECT_TRUE(log.has(5, "Processing rules insert help command"));
}

TEST(SFCliTest, HelpTextsMatchTheirGoldenFiles)
{
    const std::string golden = std::string(TQ_SOURCE_DIR) + "/tests/ctl/golden/";
    EXPECT_EQ(run({}).out, readFile(golden + "options.txt"));
    EXPECT_EQ(run({"--help", "--fw-rule-add"}).out, readFile(golden + "help-fw-rule-add.txt"));
}
