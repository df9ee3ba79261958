#pragma once

// The version of what a store holds in this process: every operation that changes it gives it
// a number never given out before, and an undo that puts it back as it was takes back the
// number it had then. Two equal versions thus mean the same content, so a reader that copied
// the content at one version knows whether a later one still equals its copy.
//
// Thread safety: every operation may be called from any thread; one mutex of its own, never
// held while calling out.

#include <cstdint>
#include <mutex>

namespace StatefulFirewall {

class SFContentVersion {
public:
    // Where a change that may be undone starts from.
    struct Mark {
        uint64_t version;
        uint64_t issued;
    };

    uint64_t current() const;
    // Once per operation that changed the content, after the change is in place.
    void changed();
    Mark mark() const;
    // The given number of operations counted since mark were changes and their undo: when no
    // other operation was counted in between, the content is as it was at mark and takes its
    // version back; otherwise it keeps the version of its last change.
    void undone(const Mark& since, uint64_t operations);

private:
    mutable std::mutex m_mutex;
    uint64_t m_version = 0; // guarded by m_mutex
    uint64_t m_issued = 0;  // the last number given out; guarded by m_mutex
};

} // namespace StatefulFirewall
