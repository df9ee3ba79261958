#pragma once

// One learned connection, written from the view of the side that opened it. The adaptive queue
// fills it from a reply packet, the daemon copies it by value out of the queue's buffer and
// hands it to the aggregation; the three are built separately, so the layout is fixed and
// checked below. Address texts are dotted quads of at most 15 characters and a NUL; ports are
// in host byte order.

#include <cstddef>

namespace StatefulFirewall {

struct SFAdaptiveQueueEntry {
    int protocol;                // IP protocol number: 6 (TCP) or 17 (UDP)
    char sourceIp[16];           // the initiator's address
    unsigned short sourcePort;   // the initiator's port
    char destinationIp[16];      // the responder's address
    unsigned short destinationPort; // the responder's port: the service the rule will allow
    unsigned char incoming;      // non-zero when the remote side opened the connection
    unsigned char padding[3];    // always zero, so whole records compare and copy cleanly
};

static_assert(sizeof(SFAdaptiveQueueEntry) == 44);
static_assert(offsetof(SFAdaptiveQueueEntry, protocol) == 0);
static_assert(offsetof(SFAdaptiveQueueEntry, sourceIp) == 4);
static_assert(offsetof(SFAdaptiveQueueEntry, sourcePort) == 20);
static_assert(offsetof(SFAdaptiveQueueEntry, destinationIp) == 22);
static_assert(offsetof(SFAdaptiveQueueEntry, destinationPort) == 38);
static_assert(offsetof(SFAdaptiveQueueEntry, incoming) == 40);
static_assert(offsetof(SFAdaptiveQueueEntry, padding) == 41);

} // namespace StatefulFirewall
