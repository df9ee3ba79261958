#pragma once

// A platform socket that keeps every send, for tests that call a command handler directly and
// read the reply frames it wrote. Connected from the start; receive reports the end at once.
// A test may make the next send throw as a broken connection does. Not thread safe.

#include "ChannelErrors.h"
#include "FMPException.h"
#include "ISocket.h"

#include <string>
#include <vector>

namespace TestSupport {

class CapturingSocket : public ZAV::ISocket {
public:
    void setSocketPath(const std::string& path) override { m_path = path; }
    std::string getSocketPath() const override { return m_path; }
    void connect() override {}
    bool isConnected() const override { return true; }
    void send(const void* buffer, unsigned long length, int /*flag*/) override
    {
        if (m_failNext) {
            m_failNext = false;
            throw ZAV::FMPException(ZAV::kSocketIoFailed, "send failed on purpose");
        }
        m_sends.emplace_back(static_cast<const char*>(buffer), length);
    }
    long receive(void* /*buffer*/, unsigned long /*capacity*/) override { return 0; }
    void shutdown() noexcept override {}
    void close() noexcept override {}

    void failNextSend() { m_failNext = true; }
    const std::vector<std::string>& sends() const { return m_sends; }
    void clear() { m_sends.clear(); }

private:
    std::string m_path;
    bool m_failNext = false;
    std::vector<std::string> m_sends;
};

} // namespace TestSupport
