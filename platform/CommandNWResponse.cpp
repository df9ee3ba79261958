#include "CommandNWResponse.h"

#include "CommandResponse.h"
#include "FMPException.h"

namespace ZAV {

CommandNWResponse::CommandNWResponse(const CommandResponse& response)
    : m_data(response.outgoingData())
{
    if (m_data.size() > static_cast<std::size_t>(kDefaultMaxDataSize))
        throw FMPException(kInvalidFrame, "The reply to command " +
                                              std::to_string(response.getCommandId()) + " holds " +
                                              std::to_string(m_data.size()) +
                                              " bytes of data, over the channel's limit of " +
                                              std::to_string(kDefaultMaxDataSize));
    m_record.commandId = response.getCommandId();
    m_record.requesterFmId = response.getSourceFMId();
    m_record.responderFmId = 0;
    m_record.cookie = response.getCommandCookie();
    m_record.completed = response.getCommandCompleted() ? 1 : 0;
    m_record.status = response.getCommandStatus() ? 1 : 0;
    m_record.dataKind = m_data.empty() ? kDataKindNone : response.outgoingDataKind();
    m_record.flags = (response.getCustomDataPresent() ? kCustomDataPresentFlag : 0) |
                     (response.getCustomUTF8DataPresent() ? kUtf8DataPresentFlag : 0);
    m_record.dataSize = static_cast<int32_t>(m_data.size());
}

std::string CommandNWResponse::encode(int32_t replyKind) const
{
    ResponseFrame frame;
    frame.type = replyKind;
    frame.record = m_record;
    frame.data = m_data;
    return encodeResponse(frame);
}

} // namespace ZAV
