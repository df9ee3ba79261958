#pragma once

// Which versions of the rule table and the trusted networks the generation in force was built
// from, so the daemon can say that later changes are not applied yet and the health check can
// apply them when nobody asks: a tool killed between storing a rule and asking for the push, or
// one that stopped waiting while the daemon was busy.
//
// Versions are those of SFRuleManager (the rules adaptive learning adds apart) and
// SFTrustedIPGroupManager, read under the lock the copy is taken with, so a change the copy
// lacks is never counted as applied, and a change the store refused and its undo leave the
// version the copy had. The adaptive group, which adaptive learning applies on its own after
// every learning pass, is applied on its own version.
//
// Thread safety: the versions applied are atomics, read by any thread (status); they are
// written, and the health check's record is kept, under the bridge's driver mutex.

#include "SFRuleManager.h"
#include "SFTrustedGroupIP.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace StatefulFirewall {

class SFTrustedIPGroupManager;

class SFAppliedChanges {
public:
    // The copies of a full push. What they hold stands for the generation in force once that
    // push is linked; a push taken back leaves the rules not in force, which its own status
    // says.
    SFRuleTableSnapshot copyTable(SFRuleManager& manager);
    std::vector<SFTrustedGroupIP> copyTrusted(SFTrustedIPGroupManager& manager);
    // The adaptive group's rules were rebuilt from a copy taken at this adaptive version.
    void adaptiveApplied(uint64_t version);
    // True when the stores changed after the copies of the last push (or adaptive rebuild).
    bool pending() const;
    // Once per health-check pass: true when changes found not applied at the previous pass are
    // still not applied and no full push copied the stores since. A change thus waits one whole
    // period for the push whoever made it asks for (a tool's update request, a policy's push)
    // and is applied one to two periods after it was made, so the usual road never costs a
    // second push.
    bool pushDue();

private:
    std::atomic<uint64_t> m_rules{0};
    std::atomic<uint64_t> m_adaptive{0};
    std::atomic<uint64_t> m_trusted{0};
    // Full pushes that copied the table, and how many had when a pass last found changes not
    // applied (m_seenValid false after a pass that found everything applied).
    uint64_t m_copies = 0;
    uint64_t m_copiesSeen = 0;
    bool m_seenValid = false;
};

} // namespace StatefulFirewall
