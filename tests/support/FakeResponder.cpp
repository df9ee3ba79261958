#include "FakeResponder.h"

#include <algorithm>

namespace TestSupport {

using Clock = std::chrono::steady_clock;

FakeResponder::FakeResponder(std::string socketPath, int32_t fmId)
    : m_socketPath(std::move(socketPath)), m_fmId(fmId)
{
}

FakeResponder::~FakeResponder()
{
    stop();
}

void FakeResponder::script(int32_t commandId, ScriptedAnswer answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script[commandId] = std::move(answer);
}

void FakeResponder::scriptDefault(ScriptedAnswer answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default = std::move(answer);
}

ScriptedAnswer FakeResponder::answerFor(int32_t commandId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_script.find(commandId);
    return it == m_script.end() ? m_default : it->second;
}

int FakeResponder::start(std::chrono::milliseconds ackTimeout)
{
    m_client = std::make_unique<ChannelTestClient>(m_socketPath);
    const int status = m_client->registerAs(m_fmId, ackTimeout);
    if (status == 1)
        m_thread = std::thread([this] { serve(); });
    return status;
}

void FakeResponder::stop()
{
    if (m_client)
        m_client->shutdown();
    if (m_thread.joinable())
        m_thread.join();
    m_client.reset();
    m_ended = true;
}

void FakeResponder::serve()
{
    std::vector<Due> due; // ordered by when
    while (!m_client->closed()) {
        auto wait = std::chrono::milliseconds(1000);
        if (!due.empty())
            wait = std::max(std::chrono::milliseconds(0),
                            std::chrono::ceil<std::chrono::milliseconds>(due.front().when - Clock::now()));
        auto frame = m_client->receive(wait);
        if (frame) {
            auto* request = std::get_if<ZAV::RequestFrame>(&*frame);
            if (request == nullptr)
                continue;
            const ScriptedAnswer answer = answerFor(request->record.commandId);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.push_back(*request);
            }
            m_receivedChanged.notify_all();
            if (answer.action == ScriptedAnswer::Action::Close) {
                // Marked before the close, which a waiting requester may see answered at once.
                m_ended = true;
                m_client->shutdown();
                break;
            }
            if (answer.action == ScriptedAnswer::Action::Ignore)
                continue;
            ZAV::ResponseFrame response;
            response.type = answer.frameType;
            response.record = {request->record.commandId, request->record.sourceFmId, m_fmId,
                               request->record.cookie,    answer.completed,           answer.status,
                               answer.dataKind,           answer.flags,
                               static_cast<int32_t>(answer.data.size())};
            response.data = answer.data;
            const Due entry{Clock::now() + answer.delay, std::move(response)};
            due.insert(std::upper_bound(due.begin(), due.end(), entry,
                                        [](const Due& a, const Due& b) { return a.when < b.when; }),
                       entry);
        }
        while (!due.empty() && due.front().when <= Clock::now()) {
            m_client->send(due.front().response);
            due.erase(due.begin());
        }
    }
    m_ended = true;
}

std::vector<ZAV::RequestFrame> FakeResponder::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool FakeResponder::waitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_receivedChanged.wait_until(lock, Clock::now() + timeout,
                                        [&] { return m_received.size() >= count; });
}

} // namespace TestSupport
