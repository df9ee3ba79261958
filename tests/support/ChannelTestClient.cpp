#include "ChannelTestClient.h"

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace TestSupport {

using Clock = std::chrono::steady_clock;

ChannelTestClient::ChannelTestClient(const std::string& socketPath)
{
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
        throw std::runtime_error("socket path too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int result = 0;
    do {
        result = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const std::string reason = std::strerror(errno);
        ::close(m_fd);
        throw std::runtime_error("cannot connect to " + socketPath + ": " + reason);
    }
}

ChannelTestClient::~ChannelTestClient()
{
    ::close(m_fd);
}

bool ChannelTestClient::sendBytes(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ChannelTestClient::reserveSendBuffer(int bytes)
{
    // The forcing variant passes the system-wide ceiling on send buffers.
    return ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof(bytes)) == 0;
}

long ChannelTestClient::unreadByBroker() const
{
    int queued = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0)
        throw std::runtime_error(std::string("SIOCOUTQ: ") + std::strerror(errno));
    return queued;
}

std::optional<ZAV::Frame> ChannelTestClient::receive(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ZAV::Frame frame;
        if (m_decoder.next(frame))
            return frame;
        if (m_closed)
            return std::nullopt;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[64 * 1024];
        ssize_t got = 0;
        do {
            got = ::read(m_fd, buffer, sizeof(buffer));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            m_closed = true;
            continue; // frames already buffered are still returned
        }
        m_decoder.feed(buffer, static_cast<size_t>(got));
    }
}

std::optional<ZAV::ResponseFrame> ChannelTestClient::receiveResponse(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto frame = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!frame)
            return std::nullopt;
        if (auto* response = std::get_if<ZAV::ResponseFrame>(&*frame))
            return std::move(*response);
    }
}

bool ChannelTestClient::waitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!m_closed && Clock::now() < deadline)
        receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    return m_closed;
}

int ChannelTestClient::registerAs(int32_t fmId, std::chrono::milliseconds timeout)
{
    send(ZAV::RegisterFrame{fmId, static_cast<int32_t>(::getpid()), ZAV::kRegisterClientKind});
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto frame = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!frame)
            return -1;
        if (auto* ack = std::get_if<ZAV::RegAckFrame>(&*frame))
            return ack->status;
    }
}

std::optional<ZAV::ResponseFrame> ChannelTestClient::call(const ZAV::RequestFrame& request,
                                                          std::chrono::milliseconds timeout)
{
    send(request);
    return receiveResponse(timeout);
}

void ChannelTestClient::shutdown()
{
    ::shutdown(m_fd, SHUT_RDWR);
}

ZAV::RequestFrame makeRequest(int32_t commandId, int32_t destFmId, int32_t cookie, int32_t dataKind,
                              const std::string& data)
{
    ZAV::RequestFrame request;
    request.record.commandId = commandId;
    request.record.destFmId = destFmId;
    request.record.cookie = cookie;
    request.record.dataKind = dataKind;
    request.record.flags = dataKind == ZAV::kDataKindNarrow ? ZAV::kUtf8DataPresentFlag : 0;
    request.record.dataSize = static_cast<int32_t>(data.size());
    request.data = data;
    return request;
}

} // namespace TestSupport
