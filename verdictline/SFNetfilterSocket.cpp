#include "SFNetfilterSocket.h"

#include "ILogger.h"
#include "INetlinkReceiver.h"
#include "SFQueueMessages.h"
#include "SFQueuePacket.h"

// arpa/inet.h first: linux/netfilter.h pulls in linux/in.h, which clashes with netinet/in.h
// when that comes second.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <exception>
#include <new>
#include <utility>

namespace StatefulFirewall {

namespace {

constexpr char SOCKET_COMPONENT[] = "SFNetfilterSocket";

// Room for one packet copied whole (copy range 0xffff) with its netlink headers and attributes.
const size_t RECEIVE_BUFFER_SIZE = 0xffff + static_cast<size_t>(MNL_SOCKET_BUFFER_SIZE) / 2;
constexpr uint32_t COPY_RANGE = 0xffff;
// The kernel acknowledges a configuration request while handling the send, but the
// acknowledgement waits behind the packets queued before it, which a loaded machine may take
// long to handle: the bound counts from the last message received, so it only ends the wait on a
// kernel that falls silent.
constexpr auto ACK_SILENCE = std::chrono::seconds(2);
// However long packets keep coming, the wait for one acknowledgement ends after this long: the
// queue's start holds up its stop until then.
constexpr auto ACK_LIMIT = std::chrono::seconds(30);
// A queue whose bind acknowledgement may have been lost in an overrun of the receive buffer (a
// packet flood) is opened again on a new socket; the acknowledgement comes right after the bind,
// so an overrun before it takes a flood and a long preemption at once, and three tries are many.
constexpr int OPEN_TRIES = 3;
// The eventfd wakes the loop at once; the timeout only bounds how long a stop whose wake-up
// could not be written takes to be seen.
constexpr int STOP_CHECK_MS = 1000;

std::string errorText(int error)
{
    char buffer[128];
    // The GNU strerror_r, which returns the text (not always in buffer).
    return strerror_r(error, buffer, sizeof(buffer));
}

} // namespace

SFNetfilterSocket::SFNetfilterSocket(ZAV::ILogger& logger, std::string queueComponent, PacketHandler handler,
                                     bool reportClose, INetlinkReceiver* receiver)
    : m_logger(logger), m_queueComponent(std::move(queueComponent)), m_handler(std::move(handler)),
      m_reportClose(reportClose), m_receiver(receiver)
{
}

SFNetfilterSocket::~SFNetfilterSocket()
{
    closeNetfilterSocket();
    if (m_eventFd >= 0)
        close(m_eventFd);
}

void SFNetfilterSocket::log(int level, const std::string& component, const std::string& message) const
{
    m_logger.logMessage(level, component, message);
}

void SFNetfilterSocket::closeNetfilterSocket()
{
    if (m_socket == nullptr)
        return;
    const bool report = m_opened && m_reportClose;
    const int result = mnl_socket_close(m_socket);
    m_socket = nullptr;
    m_opened = false;
    if (result == 0 && report) {
        try {
            log(5, m_queueComponent, "Successfully closed Netlink socket");
        } catch (const std::bad_alloc&) {
            // Called from the destructor: without memory for the line there is nothing to do.
        }
    }
}

bool SFNetfilterSocket::openNetfilterSocket(uint16_t queueNumber, unsigned portId)
{
    m_queueNumber = queueNumber;
    m_eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int error = errno;
    if (m_eventFd < 0) {
        log(2, SOCKET_COMPONENT, "Could not create the wake-up descriptor of the netlink queue reader: " +
                                     errorText(error));
        return false;
    }
    try {
        m_buffer.assign(RECEIVE_BUFFER_SIZE, 0);
    } catch (const std::bad_alloc&) {
        log(2, SOCKET_COMPONENT, "Failed to allocate enough buffer for packet contents from netlink socket");
        return false;
    }
    for (int attempt = 1;; ++attempt) {
        const int outcome = openAndBind(queueNumber, portId, attempt == OPEN_TRIES);
        if (outcome == 0)
            break;
        // Whatever failed, a half-configured queue binding never outlives the attempt. After an
        // overrun whether the queue was bound is unknown; closing the socket unbinds it, and a
        // new socket starts with an empty receive buffer.
        closeNetfilterSocket();
        if (outcome != ENOBUFS || attempt == OPEN_TRIES)
            return false;
    }

    // Only now: while binding, an overrun must be reported (ENOBUFS), since it may have taken
    // the acknowledgement with it. From here on the loop skips overruns anyway, and without the
    // option each one costs a failed receive; its failure is not fatal.
    int one = 1;
    if (mnl_socket_setsockopt(m_socket, NETLINK_NO_ENOBUFS, &one, sizeof(one)) == -1)
        log(2, SOCKET_COMPONENT, "Error in setting NETLINK_NO_ENOBUFS on the netlink socket. Continue anyway");
    m_opened = true;
    return true;
}

int SFNetfilterSocket::openSocket(unsigned portId)
{
    // Non-blocking: the loop and the acknowledgement waits poll first, and a receive that finds
    // nothing after all must not block a stop.
    m_socket = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC | SOCK_NONBLOCK);
    int error = errno;
    if (m_socket == nullptr) {
        log(2, SOCKET_COMPONENT, "Failed to open a socket to netfilter queue as mnl_socket_open returned Null");
        log(2, SOCKET_COMPONENT, "Opening the netlink socket failed: " + errorText(error));
        return error != 0 ? error : EIO;
    }
    if (mnl_socket_bind(m_socket, 0, portId) < 0) {
        error = errno;
        log(2, SOCKET_COMPONENT,
            "Failed to bind to mnl socket of netfilter queue as mnl_socket_bind returned less than zero");
        log(2, SOCKET_COMPONENT, "Binding the netlink socket failed: " + errorText(error));
        return error != 0 ? error : EIO;
    }
    m_portId = mnl_socket_get_portid(m_socket);
    return 0;
}

