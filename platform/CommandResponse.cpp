#include "CommandResponse.h"

namespace ZAV {

CommandResponse::CommandResponse() = default;

CommandResponse::CommandResponse(int commandId, int sourceId)
    : m_commandId(commandId), m_sourceFmId(sourceId)
{
}

int32_t CommandResponse::outgoingDataKind() const
{
    const bool narrow = m_narrowWritten && m_archives.narrowWritten();
    const bool wide = m_wideWritten && m_archives.wideWritten();
    if (narrow && wide)
        return m_utf8DataPresent ? kDataKindNarrow : kDataKindWide;
    if (narrow)
        return kDataKindNarrow;
    return wide ? kDataKindWide : kDataKindNone;
}

std::string CommandResponse::outgoingData() const
{
    switch (outgoingDataKind()) {
    case kDataKindNarrow: return m_archives.narrowBytes();
    case kDataKindWide: return m_archives.wideBytes();
    default: return {};
    }
}

void CommandResponse::setReceivedReply(const ResponseRecord& record, std::string data)
{
    m_completed = record.completed != 0;
    m_status = record.status != 0;
    m_cookie = record.cookie;
    m_customDataPresent = (record.flags & kCustomDataPresentFlag) != 0;
    m_utf8DataPresent = (record.flags & kUtf8DataPresentFlag) != 0;
    m_received.assign(record.dataKind, std::move(data));
    m_replyState = ReplyState::Received;
}

void CommandResponse::clearReceivedReply()
{
    m_completed = false;
    m_status = false;
    m_received.assign(kDataKindNone, {});
    m_replyState = ReplyState::NotSent;
}

} // namespace ZAV
