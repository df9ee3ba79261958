#pragma once

// Receivers of the messages that arrive on the command channel. A receiver is registered with
// the callback registry (IHelperFactory) once for each message type it lists; the command
// client then hands it every message of those types on the client's run-loop thread.

#include <list>

namespace ZAV {

class IFMCallback {
public:
    virtual ~IFMCallback() = default;

    // The message types this receiver handles: 2 acknowledgement, 4 command request, 8 and 16
    // command responses.
    virtual std::list<int> getSupportedFMMessageTypes() = 0;

    // One arriving message. data points at the whole frame as it came over the socket (prefix,
    // body and any command data; size bytes) and is valid only during the call. status is the
    // frame's status word for an acknowledgement or a response, 0 for other messages. Returns 1
    // when the message was one this receiver acted on, else 0. Runs on the run-loop thread, so
    // it must never wait for another message of the same client.
    virtual int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                           const int& status) = 0;
};

// The receiver of registration acknowledgements (message type 2). It adds nothing to
// IFMCallback; the registration itself is sent by the receiver's owner.
class IRegistrationFMCallback : public IFMCallback {};

} // namespace ZAV
