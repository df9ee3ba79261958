#pragma once

// The handler behind the daemon's service callback: it runs every command that arrives.

namespace ZAV {

class CommandNWRequest;

class IFMCommandRequestImpl {
public:
    virtual ~IFMCommandRequestImpl() = default;

    // One arriving command, on the client's run-loop thread. The handler sends its reply itself,
    // as one whole frame, through the socket it was given. narrowData is false when the sender
    // wrote the data with a wide archive. Returns true when the reply was sent.
    virtual bool processCommandForFM(CommandNWRequest& request, bool narrowData) = 0;
};

} // namespace ZAV
