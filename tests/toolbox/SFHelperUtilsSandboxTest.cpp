#include "SFHelperUtils.h"

#include "RecordingLogger.h"
#include "SFException.h"
#include "SandboxGuard.h"
#include "SystemInfo.h"
#include "ZAVUtils.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using StatefulFirewall::SFException;
using StatefulFirewall::SFHelperUtils;

namespace {

// The product's own iptables, which the sandbox links to the system's one.
const std::string kIptables = "/opt/Varnik/kyv/fw/bin/iptables";

class SFHelperUtilsSandboxTest : public ::testing::Test {
protected:
    // Standard output of one command, read through a pipe as the firewall reads it.
    std::string output(const std::vector<std::string>& argv)
    {
        int pipeFds[2];
        EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        EXPECT_EQ(m_helper.readSystemCommandOutput(argv, nullptr, pipeFds), 0);
        close(pipeFds[1]);
        const std::string text = TestSupport::readAll(pipeFds[0]);
        close(pipeFds[0]);
        return text;
    }

    TestSupport::RecordingLogger m_logger;
    SFHelperUtils m_helper{m_logger,
                           std::make_shared<ZAV::ZAVUtils>(
                               nullptr, m_logger, std::make_shared<ZAV::kernelVersion>())};
};

TEST_F(SFHelperUtilsSandboxTest, CreatesListsAndRemovesAChain)
{
    TQ_REQUIRE_SANDBOX();

    EXPECT_EQ(m_helper.executeSystemCommand({kIptables, "-N", "TQTEST"}, nullptr), 0);
    EXPECT_EQ(m_helper.executeSystemCommand({kIptables, "-A", "TQTEST", "-j", "ACCEPT"}, nullptr),
              0);

    const std::string rules = output({kIptables, "-S"});
    EXPECT_NE(rules.find("-N TQTEST\n"), std::string::npos) << rules;
    EXPECT_NE(rules.find("-A TQTEST -j ACCEPT\n"), std::string::npos) << rules;

    EXPECT_EQ(m_helper.executeSystemCommand({kIptables, "-F", "TQTEST"}, nullptr), 0);
    EXPECT_EQ(m_helper.executeSystemCommand({kIptables, "-X", "TQTEST"}, nullptr), 0);
    EXPECT_EQ(output({kIptables, "-S"}).find("TQTEST"), std::string::npos);
}

TEST_F(SFHelperUtilsSandboxTest, DeletingAMissingChainThrowsAndLogsIptablesError)
{
    TQ_REQUIRE_SANDBOX();

    try {
        m_helper.executeSystemCommand({kIptables, "-X", "TQMISSING"}, nullptr);
        FAIL() << "no exception";
    } catch (const SFException& e) {
        EXPECT_EQ(e.code, 150077);
        EXPECT_EQ(e.message, "Failed to execute system command");
    }
    // The runner's line names the command and carries what iptables said on stderr.
    bool found = false;
    for (const TestSupport::LogLine& line : m_logger.lines())
        found = found || (line.level == 6 &&
                          line.message.rfind(kIptables + " -X TQMISSING: exited with status", 0) == 0 &&
                          line.message.find("stderr: ") != std::string::npos);
    EXPECT_TRUE(found);
}

TEST_F(SFHelperUtilsSandboxTest, VersionIsReadThroughAPipe)
{
    TQ_REQUIRE_SANDBOX();

    EXPECT_EQ(output({kIptables, "-V"}).rfind("iptables v", 0), 0u);
}

} // namespace
