#include "UnixDomainSocket.h"

#include "ChannelErrors.h"
#include "FMPException.h"
#include "ISocketUtils.h"
#include "SystemInfo.h"

#include <cstring>

namespace ZAV {

namespace {

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace

UnixDomainSocket::UnixDomainSocket(ISocketUtils& socketUtils, std::shared_ptr<kernelVersion> kernel)
    : m_utils(socketUtils), m_kernelVersion(std::move(kernel))
{
}

UnixDomainSocket::~UnixDomainSocket()
{
    close();
}

void UnixDomainSocket::setSocketPath(const std::string& path)
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    m_path = path;
}

std::string UnixDomainSocket::getSocketPath() const
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    return m_path;
}

void UnixDomainSocket::connect()
{
    std::lock_guard<std::mutex> write(m_writeMutex);
    std::string path;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (m_fd >= 0)
            return;
        path = m_path;
    }
    int error = 0;
    const int fd = m_utils.openStreamSocket(error);
    if (fd < 0)
        throw FMPException(kConnectFailed, "Cannot open a socket for the platform service at " +
                                               path + ": " + errorText(error));
    error = m_utils.connectSocket(fd, path);
    if (error != 0) {
        m_utils.closeSocket(fd);
        throw FMPException(kConnectFailed, "Cannot connect to the platform service at " + path +
                                               ": " + errorText(error));
    }
    std::lock_guard<std::mutex> state(m_stateMutex);
    m_fd = fd;
    m_shutDown = false;
}

bool UnixDomainSocket::isConnected() const
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    return m_fd >= 0;
}

void UnixDomainSocket::send(const void* buffer, unsigned long length, int /*flag*/)
{
    std::lock_guard<std::mutex> write(m_writeMutex);
    int fd = -1;
    std::string path;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (m_fd < 0 || m_shutDown)
            throw FMPException(kNotConnected, "Not connected to the platform service at " + m_path);
        fd = m_fd;
        path = m_path;
    }
    const int error = m_utils.sendAll(fd, static_cast<const char*>(buffer), length);
    if (error == 0)
        return;
    {
        // Part of the frame may be out: the peer would read the next frame from its middle.
        // Shutting down makes the reader see the end and close the connection itself.
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_utils.shutdownSocket(fd);
        m_shutDown = true;
    }
    throw FMPException(kSocketIoFailed, "Cannot write " + std::to_string(length) +
                                            " bytes to the platform service at " + path + ": " +
                                            errorText(error));
}

long UnixDomainSocket::receive(void* buffer, unsigned long capacity)
{
    int fd = -1;
    std::string path;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (m_fd < 0)
            throw FMPException(kNotConnected, "Not connected to the platform service at " + m_path);
        fd = m_fd;
        path = m_path;
    }
    int error = 0;
    const long got = m_utils.receiveSome(fd, static_cast<char*>(buffer), capacity, error);
    if (got < 0)
        throw FMPException(kSocketIoFailed, "Cannot read from the platform service at " + path +
                                                ": " + errorText(error));
    return got;
}

void UnixDomainSocket::shutdown() noexcept
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    if (m_fd < 0)
        return;
    // ENOTCONN (the peer is gone already) leaves nothing to end; any outcome is fine here.
    m_utils.shutdownSocket(m_fd);
    m_shutDown = true;
}

void UnixDomainSocket::close() noexcept
{
    std::lock_guard<std::mutex> write(m_writeMutex);
    std::lock_guard<std::mutex> state(m_stateMutex);
    if (m_fd < 0)
        return;
    m_utils.closeSocket(m_fd);
    m_fd = -1;
    m_shutDown = false;
}

} // namespace ZAV
