// tqd's exit statuses as a process in the sandbox: a command line, no platform service, no or a
// refused acknowledgement, and a logger that cannot start.

#include "HangGuard.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <future>
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
    const int status = daemon.wait(TestSupport::kHangGuard);
    const double took = secondsSince(start);
    EXPECT_EQ(status, 255);
    EXPECT_GE(took, 3.0) << "the exit came before the 3-second pause";
    const std::string output = readFile(out());
    EXPECT_NE(output.find("Exception raised when registering with ZAV\n"), std::string::npos) << output;
    // The exception's own message follows on its own line.
    const size_t at = output.find("Exception raised when registering with ZAV\n");
    EXPECT_GT(output.size(), at + 44) << "no exception message after the text";
    EXPECT_EQ(countOf(kDaemonLog, "Exception raised when registering with ZAV"), 1u);
}

// Both cases wait out the 10-second registration timeout, so they run side by side: each daemon
// is pointed at its own service through the socket-path setting, read once at start-up.
TEST_F(TqdExitStatusSandboxTest, NoOrRefusedAcknowledgementExits1AfterTheRegistrationTimeout)
{
    const std::string silentSocket = "/var/Varnik/kyv/zav/silent";
    const std::string refusingSocket = "/var/Varnik/kyv/zav/refusing";
    Broker silent({"--socket", silentSocket, "--no-ack"}, m_dir.file("silent.out"));
    Broker refusing({"--socket", refusingSocket, "--ack-status", "0"}, m_dir.file("refusing.out"));

    setSetting("ZAVSocketPath", silentSocket);
    const auto start = Clock::now();
    Daemon first(m_dir.file("first.out"));
    ASSERT_TRUE(waitForText(kDaemonLog, "Going to start Message Bus registration.",
                            TestSupport::kHangGuard));
    setSetting("ZAVSocketPath", refusingSocket);
    Daemon second(m_dir.file("second.out"));

    // Ten times the expected 13 s guards against a hang; a daemon still running then is
    // reported as status -1.
    auto firstStatus = std::async(std::launch::async, [&] { return first.wait(130s); });
    const int secondStatus = second.wait(130s);
    const double took = secondsSince(start);
    EXPECT_EQ(firstStatus.get(), 1) << "never 134: the threads are joined before the exit";
    EXPECT_EQ(secondStatus, 1);
    EXPECT_GE(took, 12.5);
    for (const char* file : {"first.out", "second.out"})
        EXPECT_NE(readFile(m_dir.file(file)).find("Unable to register with ZAV"), std::string::npos) << file;
    EXPECT_EQ(countOf(kDaemonLog, "Unable to register with ZAV"), 2u);
    EXPECT_EQ(::kill(first.pid(), 0), -1) << "the first daemon is still there";
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
