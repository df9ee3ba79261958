// tqd's exit statuses as a process in the sandbox: a command line, no platform service, no or a
// refused acknowledgement, and a logger that cannot start.

#include "HangGuard.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

class TqdExitStatusSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        freshProduct({});
    }
    void TearDown() override
    {
        if (HasFailure())
            std::cerr << "tqd output:\n" << readFile(out()) << "\nlog:\n" << readFile(kDaemonLog) << "\n";
    }
    std::string out() const { return m_dir.file("tqd.out"); }

    TempDir m_dir;
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(TqdExitStatusSandboxTest, AnArgumentExits22BeforeAnyLogFile)
{
    Daemon daemon(out(), {"x"});
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 22);
    EXPECT_EQ(fileMode(kDaemonLog), -1) << "a log file was opened";
    EXPECT_EQ(readFile(out()), "");
}

TEST_F(TqdExitStatusSandboxTest, NoPlatformServiceExits255AfterTheAgentPause)
{
    const auto start = Clock::now();
    Daemon daemon(out());
    // A daemon that outlives the hang guard is reported as status -1.
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 255);
    EXPECT_GE(secondsSince(start), 3.0) << "the exit came before the 3-second pause";
    const std::string output = readFile(out());
    const size_t at = output.find("Exception raised when registering with ZAV\n");
    EXPECT_NE(at, std::string::npos) << output;
    // The exception's own message follows on its own line.
    EXPECT_GT(output.size(), at + 44) << "no exception message after the text";
    EXPECT_EQ(countOf(kDaemonLog, "Exception raised when registering with ZAV"), 1u);
}

// Each case waits out the 10-second registration timeout; one daemon at a time, since a second
// one beside it leaves at once. Each daemon is pointed at its own service through the
// socket-path setting, read once at start-up.
TEST_F(TqdExitStatusSandboxTest, NoOrRefusedAcknowledgementExits1AfterTheRegistrationTimeout)
{
    const struct {
        std::string name;
        std::vector<std::string> answer; // how the service answers the registration
    } cases[] = {{"silent", {"--no-ack"}}, {"refusing", {"--ack-status", "0"}}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const std::string socket = "/var/Varnik/kyv/zav/" + each.name, output = m_dir.file(each.name + ".out");
        std::vector<std::string> args{"--socket", socket};
        args.insert(args.end(), each.answer.begin(), each.answer.end());
        Broker broker(args, m_dir.file("broker-" + each.name + ".out"));
        setSetting("ZAVSocketPath", socket);
        const auto start = Clock::now();
        Daemon daemon(output);
        // Ten times the expected 13 s guards against a hang; a daemon still running then is
        // reported as status -1.
        EXPECT_EQ(daemon.wait(130s), 1) << "never 134: the threads are joined before the exit";
        EXPECT_GE(secondsSince(start), 12.5);
        EXPECT_NE(readFile(output).find("Unable to register with ZAV"), std::string::npos);
    }
    EXPECT_EQ(countOf(kDaemonLog, "Unable to register with ZAV"), 2u);
    EXPECT_EQ(linesWith(iptablesListing(), "QTZ"), 0u);
}

TEST_F(TqdExitStatusSandboxTest, ALogFolderThatIsAFileExits1)
{
    ASSERT_EQ(shell("rm -rf /var/Varnik/kyv/log/fw && touch /var/Varnik/kyv/log/fw"), 0);
    Daemon daemon(out());
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 1);
    EXPECT_EQ(readFile(out()), "Failed to initialize log library\n");
}

} // namespace
