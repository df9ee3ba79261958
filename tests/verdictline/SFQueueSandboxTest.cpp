// Both queue readers on real netfilter queues in the sandbox: iptables chains reduced to what
// the driver builds for each queue, traffic between this namespace (10.0.0.5) and the rig's peer
// (10.0.0.7, with 198.51.100.53 on its loopback routed from here).

#include "SFAdaptiveQueueWrapper.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFRuleManager.h"

#include "FakeConfigController.h"
#include "QueueSandboxRig.h"
#include "RecordingLogger.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueRig;

namespace {

uint32_t address(const char* text)
{
    uint32_t value = 0;
    inet_pton(AF_INET, text, &value);
    return value;
}

class SFQueueSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        ASSERT_EQ(shell("rig_up && in_peer ip addr replace 198.51.100.53/32 dev lo && "
                        "ip route replace 198.51.100.53/32 via 10.0.0.7"),
                  0);
        SFAdaptiveQueueWrapper::clearAdaptiveQueue();
        SFBlockEventQueueWrapper::clearBlockEventQueue();
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
    // New connections are marked 1; their first reply is queued after the mark is cleared, so
    // each connection is queued once. The sandbox's namespace is fresh, so no connection of
    // these addresses is tracked yet.
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
    SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
    ReaderThread reader([queue] { return queue->startAdaptiveQueue(); }, [queue] { return queue->stopAdaptiveQueue(); });
    ASSERT_TRUE(waitForQueue(1, true));

    Background echo("exec ip netns exec tqpeer \"$TOOL\" udp-echo 198.51.100.53 53 --count 2 --timeout 5000");
    ASSERT_NE(echo.waitForLine("ready"), "") << echo.output();
    EXPECT_EQ(udpEchoes("10.0.0.5", 40000, "198.51.100.53", 53, 2), 2);

    Background listener("exec \"$TOOL\" tcp-listen 10.0.0.5 22 --timeout 5000");
    ASSERT_NE(listener.waitForLine("ready"), "") << listener.output();
    EXPECT_EQ(shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 22 --from 10.0.0.7 --timeout 2000"), 0);
    const std::string accepted = listener.waitForLine("peer 10.0.0.7:");
    ASSERT_NE(accepted, "");
    const auto peerPort = static_cast<uint16_t>(std::stoul(accepted.substr(std::strlen("peer 10.0.0.7:"))));

    ASSERT_TRUE(reader.stopAndJoin());
    std::vector<std::string> learned;
    SFAdaptiveQueueEntry e;
    while (SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e))
        learned.push_back(std::to_string(e.protocol) + " " + e.sourceIp + ":" + std::to_string(e.sourcePort) + " " +
                          e.destinationIp + ":" + std::to_string(e.destinationPort) + " " +
                          std::to_string(e.incoming));
    EXPECT_EQ(learned, (std::vector<std::string>{"17 10.0.0.5:40000 198.51.100.53:53 0",
                                                 "6 10.0.0.7:" + std::to_string(peerPort) + " 10.0.0.5:22 1"}));
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
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, config);
    ReaderThread reader([queue] { return queue->startBlockEventQueue(); },
                        [queue] { return queue->stopBlockEventQueue(); });
    ASSERT_TRUE(waitForQueue(3, true));

    const time_t t0 = time(nullptr);
    EXPECT_EQ(shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 23 --from 10.0.0.7 --timeout 1500"), 3);
    EXPECT_NE(shell("in_peer ping -c 1 -W 1 10.0.0.5"), 0);
    EXPECT_TRUE(udpSend("10.0.0.5", 41000, "10.0.0.7", 9));

    std::map<uint8_t, std::vector<RuleEventInfo>> byProtocol;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (byProtocol.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        RuleEventInfo event;
        if (SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&event))
            byProtocol[event.protocol].push_back(event);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const time_t t1 = time(nullptr);
    ASSERT_TRUE(reader.stopAndJoin());
    ASSERT_EQ(byProtocol.size(), 3u);

    auto expected = [](const RuleEventInfo& got, KGUID rule, uint8_t protocol, const char* from, uint16_t sourcePort,
                       const char* to, uint16_t destinationPort, uint8_t icmpType, int direction) {
        RuleEventInfo e{};
        e.ruleId = rule;
        e.action = FW_ACTION_BLOCK_PACKET;
        e.protocol = protocol;
        e.sourceAddress = address(from);
        e.sourcePort = sourcePort;
        e.destinationAddress = address(to);
        e.destinationPort = destinationPort;
        e.icmpType = icmpType;
        e.direction = direction;
        e.time = got.time;
        return e;
    };
    // Each retransmitted SYN is queued and recorded again, from the same port.
    const uint16_t telnetPort = byProtocol[6].front().sourcePort;
    EXPECT_NE(telnetPort, 0);
    for (const RuleEventInfo& got : byProtocol[6]) {
        const RuleEventInfo want = expected(got, telnet, 6, "10.0.0.7", telnetPort, "10.0.0.5", 23, 0, 1);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0);
        EXPECT_GE(got.time, t0);
        EXPECT_LE(got.time, t1);
    }
    const RuleEventInfo& echo = byProtocol[1].front();
    const RuleEventInfo echoWant = expected(echo, ping, 1, "10.0.0.7", 0, "10.0.0.5", 0, 8, 1);
    EXPECT_EQ(std::memcmp(&echo, &echoWant, sizeof(echo)), 0);
    const RuleEventInfo& sent = byProtocol[17].front();
    const RuleEventInfo sentWant = expected(sent, discard, 17, "10.0.0.5", 41000, "10.0.0.7", 9, 0, 2);
    EXPECT_EQ(std::memcmp(&sent, &sentWant, sizeof(sent)), 0);

    EXPECT_TRUE(m_logger.has(5, "netfilter Mark - 65793"));
    EXPECT_TRUE(m_logger.has(5, "Adding data to BlockEvent Queue"));
    EXPECT_EQ(m_logger.count(2), 0u);
}
