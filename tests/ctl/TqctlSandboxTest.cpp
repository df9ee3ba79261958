// tqctl as root in the sandbox against the real platform service and tqd: exit codes, what
// changes in iptables and the settings file, the status, log-setting, rule and trusted-network
// listings, adding and deleting rules and trusted networks, and failures of the service, the
// daemon, iptables and the stores.

#include "HangGuard.h"
#include "TqctlSandboxRig.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TqctlRig;

namespace {

constexpr const char* kToolLog = "/var/Varnik/kyv/log/fw/tqctl.log";

class TqctlSandboxTest : public TqctlSandboxFixture {};

// One run of a sequence: the words, the exit code and all it prints (unchecked when absent).
struct Step {
    std::string words;
    int code;
    std::optional<std::string> output;
    const char* input = nullptr;
};

// Runs the steps in order, each on what the ones before it left.
void expectSteps(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        const ToolRun run = tqctl(step.words, step.input);
        EXPECT_EQ(run.code, step.code) << step.words << ": " << run.output;
        EXPECT_EQ(run.output, step.output.value_or(run.output)) << step.words;
    }
}

} // namespace

TEST_F(TqctlSandboxTest, StartUpRefusesOtherUsersAndReportsAMissingService)
{
    freshProduct({});
    ToolRun run = tqctl("--fw status");
    EXPECT_EQ(run.code, 104) << run.output;
    // Only a hang guard: with no service to connect to there is nothing to wait for.
    EXPECT_LT(run.took, TestSupport::kHangGuard);
    EXPECT_EQ(run.output.rfind("FMP communication error\n", 0), 0u) << run.output;
    EXPECT_GT(run.output.size(), std::string("FMP communication error\n").size()) << run.output;
    struct stat info {};
    ASSERT_EQ(::stat(kToolLog, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    freshProduct({});
    ASSERT_NE(::access(kToolLog, F_OK), 0);
    std::string output;
    EXPECT_EQ(shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(TQ_TQCTL) +
                        " --fw status",
                    &output),
              105);
    EXPECT_EQ(output, "CLI can be executed only by root user or a user with sudo privileges\n");
    EXPECT_NE(::access(kToolLog, F_OK), 0) << "a refused user left a log file";
}

TEST_F(TqctlSandboxTest, AServiceThatNeverAcknowledgesGives104)
{
    freshProduct({});
    // A listener that takes the connection and reads what comes, but never answers.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s",
                  "/var/Varnik/kyv/zav/zavsocket");
    ::unlink(address.sun_path);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    std::thread silent([listener] {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        char buffer[256];
        while (connection >= 0 && ::read(connection, buffer, sizeof(buffer)) > 0) {
        }
        if (connection >= 0)
            ::close(connection);
    });
    const ToolRun run = tqctl("--fw status");
    ::shutdown(listener, SHUT_RDWR);
    ::close(listener);
    silent.join();
    EXPECT_EQ(run.code, 104) << run.output;
    EXPECT_EQ(run.output, "FMP communication error\n");
    EXPECT_GE(run.took, 9s);
    // Thirty times the 10-second registration wait: only a tool that never gives up fails it.
    EXPECT_LT(run.took, 300s);
}

