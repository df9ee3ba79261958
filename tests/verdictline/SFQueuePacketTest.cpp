#include "SFQueuePacket.h"

#include "QueuePacketFixtures.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace QueueFixtures;

namespace {

// Offset of the first attribute, just past the nfgenmsg.
constexpr size_t kFirstAttribute = MNL_NLMSG_HDRLEN + MNL_ALIGN(sizeof(nfgenmsg));

const Bytes kTcpPacket = ipv4(6, "203.0.113.9", "10.0.0.5", ports(4444, 23));

} // namespace

TEST(SFQueuePacketTest, AdaptiveEntryIsWrittenFromTheInitiatorsView)
{
    struct Case {
        std::string name;
        uint8_t hook;
        Bytes payload;
        int protocol;
        const char* sourceIp;
        uint16_t sourcePort;
        const char* destinationIp;
        uint16_t destinationPort;
        bool incoming;
    };
    const Case cases[] = {
        // A DNS answer arriving here: this host asked, so it is the initiator.
        {"udp reply inbound", NF_INET_LOCAL_IN, ipv4(17, "198.51.100.53", "10.0.0.5", ports(53, 40000)),
         17, "10.0.0.5", 40000, "198.51.100.53", 53, false},
        // An ssh reply leaving: the remote side opened the connection.
        {"tcp reply outbound", NF_INET_LOCAL_OUT, ipv4(6, "10.0.0.5", "192.0.2.7", ports(22, 51000)),
         6, "192.0.2.7", 51000, "10.0.0.5", 22, true},
        {"longest address texts", NF_INET_LOCAL_IN, ipv4(6, "255.255.255.255", "192.168.100.200", ports(443, 65535)),
         6, "192.168.100.200", 65535, "255.255.255.255", 443, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Message m;
        m.hook = c.hook;
        m.payload = c.payload;
        std::vector<char> bytes = craft(m);
        SFQueuePacket packet;
        ASSERT_EQ(packet.parse(bytes.data(), bytes.size()), SFQueuePacket::ParseResult::Ok);
        SFAdaptiveQueueEntry entry;
        std::memset(&entry, 0xAA, sizeof(entry));
        ASSERT_TRUE(packet.toAdaptiveEntry(entry));
        EXPECT_EQ(entry.protocol, c.protocol);
        EXPECT_STREQ(entry.sourceIp, c.sourceIp);
        EXPECT_EQ(entry.sourcePort, c.sourcePort);
        EXPECT_STREQ(entry.destinationIp, c.destinationIp);
        EXPECT_EQ(entry.destinationPort, c.destinationPort);
        EXPECT_EQ(entry.incoming != 0, c.incoming);
        // Records are compared and copied whole, so nothing of the old contents may remain.
        EXPECT_EQ(entry.padding[0] | entry.padding[1] | entry.padding[2], 0);
        for (size_t i = std::strlen(c.sourceIp); i < sizeof(entry.sourceIp); ++i) {
            EXPECT_EQ(entry.sourceIp[i], '\0') << "byte " << i;
        }
        for (size_t i = std::strlen(c.destinationIp); i < sizeof(entry.destinationIp); ++i) {
            EXPECT_EQ(entry.destinationIp[i], '\0') << "byte " << i;
        }
    }
}

TEST(SFQueuePacketTest, BlockEventCarriesAddressesProtocolAndPortsOrIcmpType)
{
    struct Case {
        std::string name;
        uint8_t hook;
        Bytes payload;
        uint8_t protocol;
        uint16_t sourcePort;
        uint16_t destinationPort;
        uint8_t icmpType;
        int direction;
    };
    const Case cases[] = {
        {"tcp inbound", NF_INET_LOCAL_IN, kTcpPacket, 6, 4444, 23, 0, FW_DIRECTION_INBOUND},
        {"udp outbound", NF_INET_LOCAL_OUT, ipv4(17, "203.0.113.9", "10.0.0.5", ports(5353, 53)), 17, 5353, 53, 0,
         FW_DIRECTION_OUTBOUND},
        {"icmp echo request", NF_INET_LOCAL_IN, ipv4(1, "203.0.113.9", "10.0.0.5", {8, 0, 0x12, 0x34}), 1, 0, 0, 8,
         FW_DIRECTION_INBOUND},
        {"icmp with only its type byte", NF_INET_LOCAL_IN, ipv4(1, "203.0.113.9", "10.0.0.5", {3}), 1, 0, 0, 3,
         FW_DIRECTION_INBOUND},
        {"gre has neither", NF_INET_LOCAL_IN, ipv4(47, "203.0.113.9", "10.0.0.5", ports(1, 2)), 47, 0, 0, 0,
         FW_DIRECTION_INBOUND},
        {"tcp with 2 transport bytes", NF_INET_LOCAL_IN, ipv4(6, "203.0.113.9", "10.0.0.5", {0x11, 0x5c}), 6, 0, 0, 0,
         FW_DIRECTION_INBOUND},
        {"icmp without transport", NF_INET_LOCAL_IN, ipv4(1, "203.0.113.9", "10.0.0.5", {}), 1, 0, 0, 0,
         FW_DIRECTION_INBOUND},
        {"ports after ip options", NF_INET_LOCAL_IN, ipv4(6, "203.0.113.9", "10.0.0.5", ports(80, 8080), 6), 6, 80,
         8080, 0, FW_DIRECTION_INBOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Message m;
        m.hook = c.hook;
        m.mark = 0x00070005;
        m.queue = 3;
        m.payload = c.payload;
        std::vector<char> bytes = craft(m);
        SFQueuePacket packet;
        ASSERT_EQ(packet.parse(bytes.data(), bytes.size()), SFQueuePacket::ParseResult::Ok);
        EXPECT_EQ(packet.queueNumber(), 3);
        EXPECT_EQ(packet.mark(), 0x00070005u);
        RuleEventInfo event;
        std::memset(&event, 0xAA, sizeof(event));
        ASSERT_TRUE(packet.toBlockEvent(event));

        RuleEventInfo expected{};
        expected.action = FW_ACTION_BLOCK_PACKET;
        expected.sourcePort = c.sourcePort;
        expected.destinationPort = c.destinationPort;
        expected.sourceAddress = address("203.0.113.9");
        expected.destinationAddress = address("10.0.0.5");
        expected.direction = c.direction;
        expected.protocol = c.protocol;
        expected.icmpType = c.icmpType;
        // Every byte the packet does not set, reserved ones included, must be zero.
        EXPECT_EQ(std::memcmp(&event, &expected, sizeof(event)), 0);
    }
}

TEST(SFQueuePacketTest, MalformedMessagesNeverReadPastTheBufferAndKeepThePacketIdWhenSound)
{
    using R = SFQueuePacket::ParseResult;
    struct Case {
        std::string name;
        std::vector<char> bytes;
        R result;
        bool adaptive;  // an adaptive record is made
        bool block;     // a block event is made
        bool mark;
    };
    auto withPayload = [](Bytes payload, std::optional<uint32_t> mark = 9) {
        Message m;
        m.packetId = 77;
        m.mark = mark;
        m.payload = std::move(payload);
        return craft(m);
    };
    // Tampers with the first attribute after the packet header.
    auto badSecondAttribute = [](uint16_t length) {
        Message m;
        m.packetId = 77;
        m.mark = 9;
        m.payload = kTcpPacket;
        std::vector<char> bytes = craft(m);
        auto* mark = reinterpret_cast<nlattr*>(bytes.data() + kFirstAttribute +
                                               MNL_ALIGN(MNL_ATTR_HDRLEN + sizeof(nfqnl_msg_packet_hdr)));
        mark->nla_len = length;
        return bytes;
    };
    auto badFirstAttribute = [](uint16_t length) {
        Message m;
        m.packetId = 77;
        m.payload = kTcpPacket;
        std::vector<char> bytes = craft(m);
        reinterpret_cast<nlattr*>(bytes.data() + kFirstAttribute)->nla_len = length;
        return bytes;
    };
    auto shortMark = [] {
        alignas(nlmsghdr) char buffer[256] = {};
        nlmsghdr* nlh = mnl_nlmsg_put_header(buffer);
        nlh->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
        mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg));
        nfqnl_msg_packet_hdr hdr{};
        hdr.packet_id = htonl(77);
        mnl_attr_put(nlh, NFQA_PACKET_HDR, sizeof(hdr), &hdr);
        mnl_attr_put_u16(nlh, NFQA_MARK, 9);
        mnl_attr_put(nlh, NFQA_PAYLOAD, kTcpPacket.size(), kTcpPacket.data());
        return std::vector<char>(buffer, buffer + nlh->nlmsg_len);
    };
    auto unknownAttribute = [] {
        alignas(nlmsghdr) char buffer[256] = {};
        nlmsghdr* nlh = mnl_nlmsg_put_header(buffer);
        nlh->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
        mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg));
        mnl_attr_put_u32(nlh, 200, 1);
        nfqnl_msg_packet_hdr hdr{};
        hdr.packet_id = htonl(77);
        mnl_attr_put(nlh, NFQA_PACKET_HDR, sizeof(hdr), &hdr);
        mnl_attr_put_u32(nlh, NFQA_MARK, htonl(9));
        mnl_attr_put(nlh, NFQA_PAYLOAD, kTcpPacket.size(), kTcpPacket.data());
        return std::vector<char>(buffer, buffer + nlh->nlmsg_len);
    };
    auto shortPacketHeader = [] {
        alignas(nlmsghdr) char buffer[256] = {};
        nlmsghdr* nlh = mnl_nlmsg_put_header(buffer);
        nlh->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
        mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg));
        mnl_attr_put_u32(nlh, NFQA_PACKET_HDR, htonl(77));
        return std::vector<char>(buffer, buffer + nlh->nlmsg_len);
    };
    auto resized = [](std::vector<char> bytes, size_t length) {
        bytes.resize(length);
        return bytes;
    };
    auto withLength = [](std::vector<char> bytes, uint32_t length) {
        header(bytes)->nlmsg_len = length;
        return bytes;
    };
    // The message's last 3 bytes dropped from the buffer and from nlmsg_len alike, leaving a
    // length that is not a multiple of four in a buffer of exactly that size.
    auto unaligned = [&](const std::vector<char>& bytes) {
        return withLength(resized(bytes, bytes.size() - 3), static_cast<uint32_t>(bytes.size() - 3));
    };
    auto withType = [](std::vector<char> bytes, uint16_t type) {
        header(bytes)->nlmsg_type = type;
        return bytes;
    };
    const std::vector<char> valid = withPayload(kTcpPacket);
    Bytes tcpAndAByte = kTcpPacket;
    tcpAndAByte.push_back(0);

    const Case cases[] = {
        {"valid tcp", valid, R::Ok, true, true, true},
        {"ip header of 12 bytes", withPayload(Bytes(kTcpPacket.begin(), kTcpPacket.begin() + 12)), R::Ok, false,
         false, true},
        {"ihl 4", withPayload(ipv4(6, "203.0.113.9", "10.0.0.5", ports(1, 2), 4)), R::Ok, false, false, true},
        {"ihl past the payload", withPayload([] {
             Bytes p = kTcpPacket; // 24 bytes, ihl 15 says 60
             p[0] = 0x4F;
             return p;
         }()),
         R::Ok, false, false, true},
        {"2 transport bytes", withPayload(ipv4(6, "203.0.113.9", "10.0.0.5", {0, 1})), R::Ok, false, true, true},
        {"icmp on the adaptive queue", withPayload(ipv4(1, "203.0.113.9", "10.0.0.5", {8, 0, 0, 0})), R::Ok, false,
         true, true},
        {"version 6", withPayload(ipv4(6, "203.0.113.9", "10.0.0.5", ports(1, 2), 5, 6)), R::Ok, false, false, true},
        {"empty payload", withPayload({}), R::Ok, false, false, true},
        {"missing payload", [] {
             Message m;
             m.packetId = 77;
             m.mark = 9;
             return craft(m);
         }(),
         R::Ok, false, false, true},
        {"missing mark", withPayload(kTcpPacket, std::nullopt), R::Ok, true, false, false},
        {"mark of 2 bytes", shortMark(), R::Ok, true, false, false},
        {"unknown attribute skipped", unknownAttribute(), R::Ok, true, true, true},
        {"attribute length past the message", badSecondAttribute(0xffff), R::Ok, false, false, false},
        // The payload attribute ends 3 bytes past nlmsg_len, within its aligned length.
        {"last attribute past an unaligned length", unaligned(valid), R::Ok, false, false, true},
        {"last attribute ending at an unaligned length", unaligned(withPayload(tcpAndAByte)), R::Ok, true, true, true},
        {"attribute length below its header", badSecondAttribute(2), R::Ok, false, false, false},
        {"bad length before the packet header", badFirstAttribute(0xfff0), R::BadPacketHeader, false, false, false},
        {"packet header of 4 bytes", shortPacketHeader(), R::BadPacketHeader, false, false, false},
        {"no packet header", [] {
             Message m;
             m.packetId.reset();
             m.mark = 9;
             m.payload = kTcpPacket;
             return craft(m);
         }(),
         R::BadPacketHeader, false, false, false},
        {"shorter than a netlink header", resized(valid, 10), R::Truncated, false, false, false},
        {"empty buffer", std::vector<char>(), R::Truncated, false, false, false},
        {"length claims more than received", resized(valid, valid.size() - 8), R::Truncated, false, false, false},
        {"length below the nfgenmsg", withLength(resized(valid, 18), 18), R::Truncated, false, false, false},
        {"length below the netlink header", withLength(valid, 8), R::Truncated, false, false, false},
        {"another message type", withType(valid, NLMSG_ERROR), R::NotAPacket, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A heap block of exactly the message's size: an overread is an ASan report.
        std::vector<char> bytes(c.bytes);
        SFQueuePacket packet;
        const R result = packet.parse(bytes.empty() ? nullptr : bytes.data(), bytes.size());
        ASSERT_EQ(result, c.result);
        if (result == R::Ok) {
            EXPECT_EQ(packet.packetId(), 77u) << "the verdict needs the id";
        }
        EXPECT_EQ(packet.hasMark(), c.mark);
        SFAdaptiveQueueEntry entry{};
        EXPECT_EQ(packet.toAdaptiveEntry(entry), c.adaptive);
        RuleEventInfo event{};
        EXPECT_EQ(packet.toBlockEvent(event), c.block);
    }
}