int SFNetfilterSocket::openAndBind(uint16_t queueNumber, unsigned portId, bool lastAttempt)
{
    int error = openSocket(portId);
    if (error != 0)
        return error;
    // Left to choose, the kernel gives a socket the process id whenever no other netfilter
    // socket of the process holds it, so a run (or a try) would take the port id of the one
    // closed just before. A packet the kernel was queueing while that one closed went to its
    // queue, looked up before the close removed it, but its message is sent to the queue's port
    // id afterwards: to the new socket, whose own queue then refuses the verdict (ENOENT, no
    // such packet; ENODEV before it is bound). While a first socket holds the process id, the
    // kernel picks a fresh id for the second, and no run gets another run's packets.
    if (portId == 0 && m_portId == static_cast<unsigned>(getpid())) {
        mnl_socket* const holder = m_socket;
        error = openSocket(0);
        mnl_socket_close(holder);
        if (error != 0)
            return error;
    }

    uint32_t sequence = nextSequence();
    error = configure(SFQueueMessages::familyUnbind(sequence), sequence);
    if (error != 0)
        return logFailure("Failed to unbind from processing packets for protocol family", error);
    sequence = nextSequence();
    error = configure(SFQueueMessages::familyBind(sequence), sequence);
    if (error != 0)
        return logFailure("Failed to bind for processing packets for protocol family", error);

    // Fail-open keeps the adaptive queue from stalling traffic when learning falls behind; the
    // block-event queue must drop. A kernel without the flag refuses the request before it
    // binds, and still queues without it, so go on.
    sequence = nextSequence();
    error = configure(SFQueueMessages::queueStart(queueNumber, COPY_RANGE, true, sequence), sequence);
    if (error == EOPNOTSUPP) {
        logFailure("Error in setting the fail-open flag of the netfilter queue. Continue anyway", error);
        sequence = nextSequence();
        error = configure(SFQueueMessages::queueStart(queueNumber, COPY_RANGE, false, sequence), sequence);
    }
    if (error == 0 || (error == ENOBUFS && !lastAttempt))
        return error;
    logFailure("Failed to bind to specific netfilter queue numbmer as mnl_socket_sendto returned less than zero",
               error);
    return error;
}

int SFNetfilterSocket::configure(const std::vector<char>& request, uint32_t sequence)
{
    const int error = send(request);
    return error != 0 ? error : awaitAck(sequence);
}

int SFNetfilterSocket::logFailure(const char* failure, int error)
{
    log(2, SOCKET_COMPONENT, failure);
    log(2, SOCKET_COMPONENT, "Queue " + std::to_string(m_queueNumber) + ": " + errorText(error));
    return error;
}

