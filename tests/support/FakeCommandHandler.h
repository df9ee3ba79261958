#pragma once

// A stand-in for the daemon's command handler: it answers each command the way the daemon's
// dispatcher does (a response with a narrow archive, sent as one frame through the socket it
// was given), or, as the test scripts it for a command id, throws or holds the answer back
// until released. By default it echoes: status 1 and the text "echo:" + the request's string.
//
// Threads: processCommandForFM runs on the command client's run-loop thread; the other
// members on any thread. m_mutex guards everything.

#include "IFMCommandRequestImpl.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ZAV {
class ISocket;
}

namespace TestSupport {

class FakeCommandHandler : public ZAV::IFMCommandRequestImpl {
public:
    enum class Behaviour { Echo, Throw, HoldUntilReleased };

    explicit FakeCommandHandler(ZAV::ISocket& socket);

    void script(int commandId, Behaviour behaviour);
    // Lets every held command answer now.
    void release();

    bool processCommandForFM(ZAV::CommandNWRequest& request, bool narrowData) override;

    // Command ids in arrival order, and whether each arrived as narrow data.
    std::vector<std::pair<int, bool>> received() const;
    // True once count commands have arrived within timeout.
    bool waitForCommands(size_t count, std::chrono::milliseconds timeout) const;

private:
    ZAV::ISocket& m_socket;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<int, Behaviour> m_script;
    std::vector<std::pair<int, bool>> m_received;
    bool m_released = false;
};

} // namespace TestSupport
