#pragma once

// One run of a netfilter-queue reader: the nfnetlink_queue socket bound to one queue, the
// eventfd that wakes its receive loop, the stop flag, the receive buffer and the packet handler.
// Both queues use it; they differ only in their handler, which decides the verdict and what to
// record.
//
// Ownership: held by shared_ptr. The thread that runs the loop holds a reference for the whole
// run and SFQueueRunner lends one to a stopping thread while it stops; whoever drops the last
// closes the socket, normally the loop's thread as it leaves. So a stop can never close the
// socket under a loop that still reads it, and the loop never needs the queue object, which the
// daemon may release before the loop has ended. The logger is the daemon's and outlives runs.
//
// Threads: openNetfilterSocket, receiveLoop, the handler, the verdicts and the receiver run on
// the run's thread. stop may be called from any thread once the run is shared; it only reads the
// socket handle (set before sharing), sends one request and sets the flag and the eventfd.

#include "IQueueVerdictSink.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class INetlinkReceiver;
class SFQueuePacket;

class SFNetfilterSocket : public IQueueVerdictSink {
public:
    // Called for every packet message, with the socket as the place to send its verdict.
    using PacketHandler = std::function<void(const nlmsghdr* message, IQueueVerdictSink& verdicts)>;

    // queueComponent names the queue in the loop's log lines. With reportClose, the close of a
    // socket that was opened is logged ("Successfully closed Netlink socket"). A receiver, when
    // given, receives in place of libmnl; it is the caller's and outlives the socket.
    SFNetfilterSocket(ZAV::ILogger& logger, std::string queueComponent, PacketHandler handler,
                      bool reportClose, INetlinkReceiver* receiver = nullptr);
    ~SFNetfilterSocket() override;
    SFNetfilterSocket(const SFNetfilterSocket&) = delete;
    SFNetfilterSocket& operator=(const SFNetfilterSocket&) = delete;

    // Opens the socket and binds it to the queue, copying whole packets; every configuration
    // request waits for the kernel's acknowledgement. portId 0 lets the kernel choose any port id
    // but the process id, which an earlier run may have had. False, logged, with the socket
    // closed again, when a step fails. Packets that arrive while it waits go to the handler.
    // Call once, before the run is shared.
    bool openNetfilterSocket(uint16_t queueNumber, unsigned portId);

    // Receives and handles packets until stop is called or the socket fails. A malformed
    // message or an interrupted or overrun receive is skipped, never the end of the loop.
    void receiveLoop();

    // Ends the run from any thread: unbinds the queue, then wakes the loop, which closes the
    // socket as it leaves. False when the unbind could not be sent; the run ends all the same.
    bool stop();

    bool acceptPacket(uint16_t queueNumber, uint32_t packetId) override;
    bool dropPacket(uint16_t queueNumber, uint32_t packetId) override;

    // Parses one packet message for a handler. A message that cannot be parsed is logged under
    // component and yields false; the packet then cannot be named, so it gets no verdict.
    static bool parseQueuedPacket(const nlmsghdr* message, SFQueuePacket& packet, ZAV::ILogger& logger,
                                  const std::string& component);

private:
    // Overrun: the kernel dropped messages for want of room in the receive buffer.
    enum class Received { Data, Stopped, Nothing, Overrun, Error };

    // One try at the socket and the queue binding: 0, ENOBUFS when an overrun may have taken
    // the bind's acknowledgement (logged on the last try only), or the error of the step that
    // failed, logged. The socket is left for the caller to close.
    int openAndBind(uint16_t queueNumber, unsigned portId, bool lastAttempt);
    // Opens m_socket and binds it to portId: 0 or the error, logged.
    int openSocket(unsigned portId);
    // Sends a configuration request and waits for its acknowledgement: 0 or the error.
    int configure(const std::vector<char>& request, uint32_t sequence);
    // Logs failure and the error under the queue's number; returns error.
    int logFailure(const char* failure, int error);
    // The kernel's answer to the request with this sequence number: 0, its error, ENOBUFS after
    // an overrun, ECANCELED on a stop, or ETIMEDOUT when the kernel fell silent.
    int awaitAck(uint32_t sequence);
    int send(const std::vector<char>& request);
    Received receive(int timeoutMs, size_t* length, int* error);
    void dispatch(size_t length);
    void closeNetfilterSocket();
    uint32_t nextSequence() { return ++m_sequence; }
    void log(int level, const std::string& component, const std::string& message) const;

    static int dataCallback(const nlmsghdr* message, void* data);
    static int ackCallback(const nlmsghdr* message, void* data);

    ZAV::ILogger& m_logger;
    const std::string m_queueComponent;
    const PacketHandler m_handler;
    const bool m_reportClose;
    INetlinkReceiver* const m_receiver; // null: libmnl receives

    // Set by openNetfilterSocket before the run is shared, then read-only until the destructor.
    mnl_socket* m_socket = nullptr;
    int m_eventFd = -1;
    unsigned m_portId = 0;
    uint16_t m_queueNumber = 0;
    bool m_opened = false;

    std::atomic<uint32_t> m_sequence{0};
    std::atomic<bool> m_stopRequested{false};

    // The run's thread only.
    std::vector<char> m_buffer;
    uint32_t m_awaitedSequence = 0; // 0 while no acknowledgement is awaited
    bool m_ackReceived = false;
    int m_ackError = 0;
};

} // namespace StatefulFirewall
