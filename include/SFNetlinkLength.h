#pragma once

// Length checks for received netlink buffers. libmnl's mnl_nlmsg_ok compares the 32-bit
// nlmsg_len as a signed int, so it lets a stated length of 2^31 or more through, and every walk
// built on it would then read past the buffer. Readers of received messages check with these.

#include <linux/netlink.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace StatefulFirewall {

// True when a whole netlink message starts at buffer and ends within length bytes: its header
// fits and its stated length is at least the header and at most length.
inline bool netlinkMessageFits(const void* buffer, std::size_t length)
{
    if (buffer == nullptr || length < sizeof(nlmsghdr))
        return false;
    nlmsghdr header;
    std::memcpy(&header, buffer, sizeof(header));
    return header.nlmsg_len >= sizeof(nlmsghdr) && header.nlmsg_len <= length;
}

// How many of the first length bytes of buffer hold whole messages, walked as libmnl walks a
// receive buffer (aligned lengths): up to the first message that does not fit in what follows
// it, or to the end. 0 when the first message does not fit.
inline std::size_t wholeNetlinkMessagesLength(const void* buffer, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t offset = 0;
    while (offset < length && netlinkMessageFits(bytes + offset, length - offset)) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof(header));
        // The last message's padding may be missing from the buffer.
        offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), length - offset);
    }
    return offset;
}

} // namespace StatefulFirewall
