#pragma once

// The daemon's entry code: start-up, the wait for SIGINT or SIGTERM, and shutdown, with the two
// thread bodies start-up runs. Lives outside StatefulFirewall, as the daemon's entry point.
//
// Threads: MFWMain runs on the main thread; RegisterEnterprise is the short-lived "Msg Bus
// Client" thread; startFMCommClient is the "FM Comm Client" thread, on which every command and
// acknowledgement is delivered. Every thread MFWMain starts is joined before it returns, on
// every path.
//
// Signals: signalHandler only stores stopMain (lock-free) and writes one byte to a non-blocking
// self-pipe, both async-signal-safe; the main thread waits on the pipe, never on a lock, and
// meanwhile on the instance lock file's watch, putting the file back when it was replaced.

#include <atomic>
#include <memory>
#include <string>

namespace ZAV {
class FMCommClient;
class ILogger;
class IZAVSystemUtils;
} // namespace ZAV

namespace StatefulFirewall {
class IConfigController;
class INwIFManager;
class ISFEventAdaptor;
class SFAgentAdaptor;
class SFRegistrationFMCallback;
} // namespace StatefulFirewall

namespace FWMain {

// Set to 1 by signalHandler; start-up acts on it once it is complete.
extern std::atomic<int> stopMain;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only store lock-free");
// Written once by the "Msg Bus Client" thread (release), read by the main thread (acquire),
// deleted by the main thread at shutdown after that thread was joined.
extern std::atomic<StatefulFirewall::SFAgentAdaptor*> g_agentAdaptor;
// Component name of every log line of MFWMain and RegisterEnterprise.
extern const std::string moduleName;

// Start-up, the wait and shutdown; the exit status (0, 1 or 255). Never throws.
int MFWMain();

// For SIGINT and SIGTERM; any other signal is ignored.
void signalHandler(int sig);

// Body of the "Msg Bus Client" thread: creates the agent plug-ins and the agent adaptor and
// hands the adaptor to the settings and, as soon as it exists, to eventAdaptor. Never throws.
void RegisterEnterprise(ZAV::ILogger& logger, StatefulFirewall::IConfigController& config,
                        StatefulFirewall::INwIFManager& interfaceMonitor,
                        StatefulFirewall::ISFEventAdaptor& eventAdaptor);

// Body of the "FM Comm Client" thread: runs the client's loop and registers again after a
// broken connection while the client is still active. Never throws.
void startFMCommClient(ZAV::FMCommClient* client,
                       StatefulFirewall::SFRegistrationFMCallback* registrationCallback, int fmId,
                       int timeoutSecs, std::shared_ptr<ZAV::IZAVSystemUtils> systemUtils);

} // namespace FWMain
