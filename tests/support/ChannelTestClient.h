#pragma once

// A raw-frame peer of the platform command channel: it connects to a broker's socket, writes
// frames exactly as given (well-formed or not) and reads whole frames against a deadline.
//
// Not thread safe, except shutdown(), which another thread may call to wake a blocked receive().

#include "ChannelFrame.h"
#include "HangGuard.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace TestSupport {

class ChannelTestClient {
public:
    // Connects at once; throws std::runtime_error when nobody listens at socketPath.
    explicit ChannelTestClient(const std::string& socketPath);
    ~ChannelTestClient();
    ChannelTestClient(const ChannelTestClient&) = delete;
    ChannelTestClient& operator=(const ChannelTestClient&) = delete;

    void send(const ZAV::Frame& frame) { sendBytes(ZAV::encodeFrame(frame)); }
    // Writes all of bytes; false when the broker has closed the connection.
    bool sendBytes(const std::string& bytes);
    // Lets up to bytes of frames sit unread in the socket, so a test can write a whole flood
    // before the broker reads any of it; false when the kernel refuses (needs CAP_NET_ADMIN).
    bool reserveSendBuffer(int bytes);
    // What the broker has not yet read of what this client sent, in the kernel's accounting
    // (buffer sizes, not payload bytes): it changes whenever the broker reads.
    long unreadByBroker() const;

    // The next frame; nullopt when none came within timeout or the connection ended.
    std::optional<ZAV::Frame> receive(std::chrono::milliseconds timeout);
    // The next response, skipping other frames; nullopt as for receive().
    std::optional<ZAV::ResponseFrame> receiveResponse(std::chrono::milliseconds timeout);
    // True when the broker closes the connection within timeout; frames before that are dropped.
    bool waitClosed(std::chrono::milliseconds timeout);
    bool closed() const { return m_closed; }

    // Sends REGISTER {fmId, pid, 3}; the acknowledgement's status, or -1 when none came in time.
    // The default bound is the hang guard: the answer ends the wait, however long it took.
    int registerAs(int32_t fmId, std::chrono::milliseconds timeout = TestSupport::kHangGuard);
    // Sends a request and returns the first response that comes within timeout.
    std::optional<ZAV::ResponseFrame> call(const ZAV::RequestFrame& request,
                                           std::chrono::milliseconds timeout = TestSupport::kHangGuard);

    // Shuts the socket down both ways, so the broker sees the peer leave and a receive()
    // blocked on another thread returns.
    void shutdown();

private:
    int m_fd = -1;
    ZAV::FrameDecoder m_decoder;
    bool m_closed = false;
};

// A request with its record's data fields filled from data.
ZAV::RequestFrame makeRequest(int32_t commandId, int32_t destFmId, int32_t cookie,
                              int32_t dataKind = ZAV::kDataKindNone, const std::string& data = {});

} // namespace TestSupport
