#pragma once

// The command-line tool's command callback: it sends the tool's requests and takes their
// responses (types 8 and 16). It receives no requests.
//
// A tool serves one person at a terminal, so it does not wait for ever on a peer that is
// registered but answers nothing (stopped, hung): the owner may bound the wait per command, and
// once a reply has not come within its bound the peer counts as lost and later sends fail at
// once, not completed, so one command line waits at most one bound for a silent peer.
//
// Ownership: borrows the logger. Threads: as CommandExchange; the lost flag is written and read
// on the sending thread only.

#include "CommandExchange.h"
#include "ICommandFMCallback.h"

#include <chrono>
#include <functional>
#include <list>

namespace ZAV {

class ILogger;

class CommandCallbackForCLIFM : public ICommandFMCallback {
public:
    // The bound on the wait for the reply to a command id; the exchange's own bound is the
    // upper limit, and without a function every send waits that long.
    using ReplyBound = std::function<std::chrono::seconds(int commandId)>;

    explicit CommandCallbackForCLIFM(ILogger& logger, ReplyBound replyBound = nullptr);

    std::list<int> getSupportedFMMessageTypes() override;
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    void sendCommandRequest(CommandRequest& request, CommandResponse& response,
                            const int& sourceFmId, IFMCommClient& client, bool sendFlag) override;
    void connectionClosed() override;

    // True once a reply did not come within its bound.
    bool peerLost() const { return m_peerLost; }
    // How long a send of the command id waits for its reply: the owner's bound, at most the
    // exchange's own.
    std::chrono::seconds replyBoundOf(int commandId) const;

private:
    ILogger& m_logger;
    CommandExchange m_exchange;
    ReplyBound m_replyBound;
    bool m_peerLost = false;
};

} // namespace ZAV
