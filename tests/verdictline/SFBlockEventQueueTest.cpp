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
#include <iterator>
#include <map>
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

    void handle(const Message& m) { SFBlockEventQueue::queueHandler(header(craft(m)), m_verdicts, m_logger, m_lookup); }

    std::vector<uint16_t> m_asked;
    SFBlockEventQueue::MarkLookup m_lookup = [this](uint16_t mark, KGUID* out) {
        m_asked.push_back(mark);
        const std::map<uint16_t, KGUID> marks{{5, rule(5)}, {257, rule(1)}};
        const auto found = marks.find(mark);
        if (found != marks.end())
            *out = found->second;
        return found != marks.end();
    };
    TestSupport::RecordingLogger m_logger;
    RecordingVerdicts m_verdicts;
};

} // namespace

TEST_F(SFBlockEventQueueTest, EveryNamedPacketIsDroppedAndThoseOfKnownRulesAreRecorded)
{
    struct Case {
        std::optional<uint32_t> mark;
        uint8_t hook;
        std::optional<Bytes> payload;
        bool recorded;
        uint8_t ruleTag, protocol;
        uint16_t sourcePort, destinationPort;
        uint8_t icmpType;
    };
    const Bytes tcp = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));
    const Case cases[] = {
        {5, NF_INET_LOCAL_IN, tcp, true, 5, 6, 4444, 23, 0},
        {5, NF_INET_LOCAL_IN, ipv4(1, "203.0.113.9", "10.0.0.5", {8, 0, 1, 2}), true, 5, 1, 0, 0, 8},
        {5, NF_INET_LOCAL_IN, ipv4(47, "203.0.113.9", "10.0.0.5", ports(1, 2)), true, 5, 47, 0, 0, 0},
        {5, NF_INET_LOCAL_OUT, ipv4(17, "203.0.113.9", "10.0.0.5", ports(5353, 53)), true, 5, 17, 5353, 53, 0},
        {5, NF_INET_LOCAL_IN, ipv4(6, "203.0.113.9", "10.0.0.5", {0x11, 0x5c}), true, 5, 6, 0, 0, 0},
        {5, NF_INET_LOCAL_IN, ipv4(6, "203.0.113.9", "10.0.0.5", ports(80, 81), 6), true, 5, 6, 80, 81, 0},
        {0x10101, NF_INET_LOCAL_IN, tcp, true, 1, 6, 4444, 23, 0}, // bits above the low 16 ignored
        {999, NF_INET_LOCAL_IN, tcp, false, 0, 0, 0, 0, 0},
        {std::nullopt, NF_INET_LOCAL_IN, tcp, false, 0, 0, 0, 0, 0},
        {5, NF_INET_LOCAL_IN, std::nullopt, false, 0, 0, 0, 0, 0},
        {5, NF_INET_LOCAL_IN, cut(tcp, 19), false, 0, 0, 0, 0, 0},
    };
    const time_t before = wallSeconds();
    std::vector<RecordingVerdicts::Verdict> expectedVerdicts;
    for (uint32_t id = 0; id < std::size(cases); ++id) {
        Message m;
        m.packetId = id;
        m.queue = kBlockEventQueueNumber;
        m.mark = cases[id].mark;
        m.hook = cases[id].hook;
        m.payload = cases[id].payload;
        handle(m);
        expectedVerdicts.push_back({kBlockEventQueueNumber, id, false});
    }
    const time_t after = wallSeconds();
    EXPECT_EQ(m_verdicts.verdicts, expectedVerdicts);
    // The lookup key is the mark's low 16 bits; a packet without a mark is not looked up.
    EXPECT_EQ(m_asked, (std::vector<uint16_t>{5, 5, 5, 5, 5, 5, 257, 999, 5, 5}));

    for (const Case& c : cases) {
        if (!c.recorded)
            continue;
        RuleEventInfo got;
        ASSERT_TRUE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&got));
        EXPECT_GE(got.time, before);
        EXPECT_LE(got.time, after);
        RuleEventInfo want{};
        want.ruleId = rule(c.ruleTag);
        want.action = FW_ACTION_BLOCK_PACKET;
        want.sourcePort = c.sourcePort;
        want.destinationPort = c.destinationPort;
        want.sourceAddress = address("203.0.113.9");
        want.destinationAddress = address("10.0.0.5");
        want.direction = c.hook == NF_INET_LOCAL_IN ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND;
        want.protocol = c.protocol;
        want.icmpType = c.icmpType;
        want.time = got.time;
        // Every byte the queue does not set, reserved ones and the daemon's fields, stays zero.
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0) << "protocol " << int(c.protocol);
    }
    RuleEventInfo none;
    EXPECT_FALSE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&none));
    EXPECT_TRUE(m_logger.has(5, "netfilter Mark - 65793"));
    EXPECT_TRUE(m_logger.has(
        5, "Received packet had a mark of 999, which is not part of an existing rule. Ignoring this packet"));
    EXPECT_EQ(m_logger.count(2), 0u);
}

TEST_F(SFBlockEventQueueTest, FullBufferDropsUnrecordedAndTheBufferOutlivesTheInstanceUntilCleared)
{
    TestSupport::FakeConfigController config;
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, config);
    Message m;
    m.mark = 5;
    m.payload = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));
    for (size_t i = 0; i < SFBlockEventQueue::kMaxEntries; ++i)
        handle(m);
    const size_t linesWhenFull = m_logger.lines().size();
    m.payload = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4445, 23));
    handle(m);
    EXPECT_EQ(m_verdicts.verdicts.size(), SFBlockEventQueue::kMaxEntries + 1);
    EXPECT_FALSE(m_verdicts.verdicts.back().accept);
    EXPECT_EQ(m_asked.size(), SFBlockEventQueue::kMaxEntries) << "a full buffer asks for no rule";
    EXPECT_EQ(m_logger.lines().size(), linesWhenFull) << "and logs nothing";

    // Stopping with no run only says so; releasing keeps the records.
    EXPECT_TRUE(queue->stopBlockEventQueue());
    EXPECT_TRUE(m_logger.has(6, "netlink queue socket is not open"));
    SFBlockEventQueueWrapper::releaseInstance();
    RuleEventInfo e;
    ASSERT_TRUE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e));
    handle(m);
    size_t count = 0;
    while (SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e))
        ++count;
    EXPECT_EQ(count, SFBlockEventQueue::kMaxEntries);
    EXPECT_EQ(e.sourcePort, 4445);

    handle(m);
    SFBlockEventQueueWrapper::clearBlockEventQueue();
    EXPECT_FALSE(SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&e));
    m_verdicts.failing = true;
    handle(m);
    EXPECT_TRUE(m_logger.has(2, "Error in sending block verdict to netlink queue socket"));
}
