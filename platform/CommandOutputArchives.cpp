#include "CommandOutputArchives.h"

#include "ChannelErrors.h"
#include "ChannelFrame.h"
#include "FMPException.h"
#include "WideText.h"

namespace ZAV {

namespace {

template <class Stream> std::streamoff written(Stream& stream)
{
    // tellp() on a failed stream answers -1; the failure itself is reported by the *Bytes calls.
    const auto position = stream.tellp();
    return position < 0 ? 0 : static_cast<std::streamoff>(position);
}

} // namespace

CommandOutputArchives::CommandOutputArchives() = default;
CommandOutputArchives::~CommandOutputArchives() = default;

boost::archive::text_oarchive& CommandOutputArchives::narrow()
{
    if (!m_narrow) {
        m_narrow = std::make_unique<boost::archive::text_oarchive>(m_narrowStream);
        m_narrowHeader = written(m_narrowStream);
    }
    return *m_narrow;
}

boost::archive::text_woarchive& CommandOutputArchives::wide()
{
    if (!m_wide) {
        m_wide = std::make_unique<boost::archive::text_woarchive>(m_wideStream);
        m_wideHeader = written(m_wideStream);
    }
    return *m_wide;
}

bool CommandOutputArchives::narrowWritten() const
{
    // A failed stream counts as written, so that narrowBytes() reports the failure.
    return m_narrow && (m_narrowStream.fail() || written(m_narrowStream) > m_narrowHeader);
}

bool CommandOutputArchives::wideWritten() const
{
    return m_wide && (m_wideStream.fail() || written(m_wideStream) > m_wideHeader);
}

std::string CommandOutputArchives::narrowBytes() const
{
    if (!narrowWritten())
        return {};
    if (m_narrowStream.fail())
        throw FMPException(kInvalidFrame, "Writing the narrow command data failed; nothing was sent");
    return m_narrowStream.str();
}

std::string CommandOutputArchives::wideBytes() const
{
    if (!wideWritten())
        return {};
    // A non-ASCII byte of a std::string becomes 0xFFFFFFFF, which a wide string stream refuses:
    // the stream fails there and every later item is lost.
    if (m_wideStream.fail())
        throw FMPException(kWideTextNotEncodable,
                           "Writing the wide command data failed, most likely at a non-ASCII "
                           "character of a narrow string; nothing was sent");
    return wideToUtf8(m_wideStream.str());
}

} // namespace ZAV
