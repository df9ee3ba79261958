#include "SFAppliedChanges.h"

#include "SFRuleGroup.h"
#include "SFTrustedIPGroupManager.h"

namespace StatefulFirewall {

SFRuleTableSnapshot SFAppliedChanges::copyTable(SFRuleManager& manager)
{
    SFRuleTableSnapshot table = manager.snapshot();
    m_rules.store(table.version);
    m_adaptive.store(table.adaptiveVersion);
    ++m_copies;
    return table;
}

std::vector<SFTrustedGroupIP> SFAppliedChanges::copyTrusted(SFTrustedIPGroupManager& manager)
{
    uint64_t version = 0;
    std::vector<SFTrustedGroupIP> copy = manager.copyTrustedIPList(&version);
    m_trusted.store(version);
    return copy;
}

void SFAppliedChanges::adaptiveApplied(uint64_t version)
{
    m_adaptive.store(version);
}

bool SFAppliedChanges::pending() const
{
    return m_rules.load() != SFRuleManager::version() ||
           m_adaptive.load() != SFRuleManager::adaptiveVersion() ||
           m_trusted.load() != SFTrustedIPGroupManager::version();
}

bool SFAppliedChanges::pushDue()
{
    if (!pending()) {
        m_seenValid = false;
        return false;
    }
    if (m_seenValid && m_copiesSeen == m_copies)
        return true;
    m_copiesSeen = m_copies;
    m_seenValid = true;
    return false;
}

} // namespace StatefulFirewall
