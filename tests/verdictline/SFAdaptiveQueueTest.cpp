// The adaptive queue's packet handling without a socket: crafted queue messages go to its handler,
// verdicts to a recording sink, records out through the facade.

#include "SFAdaptiveQueue.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFQueueMessages.h"

#include "QueuePacketFixtures.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueFixtures;

namespace {

class SFAdaptiveQueueTest : public ::testing::Test {
protected:
    // The buffer is class-wide: no test may see another's records.
    void SetUp() override { SFAdaptiveQueue::clearAdaptiveQueue(); }
    void TearDown() override
    {
        SFAdaptiveQueueWrapper::releaseInstance();
        SFAdaptiveQueue::clearAdaptiveQueue();
    }

    void handle(const Message& m) { SFAdaptiveQueue::queueHandler(header(craft(m)), m_verdicts, m_logger); }

    TestSupport::RecordingLogger m_logger;
    RecordingVerdicts m_verdicts;
};

} // namespace

TEST_F(SFAdaptiveQueueTest, EveryNamedPacketIsAcceptedAndIntactTcpAndUdpRepliesAreLearnedInOrder)
{
    const std::pair<uint8_t, std::optional<Bytes>> packets[] = {
        {NF_INET_LOCAL_IN, ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000))},
        {NF_INET_LOCAL_OUT, ipv4(6, "10.0.0.5", "192.0.2.7", ports(22, 51000))},
        {NF_INET_LOCAL_IN, ipv4(1, "192.0.2.7", "10.0.0.5", {8, 0, 0, 0})},
        {NF_INET_LOCAL_IN, ipv4(47, "192.0.2.7", "10.0.0.5", ports(1, 2))},
        {NF_INET_LOCAL_IN, ipv4(6, "192.0.2.7", "10.0.0.5", ports(443, 50000), 7)},
        {NF_INET_LOCAL_IN, cut(ipv4(6, "192.0.2.7", "10.0.0.5", ports(1, 2)), 12)},
        {NF_INET_LOCAL_IN, ipv4(17, "192.0.2.7", "10.0.0.5", {0, 53})},
        {NF_INET_LOCAL_IN, std::nullopt},
    };
    std::vector<RecordingVerdicts::Verdict> expectedVerdicts;
    for (uint32_t id = 0; id < std::size(packets); ++id) {
        Message m;
        m.packetId = id + 100;
        std::tie(m.hook, m.payload) = packets[id];
        handle(m);
        expectedVerdicts.push_back({kAdaptiveQueueNumber, id + 100, true});
    }
    // Packets that cannot be named get no verdict: the kernel knows them by id only.
    Message noHeader;
    noHeader.packetId.reset();
    handle(noHeader);
    std::vector<char> notAPacket = craft(Message{});
    header(notAPacket)->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
    SFAdaptiveQueue::queueHandler(header(notAPacket), m_verdicts, m_logger);

    EXPECT_EQ(m_verdicts.verdicts, expectedVerdicts);
    std::vector<std::string> learned;
    SFAdaptiveQueueEntry got;
    while (SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&got))
        learned.push_back(describe(got));
    EXPECT_EQ(learned, (std::vector<std::string>{"17 10.0.0.5:40000 198.51.100.53:53 0", "6 192.0.2.7:51000 10.0.0.5:22 1",
                                                 "6 10.0.0.5:50000 192.0.2.7:443 0"}));
    SFAdaptiveQueueEntry none;
    std::memset(&none, 0x5A, sizeof(none));
    const SFAdaptiveQueueEntry untouched = none;
    EXPECT_FALSE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&none));
    EXPECT_EQ(std::memcmp(&none, &untouched, sizeof(none)), 0);
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the metaheader in the Netlink message"));
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the Netlink message"));
    EXPECT_EQ(m_logger.count(2), 2u);
}

TEST_F(SFAdaptiveQueueTest, FullBufferAcceptsUnlearnedAndTheBufferOutlivesTheInstanceUntilCleared)
{
    const char limit[] = "Adaptive Queue size has reached maximum limit. Skip new adaptive rule creation and let "
                         "the traffic pass";
    SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
    Message m;
    m.payload = ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000));
    for (size_t i = 0; i < SFAdaptiveQueue::kMaxEntries; ++i)
        handle(m);
    EXPECT_FALSE(m_logger.has(5, limit));
    m.payload = ipv4(17, "198.51.100.99", "10.0.0.5", ports(53, 40001));
    handle(m);
    EXPECT_EQ(m_verdicts.verdicts.size(), SFAdaptiveQueue::kMaxEntries + 1);
    EXPECT_TRUE(m_verdicts.verdicts.back().accept);
    EXPECT_TRUE(m_logger.has(5, limit));

    // Stopping with no run only says so; releasing keeps the records.
    EXPECT_TRUE(queue->stopAdaptiveQueue());
    EXPECT_TRUE(m_logger.has(6, "netlink queue socket is not open"));
    SFAdaptiveQueueWrapper::releaseInstance();
    SFAdaptiveQueueEntry e;
    ASSERT_TRUE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e));
    handle(m);
    size_t count = 0;
    while (SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e))
        ++count;
    EXPECT_EQ(count, SFAdaptiveQueue::kMaxEntries);
    EXPECT_STREQ(e.destinationIp, "198.51.100.99");

    handle(m);
    SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    EXPECT_FALSE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e));
    m_verdicts.failing = true;
    handle(m);
    EXPECT_TRUE(m_logger.has(2, "Error in sending accept verdict to netlink queue socket"));
}