TEST_F(TqctlSandboxTest, PreferencesChangeTheFirewallAndShowInTheStatus)
{
    startAll();
    expectSteps({{"--fw on", 0, "Preferences set successfully\n"}});
    // The service took the deregistration although the tool stopped right after sending it.
    EXPECT_TRUE(waitForText(brokerOut(), "Deregistered fm id 3000 ", TestSupport::kHangGuard));
    const std::string listing = waitForEnforcement();
    EXPECT_FALSE(productChains(listing).empty()) << listing;
    expectSteps({{"--fw on", 0, {}},
                 {"--fw-mode adaptive", 0, {}},
                 {"--fw-inspect-ftp-traffic off", 0, {}},
                 {"--fw status --xml", 0,
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<version>\n"
                  "    <Status>Enabled</Status>\n    <Mode>Adaptive</Mode>\n"
                  "    <RetainClientSideRules>Enabled</RetainClientSideRules>\n"
                  "    <FTPInspection>Disabled</FTPInspection>\n"
                  "    <LogLevel>Info</LogLevel>\n</version>\n"}});

    ToolRun run = tqctl("--version");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output.rfind("Name: ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("\n\nCopyright (c) Varnik LLC. All rights reserved.\n"), std::string::npos);
    run = tqctl("--version --xml");
    EXPECT_NE(run.output.find("<version>\n    <Name>"), std::string::npos) << run.output;

    // Four tools at once, all as manager 3000.
    std::vector<std::future<ToolRun>> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(std::async(std::launch::async, [] { return tqctl("--fw status"); }));
    for (auto& parallel : runs) {
        const ToolRun result = parallel.get();
        EXPECT_EQ(result.code, 0) << result.output;
    }

    EXPECT_EQ(tqctl("--fw off").code, 0);
    EXPECT_TRUE(productChains(iptablesListing()).empty()) << iptablesListing();
}

TEST_F(TqctlSandboxTest, LogSettingsChangeInTheServiceAndTheDaemon)
{
    startAll();
    expectSteps({{"--usesyslog disable", 0,
                  "Configuration was successfully updated to disable use of syslog\n"},
                 {"--usesyslog disable", 0,
                  "Configuration could not be updated since same configuration is already set\n"},
                 {"--fw-log-level debug", 0, {}},
                 {"--setmaxproductlogsize 7", 0, {}},
                 {"--showlogsettings", 0,
                  "DebugLog         :    Enabled     \n"
                  "ProductLog       :    Enabled     \n"
                  "ProductLogSize   :    7           \n"
                  "SysLog           :    Disabled    \n"},
                 {"--setmaxproductlogsize 1000", 101, {}}});
    EXPECT_EQ(setting("LoggingInformation", "EnableEventLogging"), "0");
    std::string state;
    EXPECT_EQ(shell("cat /var/Varnik/kyv/zav/zavsocket.state", &state), 0);
    EXPECT_NE(state.find("useSyslog=0"), std::string::npos) << state;
}

TEST_F(TqctlSandboxTest, AStoppedOrFrozenDaemonAndALostServiceGive103)
{
    startAll();
    m_daemon->signal(SIGTERM);
    ASSERT_EQ(m_daemon->wait(TestSupport::kHangGuard), 0);
    // The service answers for the stopped daemon; the tool does not sit out a reply timeout.
    for (const char* words : {"--fw status", "--productlog enable"}) {
        const ToolRun run = tqctl(words);
        EXPECT_EQ(run.code, 103) << words << ": " << run.output;
        EXPECT_LT(run.took, TestSupport::kHangGuard) << words;
    }
    EXPECT_NE(tqctl("--fw status").output.find("FMP communication error"), std::string::npos);

    // The service dies while the tool waits for a frozen daemon: a failed request, not a signal.
    startDaemon();
    m_daemon->signal(SIGSTOP);
    auto pending = std::async(std::launch::async, [] { return tqctl("--fw status"); });
    std::this_thread::sleep_for(1500ms);
    m_broker->signal(SIGKILL);
    const ToolRun run = pending.get();
    EXPECT_EQ(run.code, 103) << run.output;
    m_daemon->signal(SIGCONT);
}

// Settings files tqd could not save before: one edited by hand that indentation makes larger
// than the reader takes (saved without), and one with a section whose type the daemon fills
// in. The change is saved and the restarted daemon reads it.
TEST_F(TqctlSandboxTest, SettingsTheDaemonCouldNotSaveBeforeAreSavedAndReadAfterARestart)
{
    std::string notes = "<Notes>"; // 60,000 empty elements 26 deep, 243 KB; 3.3 MB indented
    for (const auto& [count, text] : {std::pair(24, "<n>"), {60000, "<a/>"}, {24, "</n>"}})
        for (int n = 0; n < count; ++n)
            notes += text;
    const std::string live = "/var/Varnik/kyv/fw/prefs.xml";
    const std::string type = "<GlobalConfiguration type=\"1\">";
    for (const bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "a section without its type" : "by hand, too large indented");
        prepareManagedProduct(enabled, "10.20.30.40");
        std::string text = TestSupport::readFile(live);
        text = enabled ? text.replace(text.find(type), type.size(), "<GlobalConfiguration>")
                       : text + notes + "</Notes>\n";
        TestSupport::writeFile(live, text);
        startService();
        startDaemon();
        expectSteps({{enabled ? "--fw off" : "--fw on", 0, "Preferences set successfully\n"}});
        m_daemon->signal(SIGTERM);
        ASSERT_EQ(m_daemon->wait(TestSupport::kHangGuard), 0);
        startDaemon();
        const std::string status = tqctl("--fw status").output;
        const char* const now = enabled ? "Status: Disabled\n" : "Status: Enabled\n";
        EXPECT_NE(status.find(now), std::string::npos) << status;
        EXPECT_EQ(countOf(live, "<a/>"), enabled ? 0u : 60000u);
        m_daemon.reset();
        m_broker.reset();
    }
}

