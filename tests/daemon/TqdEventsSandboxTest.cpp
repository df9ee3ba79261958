// tqd as a process in the sandbox, with an agent that is slow to take the plug-ins: the agent
// group still gets the management server's rules, and a block rule added over the command
// channel as the tool sends it reports a blocked connection as an 18001 event in the agent's
// spool.

#include "CommonFunc.h"
#include "DispatcherCalls.h"
#include "HangGuard.h"
#include "ModelFixtures.h"
#include "SFRule.h"
#include "SFSerialization.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace std::chrono_literals;
using namespace StatefulFirewall;
using namespace TqdRig;
using namespace TestSupport;

namespace {

constexpr const char* kSiteAddress = "10.20.30.43";

// A local address outside 127.0.0.0/8: the client group's built-in rule accepts every
// loopback-to-loopback packet ahead of any rule added later, so a blocked connection has to
// come from and go to another local address.
constexpr const char* kLocalAddress = "10.99.0.1";

// Tries a TCP connection for up to timeout; the firewall drops it, so it never completes.
void tryConnect(uint16_t port, std::chrono::milliseconds timeout)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, kLocalAddress, &address.sin_addr);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    pollfd entry{fd, POLLOUT, 0};
    ::poll(&entry, 1, static_cast<int>(timeout.count()));
    ::close(fd);
}

class TqdEventsSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        prepareManagedProduct(true, kSiteAddress);
    }

};

// The agent adaptor comes 5 s after the thread starts, past the 3-second pause: start-up waits
// for it, so the agent group is built with the management server's allow rules and the event
// adaptor has the agent adaptor from the start.
TEST_F(TqdEventsSandboxTest, ASlowAgentGetsItsSiteRulesAndTheEventsOfAnIntrusionRule)
{
    writeFile(std::string(kSpool) + "/agent.conf", "managed_mode=1\nregister_delay_ms=5000\n");
    setSetting("ReportingTimeoutSecs", "1");
    // Before the daemon starts, so its interface monitor sees no change during the test.
    ASSERT_EQ(shell("ip link set lo up && ip addr add " + std::string(kLocalAddress) + "/32 dev lo"), 0);
    Broker broker({}, brokerOut());
    ASSERT_TRUE(broker.started());
    Daemon daemon(daemonOut());
    const std::string listing = waitForEnforcement(40s);
    EXPECT_GE(linesWith(listing, std::string("-d ") + kSiteAddress + "/32"), 2u)
        << "no agent-group rules for the management server:\n" << listing;
    EXPECT_EQ(countOf(kDaemonLog, "Message Bus registration is still running"), 1u);

    // The connection leaves through OUTPUT (policy DROP) and is blocked, and reported, on
    // INPUT.
    SFRule block = model::portRule("Block 9999", FW_ACTION_BLOCK_PACKET, true, 9999);
    block.treatAsIntrusion = true;
    std::string answer;
    for (const SFRule& rule : {model::portRule("Allow out 9999", FW_ACTION_ALLOW, false, 9999), block}) {
        const std::string payload = wideRequest(100006, rule)->outgoingData();
        ASSERT_EQ(payload.find('\''), std::string::npos);
        EXPECT_EQ(zavcall("--dest 7000 --cmd 100006 --wide-raw '" + payload + "'", &answer), 0) << answer;
    }
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100017", &answer), 0) << answer;
    ASSERT_TRUE(waitForText(kDaemonLog, "Block 9999", TestSupport::kHangGuard))
        << "the rule never reached the daemon";

    const std::string events = std::string(kSpool) + "/events.jsonl";
    for (int attempt = 0; attempt < 5 && countOf(events, "18001") == 0; ++attempt)
        tryConnect(9999, 2s);
    EXPECT_TRUE(waitForText(events, "18001", TestSupport::kHangGuard)) << iptablesListing();

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 0);
    EXPECT_EQ(linesWith(iptablesListing(), "QTZ"), 0u);
}

} // namespace