TEST(SFQueuePacketTest, ReparsingForgetsThePreviousPacket)
{
    Message m;
    m.packetId = 5;
    m.mark = 9;
    m.payload = kTcpPacket;
    std::vector<char> first = craft(m);
    std::vector<char> second = craft(Message{});
    SFQueuePacket packet;
    ASSERT_EQ(packet.parse(first.data(), first.size()), SFQueuePacket::ParseResult::Ok);
    ASSERT_EQ(packet.parse(second.data(), second.size()), SFQueuePacket::ParseResult::Ok);
    EXPECT_EQ(packet.packetId(), 1u);
    EXPECT_FALSE(packet.hasMark());
    EXPECT_EQ(packet.payload(), nullptr);
    EXPECT_EQ(packet.payloadLength(), 0u);
}

TEST(SFQueuePacketTest, AcknowledgementGivesSequenceAndErrno)
{
    auto ack = [](int error, uint32_t sequence) {
        alignas(nlmsghdr) char buffer[256] = {};
        nlmsghdr* nlh = mnl_nlmsg_put_header(buffer);
        nlh->nlmsg_type = NLMSG_ERROR;
        nlh->nlmsg_seq = sequence;
        auto* err = static_cast<nlmsgerr*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nlmsgerr)));
        err->error = error;
        return std::vector<char>(buffer, buffer + nlh->nlmsg_len);
    };
    struct Case {
        std::string name;
        std::vector<char> bytes;
        bool ok;
        uint32_t sequence;
        int error;
    };
    std::vector<char> truncated = ack(0, 1);
    truncated.resize(MNL_NLMSG_HDRLEN + 4);
    header(truncated)->nlmsg_len = static_cast<uint32_t>(truncated.size());
    std::vector<char> shortHeader = ack(0, 1);
    shortHeader.resize(12);
    std::vector<char> notAnAck = ack(0, 1);
    header(notAnAck)->nlmsg_type = NLMSG_DONE;
    const Case cases[] = {
        {"success", ack(0, 42), true, 42, 0},
        {"refused", ack(-EPERM, 43), true, 43, EPERM},
        {"queue taken", ack(-EBUSY, 44), true, 44, EBUSY},
        {"error of INT_MIN", ack(INT_MIN, 45), true, 45, INT_MAX},
        {"shorter than an error record", truncated, false, 0, 0},
        {"shorter than a netlink header", shortHeader, false, 0, 0},
        {"another message type", notAnAck, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> bytes(c.bytes);
        uint32_t sequence = 0;
        int error = -1;
        ASSERT_EQ(SFQueuePacket::parseAck(bytes.data(), bytes.size(), sequence, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(sequence, c.sequence);
            EXPECT_EQ(error, c.error);
        }
    }
}

// Regression: a stated length of 2^31 or more passed libmnl's check (it compares as a signed
// int) and the attribute walk then read far past the buffer. Every length beyond what was
// received is refused, by the parsers and by the walk over a whole receive buffer.
TEST(SFQueuePacketTest, StatedLengthsBeyondWhatWasReceivedAreRefused)
{
    Message m;
    m.packetId = 77;
    m.mark = 9;
    m.payload = kTcpPacket;
    const std::vector<char> packet = craft(m);
    const auto size = static_cast<uint32_t>(packet.size());
    for (uint32_t stated : {0x80000000u, 0xFFFFFFFFu, size + 1, 15u, 0u}) {
        SCOPED_TRACE(stated);
        std::vector<char> bytes = packet;
        header(bytes)->nlmsg_len = stated;
        SFQueuePacket parsed;
        EXPECT_EQ(parsed.parse(bytes.data(), bytes.size()), SFQueuePacket::ParseResult::Truncated);
        uint32_t sequence = 0;
        int error = 0;
        header(bytes)->nlmsg_type = NLMSG_ERROR;
        EXPECT_FALSE(SFQueuePacket::parseAck(bytes.data(), bytes.size(), sequence, error));
        EXPECT_EQ(SFQueuePacket::wholeMessagesLength(bytes.data(), bytes.size()), 0u);
    }

    // A receive buffer of several messages is walked up to the first that does not fit in
    // what follows it.
    const size_t first = MNL_ALIGN(packet.size());
    auto joined = [&](uint32_t secondLength, size_t trailing) {
        std::vector<char> bytes = packet;
        bytes.resize(first);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        reinterpret_cast<nlmsghdr*>(bytes.data() + first)->nlmsg_len = secondLength;
        bytes.resize(bytes.size() + trailing);
        return bytes;
    };
    const struct {
        const char* what;
        std::vector<char> bytes;
        size_t whole;
    } buffers[] = {
        {"two sound messages", joined(size, 0), first + size},
        {"trailing bytes shorter than a header", joined(size, 8), first + MNL_ALIGN(size)},
        {"second claims 2^31", joined(0x80000000u, 0), first},
        {"second claims one byte more", joined(size + 1, 0), first},
        {"second shorter than its header", joined(8, 0), first},
        {"shorter than a header", std::vector<char>(packet.begin(), packet.begin() + 8), 0},
    };
    for (const auto& b : buffers) {
        SCOPED_TRACE(b.what);
        EXPECT_EQ(SFQueuePacket::wholeMessagesLength(b.bytes.data(), b.bytes.size()), b.whole);
    }
    SFQueuePacket sound;
    EXPECT_EQ(sound.parse(packet.data(), packet.size()), SFQueuePacket::ParseResult::Ok);
}