int SFNetfilterSocket::awaitAck(uint32_t sequence)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point limit = Clock::now() + ACK_LIMIT;
    Clock::time_point deadline = Clock::now() + ACK_SILENCE;
    m_awaitedSequence = sequence;
    m_ackReceived = false;
    m_ackError = 0;
    int result = ETIMEDOUT;
    for (;;) {
        // Past the deadline the socket is still looked at once: a thread that was not scheduled
        // for a while finds what came meanwhile.
        const auto remaining = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        size_t length = 0;
        int error = 0;
        const Received received = receive(static_cast<int>(remaining), &length, &error);
        if (received == Received::Data) {
            dispatch(length); // a packet queued before the acknowledgement still gets its verdict
            deadline = std::min(limit, Clock::now() + ACK_SILENCE);
        }
        if (received == Received::Overrun) {
            result = ENOBUFS;
            break;
        }
        if (received == Received::Error) {
            result = error;
            break;
        }
        if (received == Received::Stopped) {
            result = ECANCELED;
            break;
        }
        if (m_ackReceived) {
            result = m_ackError;
            break;
        }
        if ((received == Received::Nothing && remaining == 0) || Clock::now() >= limit)
            break;
    }
    m_awaitedSequence = 0;
    return result;
}

int SFNetfilterSocket::send(const std::vector<char>& request)
{
    // A datagram socket raises no SIGPIPE, so libmnl's plain sendto needs no MSG_NOSIGNAL.
    for (;;) {
        const ssize_t sent = mnl_socket_sendto(m_socket, request.data(), request.size());
        const int error = errno;
        if (sent >= 0)
            return 0;
        if (error != EINTR)
            return error;
    }
}

