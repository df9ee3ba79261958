// The tool's request layer and dispatcher against the daemon's real command dispatcher behind
// the in-process platform service: preferences, version and log settings as the daemon
// answers them.

#include "CommandDispatcherRig.h"

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingCliCommands.h"
#include "RecordingKextInterface.h"
#include "RecordingPlatformLogger.h"
#include "SFCli.h"
#include "SFCliCommands.h"
#include "SFController.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using P = FakeConfigController::path;

// Sends the tool's requests through the rig's tool-side requester (framework manager 3000).
class RigSender : public UnusedCommandCallback {
public:
    explicit RigSender(CommandDispatcherRig& rig) : m_rig(rig) {}
    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int&, ZAV::IFMCommClient&, bool) override
    {
        m_rig.call(request, response);
    }

private:
    CommandDispatcherRig& m_rig;
};

class SFCliChannelTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        SFController::getInstance(m_logger, m_config, &m_bridge);
        m_rig = std::make_unique<CommandDispatcherRig>(m_dir.path(), m_config, m_monitor, m_logger);
        m_sender = std::make_unique<RigSender>(*m_rig);
    }
    void TearDown() override
    {
        m_sender.reset();
        m_rig.reset();
        SFController::releaseInstance();
    }

    // Standard output of one request-layer call, and its result.
    template <class Call> std::string out(Call call, bool expected = true)
    {
        testing::internal::CaptureStdout();
        const bool result = call(*m_sender, m_client);
        EXPECT_EQ(result, expected);
        return testing::internal::GetCapturedStdout();
    }

    // Runs a whole command line through the parser and dispatcher; its exit code.
    int runLine(std::vector<std::string> args)
    {
        args.insert(args.begin(), "tqctl");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        SFCli cli(m_toolLog);
        cli.initCli();
        testing::internal::CaptureStdout();
        int code = cli.parseAndPerformHelp(static_cast<int>(argv.size()), argv.data());
        if (code == 99)
            code = cli.performCli(m_commands, *m_sender, m_client);
        testing::internal::GetCapturedStdout();
        return code;
    }

    TempDir m_dir;
    RecordingPlatformLogger m_logger;
    RecordingLogger m_toolLog;
    FakeConfigController m_config;
    RecordingKextInterface m_bridge;
    FakeNwIFManager m_monitor;
    std::unique_ptr<CommandDispatcherRig> m_rig;
    std::unique_ptr<RigSender> m_sender;
    UnusedCommClient m_client;
    SFCliCommands m_commands{m_toolLog};
};

} // namespace

TEST_F(SFCliChannelTest, PreferencesChangeOnTheDaemonAndShowInTheStatus)
{
    auto set = [this](SFPrefType kind, const char* value) {
        return out([&](auto& cb, auto& client) {
            return m_commands.setIndividualPrefData(kind, value, cb, client);
        });
    };
    EXPECT_EQ(set(SF_PREF_FW_MODE, "true"), "Preferences set successfully\n");
    EXPECT_EQ(set(SF_PREF_FW_MODE, "true"), "Preferences set successfully\n"); // already set
    EXPECT_EQ(set(SF_PREF_FTP_INSPECTION, "true"), "Preferences set successfully\n");
    EXPECT_EQ(m_config.get(P::mode), "1");

    const std::string status =
        out([&](auto& cb, auto& client) { return m_commands.getPrefs(false, cb, client); });
    EXPECT_NE(status.find("Mode: Adaptive\n"), std::string::npos) << status;
    EXPECT_NE(status.find("FTP Inspection: Enabled\n"), std::string::npos) << status;

    // Trust local subnet: read narrow, changed, then the rule table applied.
    EXPECT_EQ(set(SF_PREF_TRUST_LOCAL_SUBNET, "false"), "Preferences set successfully\n");
    EXPECT_EQ(m_config.get(P::trustSubnet), "0");
    EXPECT_TRUE(m_toolLog.has(6, "Current setting of Trust Local subnet is enabled"));
    EXPECT_TRUE(m_toolLog.has(5, "Update to Firewall was successfully sent"));
    EXPECT_EQ(set(SF_PREF_TRUST_LOCAL_SUBNET, "false"), "");

    const std::string version =
        out([&](auto& cb, auto& client) { return m_commands.showVersion(false, cb, client); });
    EXPECT_NE(version.find("Name: "), std::string::npos);
    EXPECT_NE(version.find("\n\nCopyright (c) Varnik LLC. All rights reserved.\n"), std::string::npos);
}

TEST_F(SFCliChannelTest, LogSettingsGoToThePlatformServiceAndTheDaemon)
{
    EXPECT_EQ(runLine({"--usesyslog", "disable"}), 0);
    EXPECT_TRUE(m_toolLog.has(6, "Use syslog configuration was successfully set for ZAV"));
    EXPECT_EQ(out([&](auto& cb, auto& client) { return m_commands.setFWUseSysLogConfig(cb, client, false); }),
              "Configuration could not be updated since same configuration is already set\n");
    EXPECT_EQ(runLine({"--fw-log-level", "debug"}), 0);
    EXPECT_EQ(runLine({"--setmaxproductlogsize", "7"}), 0);
    EXPECT_EQ(runLine({"--fw", "off"}), 0);
    EXPECT_EQ(m_config.get(P::enabled), "0");

    const std::string listing =
        out([&](auto& cb, auto& client) { return m_commands.getLogSettings(cb, client); });
    EXPECT_EQ(listing, "DebugLog         :    Enabled     \n"
                       "ProductLog       :    Enabled     \n"
                       "ProductLogSize   :    7           \n"
                       "SysLog           :    Disabled    \n");
}
