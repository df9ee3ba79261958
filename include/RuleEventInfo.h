#pragma once

// One reported block event. The block-event queue fills the packet's side (rule, addresses,
// ports or ICMP type, direction, time), the daemon adds the rule's name, event id and severity,
// and the event adaptor reads it; the three are built separately and copy the record by value,
// so its layout is fixed and checked below. Every byte nobody sets stays zero.

#include <cstddef>
#include <cstdint>

#include "SFTypes.h"

namespace StatefulFirewall {

struct RuleEventInfo {
    KGUID ruleId;                 // the rule whose netfilter mark the packet carried
    char ruleName[104];           // NUL-terminated, at most 103 characters
    int EventID;                  // 18001 for block events
    int action;                   // an SFwActionType: always block (2) here
    int EventSeverity;            // 2 for block events
    uint16_t sourcePort;          // host byte order, TCP and UDP only
    uint16_t destinationPort;     // host byte order, TCP and UDP only
    uint8_t reserved1[8];
    uint32_t sourceAddress;       // network byte order, as in the IP header
    uint8_t reserved2[20];
    uint32_t destinationAddress;  // network byte order, as in the IP header
    uint8_t reserved3[12];
    int direction;                // an SFwDirection: 1 inbound (queued at LOCAL_IN), else 2
    uint8_t protocol;             // the IP protocol number
    uint8_t reserved4;
    uint8_t icmpType;             // ICMP (protocol 1) only
    uint8_t reserved5[9];
    int64_t time;                 // seconds since the epoch when the record was made
};

static_assert(sizeof(RuleEventInfo) == 216);
static_assert(offsetof(RuleEventInfo, ruleId) == 0);
static_assert(offsetof(RuleEventInfo, ruleName) == 24);
static_assert(offsetof(RuleEventInfo, EventID) == 128);
static_assert(offsetof(RuleEventInfo, action) == 132);
static_assert(offsetof(RuleEventInfo, EventSeverity) == 136);
static_assert(offsetof(RuleEventInfo, sourcePort) == 140);
static_assert(offsetof(RuleEventInfo, destinationPort) == 142);
static_assert(offsetof(RuleEventInfo, reserved1) == 144);
static_assert(offsetof(RuleEventInfo, sourceAddress) == 152);
static_assert(offsetof(RuleEventInfo, reserved2) == 156);
static_assert(offsetof(RuleEventInfo, destinationAddress) == 176);
static_assert(offsetof(RuleEventInfo, reserved3) == 180);
static_assert(offsetof(RuleEventInfo, direction) == 192);
static_assert(offsetof(RuleEventInfo, protocol) == 196);
static_assert(offsetof(RuleEventInfo, reserved4) == 197);
static_assert(offsetof(RuleEventInfo, icmpType) == 198);
static_assert(offsetof(RuleEventInfo, reserved5) == 199);
static_assert(offsetof(RuleEventInfo, time) == 208);

} // namespace StatefulFirewall
