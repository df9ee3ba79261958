#pragma once

// Log lines for the connections the platform service refuses, at most one per peer and
// interval: a peer's first refusal is logged at once, later ones in the same interval are only
// counted and summed up in one line when the interval ends. A peer is a user id together with
// the reason it was refused, so a churning process cannot fill the log, whatever its pids.
//
// The number of peers followed is bounded; refusals of peers beyond it are summed up together.
//
// Not thread safe: the broker's run() thread owns it. The logger is borrowed.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace ZAV {

class ILogger;

class BrokerRefusalLog {
public:
    using Clock = std::chrono::steady_clock;

    BrokerRefusalLog(ILogger& logger, Clock::duration interval);

    // Records one refused connection; uid is -1 when the peer could not be identified.
    void refused(uid_t uid, pid_t pid, const std::string& reason, Clock::time_point now);
    // Writes the summaries of the intervals that have ended by now.
    void flushDue(Clock::time_point now);
    // When flushDue() next has work; nullopt when no interval is open.
    std::optional<Clock::time_point> nextDue() const;

private:
    struct Interval {
        Clock::time_point start;
        uint64_t suppressed = 0; // refusals not logged one by one
    };
    using Key = std::pair<uid_t, std::string>;

    void summarise(const Key& key, const Interval& interval);

    ILogger& m_logger;
    Clock::duration m_interval;
    std::map<Key, Interval> m_peers;
    std::optional<Interval> m_others; // refusals of peers past the bound on m_peers
};

} // namespace ZAV
