#include "BrokerRefusalLog.h"

#include "ILogger.h"

namespace ZAV {

namespace {

const char kComponent[] = "ZAVBroker";
constexpr int kLevel = 4;

// Distinct peers followed one by one. Refusals come from the few users that can reach the
// socket; past this many the map itself would be what a hostile host grows.
constexpr size_t kMaxPeers = 64;

std::string userText(uid_t uid)
{
    return uid == static_cast<uid_t>(-1) ? std::string("an unidentified peer")
                                         : "uid " + std::to_string(uid);
}

} // namespace

BrokerRefusalLog::BrokerRefusalLog(ILogger& logger, Clock::duration interval)
    : m_logger(logger), m_interval(interval)
{
}

void BrokerRefusalLog::refused(uid_t uid, pid_t pid, const std::string& reason, Clock::time_point now)
{
    Key key{uid, reason};
    const auto it = m_peers.find(key);
    if (it != m_peers.end()) {
        ++it->second.suppressed;
        return;
    }
    if (m_peers.size() >= kMaxPeers) {
        if (!m_others)
            m_others = Interval{now, 0};
        ++m_others->suppressed;
        return;
    }
    m_logger.logMessage(kLevel, kComponent, "Refused a connection from " + userText(uid) + " (pid " +
                                                std::to_string(pid) + "): " + reason);
    m_peers.emplace(std::move(key), Interval{now, 0});
}

void BrokerRefusalLog::summarise(const Key& key, const Interval& interval)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_interval).count();
    m_logger.logMessage(kLevel, kComponent, "Refused " + std::to_string(interval.suppressed) +
                                                " more connections from " + userText(key.first) +
                                                " in the last " + std::to_string(seconds) +
                                                " s: " + key.second);
}

void BrokerRefusalLog::flushDue(Clock::time_point now)
{
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if (now - it->second.start < m_interval) {
            ++it;
            continue;
        }
        // A peer still refused keeps its entry, so it gets one line per interval; a quiet one
        // is forgotten and its next refusal is logged at once.
        if (it->second.suppressed == 0) {
            it = m_peers.erase(it);
            continue;
        }
        summarise(it->first, it->second);
        it->second = Interval{now, 0};
        ++it;
    }
    if (m_others && now - m_others->start >= m_interval) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_interval).count();
        m_logger.logMessage(kLevel, kComponent,
                            "Refused " + std::to_string(m_others->suppressed) +
                                " connections from further users in the last " + std::to_string(seconds) +
                                " s (more than " + std::to_string(kMaxPeers) + " users refused)");
        m_others.reset();
    }
}

std::optional<BrokerRefusalLog::Clock::time_point> BrokerRefusalLog::nextDue() const
{
    std::optional<Clock::time_point> due;
    for (const auto& entry : m_peers) {
        const auto end = entry.second.start + m_interval;
        if (!due || end < *due)
            due = end;
    }
    if (m_others && (!due || m_others->start + m_interval < *due))
        due = m_others->start + m_interval;
    return due;
}

} // namespace ZAV
