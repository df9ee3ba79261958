#pragma once

// Makes tqctl processes take turns at the daemon. The daemon answers one request at a time, so
// a request written while another tool's request (or the push that follows an update) is being
// handled would wait in the daemon's queue, and the tool's reply bound would measure that queue
// instead of the daemon. This sender holds an exclusive lock on a file shared by every tqctl
// from the write of a request until its reply has come (or its bound has passed), so the bound
// starts when the daemon takes the request. The lock is taken per request, not for the whole
// command line: a question on the terminal (a delete without --force) holds up no other tool.
//
// Waiting for the turn has no bound of its own: the holder's wait is bounded (15 s, or the
// channel's 300 s for the commands that push), so the turn comes. When the lock file cannot be
// opened or locked the request is sent without a turn, as before, and the log says why.
//
// Ownership: borrows the callback that sends and the logger. Threads: the sending thread only.

#include "ICommandFMCallback.h"

#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

// Where every tqctl takes its turn: /run is local to the host and empty after a boot.
inline const char* const SF_CLI_TURN_LOCK_PATH = "/run/tqctl.lock";

class SFCliTurns : public ZAV::ICommandFMCallback {
public:
    SFCliTurns(ZAV::ICommandFMCallback& sender, ZAV::ILogger& logger,
               std::string lockPath = SF_CLI_TURN_LOCK_PATH);
    ~SFCliTurns() override;

    SFCliTurns(const SFCliTurns&) = delete;
    SFCliTurns& operator=(const SFCliTurns&) = delete;

    // Waits for the turn, sends through the wrapped callback, then gives the turn back.
    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int& sourceFmId, ZAV::IFMCommClient& client,
                            bool sendFlag) override;
    // Responses go to the wrapped callback, which is the one registered for them.
    std::list<int> getSupportedFMMessageTypes() override;
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    void connectionClosed() override;

private:
    // True when the turn is held; false when the request goes without one.
    bool takeTurn(int commandId);
    void giveTurnBack();

    ZAV::ICommandFMCallback& m_sender;
    ZAV::ILogger& m_logger;
    std::string m_lockPath;
    int m_fd = -1;
};

} // namespace StatefulFirewall
