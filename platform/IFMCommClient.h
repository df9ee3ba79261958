#pragma once

// The command client as the channel's senders see it: registration, deregistration and
// command requests all go out through sendRawMessage.

namespace ZAV {

class IFMCommClient {
public:
    virtual ~IFMCommClient() = default;

    // Writes one whole message (a complete frame of length bytes) to the platform service, in
    // one piece with respect to every other sender. While the client is active and its
    // connection was closed after a break, it connects again first, so a re-registration needs
    // no startConnection. Throws FMPException when the message cannot be written.
    virtual void sendRawMessage(const void* buffer, unsigned long length) = 0;

    // True from startConnection until stop.
    virtual bool isActive() const = 0;

    // True on the thread that runs this client's run loop: a command sent from there could
    // never get its reply, because that thread is the one that would deliver it.
    virtual bool isRunLoopThread() const = 0;
};

} // namespace ZAV