namespace {

const char* const kClientGroup = "7eece6a4-5ac2-9dfb-6374-477569447e00";

boost::property_tree::ptree parsedXml(const std::string& text)
{
    std::istringstream in(text);
    boost::property_tree::ptree document;
    boost::property_tree::read_xml(in, document);
    return document;
}

// The rule elements of the client group, which is always the second-last group.
std::vector<boost::property_tree::ptree> clientRules(const std::string& listingXml)
{
    const boost::property_tree::ptree document = parsedXml(listingXml);
    std::vector<boost::property_tree::ptree> groups;
    for (const auto& entry : document.get_child("groups"))
        groups.push_back(entry.second);
    std::vector<boost::property_tree::ptree> rules;
    if (groups.size() < 2) {
        ADD_FAILURE() << listingXml;
        return rules;
    }
    const boost::property_tree::ptree& client = groups[groups.size() - 2];
    EXPECT_EQ(client.get("<xmlattr>.guid", ""), kClientGroup);
    for (const auto& [tag, rule] : client)
        if (tag == "rule")
            rules.push_back(rule);
    return rules;
}

std::vector<std::string> clientRuleNames()
{
    std::vector<std::string> names;
    for (const auto& rule : clientRules(tqctl("--fw-rules-list --xml").output))
        names.push_back(rule.get("ruleName", ""));
    return names;
}

// The text listing of the trusted networks: a heading, one numbered row each, and the setting
// for the local subnet.
std::string trustedListing(const std::vector<std::string>& networks, const std::string& localSubnet)
{
    const auto row = [](const std::string& number, const std::string& value) {
        return " " + std::string(5 - number.size(), ' ') + number + "  " + value +
               std::string(32 - value.size(), ' ') + " \n";
    };
    const std::string separator(41, '-');
    std::string text = "\n" + row("Index", "Trusted networks") + separator + "\n";
    for (size_t i = 0; i < networks.size(); ++i)
        text += row(std::to_string(i + 1), networks[i]);
    return text + separator + "\n\nTrust local subnet: " + localSubnet + "\n\n";
}

} // namespace

TEST_F(TqctlSandboxTest, RulesAreAddedEnforcedListedAndDeleted)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();

    expectSteps({{"--fw-rule-add --name \"web 80\" --action allow --direction in --proto tcp "
                  "--local-service 80",
                  0, "Rule was successfully created and enforced\n"}});
    EXPECT_EQ(linesWith(iptablesListing(), "--dports 80 -j ACCEPT"), 1u) << iptablesListing();

    // The client group starts with the settings' own rules; a new rule goes last.
    std::vector<boost::property_tree::ptree> rules =
        clientRules(tqctl("--fw-rules-list --xml").output);
    ASSERT_FALSE(rules.empty());
    const size_t own = rules.size() - 1;
    EXPECT_EQ(rules.back().get("ruleName", ""), "web 80");
    EXPECT_EQ(rules.back().get("<xmlattr>.enforcementStatus", ""), "true");
    EXPECT_EQ(rules.back().get("localService", ""), "80");
    EXPECT_EQ(rules.back().get("ruleIndex", ""), std::to_string(own + 1));
    const std::string webIndex = std::to_string(own + 1);

    expectSteps({{"--fw-rule-add --name off1 --action deny --state disable", 0,
                  "Rule was successfully created. It was not enforced as the rule is in a disabled state\n"},
                 {"--fw-rule-add --name late --action allow --index 99", 0,
                  "Incorrect rule index provided. However, rule was successfully created and enforced "
                  "at last index\n"}});
    std::vector<std::string> names = clientRuleNames();
    names.erase(names.begin(), names.begin() + static_cast<long>(own));
    EXPECT_EQ(names, (std::vector<std::string>{"web 80", "off1", "late"}));

    // Redirected: the detailed form without colours; on a 100-column terminal: the table.
    ToolRun run = tqctl("--fw-rules-list");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output.rfind("Detailed list of rules and groups\n\n", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find('\033'), std::string::npos);
    std::string terminal;
    EXPECT_EQ(shell("script -qec 'stty cols 100; " + std::string(TQ_TQCTL) +
                        " --fw-rules-list' /dev/null",
                    &terminal),
              0);
    EXPECT_NE(terminal.find("Colors used in rule and group listing"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find(" " + std::string(95, '-') + " "), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("web 80"), std::string::npos) << terminal;

    // Deleting asks first; only "y" deletes; --force deletes without asking, and an index past
    // the list deletes nothing.
    const std::string asked = "Delete firewall rule - web 80 (Enter y to confirm): ";
    const std::string lateIndex = std::to_string(own + 2);
    expectSteps({{"--fw-rule-delete --index " + webIndex, 101,
                  asked + "Cancelled delete of firewall rule\n", "n\\n"},
                 {"--fw-rule-delete --index " + webIndex, 0,
                  asked + "Deleting firewall rule: web 80\nSuccessfully deleted rule\n", "y\\n"},
                 {"--fw-rule-delete --index " + lateIndex + " --force <&-", 0,
                  "Deleting firewall rule: late\nSuccessfully deleted rule\n"},
                 {"--fw-rule-delete --index " + lateIndex + " --force", 101, {}}});
    EXPECT_EQ(linesWith(iptablesListing(), "--dports 80 "), 0u) << iptablesListing();
    names = clientRuleNames();
    ASSERT_EQ(names.size(), own + 1);
    EXPECT_EQ(names.back(), "off1");
}

