// The platform service as a process with the real daemon in the sandbox, under the loads a root
// peer or, with the socket opened up, any user can put on it: a flood of large requests to the
// daemon, many half-sent largest frames, and peers that are refused at accept and connect again
// without end. The daemon stays registered and reachable throughout, and the service stays
// small and its log short.
//
// Timeouts here only guard against hangs and are generous for loaded machines.

#include "ChannelTestClient.h"
#include "ConnectChurn.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSiteAddress = "10.20.30.42";
constexpr auto kHangGuard = 60s;

// The resident size of a process in bytes, from /proc/<pid>/status; 0 when it cannot be read.
size_t residentBytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

class TqdBrokerLoadSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        prepareManagedProduct(true, kSiteAddress);
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
        m_daemon = std::make_unique<Daemon>(daemonOut());
        waitForEnforcement();
        std::string answer;
        ASSERT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    }

    void TearDown() override
    {
        if (m_daemon) {
            m_daemon->signal(SIGTERM);
            EXPECT_EQ(m_daemon->wait(TestSupport::kHangGuard), 0);
        }
        TqdSandboxTest::TearDown();
    }

    // The daemon was never dropped by the service nor lost its connection to it.
    void expectDaemonKeptItsConnection()
    {
        EXPECT_EQ(countOf(brokerOut(), "fm id 7000): "), 0u) << "the service closed the daemon's connection";
        EXPECT_EQ(countOf(brokerOut(), "Accepted registration of fm id 7000"), 1u)
            << "the daemon had to register again";
        EXPECT_EQ(::kill(m_daemon->pid(), 0), 0) << "the daemon did not live on";
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(TqdBrokerLoadSandboxTest, LargeRequestsSentFasterThanTheDaemonReadsKeepItRegistered)
{
    ChannelTestClient flooder(kSocket);
    ASSERT_EQ(flooder.registerAs(3000), 1);
    constexpr int kRequests = 4;
    const std::string frame = ZAV::encodeFrame(
        makeRequest(999999, 7000, 1, ZAV::kDataKindNarrow, std::string(30u << 20, 'x')));
    std::atomic<bool> sent{true};
    std::thread flooding([&] {
        for (int i = 0; i < kRequests; ++i)
            sent = sent && flooder.sendBytes(frame);
    });

    // The tool is answered while the flood goes on and after it.
    int answered = 0;
    for (int i = 0; i < 3; ++i) {
        std::string answer;
        answered += zavcall("--dest 7000 --cmd 100038", &answer) == 0 ? 1 : 0;
    }
    flooding.join();
    EXPECT_TRUE(sent.load()) << "the service closed the sender";
    for (int i = 0; i < kRequests; ++i)
        EXPECT_TRUE(flooder.receiveResponse(kHangGuard)) << "answer " << i;
    std::string answer;
    answered += zavcall("--dest 7000 --cmd 100038", &answer) == 0 ? 1 : 0;
    EXPECT_EQ(answered, 4) << answer;
    expectDaemonKeptItsConnection();
}

TEST_F(TqdBrokerLoadSandboxTest, HalfSentLargestFramesDoNotGrowTheService)
{
    constexpr int kPeers = 16;
    std::string frame = ZAV::encodeFrame(
        makeRequest(100038, 7000, 1, ZAV::kDataKindNarrow, std::string(ZAV::kDefaultMaxDataSize, 'y')));
    frame.resize(60u << 20); // each peer sends 60 of its declared 64 MiB and waits
    std::vector<std::unique_ptr<ChannelTestClient>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<ChannelTestClient>(kSocket));
        peers.back()->sendBytes(frame);
    }
    std::string answer;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    // All of them held would be near a gigabyte; the bound keeps four largest frames.
    const size_t resident = residentBytes(m_broker->pid());
    EXPECT_GT(resident, 0u);
    EXPECT_LT(resident, 600u << 20) << "the service holds the half-sent frames";
    EXPECT_GE(countOf(brokerOut(), "over the bound of"), static_cast<size_t>(kPeers - 4));
    expectDaemonKeptItsConnection();
}

TEST_F(TqdBrokerLoadSandboxTest, ChurningRefusedPeersNeitherStarveTheToolNorFloodTheLog)
{
    // The socket opened to everyone, so only the peer's credentials keep others out.
    for (const char* folder : {"/var/Varnik", "/var/Varnik/kyv", "/var/Varnik/kyv/zav"})
        ASSERT_EQ(::chmod(folder, 0755), 0) << folder;
    ASSERT_EQ(::chmod(kSocket, 0666), 0);

    ConnectChurn churn(kSocket, 3);
    const auto started = Clock::now();
    ASSERT_TRUE(churn.waitFor(2000, kHangGuard)) << "the refused peers did not get going";

    int answered = 0;
    std::string answer;
    for (int i = 0; i < 10; ++i)
        answered += zavcall("--dest 7000 --cmd 100038", &answer) == 0 ? 1 : 0;
    const long connections = churn.connections();
    const auto elapsed = Clock::now() - started;
    EXPECT_TRUE(churn.stop()) << "a refused peer could not take its user or make a socket";

    EXPECT_EQ(answered, 10) << answer;
    EXPECT_GE(connections, 2000);
    EXPECT_LE(countOf(brokerOut(), "uid 65534"), 2u + static_cast<size_t>(elapsed / 10s))
        << connections << " refusals";
    expectDaemonKeptItsConnection();
}

} // namespace