SFNetfilterSocket::Received SFNetfilterSocket::receive(int timeoutMs, size_t* length, int* error)
{
    pollfd fds[2] = {{mnl_socket_get_fd(m_socket), POLLIN, 0}, {m_eventFd, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    const int pollError = errno;
    if (ready < 0) {
        if (pollError == EINTR)
            return Received::Nothing;
        *error = pollError;
        return Received::Error;
    }
    if (fds[1].revents != 0)
        return Received::Stopped;
    if (fds[0].revents & POLLNVAL) {
        *error = EBADF;
        return Received::Error;
    }
    if (fds[0].revents == 0)
        return Received::Nothing;

    const ssize_t received = m_receiver != nullptr
                                 ? m_receiver->receive(mnl_socket_get_fd(m_socket), m_buffer.data(), m_buffer.size())
                                 : mnl_socket_recvfrom(m_socket, m_buffer.data(), m_buffer.size());
    const int recvError = errno;
    if (received < 0) {
        if (recvError == EINTR || recvError == EAGAIN || recvError == EWOULDBLOCK)
            return Received::Nothing;
        // The kernel had no room for some messages: their packets were let through (fail-open)
        // or dropped by the kernel, none waits for us; an acknowledgement may be among them.
        if (recvError == ENOBUFS)
            return Received::Overrun;
        // A message longer than the buffer was cut (libmnl reports ENOSPC): skipped.
        if (recvError == ENOSPC) {
            log(2, m_queueComponent, "Error in parsing the Netlink message");
            return Received::Nothing;
        }
        *error = recvError;
        return Received::Error;
    }
    *length = static_cast<size_t>(received);
    return received > 0 ? Received::Data : Received::Nothing;
}

void SFNetfilterSocket::dispatch(size_t length)
{
    // libmnl's own walk trusts a stated length of 2^31 or more (see SFQueuePacket::messageFits)
    // and would hand the callbacks a message reaching past the buffer: it walks only the
    // messages that fit, as it stops itself at any other malformed length.
    const size_t whole = SFQueuePacket::wholeMessagesLength(m_buffer.data(), length);
    if (whole < length)
        log(2, m_queueComponent, "Error in parsing the Netlink message");
    if (whole == 0)
        return;
    // Acknowledgements are read here rather than by libmnl's default, which would end the walk
    // at the first one and skip packets behind it.
    mnl_cb_t controls[NLMSG_MIN_TYPE] = {};
    controls[NLMSG_ERROR] = ackCallback;
    if (mnl_cb_run2(m_buffer.data(), whole, 0, m_portId, dataCallback, this, controls, NLMSG_MIN_TYPE) < 0) {
        const int error = errno;
        log(2, m_queueComponent, "Error in callback runqueue handler for netlink messages");
        log(2, m_queueComponent, "The message was skipped: " + errorText(error));
    }
}

int SFNetfilterSocket::dataCallback(const nlmsghdr* message, void* data)
{
    if (data == nullptr)
        return MNL_CB_ERROR;
    auto* self = static_cast<SFNetfilterSocket*>(data);
    // Nothing may unwind through libmnl's C frames.
    try {
        self->m_handler(message, *self);
    } catch (const std::exception& e) {
        self->log(2, self->m_queueComponent, std::string("Handling a queued packet failed: ") + e.what());
    }
    return MNL_CB_OK;
}

int SFNetfilterSocket::ackCallback(const nlmsghdr* message, void* data)
{
    if (data == nullptr)
        return MNL_CB_ERROR;
    auto* self = static_cast<SFNetfilterSocket*>(data);
    uint32_t sequence = 0;
    int error = 0;
    if (!SFQueuePacket::parseAck(message, message->nlmsg_len, sequence, error)) {
        self->log(2, self->m_queueComponent, "Error in parsing the Netlink message");
        return MNL_CB_OK;
    }
    if (self->m_awaitedSequence != 0 && sequence == self->m_awaitedSequence) {
        self->m_ackReceived = true;
        self->m_ackError = error;
    } else if (error != 0 && !self->m_stopRequested.load()) {
        // A refused verdict: the kernel answers failures even unasked.
        self->log(2, self->m_queueComponent,
                  "The kernel refused netlink queue request " + std::to_string(sequence) + ": " + errorText(error));
    }
    return MNL_CB_OK;
}

void SFNetfilterSocket::receiveLoop()
{
    try {
        while (!m_stopRequested.load()) {
            size_t length = 0;
            int error = 0;
            const Received received = receive(STOP_CHECK_MS, &length, &error);
            if (received == Received::Data)
                dispatch(length);
            if (received == Received::Stopped)
                return;
            if (received == Received::Error) {
                // After a stop, a failing receive is the stop's doing, not an error to report.
                if (!m_stopRequested.load()) {
                    log(2, m_queueComponent, "Error in receiving netlink messages from netlink socket");
                    log(2, m_queueComponent, "Receiving failed: " + errorText(error));
                }
                return;
            }
        }
    } catch (const std::exception& e) {
        log(2, m_queueComponent, std::string("The netlink queue receive loop ended on an error: ") + e.what());
    }
}

bool SFNetfilterSocket::stop()
{
    log(5, m_queueComponent, "Closing Netlink socket");
    // Set before the unbind: verdicts the loop sends after it are refused, and those refusals
    // are the stop's doing, not errors to report.
    m_stopRequested.store(true);
    bool unbound = false;
    try {
        const uint32_t sequence = nextSequence();
        const int error = send(SFQueueMessages::queueUnbind(m_queueNumber, sequence));
        unbound = error == 0;
        if (!unbound) {
            log(2, m_queueComponent, "Error in sending unbind program command from queue");
            log(2, m_queueComponent, "Queue " + std::to_string(m_queueNumber) + ": " + errorText(error));
        }
    } catch (const std::bad_alloc&) {
        log(2, m_queueComponent, "Error in sending unbind program command from queue");
    }
    // Woken whether or not the unbind went out: closing the socket unbinds the queue as well.
    const uint64_t one = 1;
    for (;;) {
        const ssize_t written = write(m_eventFd, &one, sizeof(one));
        const int error = errno;
        // EAGAIN: the counter is saturated, so the loop is woken already.
        if (written == static_cast<ssize_t>(sizeof(one)) || (written < 0 && error == EAGAIN))
            break;
        if (written < 0 && error == EINTR)
            continue;
        log(2, m_queueComponent, "Could not wake the netlink queue reader, it stops within a second: " +
                                     errorText(error));
        break;
    }
    return unbound;
}

bool SFNetfilterSocket::acceptPacket(uint16_t queueNumber, uint32_t packetId)
{
    return send(SFQueueMessages::acceptVerdict(queueNumber, packetId, nextSequence())) == 0;
}

bool SFNetfilterSocket::dropPacket(uint16_t queueNumber, uint32_t packetId)
{
    return send(SFQueueMessages::dropVerdict(queueNumber, packetId, nextSequence())) == 0;
}

bool SFNetfilterSocket::parseQueuedPacket(const nlmsghdr* message, SFQueuePacket& packet, ZAV::ILogger& logger,
                                          const std::string& component)
{
    switch (packet.parse(message, message->nlmsg_len)) {
    case SFQueuePacket::ParseResult::Ok:
        return true;
    case SFQueuePacket::ParseResult::BadPacketHeader:
        logger.logMessage(2, component, "Error in parsing the metaheader in the Netlink message");
        return false;
    case SFQueuePacket::ParseResult::Truncated:
    case SFQueuePacket::ParseResult::NotAPacket:
        break;
    }
    logger.logMessage(2, component, "Error in parsing the Netlink message");
    return false;
}

} // namespace StatefulFirewall
