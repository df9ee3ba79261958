#include "FakeCommandHandler.h"

#include "ChannelFrame.h"
#include "CommandNWRequest.h"
#include "CommandNWResponse.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "ISocket.h"

#include <boost/serialization/string.hpp>

#include <stdexcept>

namespace TestSupport {

FakeCommandHandler::FakeCommandHandler(ZAV::ISocket& socket) : m_socket(socket) {}

void FakeCommandHandler::script(int commandId, Behaviour behaviour)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script[commandId] = behaviour;
}

void FakeCommandHandler::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}

bool FakeCommandHandler::processCommandForFM(ZAV::CommandNWRequest& nwRequest, bool narrowData)
{
    Behaviour behaviour = Behaviour::Echo;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_received.emplace_back(nwRequest.getCommandId(), narrowData);
        m_changed.notify_all();
        const auto found = m_script.find(nwRequest.getCommandId());
        if (found != m_script.end())
            behaviour = found->second;
        if (behaviour == Behaviour::Throw)
            throw std::runtime_error("scripted handler failure");
        if (behaviour == Behaviour::HoldUntilReleased)
            m_changed.wait(lock, [this] { return m_released; });
    }

    // As the daemon's dispatcher: rebuild the request narrow, answer, send one whole frame.
    ZAV::CommandRequest request(nwRequest, true);
    std::string text;
    if (request.getNarrowInputArchive() != nullptr)
        *request.getNarrowInputArchive() >> text;
    ZAV::CommandResponse response(request.getCommandId(), request.getSourceFMId());
    response.setCommandCookie(request.getCommandCookie());
    response.setCommandCompleted(true);
    response.setCommandStatus(true);
    response.setCustomUTF8DataPresent(true);
    *response.getNarrowOutputArchive() << std::string("echo:" + text);
    response.setNarrowArchiveWritten(true);
    try {
        const ZAV::CommandNWResponse wire(response);
        const std::string frame = wire.encode(ZAV::kAltResponseType);
        m_socket.send(frame.data(), frame.size(), 1);
        return true;
    } catch (const ZAV::FMPException&) {
        return false;
    }
}

std::vector<std::pair<int, bool>> FakeCommandHandler::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool FakeCommandHandler::waitForCommands(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
}

} // namespace TestSupport
