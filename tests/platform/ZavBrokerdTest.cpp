// zavbrokerd as a process: its exit statuses, its signals and its socket file.

#include "ChannelArchives.h"
#include "ChannelTestClient.h"
#include "ChildProcess.h"
#include "FakeResponder.h"
#include "HangGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;
using namespace TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

// One run of the service; its output goes to errorFile, appended across runs.
class ServiceRun : public ChildProcess {
public:
    ServiceRun(const std::vector<std::string>& args, const std::string& errorFile)
        : ChildProcess(withProgram(args), errorFile, Output::Append)
    {
    }

private:
    static std::vector<std::string> withProgram(const std::vector<std::string>& args)
    {
        std::vector<std::string> words{TQ_ZAVBROKERD};
        words.insert(words.end(), args.begin(), args.end());
        return words;
    }
};

bool waitForFile(const std::string& path, bool present)
{
    const auto deadline = Clock::now() + TestSupport::kHangGuard;
    while (Clock::now() < deadline) {
        if ((fileMode(path) >= 0) == present)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class ZavBrokerdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the service serves root peers only";
    }
    void TearDown() override
    {
        if (HasFailure())
            std::cerr << "service output:\n" << readFile(errors()) << "\n";
    }
    std::string socket() const { return m_dir.file("zav/zavsocket"); }
    std::string errors() const { return m_dir.file("zavbrokerd.err"); }

    TempDir m_dir;
};

TEST_F(ZavBrokerdTest, ExitStatusesAndTheSocketFile)
{
    ServiceRun bad({"--ack-status", "2"}, errors());
    EXPECT_EQ(bad.wait(TestSupport::kHangGuard), 2) << "a bad command line";

    ServiceRun service({"--socket", socket()}, errors());
    ASSERT_TRUE(waitForFile(socket(), true));
    ChannelTestClient client(socket());
    EXPECT_EQ(client.registerAs(3000), 1);

    ServiceRun second({"--socket", socket()}, errors());
    EXPECT_EQ(second.wait(TestSupport::kHangGuard), 1) << "a second service on the same socket";
    auto answer = client.call(makeRequest(1003, 1, 1, ZAV::kDataKindNarrow, narrowArchive(true)));
    ASSERT_TRUE(answer) << "the first service stopped serving";
    EXPECT_EQ(answer->record.status, 1);

    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(TestSupport::kHangGuard), 0);
    EXPECT_EQ(fileMode(socket()), -1) << "the socket outlived the service";
    EXPECT_TRUE(client.waitClosed(TestSupport::kHangGuard));
}

TEST_F(ZavBrokerdTest, HangUpPushesTheReReadPolicyToTheDaemon)
{
    const std::string policy = m_dir.file("policy");
    writeFile(policy, "serverLogLevel=1\n");
    ServiceRun service({"--socket", socket(), "--common-policy", policy}, errors());
    ASSERT_TRUE(waitForFile(socket(), true));
    FakeResponder daemon(socket(), 7000);
    ASSERT_EQ(daemon.start(), 1);

    writeFile(policy, "serverLogLevel=4\neventLogging=0\n");
    service.signal(SIGHUP);
    ASSERT_TRUE(daemon.waitForRequests(1, TestSupport::kHangGuard));
    const auto push = daemon.received()[0];
    EXPECT_EQ(push.record.commandId, 1001);
    const ZAV::CommonExtPolicyObj fields = readPolicyArchive(push.data);
    EXPECT_EQ(fields.m_serverLogLevel, 4);
    EXPECT_FALSE(fields.m_eventLogging);

    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(TestSupport::kHangGuard), 0);
}

} // namespace
