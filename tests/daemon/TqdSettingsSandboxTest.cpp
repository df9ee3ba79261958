// tqd starting on a settings file it must refuse, as a process in the sandbox with the real
// broker and iptables: a runaway file is set aside and the daemon comes up, and a file damaged
// after the settings were saved gives way to the last good copy, not to the template.

#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;

namespace {

constexpr const char* kSiteAddress = "10.20.30.40";
constexpr const char* kLivePrefs = "/var/Varnik/kyv/fw/prefs.xml";
constexpr const char* kTemplatePrefs = "/opt/Varnik/kyv/fw/etc/prefs.xml";

class TqdSettingsSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }

    void startBroker()
    {
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
    }

    // The daemon's log and its standard output and error, where start-up lines may land.
    std::string everythingLogged() const { return readFile(kDaemonLog) + readFile(daemonOut()); }

    std::unique_ptr<Broker> m_broker;
};

// Regression: 200,000 nested elements overflowed the settings parser's stack at every start,
// so the daemon never came up.
TEST_F(TqdSettingsSandboxTest, DeeplyNestedSettingsFileIsSetAsideAndTheDaemonStarts)
{
    prepareManagedProduct(false, kSiteAddress);
    std::string deep = "<GlobalConfiguration type=\"1\">";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    writeFile(kLivePrefs, deep);
    startBroker();

    Daemon daemon(daemonOut());
    // Generous: only guards against a daemon that never registers.
    ASSERT_TRUE(waitForText(kDaemonLog, "Received registration acknowledgment from ZAV", 30s))
        << everythingLogged();
    std::string answer;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    EXPECT_EQ(readFile(std::string(kLivePrefs) + ".corrupt"), deep);
    EXPECT_EQ(readFile(kLivePrefs).find("<a>"), std::string::npos);
    EXPECT_NE(everythingLogged().find("elements are nested deeper than 32"), std::string::npos)
        << everythingLogged();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 0);
}

// Regression: a settings file cut short after the firewall was enabled was replaced by the
// template, so the daemon came up disabled with the host open.
TEST_F(TqdSettingsSandboxTest, DamagedSettingsAfterASavedEnableStartEnforcingAsSaved)
{
    prepareManagedProduct(true, kSiteAddress);
    setSetting("ShouldTrustLocalSubnet", "0");
    setSetting("TCPconTimeout", "45");
    // The template as shipped (disabled, local subnet trusted), less FTP inspection, which
    // would load a kernel module.
    std::string shipped = readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml");
    const std::string ftpOn = "<UseFTPinspection>1<";
    shipped.replace(shipped.find(ftpOn), ftpOn.size(), "<UseFTPinspection>0<");
    writeFile(kTemplatePrefs, shipped);
    startBroker();

    {
        Daemon first(daemonOut());
        waitForEnforcement();
        first.signal(SIGTERM);
        ASSERT_EQ(first.wait(TestSupport::kHangGuard), 0);
    }
    const std::string saved = readFile(kLivePrefs);
    ASSERT_EQ(readFile(std::string(kLivePrefs) + ".last-good"), saved);
    writeFile(kLivePrefs, saved.substr(0, saved.size() / 2)); // an interrupted save

    Daemon second(daemonOut());
    const std::string listing = waitForEnforcement();
    EXPECT_EQ(policyOf(listing, "INPUT"), "DROP") << listing;
    EXPECT_EQ(policyOf(listing, "OUTPUT"), "DROP") << listing;
    EXPECT_EQ(setting("GlobalConfiguration", "IsFirewallEnabled"), "1");
    EXPECT_EQ(setting("GlobalConfiguration", "ShouldTrustLocalSubnet"), "0");
    EXPECT_EQ(setting("GlobalConfiguration", "TCPconTimeout"), "45");
    EXPECT_EQ(setting("GlobalConfiguration", "UseFTPinspection"), "0");
    EXPECT_EQ(readFile(std::string(kLivePrefs) + ".corrupt"), saved.substr(0, saved.size() / 2));
    EXPECT_NE(everythingLogged().find("was restored from the last good copy"), std::string::npos)
        << everythingLogged();
    second.signal(SIGTERM);
    EXPECT_EQ(second.wait(TestSupport::kHangGuard), 0);
}

} // namespace
