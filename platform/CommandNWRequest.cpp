#include "CommandNWRequest.h"

#include "CommandRequest.h"
#include "FMPException.h"

namespace ZAV {

CommandNWRequest::CommandNWRequest(RequestFrame frame)
    : m_frame(std::move(frame)), m_bytes(encodeRequest(m_frame))
{
}

CommandNWRequest::CommandNWRequest(const CommandRequest& request, int sourceFmId, int32_t cookie,
                                   bool sendFlag)
{
    m_frame.data = request.outgoingData();
    RequestRecord& record = m_frame.record;
    record.commandId = request.getCommandId();
    record.sourceFmId = sourceFmId;
    record.destFmId = request.getDestinationFMId();
    record.cookie = cookie;
    record.sendFlag = sendFlag ? 1 : 0;
    record.dataKind = m_frame.data.empty() ? kDataKindNone : request.outgoingDataKind();
    record.flags = (request.getCustomDataPresent() ? kCustomDataPresentFlag : 0) |
                   (request.getCustomUTF8DataPresent() ? kUtf8DataPresentFlag : 0);
    if (m_frame.data.size() > static_cast<std::size_t>(kDefaultMaxDataSize))
        throw FMPException(kInvalidFrame, "Command " + std::to_string(record.commandId) +
                                              " carries " + std::to_string(m_frame.data.size()) +
                                              " bytes of data, over the channel's limit of " +
                                              std::to_string(kDefaultMaxDataSize));
    record.dataSize = static_cast<int32_t>(m_frame.data.size());
    m_bytes = encodeRequest(m_frame);
}

} // namespace ZAV
