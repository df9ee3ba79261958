#pragma once

// Which changes of the rule table and the trusted networks the generation in force was built
// from, so the daemon can say that later ones are not applied yet and the health check can
// apply them when nobody asks: a tool killed between storing a rule and asking for the push, or
// one that stopped waiting while the daemon was busy.
//
// The counts are the change counters of SFRuleManager (the adaptive group's rules apart) and
// SFTrustedIPGroupManager. A full push reads them just before it copies the table, so a change
// its copy lacks is never counted as applied; the adaptive group, which adaptive learning
// applies on its own after every learning pass, is applied on its own count.
//
// Thread safety: the counts applied are atomics, read by any thread (status); they are written
// and the health check's record is kept under the bridge's driver mutex.

#include <atomic>
#include <cstdint>

namespace StatefulFirewall {

struct SFChangeCount {
    uint64_t rules = 0;    // the table but the adaptive group's rules
    uint64_t adaptive = 0; // the adaptive group's rules
    uint64_t trusted = 0;  // the trusted networks

    // The counters now.
    static SFChangeCount current();
    // True when every change counted in other is counted here too.
    bool covers(const SFChangeCount& other) const;
};

class SFAppliedChanges {
public:
    // A full push is about to copy the table and the trusted networks. What it copies stands
    // for the generation in force once that push is linked; a push taken back leaves the rules
    // not in force, which its own status says.
    void pushCopying();
    // The adaptive group's rules, copied after the adaptive count read was `count`, are in force.
    void adaptiveApplied(uint64_t count);
    // True when the stores changed after the copy of the last push (or adaptive rebuild).
    bool pending() const;
    // Once per health-check pass: true when a change found not applied at the previous pass is
    // still not applied. A change thus waits one whole period for the push that whoever made
    // it asks for (a tool's update request, a policy's push) and is applied one to two periods
    // after it was made, so the usual road never costs a second push.
    bool pushDue();

private:
    SFChangeCount applied() const;

    std::atomic<uint64_t> m_rules{0};
    std::atomic<uint64_t> m_adaptive{0};
    std::atomic<uint64_t> m_trusted{0};
    // The counts a pass found not applied; none (m_seenValid false) after a pass that found
    // everything applied.
    SFChangeCount m_seen;
    bool m_seenValid = false;
};

} // namespace StatefulFirewall
