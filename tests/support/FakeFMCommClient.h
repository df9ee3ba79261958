#pragma once

// A stand-in for the command client: records every raw message instead of sending it, and can
// be told to fail, to run a hook on each send (to answer "before the wait"), or to claim the
// calling thread is its run-loop thread.
//
// Threads: any thread may call any member; m_mutex guards everything. The hook runs without
// the lock held, on the sending thread.

#include "IFMCommClient.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

class FakeFMCommClient : public ZAV::IFMCommClient {
public:
    void sendRawMessage(const void* buffer, unsigned long length) override;
    bool isActive() const override;
    bool isRunLoopThread() const override;

    // Every later send throws FMPException(code, message) and records nothing.
    void failSends(int code, std::string message);
    // Runs after each recorded send with the message's bytes.
    void onSend(std::function<void(const std::string&)> hook);
    void setActive(bool active);
    void setRunLoopThread(bool runLoopThread);

    std::vector<std::string> messages() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::optional<std::pair<int, std::string>> m_failure;
    std::function<void(const std::string&)> m_hook;
    bool m_active = true;
    bool m_runLoopThread = false;
};

// The int32 words of a message, in host order (a trailing partial word is dropped).
std::vector<int32_t> messageWords(const std::string& bytes);

} // namespace TestSupport
