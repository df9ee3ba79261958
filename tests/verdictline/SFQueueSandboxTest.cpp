// Both queue readers on real netfilter queues in the sandbox: iptables chains reduced to what the
// driver builds for each queue, traffic between this namespace (10.0.0.5) and the rig's peer
// (10.0.0.7, with 198.51.100.53 on its loopback routed from here).

#include "SFAdaptiveQueueWrapper.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFRuleManager.h"

#include "FakeConfigController.h"
#include "HangGuard.h"
#include "QueuePacketFixtures.h"
#include "QueueSandboxRig.h"
#include "RecordingLogger.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueRig;

namespace {

class SFQueueSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        ASSERT_EQ(shell("rig_up && in_peer ip addr replace 198.51.100.53/32 dev lo && "
                        "ip route replace 198.51.100.53/32 via 10.0.0.7"),
                  0);
    }

    void TearDown() override
    {
        // Never on the host: SetUp may have failed its sandbox check.
        if (!TestSupport::sandboxProblem().empty())
            return;
        SFAdaptiveQueueWrapper::releaseInstance();
        SFBlockEventQueueWrapper::releaseInstance();
        SFRuleManager::releaseInstance();
        shell("iptables -F && iptables -X; rig_down");
    }

    TestSupport::RecordingLogger m_logger;
};

} // namespace

TEST_F(SFQueueSandboxTest, AdaptiveQueueLearnsTheFirstReplyOfEachConnectionAndLetsEveryPacketThrough)
{
    // New connections are marked 1; the first reply is queued once its mark is cleared, so each
    // connection is queued once.
    ASSERT_EQ(shell(R"(set -e
        iptables -N TQ_QUEUE
        iptables -A TQ_QUEUE -m mark --mark 1 -j MARK --set-mark 0
        iptables -A TQ_QUEUE -j CONNMARK --save-mark
        iptables -A TQ_QUEUE -p tcp --tcp-flags ALL SYN,ACK -j NFQUEUE --queue-num 1
        iptables -A TQ_QUEUE -p udp -j NFQUEUE --queue-num 1
        for chain in INPUT OUTPUT; do
            iptables -A $chain -j CONNMARK --restore-mark
            iptables -A $chain -m state --state ESTABLISHED,RELATED -m mark --mark 1 -j TQ_QUEUE
        done
        iptables -A OUTPUT -p udp -d 198.51.100.53 --dport 53 -m state --state NEW -j MARK --set-mark 1
        iptables -A INPUT -p tcp -s 10.0.0.7 --dport 22 -m state --state NEW -j MARK --set-mark 1
        iptables -A INPUT -m state --state NEW -j CONNMARK --save-mark
        iptables -A OUTPUT -m state --state NEW -j CONNMARK --save-mark)"),
              0);
    SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
    ReaderThread reader([queue] { return queue->startAdaptiveQueue(); }, [queue] { return queue->stopAdaptiveQueue(); });
    ASSERT_TRUE(waitForQueue(1, true));

    // Both echoes and the connection's greeting must come back; the receivers name their peers.
    std::string peers;
    ASSERT_EQ(shell(R"(set -e
        serve /run/echo.out in_peer "$TOOL" udp-echo 198.51.100.53 53 --count 2 --timeout 60000
        "$TOOL" udp-send 198.51.100.53 53 --from 10.0.0.5 --count 2 --expect-reply --timeout 20000
        serve /run/listen.out "$TOOL" tcp-listen 10.0.0.5 22 --timeout 30000
        in_peer "$TOOL" tcp-connect 10.0.0.5 22 --from 10.0.0.7 --timeout 20000 | grep -qx ok
        wait
        grep -h '^peer' /run/echo.out /run/listen.out | sed 's/^peer //')",
                    &peers),
              0)
        << peers;
    std::istringstream lines(peers);
    std::string udpPeer, udpPeerAgain, tcpPeer;
    lines >> udpPeer >> udpPeerAgain >> tcpPeer;
    ASSERT_TRUE(reader.stopAndJoin());

    std::vector<std::string> learned;
    SFAdaptiveQueueEntry e;
    while (SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e))
        learned.push_back(QueueFixtures::describe(e));
    EXPECT_EQ(learned, (std::vector<std::string>{"17 " + udpPeer + " 198.51.100.53:53 0", "6 " + tcpPeer + " 10.0.0.5:22 1"}));
    EXPECT_EQ(m_logger.count(2), 0u);
}

