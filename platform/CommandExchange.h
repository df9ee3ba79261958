#pragma once

// Sends command requests and matches the responses that come back to the senders waiting for
// them; the part the service callback and the command-line tool's callback share.
//
// Each send gets a cookie from a process-wide atomic counter, so cookies never repeat among
// the exchanges of one process, and waits on the steady clock for its response, for the end
// of the connection, or for the send timeout: 300 s, or ZAV_SEND_TIMEOUT_SECS seconds when that
// variable holds a positive number (read at construction).
//
// Threads: send() on any thread but the client's run-loop thread; deliver() and
// connectionClosed() on the run-loop thread. m_mutex guards m_waiting and every Waiter in it.

#include "ChannelFrame.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace ZAV {

class CommandRequest;
class CommandResponse;
class IFMCommClient;
class ILogger;

class CommandExchange {
public:
    static constexpr int kDefaultTimeoutSecs = 300;

    // How a send ended.
    enum class Outcome { Answered, Closed, TimedOut };

    CommandExchange(ILogger& logger, std::string component);

    CommandExchange(const CommandExchange&) = delete;
    CommandExchange& operator=(const CommandExchange&) = delete;

    // See ICommandFMCallback::sendCommandRequest; waits at most timeout() for the response.
    Outcome send(CommandRequest& request, CommandResponse& response, int sourceFmId,
                 IFMCommClient& client, bool sendFlag);
    // The same with the caller's own bound on the wait.
    Outcome send(CommandRequest& request, CommandResponse& response, int sourceFmId,
                 IFMCommClient& client, bool sendFlag, std::chrono::seconds timeout);

    // A response message (the whole frame); 1 when it answered a waiting send, else 0.
    int deliver(const void* data, unsigned long size);

    // Ends every waiting send, not completed.
    void connectionClosed();

    std::chrono::seconds timeout() const { return m_timeout; }

private:
    struct Waiter {
        bool done = false;     // the send may stop waiting
        bool answered = false; // reply holds the response
        ResponseFrame reply;
    };

    ILogger& m_logger;
    std::string m_component;
    std::chrono::seconds m_timeout;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<int32_t, Waiter*> m_waiting; // cookie -> the waiting send's own record
};

} // namespace ZAV
