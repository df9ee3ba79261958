#include "CommandInputArchives.h"

#include "ChannelFrame.h"
#include "WideText.h"

namespace ZAV {

CommandInputArchives::CommandInputArchives() = default;
CommandInputArchives::~CommandInputArchives() = default;

void CommandInputArchives::assign(int32_t dataKind, std::string bytes)
{
    // Archives first: they refer to their streams.
    m_narrow.reset();
    m_narrowStream.reset();
    m_wide.reset();
    m_wideStream.reset();
    m_bytes = std::move(bytes);
    m_dataKind = m_bytes.empty() ? kDataKindNone : dataKind;
}

boost::archive::text_iarchive* CommandInputArchives::narrow()
{
    if (!hasData())
        return nullptr;
    if (!m_narrow) {
        auto stream = std::make_unique<std::istringstream>(m_bytes);
        m_narrow = std::make_unique<boost::archive::text_iarchive>(*stream);
        m_narrowStream = std::move(stream);
    }
    return m_narrow.get();
}

boost::archive::text_wiarchive* CommandInputArchives::wide()
{
    if (!hasData())
        return nullptr;
    if (!m_wide) {
        std::wstring text;
        if (!wideText(text))
            return nullptr;
        auto stream = std::make_unique<std::wistringstream>(std::move(text));
        m_wide = std::make_unique<boost::archive::text_wiarchive>(*stream);
        m_wideStream = std::move(stream);
    }
    return m_wide.get();
}

bool CommandInputArchives::wideText(std::wstring& text) const
{
    if (!hasData())
        return false;
    return m_dataKind == kDataKindWide ? utf8ToWide(m_bytes, text) : asciiToWide(m_bytes, text);
}

} // namespace ZAV
