#pragma once

// A framework manager built from the real channel objects, as the daemon or the tool builds
// them: Unix-domain socket, callback registry, registration callback, command callback and
// command client, with the client's run loop on a thread of its own. A requester uses the
// tool's command callback; a responder the daemon's service callback around a
// FakeCommandHandler.
//
// Threads: the loop thread runs the client; the test thread calls the rest. m_mutex guards
// the loop's record (runs, failure, end).

#include "CommandCallbackForCLIFM.h"
#include "CommandCallbackForServiceFM.h"
#include "FMCommClient.h"
#include "FakeCommandHandler.h"
#include "HelperFactory.h"
#include "RecordingLogger.h"
#include "SFRegistrationFMCallback.h"
#include "UnixDomainSocket.h"
#include "UnixDomainSocketUtils.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace TestSupport {

class ChannelClientRig {
public:
    enum class Role { Requester, Responder };

    ChannelClientRig(const std::string& socketPath, int fmId, Role role);
    ~ChannelClientRig();
    ChannelClientRig(const ChannelClientRig&) = delete;
    ChannelClientRig& operator=(const ChannelClientRig&) = delete;

    // After a break the loop thread re-registers once pause has passed and runs the client
    // again, as the daemon's comm thread does; without this it ends.
    void reRegisterAfterBreaks(std::chrono::milliseconds pause) { m_pause = pause; }

    // Connects (throws FMPException when nobody listens), starts the loop thread and registers.
    // True when acknowledged within timeoutSecs.
    bool start(int timeoutSecs = 5);
    // Stops the client and joins the loop thread.
    void stop();

    // Sends one command as this rig's id; returns when the response is filled.
    void call(ZAV::CommandRequest& request, ZAV::CommandResponse& response);

    // True once the loop thread ended within timeout.
    bool waitLoopEnded(std::chrono::milliseconds timeout);
    // The message of the last break run() threw for; empty when none.
    std::string lastFailure() const;
    int runs() const;
    // The loop thread, for signalling it.
    std::thread::native_handle_type loopThread() { return m_thread.native_handle(); }

    int fmId() const { return m_fmId; }
    ZAV::FMCommClient& client() { return m_client; }
    ZAV::ISocket& socket() { return m_socket; }
    FakeCommandHandler& handler() { return *m_handler; }
    RecordingLogger& log() { return m_log; }

private:
    void loop();

    int m_fmId;
    RecordingLogger m_log;
    ZAV::UnixDomainSocketUtils m_socketUtils;
    ZAV::UnixDomainSocket m_socket;
    ZAV::HelperFactory m_helperFactory;
    StatefulFirewall::SFRegistrationFMCallback m_registration;
    std::unique_ptr<FakeCommandHandler> m_handler;
    std::unique_ptr<ZAV::ICommandFMCallback> m_commands;
    ZAV::FMCommClient m_client;
    std::optional<std::chrono::milliseconds> m_pause;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_loopEnded = false;
    int m_runs = 0;
    std::string m_lastFailure;
};

} // namespace TestSupport
