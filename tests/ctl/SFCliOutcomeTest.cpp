// The exit code of one command line from its parse and its performing.

#include "SFCliOutcome.h"

#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <stdexcept>

using StatefulFirewall::runCommandLine;

TEST(SFCliOutcomeTest, ParseAndPerformOutcomesBecomeExitCodes)
{
    TestSupport::RecordingLogger log;
    int performed = 0;
    auto perform = [&] { ++performed; return 103; };
    auto parseGives = [](int code) { return [code] { return code; }; };

    EXPECT_EQ(runCommandLine(parseGives(99), perform, log), 103);
    EXPECT_EQ(performed, 1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(runCommandLine(parseGives(100), perform, log), 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid cli options passed by user.\n");

    EXPECT_EQ(runCommandLine(parseGives(0), perform, log), 0);
    EXPECT_TRUE(log.has(6, "Successfully displayed help command"));
    EXPECT_EQ(runCommandLine(parseGives(7), perform, log), 7);
    EXPECT_EQ(performed, 1);

    // A parse that throws is a command line that could not be read, never a success.
    testing::internal::CaptureStdout();
    EXPECT_EQ(runCommandLine([]() -> int { throw std::runtime_error("bad"); }, perform, log), 100);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.has(2, "Exception caught while parsing the commands"));
    EXPECT_EQ(performed, 1);

    EXPECT_EQ(runCommandLine(parseGives(99), []() -> int { throw std::logic_error("x"); }, log), 99);
    EXPECT_TRUE(log.has(6, "Exception caught while performing CLI operation"));
}
