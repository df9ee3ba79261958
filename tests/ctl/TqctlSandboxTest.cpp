// tqctl as root in the sandbox against the real platform service and tqd: exit codes, what
// changes in iptables and the settings file, the status and log-setting listings, and failures
// of the service and the daemon.

#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace TqdRig;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kToolLog = "/var/Varnik/kyv/log/fw/tqctl.log";

struct ToolRun {
    int code;
    std::string output; // standard output and error
    Clock::duration took;
};

ToolRun tqctl(const std::string& words)
{
    ToolRun run{};
    const auto start = Clock::now();
    run.code = shell(std::string(TQ_TQCTL) + " " + words, &run.output);
    run.took = Clock::now() - start;
    return run;
}

class TqctlSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }

    void startService()
    {
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
    }
    void startAll()
    {
        prepareManagedProduct(false, "10.20.30.40");
        startService();
        startDaemon();
    }
    // Starts tqd and waits until it answers the version command.
    void startDaemon()
    {
        m_daemon = std::make_unique<Daemon>(daemonOut());
        const auto deadline = Clock::now() + 20s;
        std::string answer;
        while (zavcall("--dest 7000 --cmd 100038", &answer) != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        ASSERT_NE(answer.find("completed 1, status 1"), std::string::npos) << answer;
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
};

} // namespace

TEST_F(TqctlSandboxTest, StartUpRefusesOtherUsersAndReportsAMissingService)
{
    freshProduct({});
    ToolRun run = tqctl("--fw status");
    EXPECT_EQ(run.code, 104) << run.output;
    EXPECT_LT(run.took, 2s);
    EXPECT_EQ(run.output.rfind("FMP communication error\n", 0), 0u) << run.output;
    EXPECT_GT(run.output.size(), std::string("FMP communication error\n").size()) << run.output;
    struct stat info {};
    ASSERT_EQ(::stat(kToolLog, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    freshProduct({});
    ASSERT_NE(::access(kToolLog, F_OK), 0);
    std::string output;
    EXPECT_EQ(shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(TQ_TQCTL) +
                        " --fw status",
                    &output),
              105);
    EXPECT_EQ(output, "CLI can be executed only by root user or a user with sudo privileges\n");
    EXPECT_NE(::access(kToolLog, F_OK), 0) << "a refused user left a log file";
}

TEST_F(TqctlSandboxTest, PreferencesChangeTheFirewallAndShowInTheStatus)
{
    startAll();
    ToolRun run = tqctl("--fw on");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "Preferences set successfully\n");
    EXPECT_GE(run.took, 1s); // the grace before the channel stops
    const std::string listing = waitForEnforcement();
    EXPECT_FALSE(productChains(listing).empty()) << listing;
    EXPECT_EQ(tqctl("--fw on").code, 0);

    EXPECT_EQ(tqctl("--fw-mode adaptive").code, 0);
    EXPECT_EQ(tqctl("--fw-inspect-ftp-traffic off").code, 0);
    run = tqctl("--fw status --xml");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<version>\n"
                          "    <Status>Enabled</Status>\n    <Mode>Adaptive</Mode>\n"
                          "    <RetainClientSideRules>Enabled</RetainClientSideRules>\n"
                          "    <FTPInspection>Disabled</FTPInspection>\n"
                          "    <LogLevel>Info</LogLevel>\n</version>\n");

    run = tqctl("--version");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output.rfind("Name: ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("\n\nCopyright (c) Varnik LLC. All rights reserved.\n"), std::string::npos);
    run = tqctl("--version --xml");
    EXPECT_NE(run.output.find("<version>\n    <Name>"), std::string::npos) << run.output;

    // Four tools at once, all as manager 3000.
    std::vector<std::future<ToolRun>> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(std::async(std::launch::async, [] { return tqctl("--fw status"); }));
    for (auto& parallel : runs) {
        const ToolRun result = parallel.get();
        EXPECT_EQ(result.code, 0) << result.output;
    }

    EXPECT_EQ(tqctl("--fw off").code, 0);
    EXPECT_TRUE(productChains(iptablesListing()).empty()) << iptablesListing();
}

TEST_F(TqctlSandboxTest, LogSettingsChangeInTheServiceAndTheDaemon)
{
    startAll();
    ToolRun run = tqctl("--usesyslog disable");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "Configuration was successfully updated to disable use of syslog\n");
    run = tqctl("--usesyslog disable");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "Configuration could not be updated since same configuration is already set\n");
    EXPECT_EQ(setting("LoggingInformation", "EnableEventLogging"), "0");
    std::string state;
    EXPECT_EQ(shell("cat /var/Varnik/kyv/zav/zavsocket.state", &state), 0);
    EXPECT_NE(state.find("useSyslog=0"), std::string::npos) << state;

    EXPECT_EQ(tqctl("--fw-log-level debug").code, 0);
    EXPECT_EQ(tqctl("--setmaxproductlogsize 7").code, 0);
    run = tqctl("--showlogsettings");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "DebugLog         :    Enabled     \n"
                          "ProductLog       :    Enabled     \n"
                          "ProductLogSize   :    7           \n"
                          "SysLog           :    Disabled    \n");
    EXPECT_EQ(tqctl("--setmaxproductlogsize 1000").code, 101);
}

TEST_F(TqctlSandboxTest, AStoppedOrFrozenDaemonAndALostServiceGive103)
{
    startAll();
    // The daemon cannot write its settings: it still answers with its status flag set, and the
    // tool reports the failed write.
    ASSERT_EQ(tqctl("--fw on").code, 0);
    ASSERT_EQ(shell("mount --bind -o ro /var/Varnik/kyv/fw /var/Varnik/kyv/fw"), 0);
    ToolRun readOnly = tqctl("--fw off");
    shell("umount /var/Varnik/kyv/fw");
    EXPECT_EQ(readOnly.code, 103) << readOnly.output;
    EXPECT_EQ(readOnly.output, "FMP communication error\n");

    m_daemon->signal(SIGTERM);
    ASSERT_EQ(m_daemon->wait(10s), 0);
    for (const char* words : {"--fw status", "--productlog enable"}) {
        const ToolRun run = tqctl(words);
        EXPECT_EQ(run.code, 103) << words << ": " << run.output;
        EXPECT_LT(run.took, 3s) << words;
    }
    EXPECT_NE(tqctl("--fw status").output.find("FMP communication error"), std::string::npos);

    // The service dies while the tool waits for a frozen daemon: a failed request, not a signal.
    startDaemon();
    m_daemon->signal(SIGSTOP);
    auto pending = std::async(std::launch::async, [] { return tqctl("--fw status"); });
    std::this_thread::sleep_for(1500ms);
    m_broker->signal(SIGKILL);
    const ToolRun run = pending.get();
    EXPECT_EQ(run.code, 103) << run.output;
    m_daemon->signal(SIGCONT);
}
