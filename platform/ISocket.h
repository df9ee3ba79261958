#pragma once

// The channel's connection to the platform service as its users see it: the command client
// reads it, and every sender (the client's raw send, a command handler's reply) writes whole
// frames to it.

#include <string>

namespace ZAV {

class ISocket {
public:
    virtual ~ISocket() = default;

    virtual void setSocketPath(const std::string& path) = 0;
    virtual std::string getSocketPath() const = 0;

    // Opens a connection to the path when none is open; does nothing when one is. Throws
    // FMPException(kConnectFailed) when nobody accepts there.
    virtual void connect() = 0;

    // True while a connection is open, even one that was shut down and not yet closed.
    virtual bool isConnected() const = 0;

    // Writes length bytes as one unit: no other send's bytes come between them. flag is
    // accepted for the platform's signature and has no effect: every send blocks until all
    // bytes are written. Never reconnects. Throws FMPException(kNotConnected) without a usable
    // connection and FMPException(kSocketIoFailed) when the write fails; a failed write shuts
    // the connection down, because the peer can no longer find the next frame's start.
    virtual void send(const void* buffer, unsigned long length, int flag) = 0;

    // Waits for bytes and returns how many were read into buffer, 0 at the end of the stream
    // (the peer closed, or shutdown() was called). Throws FMPException(kNotConnected) or
    // FMPException(kSocketIoFailed). Only one thread may read.
    virtual long receive(void* buffer, unsigned long capacity) = 0;

    // Ends the connection in both directions without closing it, so a blocked receive returns
    // at once and the descriptor cannot be reused under the reader's feet. Never throws.
    virtual void shutdown() noexcept = 0;

    // Closes the connection. Only the reading thread, or the owner when nobody reads, may call
    // it. Never throws.
    virtual void close() noexcept = 0;
};

} // namespace ZAV
