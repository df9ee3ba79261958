#include "SystemInfo.h"

#include "RecordingLogger.h"
#include "ZAVSystemUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using TestSupport::RecordingLogger;

namespace {

// The release as the uname command prints it, without the newline.
std::string unameRelease()
{
    std::string text;
    FILE* pipe = popen("uname -r", "r");
    if (pipe == nullptr)
        return text;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        text += buffer;
    pclose(pipe);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

TEST(SystemInfoTest, KernelVersionMatchesTheRunningKernel)
{
    RecordingLogger logger;
    ZAV::SystemInfo info(logger, std::make_shared<ZAV::ZAVSystemUtils>());

    const auto version = info.getKernelVersion();
    ASSERT_NE(version, nullptr);
    const std::string expected = unameRelease();
    ASSERT_FALSE(expected.empty());

    EXPECT_EQ(version->release, expected);
    EXPECT_GT(version->major, 0);
    EXPECT_GE(version->minor, 0);
    EXPECT_GE(version->patch, 0);
    const std::string numbers = std::to_string(version->major) + "." +
                                std::to_string(version->minor) + "." +
                                std::to_string(version->patch);
    EXPECT_EQ(expected.compare(0, numbers.size(), numbers), 0)
        << expected << " does not start with " << numbers;
    EXPECT_TRUE(logger.lines().empty());
}
