#pragma once

// A receiver of command responses that also sends command requests and waits for their
// responses. The daemon's service callback and the command-line tool's callback are the two.

#include "IFMCallback.h"

namespace ZAV {

class CommandRequest;
class CommandResponse;
class IFMCommClient;

class ICommandFMCallback : public IFMCallback {
public:
    // Sends request to its destination as sourceFmId through client, then waits for the
    // matching response and fills response with it (completed and status flags, cookie, data).
    // Returns when the response came, when the connection closed, or after the send timeout;
    // in the last two cases response stays not completed and its reply state says Awaited. sendFlag is accepted for the
    // platform's signature and has no effect. Throws FMPException when the request could not
    // be sent (nothing was sent then), including when called on client's run-loop thread.
    virtual void sendCommandRequest(CommandRequest& request, CommandResponse& response,
                                    const int& sourceFmId, IFMCommClient& client,
                                    bool sendFlag) = 0;

    // The connection closed: every send still waiting returns now, not completed. Called by the
    // client's run loop when it ends.
    virtual void connectionClosed() = 0;
};

} // namespace ZAV
