#pragma once

// Frames of the platform command channel: what the daemon, the tool and the broker write to
// one another over the Unix socket. Every frame is a run of int32 words in host byte order
// (both ends run on the same host), starting with the prefix {type, length, magic}, where
// length counts the whole frame including the prefix.
//
// This file only turns frames into bytes and bytes into frames; it never touches a socket.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

namespace ZAV {

// FMPException code for a stream that cannot be read as frames. The connection carrying it
// has to be closed: there is no way to find the next frame boundary again.
constexpr int kMalformedFrame = 20;
// FMPException code for a frame the encoder refuses to build because the peer would refuse it.
constexpr int kInvalidFrame = 21;
// FMPException code for a decoder asked to hold more than its buffer bound.
constexpr int kFrameBufferFull = 22;

constexpr int32_t kFrameMagic = 0x1234;

constexpr int32_t kRegisterType = 1;
constexpr int32_t kRegAckType = 2;
constexpr int32_t kDeregisterType = 3;
constexpr int32_t kRequestType = 4;
constexpr int32_t kResponseType = 8;
constexpr int32_t kAltResponseType = 16;

constexpr int32_t kDataKindNone = 0;
constexpr int32_t kDataKindNarrow = 1;
constexpr int32_t kDataKindWide = 2;

constexpr int32_t kCustomDataPresentFlag = 1 << 0;
constexpr int32_t kUtf8DataPresentFlag = 1 << 1;

constexpr int32_t kRegisterClientKind = 3;

// Received data is held in memory whole, so a peer must not be able to declare more than this.
constexpr int32_t kDefaultMaxDataSize = 64 * 1024 * 1024;

struct FramePrefix {
    int32_t type;
    int32_t length;
    int32_t magic;
};

struct RegisterFrame {
    int32_t fmId = 0;
    int32_t pid = 0;
    int32_t clientKind = kRegisterClientKind;
};

struct DeregisterFrame {
    int32_t fmId = 0;
    int32_t pid = 0;
};

struct RegAckFrame {
    int32_t fmId = 0;
    int32_t status = 0; // 1 accepted, 0 refused
};

// Field order is the wire order: records are copied to and from the stream as they are.
struct RequestRecord {
    int32_t commandId = 0;
    int32_t sourceFmId = 0;
    int32_t destFmId = 0;
    int32_t cookie = 0;
    int32_t sendFlag = 0;
    int32_t dataKind = kDataKindNone;
    int32_t flags = 0;
    int32_t reserved = 0;
    int32_t dataSize = 0;
};

struct ResponseRecord {
    int32_t commandId = 0;
    int32_t requesterFmId = 0;
    int32_t responderFmId = 0;
    int32_t cookie = 0;
    int32_t completed = 0;
    int32_t status = 0;
    int32_t dataKind = kDataKindNone;
    int32_t flags = 0;
    int32_t dataSize = 0;
};

static_assert(sizeof(FramePrefix) == 12, "frame prefix is three int32 words");
static_assert(sizeof(RegisterFrame) == 12, "register body is three int32 words");
static_assert(sizeof(DeregisterFrame) == 8, "deregister body is two int32 words");
static_assert(sizeof(RegAckFrame) == 8, "acknowledgement body is two int32 words");
static_assert(sizeof(RequestRecord) == 36, "request record is nine int32 words");
static_assert(sizeof(ResponseRecord) == 36, "response record is nine int32 words");
static_assert(std::is_trivially_copyable<RequestRecord>::value &&
                  std::is_trivially_copyable<ResponseRecord>::value,
              "records are copied byte for byte");

// The record's dataSize always equals data.size() in a decoded frame, and must in one to encode.
struct RequestFrame {
    RequestRecord record;
    std::string data;
};

struct ResponseFrame {
    int32_t type = kResponseType; // kResponseType or kAltResponseType
    ResponseRecord record;
    std::string data;
};

using Frame = std::variant<RegisterFrame, DeregisterFrame, RegAckFrame, RequestFrame, ResponseFrame>;

// Bytes of one frame. A request or response whose record disagrees with its data, or that the
// decoder would refuse for another reason, throws FMPException(kInvalidFrame) rather than
// putting bytes on the wire that make the peer drop the connection.
std::string encodeRegister(const RegisterFrame& frame);
std::string encodeDeregister(const DeregisterFrame& frame);
std::string encodeRegAck(const RegAckFrame& frame);
std::string encodeRequest(const RequestFrame& frame);
std::string encodeResponse(const ResponseFrame& frame);
std::string encodeFrame(const Frame& frame);

// Cuts a byte stream into frames, whatever the stream's chunking.
//
// The caller feeds what it read and then calls next() until it returns false. A frame's prefix
// and record are checked as soon as they are buffered, before its data has arrived, so a peer
// declaring a bad or oversized frame is refused without waiting for (or storing) its data.
// A malformed stream throws FMPException(kMalformedFrame) and keeps throwing: the connection
// must be closed. The buffer holds at most one largest legal frame plus one read's worth of
// following bytes; feeding past that throws FMPException(kFrameBufferFull).
//
// Not thread safe: one decoder per connection, used by the thread reading that connection.
class FrameDecoder {
public:
    // Bytes one feed may bring beyond a whole frame: room for a socket read of this size.
    static constexpr std::size_t kReadSlack = 64 * 1024;

    // maxDataSize must lie in 0..INT32_MAX-48 so the whole frame length fits its int32 field.
    explicit FrameDecoder(int32_t maxDataSize = kDefaultMaxDataSize);

    void feed(const char* bytes, std::size_t size);
    void feed(const std::string& bytes) { feed(bytes.data(), bytes.size()); }

    // True and frame filled when a whole frame was buffered; false when more bytes are needed.
    bool next(Frame& frame);

    // Bytes received but not yet returned as frames.
    std::size_t buffered() const { return m_buffer.size() - m_start; }
    // The whole length the buffered prefix declares for the frame next() is still waiting for;
    // 0 when no prefix is buffered. Meaningful after next() has returned false.
    std::size_t pendingFrameLength() const;

private:
    void compact();

    int32_t m_maxDataSize;
    std::size_t m_capacity;
    std::string m_buffer;
    std::size_t m_start = 0; // offset of the first byte not yet returned
};

} // namespace ZAV
