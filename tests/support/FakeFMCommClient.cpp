#include "FakeFMCommClient.h"

#include "FMPException.h"

#include <cstring>

namespace TestSupport {

void FakeFMCommClient::sendRawMessage(const void* buffer, unsigned long length)
{
    std::function<void(const std::string&)> hook;
    const std::string bytes(static_cast<const char*>(buffer), length);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure)
            throw ZAV::FMPException(m_failure->first, m_failure->second);
        m_messages.push_back(bytes);
        hook = m_hook;
    }
    if (hook)
        hook(bytes);
}

bool FakeFMCommClient::isActive() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active;
}

bool FakeFMCommClient::isRunLoopThread() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runLoopThread;
}

void FakeFMCommClient::failSends(int code, std::string message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failure.emplace(code, std::move(message));
}

void FakeFMCommClient::onSend(std::function<void(const std::string&)> hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
}

void FakeFMCommClient::setActive(bool active)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = active;
}

void FakeFMCommClient::setRunLoopThread(bool runLoopThread)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_runLoopThread = runLoopThread;
}

std::vector<std::string> FakeFMCommClient::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<int32_t> messageWords(const std::string& bytes)
{
    std::vector<int32_t> words(bytes.size() / sizeof(int32_t));
    std::memcpy(words.data(), bytes.data(), words.size() * sizeof(int32_t));
    return words;
}

} // namespace TestSupport
