#include "ChannelFrame.h"

#include "FMPException.h"

#include <cstring>
#include <limits>
#include <type_traits>

namespace ZAV {

namespace {

constexpr int32_t kPrefixSize = sizeof(FramePrefix);
constexpr int32_t kRegisterLength = kPrefixSize + sizeof(RegisterFrame);
constexpr int32_t kDeregisterLength = kPrefixSize + sizeof(DeregisterFrame);
constexpr int32_t kRegAckLength = kPrefixSize + sizeof(RegAckFrame);
// Requests and responses share the header size: prefix plus a nine-word record.
constexpr int32_t kRecordFrameHeader = kPrefixSize + sizeof(RequestRecord);
static_assert(kRecordFrameHeader == 48, "record frames carry their data after 48 bytes");
static_assert(sizeof(RequestRecord) == sizeof(ResponseRecord), "both records share one header size");

template <typename T>
void appendRaw(std::string& out, const T& value)
{
    static_assert(std::is_trivially_copyable<T>::value, "copied byte for byte");
    out.append(reinterpret_cast<const char*>(&value), sizeof(T));
}

template <typename T>
T readRaw(const char* bytes)
{
    static_assert(std::is_trivially_copyable<T>::value, "copied byte for byte");
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <typename Body>
std::string encodeFixed(int32_t type, int32_t length, const Body& body)
{
    std::string out;
    out.reserve(length);
    appendRaw(out, FramePrefix{type, length, kFrameMagic});
    appendRaw(out, body);
    return out;
}

const char* typeName(int32_t type)
{
    switch (type) {
    case kRegisterType: return "register";
    case kRegAckType: return "registration acknowledgement";
    case kDeregisterType: return "deregister";
    case kRequestType: return "command request";
    case kResponseType:
    case kAltResponseType: return "command response";
    default: return "unknown";
    }
}

// Why a record's data description cannot be accepted, or empty when it can. Shared by the
// encoder and the decoder so that we never send what our own peer code would refuse.
std::string dataProblem(int32_t dataKind, int32_t dataSize, int32_t maxDataSize)
{
    if (dataSize < 0)
        return "negative data size " + std::to_string(dataSize);
    if (dataSize > maxDataSize)
        return "data size " + std::to_string(dataSize) + " over the limit of " +
               std::to_string(maxDataSize) + " bytes";
    if (dataKind < kDataKindNone || dataKind > kDataKindWide)
        return "unknown data kind " + std::to_string(dataKind);
    if (dataKind == kDataKindNone && dataSize != 0)
        return "data kind none with " + std::to_string(dataSize) + " bytes of data";
    return {};
}

template <typename Record>
std::string encodeRecordFrame(int32_t type, const Record& record, const std::string& data)
{
    std::string problem = dataProblem(record.dataKind, record.dataSize, kDefaultMaxDataSize);
    if (problem.empty() && static_cast<std::size_t>(record.dataSize) != data.size())
        problem = "record declares " + std::to_string(record.dataSize) + " bytes of data but " +
                  std::to_string(data.size()) + " are given";
    if (!problem.empty())
        throw FMPException(kInvalidFrame,
                           std::string("Cannot encode ") + typeName(type) + " frame for command " +
                               std::to_string(record.commandId) + ": " + problem);

    const int32_t length = kRecordFrameHeader + record.dataSize;
    std::string out;
    out.reserve(length);
    appendRaw(out, FramePrefix{type, length, kFrameMagic});
    appendRaw(out, record);
    out.append(data);
    return out;
}

[[noreturn]] void refuse(const FramePrefix& prefix, const std::string& problem)
{
    throw FMPException(kMalformedFrame, "Malformed channel frame (type " +
                                            std::to_string(prefix.type) + ", length " +
                                            std::to_string(prefix.length) + "): " + problem);
}

} // namespace

std::string encodeRegister(const RegisterFrame& frame)
{
    return encodeFixed(kRegisterType, kRegisterLength, frame);
}

std::string encodeDeregister(const DeregisterFrame& frame)
{
    return encodeFixed(kDeregisterType, kDeregisterLength, frame);
}

std::string encodeRegAck(const RegAckFrame& frame)
{
    return encodeFixed(kRegAckType, kRegAckLength, frame);
}

std::string encodeRequest(const RequestFrame& frame)
{
    return encodeRecordFrame(kRequestType, frame.record, frame.data);
}

std::string encodeResponse(const ResponseFrame& frame)
{
    if (frame.type != kResponseType && frame.type != kAltResponseType)
        throw FMPException(kInvalidFrame, "Cannot encode command response for command " +
                                              std::to_string(frame.record.commandId) +
                                              ": frame type " + std::to_string(frame.type) +
                                              " is not a response type");
    return encodeRecordFrame(frame.type, frame.record, frame.data);
}

std::string encodeFrame(const Frame& frame)
{
    struct Encoder {
        std::string operator()(const RegisterFrame& f) const { return encodeRegister(f); }
        std::string operator()(const DeregisterFrame& f) const { return encodeDeregister(f); }
        std::string operator()(const RegAckFrame& f) const { return encodeRegAck(f); }
        std::string operator()(const RequestFrame& f) const { return encodeRequest(f); }
        std::string operator()(const ResponseFrame& f) const { return encodeResponse(f); }
    };
    return std::visit(Encoder{}, frame);
}

FrameDecoder::FrameDecoder(int32_t maxDataSize) : m_maxDataSize(maxDataSize)
{
    if (maxDataSize < 0 || maxDataSize > std::numeric_limits<int32_t>::max() - kRecordFrameHeader)
        throw FMPException(kInvalidFrame, "Channel data limit " + std::to_string(maxDataSize) +
                                              " is outside 0.." +
                                              std::to_string(std::numeric_limits<int32_t>::max() -
                                                             kRecordFrameHeader));
    m_capacity = static_cast<std::size_t>(kRecordFrameHeader) +
                 static_cast<std::size_t>(maxDataSize) + kReadSlack;
}

void FrameDecoder::compact()
{
    // Dropping returned frames only when more bytes arrive keeps next() free of copies and
    // moves each pending byte at most once per feed.
    if (m_start == 0)
        return;
    m_buffer.erase(0, m_start);
    m_start = 0;
}

void FrameDecoder::feed(const char* bytes, std::size_t size)
{
    if (size == 0)
        return;
    compact();
    if (size > m_capacity - m_buffer.size())
        throw FMPException(kFrameBufferFull,
                           "Channel receive buffer would hold " +
                               std::to_string(m_buffer.size() + size) + " bytes, over its bound of " +
                               std::to_string(m_capacity));
    m_buffer.append(bytes, size);
}

bool FrameDecoder::next(Frame& frame)
{
    const std::size_t available = buffered();
    if (available < static_cast<std::size_t>(kPrefixSize))
        return false;
    const char* bytes = m_buffer.data() + m_start;
    const auto prefix = readRaw<FramePrefix>(bytes);

    if (prefix.magic != kFrameMagic)
        refuse(prefix, "bad magic " + std::to_string(prefix.magic));

    int32_t fixedLength = 0;
    switch (prefix.type) {
    case kRegisterType: fixedLength = kRegisterLength; break;
    case kDeregisterType: fixedLength = kDeregisterLength; break;
    case kRegAckType: fixedLength = kRegAckLength; break;
    case kRequestType:
    case kResponseType:
    case kAltResponseType: break;
    default: refuse(prefix, "unknown frame type");
    }

    if (fixedLength != 0) {
        if (prefix.length != fixedLength)
            refuse(prefix, std::string("a ") + typeName(prefix.type) + " frame is " +
                               std::to_string(fixedLength) + " bytes");
        if (available < static_cast<std::size_t>(fixedLength))
            return false;
        const char* body = bytes + kPrefixSize;
        switch (prefix.type) {
        case kRegisterType: frame = readRaw<RegisterFrame>(body); break;
        case kDeregisterType: frame = readRaw<DeregisterFrame>(body); break;
        default: frame = readRaw<RegAckFrame>(body); break;
        }
        m_start += fixedLength;
        return true;
    }

    // Checked on the prefix alone so an oversized frame is refused before its data is waited for.
    if (prefix.length < kRecordFrameHeader)
        refuse(prefix, "shorter than the " + std::to_string(kRecordFrameHeader) +
                           "-byte command header");
    if (prefix.length - kRecordFrameHeader > m_maxDataSize)
        refuse(prefix, "data over the limit of " + std::to_string(m_maxDataSize) + " bytes");
    if (available < static_cast<std::size_t>(kRecordFrameHeader))
        return false;

    const char* record = bytes + kPrefixSize;
    int32_t dataKind = 0;
    int32_t dataSize = 0;
    if (prefix.type == kRequestType) {
        const auto r = readRaw<RequestRecord>(record);
        dataKind = r.dataKind;
        dataSize = r.dataSize;
    } else {
        const auto r = readRaw<ResponseRecord>(record);
        dataKind = r.dataKind;
        dataSize = r.dataSize;
    }
    const std::string problem = dataProblem(dataKind, dataSize, m_maxDataSize);
    if (!problem.empty())
        refuse(prefix, problem);
    if (dataSize != prefix.length - kRecordFrameHeader)
        refuse(prefix, "record declares " + std::to_string(dataSize) + " bytes of data");

    if (available < static_cast<std::size_t>(prefix.length))
        return false;
    const char* data = bytes + kRecordFrameHeader;
    if (prefix.type == kRequestType) {
        RequestFrame request;
        request.record = readRaw<RequestRecord>(record);
        request.data.assign(data, static_cast<std::size_t>(dataSize));
        frame = std::move(request);
    } else {
        ResponseFrame response;
        response.type = prefix.type;
        response.record = readRaw<ResponseRecord>(record);
        response.data.assign(data, static_cast<std::size_t>(dataSize));
        frame = std::move(response);
    }
    m_start += prefix.length;
    if (prefix.length > static_cast<int32_t>(kReadSlack)) {
        // The buffer would otherwise keep a large frame's capacity for as long as the connection
        // lives; what follows the frame is at most one read's worth, so keeping only that is cheap.
        std::string rest(m_buffer, m_start);
        m_buffer.swap(rest);
        m_start = 0;
    }
    return true;
}

std::size_t FrameDecoder::pendingFrameLength() const
{
    if (buffered() < static_cast<std::size_t>(kPrefixSize))
        return 0;
    const auto prefix = readRaw<FramePrefix>(m_buffer.data() + m_start);
    return prefix.length > 0 ? static_cast<std::size_t>(prefix.length) : 0;
}

} // namespace ZAV
