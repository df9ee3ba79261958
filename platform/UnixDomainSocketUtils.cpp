#include "UnixDomainSocketUtils.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ZAV {

namespace {

// A blocking connect interrupted by a signal goes on in the background and cannot simply be
// called again (that would report EALREADY); wait for it to finish and take its outcome.
int finishInterruptedConnect(int fd)
{
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        if (::poll(&entry, 1, -1) >= 0)
            break;
        if (errno != EINTR)
            return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace

int UnixDomainSocketUtils::openStreamSocket(int& error)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    error = fd < 0 ? errno : 0;
    return fd;
}

int UnixDomainSocketUtils::connectSocket(int fd, const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The path must fit with its terminator; a cut path would name another socket.
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = errno;
    return error == EINTR ? finishInterruptedConnect(fd) : error;
}

int UnixDomainSocketUtils::sendAll(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that went away must show up as EPIPE here, not kill the process.
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            return error;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return 0;
}

long UnixDomainSocketUtils::receiveSome(int fd, char* buffer, std::size_t capacity, int& error)
{
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, capacity, 0);
        if (got >= 0) {
            error = 0;
            return static_cast<long>(got);
        }
        error = errno;
        if (error != EINTR)
            return -1;
    }
}

int UnixDomainSocketUtils::shutdownSocket(int fd)
{
    return ::shutdown(fd, SHUT_RDWR) == 0 ? 0 : errno;
}

int UnixDomainSocketUtils::closeSocket(int fd)
{
    // Not retried on EINTR: Linux has released the descriptor by then, and a second close could
    // hit a descriptor another thread has just opened.
    return ::close(fd) == 0 ? 0 : errno;
}

} // namespace ZAV
