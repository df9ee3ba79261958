#include "CommandRequest.h"

#include "ChannelFrame.h"
#include "CommandNWRequest.h"

namespace ZAV {

CommandRequest::CommandRequest(int commandId, int destinationId)
    : m_commandId(commandId), m_destinationFmId(destinationId)
{
}

CommandRequest::CommandRequest(const CommandNWRequest& request, bool narrow)
    : m_isReceived(true), m_narrowView(narrow), m_commandId(request.getCommandId()),
      m_sourceFmId(request.getSourceFMId()), m_destinationFmId(request.getDestinationFMId()),
      m_cookie(request.getCommandCookie()),
      m_customDataPresent((request.getFlags() & kCustomDataPresentFlag) != 0),
      m_utf8DataPresent((request.getFlags() & kUtf8DataPresentFlag) != 0)
{
    m_received.assign(request.getDataKind(), request.getCustomData());
}

boost::archive::text_oarchive* CommandRequest::getNarrowOutputArchive()
{
    return m_isReceived ? nullptr : &m_archives.narrow();
}

boost::archive::text_woarchive* CommandRequest::getWideOutputArchive()
{
    return m_isReceived ? nullptr : &m_archives.wide();
}

void CommandRequest::setRawCustomData(std::string archiveText, bool wide)
{
    m_hasRawData = true;
    m_rawDataWide = wide;
    m_rawData = std::move(archiveText);
}

int32_t CommandRequest::outgoingDataKind() const
{
    if (m_isReceived)
        return kDataKindNone;
    if (m_hasRawData)
        return m_rawData.empty() ? kDataKindNone : (m_rawDataWide ? kDataKindWide : kDataKindNarrow);
    if (m_utf8DataPresent)
        return m_archives.narrowWritten() ? kDataKindNarrow : kDataKindNone;
    return m_archives.wideWritten() ? kDataKindWide : kDataKindNone;
}

std::string CommandRequest::outgoingData() const
{
    switch (outgoingDataKind()) {
    case kDataKindNarrow: return m_hasRawData ? m_rawData : m_archives.narrowBytes();
    case kDataKindWide: return m_hasRawData ? m_rawData : m_archives.wideBytes();
    default: return {};
    }
}

boost::archive::text_iarchive* CommandRequest::getNarrowInputArchive()
{
    return m_narrowView ? m_received.narrow() : nullptr;
}

boost::archive::text_wiarchive* CommandRequest::getWideInputArchive()
{
    return m_narrowView ? nullptr : m_received.wide();
}

} // namespace ZAV
