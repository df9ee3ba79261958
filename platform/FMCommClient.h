#pragma once

// The command client: connects to the platform service, runs the loop that reads the
// connection and hands each message to the receivers registered for its type, and writes the
// senders' messages.
//
// Ownership: borrows the socket, the registry and the logger; they must outlive it.
// Threads: run() on one thread (the "FM Comm Client" thread), which also runs every receiver;
// stop(), isActive(), isRunLoopThread() and sendRawMessage() on any thread. m_runMutex guards
// m_runThread; m_active is atomic because stop() may come from any thread at any time.

#include "IFMCommClient.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace ZAV {

class IHelperFactory;
class ILogger;
class ISocket;

class FMCommClient : public IFMCommClient {
public:
    FMCommClient(ISocket& socket, IHelperFactory& helperFactory, ILogger& logger);

    FMCommClient(const FMCommClient&) = delete;
    FMCommClient& operator=(const FMCommClient&) = delete;

    // Connects and makes the client active. Throws FMPException at once when nobody listens.
    // Must not be called while run() is running.
    void startConnection();

    // Reads and delivers messages until stop() (then returns normally) or until the connection
    // breaks: then it closes the connection, ends every command send still waiting for a reply
    // (not completed), and throws FMPException. A stream that cannot be read as frames counts
    // as a break. Throws at once when not connected.
    void run();

    // Clears the active flag, then shuts the connection down so that run() returns.
    void stop();

    bool isActive() const override;
    bool isRunLoopThread() const override;
    void sendRawMessage(const void* buffer, unsigned long length) override;

private:
    bool loopRunning() const;
    void deliver(int type, std::string& bytes, int status);
    void endConnection();

    ISocket& m_socket;
    IHelperFactory& m_helperFactory;
    ILogger& m_logger;
    std::atomic<bool> m_active{false};
    mutable std::mutex m_runMutex;
    std::thread::id m_runThread; // guarded by m_runMutex; the default id while no loop runs
};

} // namespace ZAV
