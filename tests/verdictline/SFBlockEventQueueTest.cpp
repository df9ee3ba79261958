// The block-event queue's packet handling without a socket: crafted queue messages go to its
// handler with a mark map of the test's own, verdicts to a recording sink, records out through
// the facade.

#include "SFBlockEventQueue.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFQueueMessages.h"

#include "FakeConfigController.h"
#include "QueuePacketFixtures.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueFixtures;

namespace {

KGUID rule(uint8_t tag)
{
    KGUID id{};
    id.Data1 = 0x1122334455667700u + tag;
    id.Data2 = 0xABCD;
    id.Data3 = tag;
    id.Data4[7] = tag;
    return id;
}

class SFBlockEventQueueTest : public ::testing::Test {
protected:
    void SetUp() override { SFBlockEventQueue::clearBlockEventQueue(); }
    void TearDown() override
    {
        SFBlockEventQueueWrapper::releaseInstance();
        SFBlockEventQueue::clearBlockEventQueue();
    }

    void handle(const Message& m)
    {
        SFBlockEventQueue::queueHandler(header(craft(m)), m_verdicts, m_logger, m_lookup);
    }

    std::map<uint16_t, KGUID> m_marks{{5, rule(5)}, {257, rule(1)}};
    std::vector<uint16_t> m_asked;
    SFBlockEventQueue::MarkLookup m_lookup = [this](uint16_t mark, KGUID* out) {
        m_asked.push_back(mark);
        auto found = m_marks.find(mark);
        if (found == m_marks.end())
            return false;
        *out = found->second;
        return true;
    };
    TestSupport::RecordingLogger m_logger;
    RecordingVerdicts m_verdicts;
};

} // namespace

TEST_F(SFBlockEventQueueTest, EveryPacketIsDroppedAndThoseOfKnownRulesAreRecorded)
{
    struct Case {
        std::string name;
        std::optional<uint32_t> mark;
        uint8_t hook;
        std::optional<Bytes> payload;
        bool recorded;
        KGUID ruleId;
        uint8_t protocol;
        uint16_t sourcePort;
        uint16_t destinationPort;
        uint8_t icmpType;
        int direction;
    };
    const Bytes tcp = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));
    const Case cases[] = {
        {"tcp to port 23", 5, NF_INET_LOCAL_IN, tcp, true, rule(5), 6, 4444, 23, 0, FW_DIRECTION_INBOUND},
        {"icmp echo request", 5, NF_INET_LOCAL_IN, ipv4(1, "203.0.113.9", "10.0.0.5", {8, 0, 1, 2}), true, rule(5), 1,
         0, 0, 8, FW_DIRECTION_INBOUND},
        {"protocol 47", 5, NF_INET_LOCAL_IN, ipv4(47, "203.0.113.9", "10.0.0.5", ports(1, 2)), true, rule(5), 47, 0, 0,
         0, FW_DIRECTION_INBOUND},
        {"udp leaving", 5, NF_INET_LOCAL_OUT, ipv4(17, "203.0.113.9", "10.0.0.5", ports(5353, 53)), true, rule(5), 17,
         5353, 53, 0, FW_DIRECTION_OUTBOUND},
        {"2 transport bytes", 5, NF_INET_LOCAL_IN, ipv4(6, "203.0.113.9", "10.0.0.5", {0x11, 0x5c}), true, rule(5), 6,
         0, 0, 0, FW_DIRECTION_INBOUND},
        {"high mark bits ignored", 0x10101, NF_INET_LOCAL_IN, tcp, true, rule(1), 6, 4444, 23, 0,
         FW_DIRECTION_INBOUND},
        {"unknown mark", 999, NF_INET_LOCAL_IN, tcp, false, {}, 0, 0, 0, 0, 0},
        {"no mark", std::nullopt, NF_INET_LOCAL_IN, tcp, false, {}, 0, 0, 0, 0, 0},
        {"no payload", 5, NF_INET_LOCAL_IN, std::nullopt, false, {}, 0, 0, 0, 0, 0},
        {"ip header cut short", 5, NF_INET_LOCAL_IN, cut(tcp, 19), false, {}, 0, 0, 0, 0, 0},
    };
    const time_t before = time(nullptr);
    std::vector<RecordingVerdicts::Verdict> expectedVerdicts;
    std::vector<RuleEventInfo> expectedRecords;
    uint32_t id = 700;
    for (const Case& c : cases) {
        Message m;
        m.packetId = ++id;
        m.queue = kBlockEventQueueNumber;
        m.mark = c.mark;
        m.hook = c.hook;
        m.payload = c.payload;
        handle(m);
        expectedVerdicts.push_back({kBlockEventQueueNumber, id, false});
        if (!c.recorded)
            continue;
        RuleEventInfo e{};
        e.ruleId = c.ruleId;
        e.action = FW_ACTION_BLOCK_PACKET;
        e.sourcePort = c.sourcePort;
        e.destinationPort = c.destinationPort;
        e.sourceAddress = address("203.0.113.9");
        e.destinationAddress = address("10.0.0.5");
        e.direction = c.direction;
        e.protocol = c.protocol;
        e.icmpType = c.icmpType;
        expectedRecords.push_back(e);
    }
    const time_t after = time(nullptr);

    EXPECT_EQ(m_verdicts.verdicts, expectedVerdicts);
    // The lookup key is the mark's low 16 bits; a packet without a mark is not looked up.
    EXPECT_EQ(m_asked, (std::vector<uint16_t>{5, 5, 5, 5, 5, 257, 999, 5, 5}));
    for (RuleEventInfo& expected : expectedRecords) {
        SCOPED_TRACE("protocol " + std::to_string(expected.protocol));
        RuleEventInfo got;
        ASSERT_TRUE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&got));
        EXPECT_GE(got.time, before);
        EXPECT_LE(got.time, after);
        expected.time = got.time;
        // Every byte the queue does not set, reserved ones and the daemon's fields, stays zero.
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof(got)), 0);
    }
    RuleEventInfo none;
    EXPECT_FALSE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&none));

    EXPECT_TRUE(m_logger.has(5, "netfilter Mark - 65793"));
    EXPECT_TRUE(m_logger.has(
        5, "Received packet had a mark of 999, which is not part of an existing rule. Ignoring this packet"));
    EXPECT_EQ(m_logger.count(2), 0u);
}

