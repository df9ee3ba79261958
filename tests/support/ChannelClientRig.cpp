#include "ChannelClientRig.h"

#include "FMPException.h"

namespace TestSupport {

ChannelClientRig::ChannelClientRig(const std::string& socketPath, int fmId, Role role)
    : m_fmId(fmId), m_socket(m_socketUtils, nullptr), m_helperFactory(m_log),
      m_registration(m_log), m_client(m_socket, m_helperFactory, m_log)
{
    m_socket.setSocketPath(socketPath);
    if (role == Role::Responder) {
        m_handler = std::make_unique<FakeCommandHandler>(m_socket);
        m_commands = std::make_unique<ZAV::CommandCallbackForServiceFM>(m_socket, m_log, *m_handler);
    } else {
        m_commands = std::make_unique<ZAV::CommandCallbackForCLIFM>(m_log);
    }
    for (int type : m_registration.getSupportedFMMessageTypes())
        m_helperFactory.addFMCallback(type, &m_registration);
    for (int type : m_commands->getSupportedFMMessageTypes())
        m_helperFactory.addFMCallback(type, m_commands.get());
}

ChannelClientRig::~ChannelClientRig()
{
    stop();
}

bool ChannelClientRig::start(int timeoutSecs)
{
    m_client.startConnection();
    m_thread = std::thread([this] { loop(); });
    return m_registration.startFMRegistration(m_fmId, timeoutSecs, m_client);
}

void ChannelClientRig::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    // A held command blocks the loop thread, which would then never see the stop.
    if (m_handler)
        m_handler->release();
    m_client.stop();
    if (m_thread.joinable())
        m_thread.join();
}

void ChannelClientRig::call(ZAV::CommandRequest& request, ZAV::CommandResponse& response)
{
    m_commands->sendCommandRequest(request, response, m_fmId, m_client, false);
}

void ChannelClientRig::loop()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_runs;
        }
        try {
            m_client.run();
            break;
        } catch (const ZAV::FMPException& e) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_lastFailure = e.getMessage();
            if (!m_pause || m_stopping)
                break;
            if (m_changed.wait_for(lock, *m_pause, [this] { return m_stopping; }))
                break;
        }
        try {
            m_registration.startFMRegistration(m_fmId, 10, m_client);
        } catch (const ZAV::FMPException& e) {
            // Still no service: run() fails at once and the pause comes round again.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lastFailure = e.getMessage();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loopEnded = true;
    m_changed.notify_all();
}

bool ChannelClientRig::waitLoopEnded(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_loopEnded; });
}

std::string ChannelClientRig::lastFailure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastFailure;
}

int ChannelClientRig::runs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runs;
}

} // namespace TestSupport
