#pragma once

// Where a netfilter-queue socket takes its next datagram from: the kernel's acknowledgements and
// the packets it queues. SFNetfilterSocket receives with libmnl unless it is handed one of these;
// a test hands in one that answers on chosen calls as the kernel does only under a flood (an
// overrun of the receive buffer) and reads the socket on every other. Called on the socket's run
// thread only.

#include <sys/types.h>

#include <cstddef>

namespace StatefulFirewall {

class INetlinkReceiver {
public:
    virtual ~INetlinkReceiver() = default;

    // Receives one datagram of the netlink socket fd into buffer, as recv(2) does: its length,
    // or -1 with errno set (ENOBUFS: the kernel dropped messages for want of room).
    virtual ssize_t receive(int fd, void* buffer, size_t length) = 0;
};

} // namespace StatefulFirewall
