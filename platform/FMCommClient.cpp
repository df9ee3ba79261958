#include "FMCommClient.h"

#include "ChannelErrors.h"
#include "ChannelFrame.h"
#include "FMPException.h"
#include "ICommandFMCallback.h"
#include "IHelperFactory.h"
#include "ILogger.h"
#include "ISocket.h"

#include <set>
#include <type_traits>
#include <variant>
#include <vector>

namespace ZAV {

namespace {

const char* const kComponent = "FMCommClient";

// Type and status word under which a decoded frame is handed to its receivers.
struct Delivery {
    int type;
    int status;
};

Delivery deliveryOf(const Frame& frame)
{
    return std::visit(
        [](const auto& f) -> Delivery {
            using T = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<T, RegAckFrame>)
                return {kRegAckType, f.status};
            else if constexpr (std::is_same_v<T, ResponseFrame>)
                return {f.type, f.record.status};
            else if constexpr (std::is_same_v<T, RequestFrame>)
                return {kRequestType, 0};
            else if constexpr (std::is_same_v<T, RegisterFrame>)
                return {kRegisterType, 0};
            else
                return {kDeregisterType, 0};
        },
        frame);
}

// Clears the run-loop thread however run() ends.
class RunLoopMark {
public:
    RunLoopMark(std::mutex& mutex, std::thread::id& runThread) : m_mutex(mutex), m_runThread(runThread)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_runThread != std::thread::id())
            throw FMPException(kAlreadyRunning, "The command client's run loop is already running");
        m_runThread = std::this_thread::get_id();
    }
    ~RunLoopMark()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runThread = std::thread::id();
    }
    RunLoopMark(const RunLoopMark&) = delete;
    RunLoopMark& operator=(const RunLoopMark&) = delete;

private:
    std::mutex& m_mutex;
    std::thread::id& m_runThread;
};

} // namespace

FMCommClient::FMCommClient(ISocket& socket, IHelperFactory& helperFactory, ILogger& logger)
    : m_socket(socket), m_helperFactory(helperFactory), m_logger(logger)
{
}

bool FMCommClient::loopRunning() const
{
    std::lock_guard<std::mutex> lock(m_runMutex);
    return m_runThread != std::thread::id();
}

void FMCommClient::startConnection()
{
    if (loopRunning())
        throw FMPException(kAlreadyRunning,
                           "Cannot start a new connection while the run loop reads the old one");
    // A connection left shut down by an earlier stop() would otherwise be kept by connect().
    m_socket.close();
    m_socket.connect();
    m_active = true;
    m_logger.logMessage(6, kComponent,
                        "Connected to the platform service at " + m_socket.getSocketPath());
}

void FMCommClient::run()
{
    RunLoopMark mark(m_runMutex, m_runThread);
    FrameDecoder decoder;
    std::vector<char> buffer(FrameDecoder::kReadSlack);
    std::string failure;
    while (m_active) {
        try {
            const long got = m_socket.receive(buffer.data(), buffer.size());
            if (got == 0) {
                failure = "The platform service closed the connection";
                break;
            }
            decoder.feed(buffer.data(), static_cast<std::size_t>(got));
            Frame frame;
            while (decoder.next(frame)) {
                const Delivery delivery = deliveryOf(frame);
                std::string bytes = encodeFrame(frame);
                deliver(delivery.type, bytes, delivery.status);
            }
        } catch (const FMPException& e) {
            // A read error, or a stream that cannot be cut into frames any more.
            failure = e.getMessage();
            break;
        }
    }
    endConnection();
    if (!m_active) {
        m_logger.logMessage(6, kComponent, "The command client stopped");
        return;
    }
    m_logger.logMessage(2, kComponent, "Lost the connection to the platform service: " + failure);
    throw FMPException(kConnectionBroken, failure);
}

void FMCommClient::stop()
{
    // The flag first: run() reads it when the shutdown wakes it, and must see it cleared to
    // return normally instead of reporting a break.
    m_active = false;
    m_socket.shutdown();
    m_logger.logMessage(6, kComponent, "Stopping the command client");
}

bool FMCommClient::isActive() const
{
    return m_active;
}

bool FMCommClient::isRunLoopThread() const
{
    std::lock_guard<std::mutex> lock(m_runMutex);
    return m_runThread == std::this_thread::get_id();
}

void FMCommClient::sendRawMessage(const void* buffer, unsigned long length)
{
    if (!m_socket.isConnected()) {
        if (!m_active)
            throw FMPException(kNotConnected, "The command client is not connected to the "
                                              "platform service and was not started");
        // After a break run() closed the connection; the re-registration that follows comes
        // through here, so this is where the client connects again.
        m_socket.connect();
        m_logger.logMessage(5, kComponent,
                            "Connected again to the platform service at " + m_socket.getSocketPath());
    }
    m_socket.send(buffer, length, 1);
}

void FMCommClient::deliver(int type, std::string& bytes, int status)
{
    const std::vector<IFMCallback*> receivers = m_helperFactory.getFMCallbacks(type);
    if (receivers.empty()) {
        m_logger.logMessage(4, kComponent,
                            "No receiver for a message of type " + std::to_string(type) + "; dropped");
        return;
    }
    for (IFMCallback* receiver : receivers) {
        // A receiver that throws must not end the loop that every other message depends on.
        try {
            receiver->callbackFMToProcessMessage(type, bytes.data(), bytes.size(), status);
        } catch (const FMPException& e) {
            m_logger.logMessage(2, kComponent, "A receiver of message type " + std::to_string(type) +
                                                   " failed: " + e.getMessage());
        } catch (const std::exception& e) {
            m_logger.logMessage(2, kComponent, "A receiver of message type " + std::to_string(type) +
                                                   " failed: " + e.what());
        } catch (...) {
            m_logger.logMessage(2, kComponent, "A receiver of message type " + std::to_string(type) +
                                                   " failed with an unknown exception");
        }
    }
}

void FMCommClient::endConnection()
{
    m_socket.close();
    // Replies still owed over this connection will never come: the senders waiting for them
    // are the receivers of response messages.
    std::set<IFMCallback*> seen;
    for (int type : {kResponseType, kAltResponseType}) {
        for (IFMCallback* receiver : m_helperFactory.getFMCallbacks(type)) {
            if (!seen.insert(receiver).second)
                continue;
            if (auto* commands = dynamic_cast<ICommandFMCallback*>(receiver))
                commands->connectionClosed();
        }
    }
}

} // namespace ZAV
