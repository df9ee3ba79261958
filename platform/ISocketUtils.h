#pragma once

// The system calls behind the channel's Unix-domain socket, one narrow seam so a test can hand
// in calls that fail. Every call returns the system's error number (0 on success) instead of
// leaving it in errno, retries EINTR itself and never raises SIGPIPE.

#include <cstddef>
#include <string>

namespace ZAV {

class ISocketUtils {
public:
    virtual ~ISocketUtils() = default;

    // A new, unconnected stream socket opened close-on-exec (the daemon starts child
    // processes), or -1 with the error number in error.
    virtual int openStreamSocket(int& error) = 0;

    // Connects fd to the socket at path; 0 or an error number.
    virtual int connectSocket(int fd, const std::string& path) = 0;

    // Writes all size bytes (looping over partial writes); 0 or an error number, after which an
    // unknown part of the bytes may have been written.
    virtual int sendAll(int fd, const char* bytes, std::size_t size) = 0;

    // Reads what is there, waiting for at least one byte: the count, 0 at the end of the
    // stream, or -1 with the error number in error.
    virtual long receiveSome(int fd, char* buffer, std::size_t capacity, int& error) = 0;

    // Ends both directions without closing, which wakes a thread blocked reading fd.
    virtual int shutdownSocket(int fd) = 0;

    virtual int closeSocket(int fd) = 0;
};

} // namespace ZAV
