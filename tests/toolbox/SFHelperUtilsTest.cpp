#include "SFHelperUtils.h"

#include "FakeZAVUtils.h"
#include "RecordingLogger.h"
#include "SFException.h"
#include "SFResultCodes.h"
#include "SystemInfo.h"
#include "ZAVUtils.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using StatefulFirewall::SFException;
using StatefulFirewall::SFHelperUtils;
using TestSupport::FakeZAVUtils;

namespace {

class SFHelperUtilsTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeZAVUtils> m_fake = std::make_shared<FakeZAVUtils>();
    TestSupport::RecordingLogger m_logger;
    SFHelperUtils m_helper{m_logger, m_fake};
};

TEST_F(SFHelperUtilsTest, ExecutePassesCommandAndTableThroughAndReturnsZero)
{
    const std::map<int, bool> table = {{1, false}};
    EXPECT_EQ(m_helper.executeSystemCommand({"/sbin/tool", "-N", "CHAIN"}, &table), 0);
    EXPECT_EQ(m_helper.executeSystemCommand({"/sbin/tool"}, nullptr), 0);

    ASSERT_EQ(m_fake->calls().size(), 2u);
    const FakeZAVUtils::Call& first = m_fake->calls()[0];
    EXPECT_FALSE(first.withOutput);
    EXPECT_EQ(first.argv, (std::vector<std::string>{"/sbin/tool", "-N", "CHAIN"}));
    EXPECT_EQ(first.exitStatusTable, &table);
    EXPECT_EQ(m_fake->calls()[1].exitStatusTable, nullptr);
    EXPECT_TRUE(m_logger.lines().empty());
}

TEST_F(SFHelperUtilsTest, ExecuteFailureThrowsSystemCommandFailed)
{
    m_fake->willReturn(false);
    try {
        m_helper.executeSystemCommand({"/sbin/tool", "-X", "GONE"}, nullptr);
        FAIL() << "no exception";
    } catch (const SFException& e) {
        EXPECT_EQ(e.code, 150077);
        EXPECT_EQ(e.code, StatefulFirewall::SF_SYSTEM_COMMAND_FAILED);
        EXPECT_EQ(e.message, "Failed to execute system command");
    }
    EXPECT_TRUE(m_logger.lines().empty());
}

TEST_F(SFHelperUtilsTest, ReadPassesCommandTableAndPipeThroughAndReturnsZero)
{
    const std::map<int, bool> table = {{2, false}};
    int pipeFds[2] = {41, 42};
    EXPECT_EQ(m_helper.readSystemCommandOutput({"/sbin/tool", "-S"}, &table, pipeFds), 0);

    ASSERT_EQ(m_fake->calls().size(), 1u);
    const FakeZAVUtils::Call& call = m_fake->calls()[0];
    EXPECT_TRUE(call.withOutput);
    EXPECT_EQ(call.argv, (std::vector<std::string>{"/sbin/tool", "-S"}));
    EXPECT_EQ(call.exitStatusTable, &table);
    EXPECT_EQ(call.pipeFds, pipeFds);
    EXPECT_EQ(pipeFds[0], 41);
    EXPECT_EQ(pipeFds[1], 42);
}

TEST_F(SFHelperUtilsTest, ReadFailureThrowsSystemCommandFailed)
{
    m_fake->willReturn(false);
    int pipeFds[2] = {41, 42};
    try {
        m_helper.readSystemCommandOutput({"/sbin/tool", "-S"}, nullptr, pipeFds);
        FAIL() << "no exception";
    } catch (const SFException& e) {
        EXPECT_EQ(e.code, 150077);
        EXPECT_EQ(e.message, "Failed to read system command output");
    }
    EXPECT_TRUE(m_logger.lines().empty());
}

TEST_F(SFHelperUtilsTest, PlatformExceptionPassesThroughBothOperations)
{
    m_fake->willThrow(7, "runner broke");
    m_fake->willThrow(8, "runner broke again");
    int pipeFds[2] = {41, 42};
    try {
        m_helper.executeSystemCommand({"/sbin/tool"}, nullptr);
        FAIL() << "no exception";
    } catch (const ZAV::FMPException& e) {
        EXPECT_EQ(e.getCode(), 7);
        EXPECT_EQ(e.getMessage(), "runner broke");
    }
    try {
        m_helper.readSystemCommandOutput({"/sbin/tool"}, nullptr, pipeFds);
        FAIL() << "no exception";
    } catch (const ZAV::FMPException& e) {
        EXPECT_EQ(e.getCode(), 8);
    }
}

TEST(SFHelperUtilsRealRunnerTest, ReadsOutputOfARealCommand)
{
    TestSupport::RecordingLogger logger;
    auto runner = std::make_shared<ZAV::ZAVUtils>(nullptr, logger,
                                                  std::make_shared<ZAV::kernelVersion>());
    SFHelperUtils helper(logger, runner);

    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    EXPECT_EQ(helper.readSystemCommandOutput({"/bin/echo", "-n", "chain list"}, nullptr, pipeFds),
              0);
    close(pipeFds[1]);
    const std::string output = TestSupport::readAll(pipeFds[0]);
    close(pipeFds[0]);
    EXPECT_EQ(output, "chain list");

    EXPECT_THROW(helper.executeSystemCommand({"/bin/false"}, nullptr), SFException);
}

} // namespace
