#include "SFContentVersion.h"

namespace StatefulFirewall {

uint64_t SFContentVersion::current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_version;
}

void SFContentVersion::changed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = ++m_issued;
}

SFContentVersion::Mark SFContentVersion::mark() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_version, m_issued};
}

void SFContentVersion::undone(const Mark& since, uint64_t operations)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_issued == since.issued + operations)
        m_version = since.version;
}

} // namespace StatefulFirewall
