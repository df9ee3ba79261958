#pragma once

// The platform service's routing core running on a thread of the test process, on the socket
// its options name (a temporary folder in tests). Logs go to a RecordingLogger the test reads.
//
// Threads: the broker serves on its own thread from start() until stop() or destruction.

#include "Broker.h"
#include "RecordingLogger.h"

#include <memory>
#include <string>
#include <thread>

namespace TestSupport {

class InProcessBroker {
public:
    explicit InProcessBroker(ZAV::BrokerOptions options);
    ~InProcessBroker();
    InProcessBroker(const InProcessBroker&) = delete;
    InProcessBroker& operator=(const InProcessBroker&) = delete;

    // Starts the broker and its serving thread; false with the broker's reason in error.
    bool start(std::string& error);
    // Starts or throws std::runtime_error with the reason, for tests that expect success.
    void start();
    // Ends serving and destroys the broker, which removes its socket; the log stays readable.
    void stop();

    ZAV::Broker& broker() { return *m_broker; }
    const std::string& socketPath() const { return m_options.socketPath; }
    RecordingLogger& log() { return m_logger; }

private:
    ZAV::BrokerOptions m_options;
    RecordingLogger m_logger;
    std::unique_ptr<ZAV::Broker> m_broker;
    std::thread m_thread;
};

} // namespace TestSupport