TEST_F(SFBlockEventQueueTest, FullBufferDropsWithoutLookupAndRecordsAgainAfterARead)
{
    Message m;
    m.queue = kBlockEventQueueNumber;
    m.mark = 5;
    m.payload = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));
    for (size_t i = 0; i < SFBlockEventQueue::kMaxEntries; ++i)
        handle(m);
    const size_t linesWhenFull = m_logger.lines().size();

    m.payload = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4445, 23));
    handle(m);
    EXPECT_EQ(m_verdicts.verdicts.size(), SFBlockEventQueue::kMaxEntries + 1);
    EXPECT_FALSE(m_verdicts.verdicts.back().accept);
    EXPECT_EQ(m_asked.size(), SFBlockEventQueue::kMaxEntries);
    EXPECT_EQ(m_logger.lines().size(), linesWhenFull);

    RuleEventInfo e;
    ASSERT_TRUE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e));
    handle(m);
    size_t count = 0;
    while (SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e))
        ++count;
    EXPECT_EQ(count, SFBlockEventQueue::kMaxEntries);
    EXPECT_EQ(e.sourcePort, 4445);

    m_verdicts.failing = true;
    handle(m);
    EXPECT_TRUE(m_logger.has(2, "Error in sending block verdict to netlink queue socket"));
}

TEST_F(SFBlockEventQueueTest, RecordsOutliveTheInstanceUntilClearedAndStopWithoutARunIsHarmless)
{
    TestSupport::FakeConfigController config;
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, config);
    EXPECT_TRUE(queue->stopBlockEventQueue());
    EXPECT_TRUE(m_logger.has(6, "netlink queue socket is not open"));
    EXPECT_EQ(m_logger.lines().size(), 1u);

    Message m;
    m.mark = 5;
    m.payload = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));
    handle(m);
    SFBlockEventQueueWrapper::releaseInstance();
    SFBlockEventQueueWrapper::getInstance(m_logger, config);
    RuleEventInfo e{};
    ASSERT_TRUE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e));
    EXPECT_EQ(e.destinationPort, 23);

    handle(m);
    SFBlockEventQueueWrapper::releaseInstance();
    SFBlockEventQueueWrapper::clearBlockEventQueue();
    EXPECT_FALSE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e));
}
