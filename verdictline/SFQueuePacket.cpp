#include "SFQueuePacket.h"

#include "SFNetlinkLength.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace StatefulFirewall {

namespace {

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr size_t kMinIpHeader = 20;

// Attribute table filled by mnl_attr_parse; indexed by type, absent entries null.
struct AttributeTable {
    const nlattr* entries[NFQA_MAX + 1] = {};
};

int storeAttribute(const nlattr* attr, void* data)
{
    auto* table = static_cast<AttributeTable*>(data);
    // Types this reader does not know (newer kernels add some) are skipped, not refused.
    if (mnl_attr_type_valid(attr, NFQA_MAX) < 0) {
        return MNL_CB_OK;
    }
    const uint16_t type = mnl_attr_get_type(attr);
    switch (type) {
    case NFQA_PACKET_HDR:
        if (mnl_attr_validate2(attr, MNL_TYPE_UNSPEC, sizeof(nfqnl_msg_packet_hdr)) < 0) {
            return MNL_CB_OK; // left absent; parse() reports it
        }
        break;
    case NFQA_MARK:
        if (mnl_attr_validate(attr, MNL_TYPE_U32) < 0) {
            return MNL_CB_OK;
        }
        break;
    default:
        break;
    }
    table->entries[type] = attr;
    return MNL_CB_OK;
}

// A checked view of an IPv4 header inside the payload.
struct Ipv4View {
    const unsigned char* bytes = nullptr;
    size_t length = 0;
    size_t headerLength = 0;

    uint8_t protocol() const { return bytes[9]; }
    const unsigned char* source() const { return bytes + 12; }
    const unsigned char* destination() const { return bytes + 16; }
    size_t transportLength() const { return length - headerLength; }
    const unsigned char* transport() const { return bytes + headerLength; }
};

bool viewIpv4(const unsigned char* payload, size_t length, Ipv4View& view)
{
    if (payload == nullptr || length < kMinIpHeader) {
        return false;
    }
    const unsigned version = payload[0] >> 4;
    const size_t headerLength = static_cast<size_t>(payload[0] & 0x0F) * 4;
    if (version != 4 || headerLength < kMinIpHeader || headerLength > length) {
        return false;
    }
    view.bytes = payload;
    view.length = length;
    view.headerLength = headerLength;
    return true;
}

uint16_t readBigEndian16(const unsigned char* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void addressText(const unsigned char* address, char (&out)[16])
{
    in_addr in{};
    std::memcpy(&in.s_addr, address, sizeof(in.s_addr));
    // A dotted quad needs at most 16 bytes with its NUL, so this cannot fail.
    inet_ntop(AF_INET, &in, out, sizeof(out));
}

} // namespace

SFQueuePacket::ParseResult SFQueuePacket::parse(const void* buffer, size_t length)
{
    *this = SFQueuePacket();
    const auto* nlh = static_cast<const nlmsghdr*>(buffer);
    if (!messageFits(buffer, length)) {
        return ParseResult::Truncated;
    }
    if (nlh->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET)) {
        return ParseResult::NotAPacket;
    }
    if (nlh->nlmsg_len < MNL_NLMSG_HDRLEN + MNL_ALIGN(sizeof(nfgenmsg))) {
        return ParseResult::Truncated;
    }
    const auto* nfg = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(nlh));

    // The walk is bounded by nlmsg_len itself (checked against length by messageFits) and
    // stops at the first attribute with a bad length; what came before it is kept.
    // mnl_attr_parse would walk to the aligned length instead, so an attribute could end up to
    // three bytes past a message whose length is not a multiple of four, and past the buffer.
    constexpr size_t kAttributesOffset = MNL_NLMSG_HDRLEN + MNL_ALIGN(sizeof(nfgenmsg));
    AttributeTable table;
    mnl_attr_parse_payload(static_cast<const char*>(buffer) + kAttributesOffset,
                           nlh->nlmsg_len - kAttributesOffset, storeAttribute, &table);

    const nlattr* packetHeader = table.entries[NFQA_PACKET_HDR];
    if (packetHeader == nullptr) {
        return ParseResult::BadPacketHeader;
    }
    nfqnl_msg_packet_hdr header{};
    std::memcpy(&header, mnl_attr_get_payload(packetHeader), sizeof(header));
    m_packetId = ntohl(header.packet_id);
    m_hook = header.hook;
    m_queueNumber = ntohs(nfg->res_id);

    if (const nlattr* mark = table.entries[NFQA_MARK]) {
        m_hasMark = true;
        m_mark = ntohl(mnl_attr_get_u32(mark));
    }
    if (const nlattr* payload = table.entries[NFQA_PAYLOAD]) {
        m_payload = static_cast<const unsigned char*>(mnl_attr_get_payload(payload));
        m_payloadLength = mnl_attr_get_payload_len(payload);
    }
    return ParseResult::Ok;
}

