#pragma once

// A netlink receiver that reads the socket as recv does, except on the calls a test numbers
// (from 1): those take the datagram waiting and report an overrun (ENOBUFS), as the kernel does
// when it dropped a message for want of room, an acknowledgement maybe. Used on the socket's run
// thread only.

#include "INetlinkReceiver.h"

#include <sys/socket.h>

#include <cerrno>
#include <set>
#include <utility>

namespace TestSupport {

class OverrunningReceiver : public StatefulFirewall::INetlinkReceiver {
public:
    explicit OverrunningReceiver(std::set<int> overrunCalls) : m_overrunCalls(std::move(overrunCalls)) {}

    ssize_t receive(int fd, void* buffer, size_t length) override
    {
        const ssize_t received = recv(fd, buffer, length, 0);
        if (m_overrunCalls.count(++m_calls) == 0 || received < 0)
            return received;
        errno = ENOBUFS;
        return -1;
    }

private:
    const std::set<int> m_overrunCalls;
    int m_calls = 0;
};

} // namespace TestSupport