TEST_F(TqctlSandboxTest, TrustedNetworksAreAddedListedAndDeleted)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    const std::string added = "Trusted Network was successfully added\n";
    expectSteps({{"--fw-trusted-add --single 10.1.1.1", 0, added},
                 {"--fw-trusted-add --cidr 10.0.0.0/8", 0, added},
                 {"--fw-trusted-add --range 192.168.1.1-192.168.1.9", 0, added},
                 {"--fw-trusted-list", 0,
                  trustedListing({"10.1.1.1", "10.0.0.0/8", "192.168.1.1-192.168.1.9"}, "Enabled")}});
    const boost::property_tree::ptree document =
        parsedXml(tqctl("--fw-trusted-list --xml").output);
    EXPECT_EQ(document.get("trustedNetworks.<xmlattr>.trustLocalSubnet", ""), "Enabled");
    std::vector<std::string> listed;
    for (const auto& [tag, entry] : document.get_child("trustedNetworks"))
        if (tag == "trustedNetwork")
            listed.push_back(entry.get("<xmlattr>.index", "") + "=" + entry.data());
    EXPECT_EQ(listed, (std::vector<std::string>{"1=10.1.1.1", "2=10.0.0.0/8",
                                                "3=192.168.1.1-192.168.1.9"}));

    expectSteps({{"--fw-trusted-add --single 10.1.1.1", 103,
                  "FMP communication error\nThe trusted network was not added: it is already in the list\n"},
                 {"--fw-trusted-delete --index 2 --force", 0,
                  "Deleting Trusted Network: 10.0.0.0/8\nTrusted Network was successfully deleted\n"},
                 {"--fw-trusted-delete --index 3 --force", 101, {}},
                 {"--fw-trusted-add --include-local off", 0, "Preferences set successfully\n"},
                 {"--fw-trusted-add --include-local off", 0, ""},
                 {"--fw-trusted-list", 0,
                  trustedListing({"10.1.1.1", "192.168.1.1-192.168.1.9"}, "Disabled")}});
}

TEST_F(TqctlSandboxTest, FailedEnforcementAndUnwritableStoresAndSettingsGive103)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    ASSERT_EQ(tqctl("--fw-trusted-add --single 10.1.1.1").code, 0);

    // Every iptables call fails: the rule is filed but not enforced, and the daemon's failed
    // push is said as such, not as a doubt about the channel.
    ASSERT_EQ(shell("ln -sfn /bin/false /opt/Varnik/kyv/fw/bin/iptables"), 0);
    expectSteps({{"--fw-rule-add --name broken --action allow", 103,
                  "FMP communication error\nRule was successfully created but enforcement failed\n"
                  "The change was stored, but applying it to iptables failed: the previous rules stay "
                  "in force and the firewall retries\n"}});
    shell("ln -sfn /usr/sbin/iptables /opt/Varnik/kyv/fw/bin/iptables");

    // The stores and the settings cannot be written: the change is not kept, and the command
    // says so (for a setting the daemon still answers with its status flag set).
    ASSERT_EQ(shell("mount --bind -o ro /var/Varnik/kyv/fw /var/Varnik/kyv/fw"), 0);
    expectSteps({{"--fw-rule-add --name unkept --action allow", 103,
                  "The rule was not added: the firewall could not store it (its rule store could not be "
                  "written, or the rule would make it larger than the firewall can read back)\n"},
                 {"--fw-trusted-delete --index 1 --force", 103, {}},
                 {"--fw off", 103,
                  "The setting was not changed: the firewall could not write it to its settings file\n"}});
    shell("umount /var/Varnik/kyv/fw");
}
