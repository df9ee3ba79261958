// The adaptive queue's packet handling without a socket: crafted queue messages go to its
// handler, verdicts to a recording sink, records out through the facade.

#include "SFAdaptiveQueue.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFQueueMessages.h"

#include "QueuePacketFixtures.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueFixtures;

namespace {

const char kLimitLine[] =
    "Adaptive Queue size has reached maximum limit. Skip new adaptive rule creation and let the traffic pass";

SFAdaptiveQueueEntry entry(int protocol, const char* sourceIp, uint16_t sourcePort, const char* destinationIp,
                           uint16_t destinationPort, bool incoming)
{
    SFAdaptiveQueueEntry e{};
    e.protocol = protocol;
    std::strcpy(e.sourceIp, sourceIp);
    e.sourcePort = sourcePort;
    std::strcpy(e.destinationIp, destinationIp);
    e.destinationPort = destinationPort;
    e.incoming = incoming ? 1 : 0;
    return e;
}

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

    std::vector<SFAdaptiveQueueEntry> drain()
    {
        std::vector<SFAdaptiveQueueEntry> records;
        SFAdaptiveQueueEntry e;
        while (SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e))
            records.push_back(e);
        return records;
    }

    TestSupport::RecordingLogger m_logger;
    RecordingVerdicts m_verdicts;
};

} // namespace

TEST_F(SFAdaptiveQueueTest, EveryPacketIsAcceptedAndIntactTcpAndUdpRepliesAreLearnedInOrder)
{
    struct Case {
        uint8_t hook;
        Bytes payload;
    };
    const Case cases[] = {
        {NF_INET_LOCAL_IN, ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000))},
        {NF_INET_LOCAL_OUT, ipv4(6, "10.0.0.5", "192.0.2.7", ports(22, 51000))},
        {NF_INET_LOCAL_IN, ipv4(1, "192.0.2.7", "10.0.0.5", {8, 0, 0, 0})},
        {NF_INET_LOCAL_IN, ipv4(47, "192.0.2.7", "10.0.0.5", ports(1, 2))},
        {NF_INET_LOCAL_IN, ipv4(6, "192.0.2.7", "10.0.0.5", ports(443, 50000), 7)},
        {NF_INET_LOCAL_IN, cut(ipv4(6, "192.0.2.7", "10.0.0.5", ports(1, 2)), 12)},
        {NF_INET_LOCAL_IN, ipv4(17, "192.0.2.7", "10.0.0.5", {0, 53})},
    };
    std::vector<RecordingVerdicts::Verdict> expectedVerdicts;
    uint32_t id = 100;
    for (const Case& c : cases) {
        Message m;
        m.packetId = ++id;
        m.hook = c.hook;
        m.payload = c.payload;
        handle(m);
        expectedVerdicts.push_back({kAdaptiveQueueNumber, id, true});
    }
    Message noPayload;
    noPayload.packetId = ++id;
    handle(noPayload);
    expectedVerdicts.push_back({kAdaptiveQueueNumber, id, true});

    EXPECT_EQ(m_verdicts.verdicts, expectedVerdicts);
    const SFAdaptiveQueueEntry expected[] = {
        entry(17, "10.0.0.5", 40000, "198.51.100.53", 53, false),
        entry(6, "192.0.2.7", 51000, "10.0.0.5", 22, true),
        entry(6, "10.0.0.5", 50000, "192.0.2.7", 443, false),
    };
    const std::vector<SFAdaptiveQueueEntry> records = drain();
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(std::memcmp(&records[i], &expected[i], sizeof(SFAdaptiveQueueEntry)), 0) << "record " << i;
    EXPECT_EQ(m_logger.count(2), 0u);
}

TEST_F(SFAdaptiveQueueTest, UnreadableMessagesGetNoVerdictAndAFailedVerdictIsLogged)
{
    Message noHeader;
    noHeader.packetId.reset();
    noHeader.payload = ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000));
    handle(noHeader);
    std::vector<char> notAPacket = craft(Message{});
    header(notAPacket)->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
    SFAdaptiveQueue::queueHandler(header(notAPacket), m_verdicts, m_logger);
    EXPECT_TRUE(m_verdicts.verdicts.empty());
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the metaheader in the Netlink message"));
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the Netlink message"));

    m_verdicts.failing = true;
    handle(Message{});
    EXPECT_TRUE(m_logger.has(2, "Error in sending accept verdict to netlink queue socket"));
}

TEST_F(SFAdaptiveQueueTest, FullBufferStillAcceptsAndLearnsAgainAfterARead)
{
    Message m;
    m.payload = ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000));
    for (size_t i = 0; i < SFAdaptiveQueue::kMaxEntries; ++i)
        handle(m);
    EXPECT_FALSE(m_logger.has(5, kLimitLine));

    m.payload = ipv4(17, "198.51.100.99", "10.0.0.5", ports(53, 40001));
    handle(m);
    EXPECT_EQ(m_verdicts.verdicts.size(), SFAdaptiveQueue::kMaxEntries + 1);
    EXPECT_TRUE(m_verdicts.verdicts.back().accept);
    EXPECT_TRUE(m_logger.has(5, kLimitLine));

    SFAdaptiveQueueEntry oldest;
    ASSERT_TRUE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&oldest));
    handle(m);
    const std::vector<SFAdaptiveQueueEntry> records = drain();
    ASSERT_EQ(records.size(), SFAdaptiveQueue::kMaxEntries);
    EXPECT_STREQ(records.back().destinationIp, "198.51.100.99");
    EXPECT_STREQ(records[records.size() - 2].destinationIp, "198.51.100.53");
}

TEST_F(SFAdaptiveQueueTest, RecordsOutliveTheInstanceUntilClearedAndStopWithoutARunIsHarmless)
{
    SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
    EXPECT_TRUE(queue->stopAdaptiveQueue());
    EXPECT_TRUE(m_logger.has(6, "netlink queue socket is not open"));
    EXPECT_EQ(m_logger.lines().size(), 1u);

    Message m;
    m.payload = ipv4(6, "198.51.100.53", "10.0.0.5", ports(80, 40000));
    handle(m);
    SFAdaptiveQueueWrapper::releaseInstance();
    SFAdaptiveQueueWrapper::getInstance(m_logger);
    SFAdaptiveQueueEntry e{};
    ASSERT_TRUE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e));
    EXPECT_EQ(e.destinationPort, 80);

    handle(m);
    SFAdaptiveQueueWrapper::releaseInstance();
    SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    std::memset(&e, 0x5A, sizeof(e));
    const SFAdaptiveQueueEntry untouched = e;
    EXPECT_FALSE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&e));
    EXPECT_EQ(std::memcmp(&e, &untouched, sizeof(e)), 0);
}
