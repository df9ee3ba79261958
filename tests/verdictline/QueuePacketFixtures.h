#pragma once

// Packet messages as the kernel sends them on a netfilter queue, built with libmnl, and a
// verdict sink that records what a reader answers. Shared by the parser and the queue tests.

#include "IQueueVerdictSink.h"
#include "SFAdaptiveQueueEntry.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <sys/time.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace QueueFixtures {

using Bytes = std::vector<unsigned char>;

// An IPv4 packet: a 20-byte header (or ihl words) followed by the transport bytes given.
inline Bytes ipv4(uint8_t protocol, const char* source, const char* destination, const Bytes& transport,
                  uint8_t ihl = 5, uint8_t version = 4)
{
    Bytes packet(static_cast<size_t>(ihl) * 4 < 20 ? 20 : static_cast<size_t>(ihl) * 4, 0);
    packet[0] = static_cast<unsigned char>((version << 4) | ihl);
    packet[9] = protocol;
    inet_pton(AF_INET, source, &packet[12]);
    inet_pton(AF_INET, destination, &packet[16]);
    packet.insert(packet.end(), transport.begin(), transport.end());
    return packet;
}

inline Bytes ports(uint16_t source, uint16_t destination)
{
    return {static_cast<unsigned char>(source >> 8), static_cast<unsigned char>(source),
            static_cast<unsigned char>(destination >> 8), static_cast<unsigned char>(destination)};
}

// The first length bytes of a packet, as a packet cut short.
inline Bytes cut(Bytes bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

struct Message {
    std::optional<uint32_t> packetId = 1;
    uint8_t hook = NF_INET_LOCAL_IN;
    std::optional<uint32_t> mark;
    std::optional<Bytes> payload;
    uint16_t queue = 1;
};

// The message as the kernel sends it, copied into a heap block of exactly its length so that
// the sanitizer flags any read past it.
inline std::vector<char> craft(const Message& m)
{
    alignas(nlmsghdr) char buffer[0x1000] = {};
    nlmsghdr* nlh = mnl_nlmsg_put_header(buffer);
    nlh->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
    auto* nfg = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
    nfg->nfgen_family = AF_INET;
    nfg->res_id = htons(m.queue);
    if (m.packetId) {
        nfqnl_msg_packet_hdr hdr{};
        hdr.packet_id = htonl(*m.packetId);
        hdr.hw_protocol = htons(0x0800);
        hdr.hook = m.hook;
        mnl_attr_put(nlh, NFQA_PACKET_HDR, sizeof(hdr), &hdr);
    }
    if (m.mark) {
        mnl_attr_put_u32(nlh, NFQA_MARK, htonl(*m.mark));
    }
    if (m.payload) {
        mnl_attr_put(nlh, NFQA_PAYLOAD, m.payload->size(), m.payload->data());
    }
    return std::vector<char>(buffer, buffer + nlh->nlmsg_len);
}

inline nlmsghdr* header(std::vector<char>& bytes)
{
    return reinterpret_cast<nlmsghdr*>(bytes.data());
}

inline const nlmsghdr* header(const std::vector<char>& bytes)
{
    return reinterpret_cast<const nlmsghdr*>(bytes.data());
}

inline uint32_t address(const char* text)
{
    uint32_t value = 0;
    inet_pton(AF_INET, text, &value);
    return value;
}

// A learned connection as "protocol source:port destination:port incoming".
inline std::string describe(const StatefulFirewall::SFAdaptiveQueueEntry& e)
{
    return std::to_string(e.protocol) + " " + e.sourceIp + ":" + std::to_string(e.sourcePort) + " " + e.destinationIp +
           ":" + std::to_string(e.destinationPort) + " " + std::to_string(e.incoming);
}

// Records every verdict; answers false while failing is set.
class RecordingVerdicts : public StatefulFirewall::IQueueVerdictSink {
public:
    struct Verdict {
        uint16_t queue;
        uint32_t packetId;
        bool accept;
        bool operator==(const Verdict& o) const
        {
            return queue == o.queue && packetId == o.packetId && accept == o.accept;
        }
    };

    bool acceptPacket(uint16_t queue, uint32_t packetId) override
    {
        verdicts.push_back({queue, packetId, true});
        return !failing;
    }
    bool dropPacket(uint16_t queue, uint32_t packetId) override
    {
        verdicts.push_back({queue, packetId, false});
        return !failing;
    }

    std::vector<Verdict> verdicts;
    bool failing = false;
};

// Seconds on the clock block events are stamped with (gettimeofday): time() reads a coarser clock
// that can still show the previous second when gettimeofday() already shows the next.
inline time_t wallSeconds()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

} // namespace QueueFixtures
