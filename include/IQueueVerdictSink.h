#pragma once

// Where a netfilter-queue reader sends its verdicts. Every packet the kernel queues to user space
// waits there until it gets one, so a reader answers each packet it can name, also when it
// records nothing. The queue's socket implements this; tests hand in a sink that records the
// verdicts. Called on the reader's thread only.

#include <cstdint>

namespace StatefulFirewall {

class IQueueVerdictSink {
public:
    virtual ~IQueueVerdictSink() = default;

    // Let the packet go on; false when the verdict could not be sent.
    virtual bool acceptPacket(uint16_t queueNumber, uint32_t packetId) = 0;
    // Discard the packet; false when the verdict could not be sent.
    virtual bool dropPacket(uint16_t queueNumber, uint32_t packetId) = 0;
};

} // namespace StatefulFirewall
