#pragma once

// A scripted framework manager on the platform command channel: it connects to a broker's
// socket with raw frames, registers as one id (7000 for the daemon) and answers each request
// as its script says for that command id, recording every request it received.
//
// Threads: start() runs the answering on a thread of its own; the other members may be called
// from any thread (m_mutex guards the script and the records). stop() and the destructor join it.

#include "ChannelFrame.h"
#include "ChannelTestClient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

struct ScriptedAnswer {
    enum class Action {
        Answer, // a response after delay
        Ignore, // no response ever
        Close,  // the connection is dropped on receipt, mid-request
    };
    Action action = Action::Answer;
    int32_t frameType = ZAV::kAltResponseType;
    int32_t completed = 1;
    int32_t status = 1;
    int32_t dataKind = ZAV::kDataKindNone;
    int32_t flags = 0;
    std::string data;
    std::chrono::milliseconds delay{0};

    static ScriptedAnswer ignore() { return withAction(Action::Ignore); }
    static ScriptedAnswer close() { return withAction(Action::Close); }
    static ScriptedAnswer reply(int32_t status, int32_t dataKind = ZAV::kDataKindNone, std::string data = {})
    {
        ScriptedAnswer answer;
        answer.status = status;
        answer.dataKind = dataKind;
        answer.data = std::move(data);
        return answer;
    }

private:
    static ScriptedAnswer withAction(Action action)
    {
        ScriptedAnswer answer;
        answer.action = action;
        return answer;
    }
};

class FakeResponder {
public:
    FakeResponder(std::string socketPath, int32_t fmId);
    ~FakeResponder();
    FakeResponder(const FakeResponder&) = delete;
    FakeResponder& operator=(const FakeResponder&) = delete;

    // The answer to one command id; ids without one get the default answer (completed 1,
    // status 1, no data unless scriptDefault changed it).
    void script(int32_t commandId, ScriptedAnswer answer);
    void scriptDefault(ScriptedAnswer answer);

    // Connects, registers and, when accepted, starts answering. Returns the acknowledgement's
    // status, or -1 when none came within ackTimeout. Throws when nobody listens.
    int start(std::chrono::milliseconds ackTimeout = TestSupport::kHangGuard);
    // Drops the connection and stops answering; requests still owed stay unanswered.
    void stop();

    std::vector<ZAV::RequestFrame> received() const;
    // True once count requests have arrived; false when timeout passed first.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // True once the connection ended: the broker closed it or a Close answer dropped it.
    bool connectionEnded() const { return m_ended.load(); }

private:
    struct Due {
        std::chrono::steady_clock::time_point when;
        ZAV::ResponseFrame response;
    };

    void serve();
    ScriptedAnswer answerFor(int32_t commandId) const;

    std::string m_socketPath;
    int32_t m_fmId;
    std::unique_ptr<ChannelTestClient> m_client;  // used only by the serving thread once started
    std::thread m_thread;
    std::atomic<bool> m_ended{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_receivedChanged;
    std::map<int32_t, ScriptedAnswer> m_script;   // guarded by m_mutex
    ScriptedAnswer m_default;                     // guarded by m_mutex
    std::vector<ZAV::RequestFrame> m_received;    // guarded by m_mutex
};

} // namespace TestSupport