bool SFQueuePacket::toAdaptiveEntry(SFAdaptiveQueueEntry& out) const
{
    Ipv4View ip;
    if (!viewIpv4(m_payload, m_payloadLength, ip)) {
        return false;
    }
    if (ip.protocol() != kProtocolTcp && ip.protocol() != kProtocolUdp) {
        return false;
    }
    if (ip.transportLength() < 4) {
        return false;
    }
    // The queued packet is the connection's first reply, so its destination is the initiator.
    SFAdaptiveQueueEntry entry{};
    entry.protocol = ip.protocol();
    addressText(ip.destination(), entry.sourceIp);
    entry.sourcePort = readBigEndian16(ip.transport() + 2);
    addressText(ip.source(), entry.destinationIp);
    entry.destinationPort = readBigEndian16(ip.transport());
    // A reply arriving here answers a connection this host opened; one leaving answers a
    // connection the remote side opened.
    entry.incoming = m_hook != NF_INET_LOCAL_IN;
    out = entry;
    return true;
}

bool SFQueuePacket::toBlockEvent(RuleEventInfo& out) const
{
    Ipv4View ip;
    if (!m_hasMark || !viewIpv4(m_payload, m_payloadLength, ip)) {
        return false;
    }
    RuleEventInfo event{};
    event.action = FW_ACTION_BLOCK_PACKET;
    event.direction = m_hook == NF_INET_LOCAL_IN ? FW_DIRECTION_INBOUND : FW_DIRECTION_OUTBOUND;
    event.protocol = ip.protocol();
    std::memcpy(&event.sourceAddress, ip.source(), sizeof(event.sourceAddress));
    std::memcpy(&event.destinationAddress, ip.destination(), sizeof(event.destinationAddress));
    if ((ip.protocol() == kProtocolTcp || ip.protocol() == kProtocolUdp) && ip.transportLength() >= 4) {
        event.sourcePort = readBigEndian16(ip.transport());
        event.destinationPort = readBigEndian16(ip.transport() + 2);
    } else if (ip.protocol() == kProtocolIcmp && ip.transportLength() >= 1) {
        event.icmpType = ip.transport()[0];
    }
    out = event;
    return true;
}

bool SFQueuePacket::messageFits(const void* buffer, size_t length)
{
    return netlinkMessageFits(buffer, length);
}

size_t SFQueuePacket::wholeMessagesLength(const void* buffer, size_t length)
{
    return wholeNetlinkMessagesLength(buffer, length);
}

bool SFQueuePacket::parseAck(const void* buffer, size_t length, uint32_t& sequence, int& error)
{
    const auto* nlh = static_cast<const nlmsghdr*>(buffer);
    if (!messageFits(buffer, length)) {
        return false;
    }
    if (nlh->nlmsg_type != NLMSG_ERROR || nlh->nlmsg_len < mnl_nlmsg_size(sizeof(nlmsgerr))) {
        return false;
    }
    const auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(nlh));
    sequence = nlh->nlmsg_seq;
    // The kernel reports a refusal as a negative errno. Negated in 64 bits, since -INT_MIN does
    // not fit an int; a magnitude past INT_MAX is no errno, but still a refusal.
    const int64_t code = err->error;
    error = static_cast<int>(std::min<int64_t>(code < 0 ? -code : code, INT_MAX));
    return true;
}

} // namespace StatefulFirewall
