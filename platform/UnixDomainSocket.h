#pragma once

// The channel's connection to the platform service over a Unix-domain stream socket.
//
// Ownership: owns its descriptor; borrows the system-call seam, which must outlive it.
// Threads: one thread reads (the command client's run loop); any thread may send, shut down,
// connect or ask for the state. Lock order: m_writeMutex, then m_stateMutex. m_writeMutex is held
// for a whole send, so frames never interleave, and to replace or close the descriptor, so no
// send writes to a descriptor being closed. The reader reads without a lock: the descriptor is
// closed only by the reader itself (or by the owner when nobody reads), never under it.

#include "ISocket.h"

#include <memory>
#include <mutex>
#include <string>

namespace ZAV {

class ISocketUtils;
struct kernelVersion;

class UnixDomainSocket : public ISocket {
public:
    // The kernel version is taken for the platform's signature; nothing here depends on it.
    UnixDomainSocket(ISocketUtils& socketUtils, std::shared_ptr<kernelVersion> kernel);
    ~UnixDomainSocket() override;

    UnixDomainSocket(const UnixDomainSocket&) = delete;
    UnixDomainSocket& operator=(const UnixDomainSocket&) = delete;

    void setSocketPath(const std::string& path) override;
    std::string getSocketPath() const override;
    void connect() override;
    bool isConnected() const override;
    void send(const void* buffer, unsigned long length, int flag) override;
    long receive(void* buffer, unsigned long capacity) override;
    void shutdown() noexcept override;
    void close() noexcept override;

private:
    ISocketUtils& m_utils;
    std::shared_ptr<kernelVersion> m_kernelVersion;
    std::mutex m_writeMutex;
    mutable std::mutex m_stateMutex;
    int m_fd = -1;           // guarded by m_stateMutex; changed only with m_writeMutex held too
    bool m_shutDown = false; // guarded by m_stateMutex: m_fd was shut down and may not be written
    std::string m_path;      // guarded by m_stateMutex
};

} // namespace ZAV
