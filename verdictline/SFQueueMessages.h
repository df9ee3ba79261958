#pragma once

// The requests the netfilter-queue readers send: binding the IPv4 family and a queue, the copy
// mode, the queue's length and flags, verdicts and the unbind. Each builder returns the bytes of
// one complete netlink message; the socket that sends them lives elsewhere, so these can be
// checked without a socket or privileges. Every configuration request asks the kernel for an
// acknowledgement, so a refused setting is seen rather than discovered by missing packets.
// Verdicts ask for none: one is sent per packet and the loop cannot wait for each.
//
// Stateless; any thread may call.

#include <cstdint>
#include <vector>

namespace StatefulFirewall {

// The adaptive queue learns connections and must never hold traffic up; the block-event queue
// reports packets that its rules drop anyway.
constexpr uint16_t kAdaptiveQueueNumber = 1;
constexpr uint16_t kBlockEventQueueNumber = 3;

class SFQueueMessages {
public:
    // Detach and attach the IPv4 family from and to the queue subsystem. The unbind comes first
    // so that a family left bound by an earlier process is taken over cleanly.
    static std::vector<char> familyUnbind(uint32_t sequence);
    static std::vector<char> familyBind(uint32_t sequence);

    // Attach to and detach from one queue number.
    static std::vector<char> queueBind(uint16_t queueNumber, uint32_t sequence);
    static std::vector<char> queueUnbind(uint16_t queueNumber, uint32_t sequence);

    // Copy whole packets, up to copyRange bytes each.
    static std::vector<char> copyPacket(uint16_t queueNumber, uint32_t copyRange, uint32_t sequence);

    // How many packets the kernel holds for the queue before it applies the queue's overflow rule.
    static std::vector<char> queueMaxLength(uint16_t queueNumber, uint32_t maxLength, uint32_t sequence);

    // Fail-open is set on the adaptive queue only: when learning falls behind, the kernel lets
    // packets through instead of dropping them. Every other queue gets the flag cleared, so the
    // block-event queue never lets a packet pass that its rule drops.
    static std::vector<char> queueFlags(uint16_t queueNumber, uint32_t sequence);

    // queueBind, copyPacket and (withFlags) queueFlags in one request. The kernel checks the
    // flags before it binds, so a refused flag leaves nothing bound; and the one
    // acknowledgement is queued right after the bind, before packets can fill the receive
    // buffer, where a later request's acknowledgement could be lost under a flood.
    static std::vector<char> queueStart(uint16_t queueNumber, uint32_t copyRange, bool withFlags,
                                        uint32_t sequence);

    static std::vector<char> acceptVerdict(uint16_t queueNumber, uint32_t packetId, uint32_t sequence);
    static std::vector<char> dropVerdict(uint16_t queueNumber, uint32_t packetId, uint32_t sequence);
};

} // namespace StatefulFirewall
