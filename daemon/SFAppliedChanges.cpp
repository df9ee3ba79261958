#include "SFAppliedChanges.h"

#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"

#include <algorithm>

namespace StatefulFirewall {

SFChangeCount SFChangeCount::current()
{
    return {SFRuleManager::changeCount(), SFRuleManager::adaptiveChangeCount(),
            SFTrustedIPGroupManager::changeCount()};
}

bool SFChangeCount::covers(const SFChangeCount& other) const
{
    return rules >= other.rules && adaptive >= other.adaptive && trusted >= other.trusted;
}

void SFAppliedChanges::pushCopying()
{
    const SFChangeCount now = SFChangeCount::current();
    m_rules.store(now.rules);
    m_trusted.store(now.trusted);
    // An adaptive rebuild after this copy's count may have been applied already.
    adaptiveApplied(now.adaptive);
}

void SFAppliedChanges::adaptiveApplied(uint64_t count)
{
    uint64_t known = m_adaptive.load();
    while (known < count && !m_adaptive.compare_exchange_weak(known, count)) {
    }
}

SFChangeCount SFAppliedChanges::applied() const
{
    return {m_rules.load(), m_adaptive.load(), m_trusted.load()};
}

bool SFAppliedChanges::pending() const
{
    return !applied().covers(SFChangeCount::current());
}

bool SFAppliedChanges::pushDue()
{
    const SFChangeCount now = SFChangeCount::current();
    const SFChangeCount done = applied();
    if (done.covers(now)) {
        m_seenValid = false;
        return false;
    }
    if (m_seenValid && !done.covers(m_seen))
        return true;
    m_seen = now;
    m_seenValid = true;
    return false;
}

} // namespace StatefulFirewall
