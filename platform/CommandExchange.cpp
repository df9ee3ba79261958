#include "CommandExchange.h"

#include "ChannelErrors.h"
#include "CommandNWRequest.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "IFMCommClient.h"
#include "ILogger.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace ZAV {

namespace {

// Shared by every exchange of the process, so that two callbacks registered for the same
// response types never both claim one reply.
std::atomic<uint32_t> g_lastCookie{0};

int32_t nextCookie()
{
    // Cookies stay positive: the counter's high bit is dropped and 0 is skipped.
    for (;;) {
        const uint32_t value = (g_lastCookie.fetch_add(1, std::memory_order_relaxed) + 1) & 0x7FFFFFFFu;
        if (value != 0)
            return static_cast<int32_t>(value);
    }
}

std::chrono::seconds timeoutFromEnvironment(ILogger& logger, const std::string& component)
{
    const char* text = std::getenv("ZAV_SEND_TIMEOUT_SECS");
    if (text == nullptr || *text == '\0')
        return std::chrono::seconds(CommandExchange::kDefaultTimeoutSecs);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > std::numeric_limits<int>::max()) {
        logger.logMessage(4, component,
                          std::string("Ignoring ZAV_SEND_TIMEOUT_SECS=") + text +
                              ", which is no positive number of seconds; the send timeout stays " +
                              std::to_string(CommandExchange::kDefaultTimeoutSecs) + " s");
        return std::chrono::seconds(CommandExchange::kDefaultTimeoutSecs);
    }
    return std::chrono::seconds(value);
}

} // namespace

CommandExchange::CommandExchange(ILogger& logger, std::string component)
    : m_logger(logger), m_component(std::move(component)),
      m_timeout(timeoutFromEnvironment(logger, m_component))
{
}

CommandExchange::Outcome CommandExchange::send(CommandRequest& request, CommandResponse& response,
                                               int sourceFmId, IFMCommClient& client, bool sendFlag)
{
    return send(request, response, sourceFmId, client, sendFlag, m_timeout);
}

CommandExchange::Outcome CommandExchange::send(CommandRequest& request, CommandResponse& response,
                                               int sourceFmId, IFMCommClient& client, bool sendFlag,
                                               std::chrono::seconds timeout)
{
    const std::string command = "command " + std::to_string(request.getCommandId()) + " to " +
                                std::to_string(request.getDestinationFMId());
    if (client.isRunLoopThread())
        throw FMPException(kSendFromRunLoop, "Cannot send " + command +
                                                 " from the thread that delivers its reply");
    response.clearReceivedReply();
    const int32_t cookie = nextCookie();
    // Encoding first: an archive that cannot travel throws before anything is sent.
    const CommandNWRequest wire(request, sourceFmId, cookie, sendFlag);
    request.setSourceFMId(sourceFmId);
    request.setCommandCookie(cookie);

    Waiter waiter;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting[cookie] = &waiter;
    }
    try {
        client.sendRawMessage(wire.getBytes().data(), wire.getBytes().size());
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.erase(cookie);
        throw;
    }
    response.markRequestSent();

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool ended = m_changed.wait_until(lock, deadline, [&] { return waiter.done; });
    m_waiting.erase(cookie);
    if (waiter.answered) {
        response.setReceivedReply(waiter.reply.record, std::move(waiter.reply.data));
        return Outcome::Answered;
    }
    lock.unlock();
    m_logger.logMessage(4, m_component,
                        ended ? "The connection closed before the reply to " + command + " came"
                              : "No reply to " + command + " within " +
                                    std::to_string(timeout.count()) + " s");
    return ended ? Outcome::Closed : Outcome::TimedOut;
}

int CommandExchange::deliver(const void* data, unsigned long size)
{
    ResponseFrame reply;
    try {
        FrameDecoder decoder;
        decoder.feed(static_cast<const char*>(data), size);
        Frame frame;
        if (!decoder.next(frame) || decoder.buffered() != 0 ||
            !std::holds_alternative<ResponseFrame>(frame)) {
            m_logger.logMessage(4, m_component, "Dropped a response message that is not one whole response frame");
            return 0;
        }
        reply = std::move(std::get<ResponseFrame>(frame));
    } catch (const FMPException& e) {
        m_logger.logMessage(4, m_component, "Dropped a response message: " + e.getMessage());
        return 0;
    }

    const int32_t cookie = reply.record.cookie;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_waiting.find(cookie);
        if (found != m_waiting.end() && !found->second->done) {
            found->second->reply = std::move(reply);
            found->second->answered = true;
            found->second->done = true;
            m_changed.notify_all();
            return 1;
        }
    }
    // A reply that came after its send gave up, or one meant for another exchange.
    m_logger.logMessage(6, m_component,
                        "No send waits for the reply with cookie " + std::to_string(cookie));
    return 0;
}

void CommandExchange::connectionClosed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& entry : m_waiting)
        entry.second->done = true;
    m_changed.notify_all();
}

} // namespace ZAV