TEST_F(SFQueueSandboxTest, BlockEventQueueDropsMarkedPacketsAndRecordsTheRulesOfTheirMarks)
{
    TestSupport::TempDir dir;
    TestSupport::FakeConfigController config;
    config.set("GlobalConfiguration.RuleStorePath", dir.file("rules"));
    const KGUID telnet{0x101, {1}, 1, 1}, ping{0x102, {2}, 2, 2}, discard{0x103, {3}, 3, 3};
    // A logger of its own: making a manager without a store logs at level 2.
    TestSupport::RecordingLogger managerLog;
    SFRuleManager* rules = SFRuleManager::getInstance(managerLog, config, true);
    rules->updateNfMarkVsRuleUid(257, telnet);
    rules->updateNfMarkVsRuleUid(258, ping);
    rules->updateNfMarkVsRuleUid(259, discard);
    // The telnet mark carries bits above the rule's 16, which the lookup must ignore.
    ASSERT_EQ(shell(R"(set -e
        iptables -A INPUT -s 10.0.0.7 -p tcp --dport 23 -j MARK --set-mark 0x10101
        iptables -A INPUT -s 10.0.0.7 -p icmp -j MARK --set-mark 258
        iptables -A OUTPUT -d 10.0.0.7 -p udp --dport 9 -j MARK --set-mark 259
        iptables -A INPUT -m mark ! --mark 0 -j NFQUEUE --queue-num 3
        iptables -A OUTPUT -m mark ! --mark 0 -j NFQUEUE --queue-num 3)"),
              0);
    SFBlockEventQueueWrapper::clearBlockEventQueue();
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, config);
    ReaderThread reader([queue] { return queue->startBlockEventQueue(); },
                        [queue] { return queue->stopBlockEventQueue(); });
    ASSERT_TRUE(waitForQueue(3, true));

    const time_t t0 = QueueFixtures::wallSeconds();
    std::string outcome;
    shell(R"(in_peer "$TOOL" tcp-connect 10.0.0.5 23 --from 10.0.0.7 --timeout 1500; echo "tcp $?"
             in_peer ping -c 1 -W 1 10.0.0.5 >/dev/null; echo "ping $?"
             "$TOOL" udp-send 10.0.0.7 9 --from 10.0.0.5; echo "udp $?")",
          &outcome);
    EXPECT_EQ(outcome, "tcp 3\nping 1\nudp 0\n") << "the peer's connection times out, its ping is lost";
    std::map<uint8_t, std::vector<RuleEventInfo>> byProtocol;
    RuleEventInfo got;
    // The datagram went last; its record ends the wait, the hang guard bounds it.
    const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
    while (byProtocol.count(17) == 0 && std::chrono::steady_clock::now() < deadline) {
        while (SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&got))
            byProtocol[got.protocol].push_back(got);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const time_t t1 = QueueFixtures::wallSeconds();
    ASSERT_TRUE(reader.stopAndJoin());
    ASSERT_EQ(byProtocol.size(), 3u);
    auto expect = [](const RuleEventInfo& got, KGUID rule, const char* from, const char* to, uint16_t destinationPort,
                     uint8_t icmpType, int direction) {
        RuleEventInfo want{};
        want.ruleId = rule;
        want.action = FW_ACTION_BLOCK_PACKET;
        want.protocol = got.protocol;
        want.sourceAddress = QueueFixtures::address(from);
        want.destinationAddress = QueueFixtures::address(to);
        // The peer's ports are its system's choice; whether a port is there is checked below.
        want.sourcePort = got.sourcePort;
        want.destinationPort = destinationPort;
        want.icmpType = icmpType;
        want.direction = direction;
        want.time = got.time;
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0) << "protocol " << int(got.protocol);
    };
    // Every retransmitted SYN is queued and recorded again.
    for (const RuleEventInfo& syn : byProtocol[6]) {
        expect(syn, telnet, "10.0.0.7", "10.0.0.5", 23, 0, FW_DIRECTION_INBOUND);
        EXPECT_NE(syn.sourcePort, 0);
        EXPECT_GE(syn.time, t0);
        EXPECT_LE(syn.time, t1);
    }
    expect(byProtocol[1].front(), ping, "10.0.0.7", "10.0.0.5", 0, 8, FW_DIRECTION_INBOUND);
    EXPECT_EQ(byProtocol[1].front().sourcePort, 0);
    expect(byProtocol[17].front(), discard, "10.0.0.5", "10.0.0.7", 9, 0, FW_DIRECTION_OUTBOUND);
    EXPECT_NE(byProtocol[17].front().sourcePort, 0);
    EXPECT_TRUE(m_logger.has(5, "netfilter Mark - 65793"));
    EXPECT_EQ(m_logger.count(2), 0u);
}
