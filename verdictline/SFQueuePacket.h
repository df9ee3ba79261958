#pragma once

// One packet as the kernel hands it to a queue reader, and the records made from it. The
// message comes from outside the process: every length and attribute is checked before it is
// read, and a malformed part is reported as absent rather than read through. The packet id is
// kept whenever its header attribute is sound, so the reader can always answer the kernel with
// a verdict even when nothing can be recorded.
//
// The payload is a view into the caller's receive buffer and is valid only as long as that
// buffer is; the reader handles each packet before it receives the next. Plain value type, no
// locking.

#include <cstddef>
#include <cstdint>

#include "RuleEventInfo.h"
#include "SFAdaptiveQueueEntry.h"

namespace StatefulFirewall {

class SFQueuePacket {
public:
    enum class ParseResult {
        Ok,
        Truncated,        // shorter than its netlink header claims, or than the fixed headers
        NotAPacket,       // another message type
        BadPacketHeader,  // no packet header attribute, or one of the wrong size: no verdict possible
    };

    // Parses the one netlink message at the start of buffer. The buffer must be aligned as a
    // netlink receive buffer is (4 bytes).
    ParseResult parse(const void* buffer, size_t length);

    uint32_t packetId() const { return m_packetId; }
    uint16_t queueNumber() const { return m_queueNumber; }
    uint8_t hook() const { return m_hook; }
    bool hasMark() const { return m_hasMark; }
    uint32_t mark() const { return m_mark; }
    const unsigned char* payload() const { return m_payload; }
    size_t payloadLength() const { return m_payloadLength; }

    // The connection this reply packet belongs to, seen from the side that opened it. False,
    // with out untouched, unless the payload is an intact IPv4 TCP or UDP packet with both ports.
    bool toAdaptiveEntry(SFAdaptiveQueueEntry& out) const;

    // The packet's part of a block event: action, direction, addresses, protocol, and ports or
    // ICMP type when the packet is long enough to hold them (else they stay 0). The rule and
    // the time are the caller's. False, with out untouched, without a mark or an intact IPv4
    // header.
    bool toBlockEvent(RuleEventInfo& out) const;

    // Reads an acknowledgement (NLMSG_ERROR). error is 0 for success, else the errno the kernel
    // refused the request with (INT_MAX for a code whose magnitude is larger). False when the
    // message is not a complete acknowledgement.
    static bool parseAck(const void* buffer, size_t length, uint32_t& sequence, int& error);

    // True when a whole netlink message starts at buffer and ends within length bytes: its
    // header fits and its stated length is at least the header and at most length. libmnl's
    // mnl_nlmsg_ok compares the 32-bit length as a signed int, so it lets a length of 2^31 or
    // more through; every reader of received messages checks with this instead.
    static bool messageFits(const void* buffer, size_t length);

    // How many of the first length bytes of buffer hold whole messages, walked as libmnl walks
    // a receive buffer (aligned lengths): up to the first message that does not fit in what
    // follows it, or to the end. 0 when the first message does not fit.
    static size_t wholeMessagesLength(const void* buffer, size_t length);

private:
    uint32_t m_packetId = 0;
    uint16_t m_queueNumber = 0;
    uint8_t m_hook = 0;
    bool m_hasMark = false;
    uint32_t m_mark = 0;
    const unsigned char* m_payload = nullptr;
    size_t m_payloadLength = 0;
};

} // namespace StatefulFirewall
