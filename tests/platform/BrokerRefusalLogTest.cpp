// The refusal log of the platform service, with the times handed in: one line per peer at its
// first refusal, one summary with the count per interval while refusals go on, and a bounded
// number of peers followed one by one.

#include "BrokerRefusalLog.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using ZAV::BrokerRefusalLog;
using Clock = BrokerRefusalLog::Clock;

namespace {

const std::string kNotRoot = "only root may use the channel";

TEST(BrokerRefusalLogTest, APeerGetsOneLineAtOnceAndThenOneCountPerInterval)
{
    TestSupport::RecordingLogger logger;
    BrokerRefusalLog log(logger, 10s);
    const Clock::time_point t0{};

    for (int i = 0; i < 1000; ++i)
        log.refused(1000, 40 + i, kNotRoot, t0 + i * 5ms);
    ASSERT_EQ(logger.lines().size(), 1u);
    EXPECT_EQ(logger.lines()[0].message, "Refused a connection from uid 1000 (pid 40): " + kNotRoot);
    EXPECT_EQ(log.nextDue(), t0 + 10s);

    log.flushDue(t0 + 9s);
    EXPECT_EQ(logger.lines().size(), 1u) << "the interval has not ended";
    log.flushDue(t0 + 10s);
    ASSERT_EQ(logger.lines().size(), 2u);
    EXPECT_EQ(logger.lines()[1].message, "Refused 999 more connections from uid 1000 in the last 10 s: " + kNotRoot);
    EXPECT_EQ(logger.lines()[1].level, 4);

    // Still refused in the next interval: one more count. Quiet for a whole interval: the
    // peer is forgotten and its next refusal is logged at once.
    log.refused(1000, 2000, kNotRoot, t0 + 12s);
    log.flushDue(t0 + 20s);
    ASSERT_EQ(logger.lines().size(), 3u);
    EXPECT_EQ(logger.lines()[2].message, "Refused 1 more connections from uid 1000 in the last 10 s: " + kNotRoot);
    log.flushDue(t0 + 30s);
    EXPECT_EQ(logger.lines().size(), 3u);
    EXPECT_FALSE(log.nextDue());
    log.refused(1000, 3000, kNotRoot, t0 + 31s);
    ASSERT_EQ(logger.lines().size(), 4u);
    EXPECT_EQ(logger.lines()[3].message, "Refused a connection from uid 1000 (pid 3000): " + kNotRoot);
}

TEST(BrokerRefusalLogTest, UsersAndReasonsAreCountedApartUpToABound)
{
    TestSupport::RecordingLogger logger;
    BrokerRefusalLog log(logger, 10s);
    const Clock::time_point t0{};

    log.refused(1000, 1, kNotRoot, t0);
    log.refused(1001, 2, kNotRoot, t0);
    log.refused(0, 3, "the service already serves 256 connections", t0);
    log.refused(static_cast<uid_t>(-1), 0, "its credentials cannot be read", t0);
    ASSERT_EQ(logger.lines().size(), 4u);
    EXPECT_EQ(logger.lines()[3].message, "Refused a connection from an unidentified peer (pid 0): "
                                         "its credentials cannot be read");

    // Past 64 peers the rest share one count, so the log's own memory stays bounded too.
    for (uid_t uid = 2000; uid < 2100; ++uid)
        log.refused(uid, 1, kNotRoot, t0 + 1s);
    EXPECT_EQ(logger.lines().size(), 64u);
    log.flushDue(t0 + 11s);
    ASSERT_EQ(logger.lines().size(), 65u);
    EXPECT_EQ(logger.lines().back().message,
              "Refused 40 connections from further users in the last 10 s (more than 64 users refused)");
}

} // namespace
