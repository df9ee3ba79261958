#include "SFConfigController.h"
#include "SFSettingsText.h"

#include "CommonExtPolicyObj.h"
#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "FakeConfigStore.h"
#include "SFCommonPolicyRequestImpl.h"
#include "SFConfigData.h"
#include "SFException.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SandboxGuard.h"
#include "SettingsFixture.h"
#include "TempDir.h"

#include <boost/property_tree/xml_parser.hpp>

#include <functional>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <tuple>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::FakeConfigStore;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

// The change callback is a plain function pointer, so what it sees goes through globals.
std::vector<int> g_changes;
bool g_callbackThrows = false;

void recordChange(SFPrefType type)
{
    g_changes.push_back(type);
    if (g_callbackThrows)
        throw std::runtime_error("callback failed");
}

class SFConfigControllerTest : public TestSupport::SettingsFixture {
protected:
    void SetUp() override
    {
        SettingsFixture::SetUp();
        g_changes.clear();
        g_callbackThrows = false;
    }

    // A controller over the real store at the real paths.
    std::unique_ptr<SFConfigController> realController()
    {
        auto controller = std::make_unique<SFConfigController>(
            m_logger, std::make_unique<ZAV::ConfigStoreUtility>(m_logger),
            std::make_unique<ZAV::ConfigStore>(m_logger));
        controller->registerCallBack(recordChange);
        return controller;
    }

    // A controller over an in-memory store; m_fake points at it.
    std::unique_ptr<SFConfigController> fakeController()
    {
        auto store = std::make_unique<FakeConfigStore>();
        m_fake = store.get();
        auto controller = std::make_unique<SFConfigController>(m_logger, nullptr, std::move(store));
        controller->registerCallBack(recordChange);
        return controller;
    }

    FakeConfigStore* m_fake = nullptr;
};

struct SetterCase {
    const char* name;
    std::function<int(SFConfigController&)> set;
    const char* fileText;
    int change; // -1: the setter raises none
};

TEST_F(SFConfigControllerTest, TypedSettersWriteOnceRaiseTheirChangeAndThenReportAlreadySet)
{
    const std::vector<SetterCase> cases = {
        {"enable", [](auto& c) { return c.setFwEnableStatus(true); }, "<IsFirewallEnabled>1<", 0},
        {"mode", [](auto& c) { return c.setFwMode(FW_MODE_ADAPTIVE); }, "<IsRegularOrAdaptive>1<", 6},
        {"retain", [](auto& c) { return c.setFwRetainExistCLROption(false); },
         "<RetainExistingClientRules>0<", -1},
        {"spoof", [](auto& c) { return c.setFwEnableIPspoofProtOption(true); },
         "<EnableIPspoofProtection>1<", -1},
        {"ftp", [](auto& c) { return c.setFwFTPinspectionOption(false); }, "<UseFTPinspection>0<", 4},
        {"tcp", [](auto& c) { return c.setFwTCPConTimeout(77); }, "<TCPconTimeout>77<", 1},
        {"udp", [](auto& c) { return c.setFwUDPandICMPConTimeout(78); },
         "<UDPandICMPechoConTimeout>78<", 2},
        {"subnet", [](auto& c) { return c.setShouldTrustLocalSubnet(false); },
         "<ShouldTrustLocalSubnet>0<", 10},
        {"unsupported", [](auto& c) { return c.setFwUnsupportedProtocol(2); },
         "<UnsupportedProtocol>2<", 9},
        {"level", [](auto& c) { return c.setFwLogLevel(6); }, "<FirewallLogLevel>6<", 3},
        {"activity", [](auto& c) { return c.setFwActivityLogSize(4); }, "<ActivityLogSize>4<", -1},
        {"custom", [](auto& c) { return c.setCustomLogEnable(false); }, "<CustomLogEnable>0<", -1},
    };
    auto controller = realController();
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        g_changes.clear();
        EXPECT_EQ(test.set(*controller), SF_SUCCESS);
        EXPECT_NE(readFile(SF_LIVE_PREFS_PATH).find(test.fileText), std::string::npos);
        EXPECT_EQ(g_changes, test.change < 0 ? std::vector<int>{} : std::vector<int>{test.change});

        g_changes.clear();
        const std::string before = readFile(SF_LIVE_PREFS_PATH);
        EXPECT_EQ(test.set(*controller), SF_PREF_ALREADY_SET);
        EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), before);
        EXPECT_TRUE(g_changes.empty());
    }
    // Only the LoggingInformation copies of the doubled keys are written.
    EXPECT_NE(readFile(SF_LIVE_PREFS_PATH).find("<ActivityLogSize>1<"), std::string::npos);
}

// What was set reads back in a new controller, from an intact settings file and from one cut
// short. Regression: a settings file cut short by an interrupted save came back as the
// template: the firewall disabled, FTP inspection and local-subnet trust on, the mode regular.
TEST_F(SFConfigControllerTest, SettingsLastSavedSurviveANewControllerAndADamagedFile)
{
    {
        auto controller = realController();
        ASSERT_EQ(controller->setFwEnableStatus(true), SF_SUCCESS);
        ASSERT_EQ(controller->setFwMode(FW_MODE_ADAPTIVE), SF_SUCCESS);
        ASSERT_EQ(controller->setFwFTPinspectionOption(false), SF_SUCCESS);
        ASSERT_EQ(controller->setShouldTrustLocalSubnet(false), SF_SUCCESS);
        ASSERT_EQ(controller->setLogPath("/srv/log"), SF_SUCCESS);
        ASSERT_EQ(controller->enableDebugLoggingForFirewall(true), SF_SUCCESS);
        ASSERT_EQ(controller->setDebugLogSize(20), SF_SUCCESS);
    }
    EXPECT_EQ(readFile(SF_LAST_GOOD_PREFS_PATH), readFile(SF_LIVE_PREFS_PATH));
    const std::string saved = readFile(SF_LIVE_PREFS_PATH);
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "intact");
        if (damaged)
            writeFile(SF_LIVE_PREFS_PATH, saved.substr(0, saved.size() / 2));
        auto controller = realController();
        EXPECT_TRUE(controller->getFwEnableStatus());
        EXPECT_EQ(controller->getFwMode(), FW_MODE_ADAPTIVE);
        EXPECT_FALSE(controller->getFwFTPinspectionOption());
        EXPECT_FALSE(controller->getShouldTrustLocalSubnet());
        EXPECT_EQ(controller->getLogPath(), "/srv/log");
        EXPECT_TRUE(controller->isDebugLoggingEnabledForFirewall());
        EXPECT_EQ(controller->getDebugLogSize(), 20);
        for (const char* path : {SF_LIVE_PREFS_PATH, SF_LAST_GOOD_PREFS_PATH})
            EXPECT_EQ(TestSupport::fileMode(path), 0600) << path;
    }
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), saved.substr(0, saved.size() / 2));
}

TEST_F(SFConfigControllerTest, FreshSettingsAnswerTheDefaults)
{
    auto c = realController();
    EXPECT_FALSE(c->getFwEnableStatus());
    EXPECT_EQ(c->getFwMode(), FW_MODE_REGULAR);
    EXPECT_TRUE(c->getFwRetainExistCLROption());
    EXPECT_EQ(c->getFtpInspectionPorts(), "21");
    EXPECT_EQ(c->getHashLimitUptoRate(), "5/hour");
    EXPECT_EQ(c->getRuleStorePath(), SF_DEFAULT_RULE_STORE_PATH);
    EXPECT_EQ(c->getTrustedIPStorePath(), SF_DEFAULT_TRUSTED_IP_STORE_PATH);
    EXPECT_EQ(c->getZAVSocketPath(), SF_DEFAULT_ZAV_SOCKET_PATH);
    EXPECT_EQ(c->getHealthCheckTimer(), 300);
    EXPECT_EQ(c->getYalLogLevelForFW(), 3);
    EXPECT_EQ(c->getDefaultRotatedLogFileCount(), 5);
    EXPECT_TRUE(m_logger.lines().empty());
}

// The default of a key in the table the settings file is filled from.
std::string tableDefault(const std::string& path)
{
    for (const SFPrefDefault& entry : SF_GLOBAL_DEFAULTS)
        if (path == entry.path)
            return entry.value;
    for (const SFPrefDefault& entry : SF_LOGGING_DEFAULTS)
        if (path == entry.path)
            return entry.value;
    ADD_FAILURE() << "no default for " << path;
    return {};
}

// A settings text as the writer writes it without indentation.
std::string compactText(const std::string& xml)
{
    boost::property_tree::ptree tree;
    std::istringstream in(xml);
    boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
    std::ostringstream out;
    boost::property_tree::write_xml(
        out, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 0));
    return out.str();
}

// A getter's answer as the settings file holds it.
std::string text(bool value) { return value ? "1" : "0"; }
std::string text(int value) { return std::to_string(value); }

// Every getter that falls back on a failed read, against the default the settings file would
// have held: an unreadable value must behave like the documented default. The log path alone
// falls back to the empty text.
TEST_F(SFConfigControllerTest, EveryGettersFallbackIsTheDefaultOfItsKey)
{
    struct Getter {
        const char* key;
        std::function<std::string(SFConfigController&)> read;
        const char* message; // logged at level 2 on the failure
        const char* fallback = nullptr; // nullptr: the key's default
    };
    // Lines that several getters log.
    const char* const prefs = "Got prefs exception. Returning default value";
    const char* const status = "Got prefs exception. Returning default firewall status";
    const char* const mode = "Got prefs exception. Returning default mode";
    const char* const level = "Got prefs exception. Returning default log level";
    const char* const unknown = "Caught unknown exception. Returning default val";
    const std::vector<Getter> getters = {
        {SF_KEY_IS_FIREWALL_ENABLED, [](auto& c) { return text(c.getFwEnableStatus()); }, status},
        {SF_KEY_IS_REGULAR_OR_ADAPTIVE, [](auto& c) { return text(c.getFwMode()); }, mode},
        {SF_KEY_RETAIN_EXISTING_CLIENT_RULES, [](auto& c) { return text(c.getFwRetainExistCLROption()); }, prefs},
        {SF_KEY_ENABLE_IP_SPOOF_PROTECTION, [](auto& c) { return text(c.getFwEnableIPspoofProtOption()); }, prefs},
        {SF_KEY_USE_FTP_INSPECTION, [](auto& c) { return text(c.getFwFTPinspectionOption()); }, prefs},
        {SF_KEY_SHOULD_TRUST_LOCAL_SUBNET, [](auto& c) { return text(c.getShouldTrustLocalSubnet()); }, status},
        {SF_KEY_TCP_CON_TIMEOUT, [](auto& c) { return text(c.getFwTCPConTimeout()); }, mode},
        {SF_KEY_UDP_ICMP_CON_TIMEOUT, [](auto& c) { return text(c.getFwUDPandICMPConTimeout()); }, mode},
        {SF_KEY_AGGR_TIMEOUT_SECS, [](auto& c) { return text(c.getAggregationTimeoutInterval()); }, prefs},
        {SF_KEY_REPORTING_TIMEOUT_SECS, [](auto& c) { return text(c.getReportingTimeoutInterval()); }, prefs},
        {SF_KEY_HASH_LIMIT_UPTO_RATE, [](auto& c) { return c.getHashLimitUptoRate(); }, prefs},
        {SF_KEY_UNSUPPORTED_PROTOCOL, [](auto& c) { return text(c.getUnsupportedProtocol()); },
         "Got prefs exception. Returning default Unsupported protocol value"},
        {SF_KEY_HEALTH_CHECK_TIMER, [](auto& c) { return text(c.getHealthCheckTimer()); },
         "Got prefs exception while getting health check interval. Returning default value"},
        {SF_KEY_FIREWALL_LOG_LEVEL, [](auto& c) { return text(c.getFwLogLevel()); }, level},
        {SF_KEY_ACTIVITY_LOG_SIZE, [](auto& c) { return text(c.getFwActivityLogSize()); },
         "Got prefs exception. Returning default log Size"},
        {SF_KEY_IPTABLES_RULE_LOG_LEVEL, [](auto& c) { return text(c.getIptablesLogLevel()); }, level},
        {SF_KEY_CUSTOM_LOG_ENABLE, [](auto& c) { return text(c.getCustomLogEnable()); },
         "Got prefs exception. Returning default custom log status"},
        {SF_KEY_SEND_EVENTS_TO_YAL, [](auto& c) { return text(c.isSendingEventsToYalEnabled()); },
         "Unable to determine if sending events to Yal is enabled. Returning default value instead"},
        {SF_KEY_LOG_PATH, [](auto& c) { return c.getLogPath(); }, "Unable to get the log path", ""},
        {SF_KEY_FTP_INSPECTION_PORTS, [](auto& c) { return c.getFtpInspectionPorts(); }, unknown},
        {SF_KEY_RULE_STORE_PATH, [](auto& c) { return c.getRuleStorePath(); }, unknown},
        {SF_KEY_TRUSTED_IP_STORE_PATH, [](auto& c) { return c.getTrustedIPStorePath(); }, unknown},
        {SF_KEY_ENABLE_ACTIVITY_LOGGING, [](auto& c) { return text(c.isActivityLoggingEnabled()); },
         "Unable to determine if activity logging is enabled. Returning default value"},
        {SF_KEY_LIMIT_ACTIVITY_LOG_SIZE, [](auto& c) { return text(c.isLimitActivityLogSizeEnabled()); },
         "Unable to determine if limit activity log size is enabled. Returning default value instead"},
        {SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, [](auto& c) { return text(c.isDebugLoggingEnabledForFirewall()); },
         "Unable to determine if debug logging is enabled for FW. Returning default value instead"},
        {SF_KEY_ENABLE_DEBUG_LOGGING_FOR_MSG_BUS, [](auto& c) { return text(c.isDebugLoggingEnabledForMsgBus()); },
         "Unable to determine if debug logging is enabled for msgbus. Returning default value instead"},
        {SF_KEY_LIMIT_DEBUG_LOG_SIZE, [](auto& c) { return text(c.isLimitDebugLogSizeEnabled()); },
         "Unable to determine if limit debug log size is enabled. Returning default value instead"},
        {SF_KEY_ENABLE_EVENT_LOGGING, [](auto& c) { return text(c.isEventLoggingEnabled()); },
         "Unable to determine if event logging is enabled. Returning default value instead"},
        {SF_KEY_DEBUG_LOG_SIZE, [](auto& c) { return text(c.getDebugLogSize()); },
         "Unable to get debug log size. Returning default value instead"},
        {SF_KEY_YAL_LOG_LEVEL_FOR_FW, [](auto& c) { return text(c.getYalLogLevelForFW()); },
         "Unable to get Yal log level for FW. Returning default value instead"},
        {SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE, [](auto& c) { return text(c.getDefaultMaximumLogFileSize()); },
         "Unable to get default rotated log file size. Returning default value instead"},
        {SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT, [](auto& c) { return text(c.getDefaultRotatedLogFileCount()); },
         "Unable to get default maximum rotated log file count. Returning default value instead"},
    };
    auto c = fakeController();
    for (const Getter& getter : getters) {
        SCOPED_TRACE(getter.key);
        // A stored value unlike the default, which the failing read must not reach.
        m_fake->set(getter.key, "7");
        m_fake->failReadsOf(getter.key);
        m_logger.clear();
        EXPECT_EQ(getter.read(*c), getter.fallback != nullptr ? getter.fallback : tableDefault(getter.key));
        EXPECT_TRUE(m_logger.has(2, getter.message));
    }
    // The socket path has no fallback for a failed read: the daemon cannot start without it.
    m_fake->failReadsOf(SF_KEY_ZAV_SOCKET_PATH);
    EXPECT_THROW(c->getZAVSocketPath(), std::exception);
}

// Stored texts a getter cannot use, read without a failure: one that does not convert, a mode
// that is neither regular nor adaptive, an empty path. Each gives the key's default with the
// lines logged; an empty rate is checked by its user, not here. (Failing reads are the getter
// table's.)
TEST_F(SFConfigControllerTest, UnusableStoredTextsGiveTheDefaultWithALogLine)
{
    struct Unusable {
        const char* key;
        const char* stored;
        std::function<std::string(SFConfigController&)> read;
        std::string expected;
        std::vector<std::pair<int, const char*>> logged;
    };
    const std::vector<Unusable> cases = {
        {SF_KEY_RETAIN_EXISTING_CLIENT_RULES, "7x", [](auto& c) { return text(c.getFwRetainExistCLROption()); },
         "1", {{2, "Got prefs exception. Returning default value"}}},
        {SF_KEY_TCP_CON_TIMEOUT, "7x", [](auto& c) { return text(c.getFwTCPConTimeout()); }, "30", {}},
        {SF_KEY_IS_REGULAR_OR_ADAPTIVE, "2", [](auto& c) { return text(c.getFwMode()); }, text(FW_MODE_REGULAR),
         {{6, "Invalid mode! Returning default mode"}}},
        {SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, "7x", [](auto& c) { return text(c.isDebugLoggingEnabledForFirewall()); },
         "0", {{2, "In getBooleanConfiguration unable to get setting value in Config Controller for key "
                   "LoggingInformation.EnableDebugLoggingForFW"},
               {2, "Unable to determine if debug logging is enabled for FW. Returning default value instead"}}},
        {SF_KEY_DEBUG_LOG_SIZE, "7x", [](auto& c) { return text(c.getDebugLogSize()); }, "10", {}},
        {SF_KEY_RULE_STORE_PATH, "", [](auto& c) { return c.getRuleStorePath(); }, SF_DEFAULT_RULE_STORE_PATH,
         {{6, "preference file returned null. Returning default val"}}},
        {SF_KEY_TRUSTED_IP_STORE_PATH, "", [](auto& c) { return c.getTrustedIPStorePath(); },
         SF_DEFAULT_TRUSTED_IP_STORE_PATH, {{6, "Preference file returned null. Returning default val"}}},
        {SF_KEY_ZAV_SOCKET_PATH, "", [](auto& c) { return c.getZAVSocketPath(); }, SF_DEFAULT_ZAV_SOCKET_PATH,
         {{2, "Unable to get ZAV Socket Path. Returning default value instead"}}},
        {SF_KEY_HASH_LIMIT_UPTO_RATE, "", [](auto& c) { return c.getHashLimitUptoRate(); }, "", {}},
    };
    auto c = fakeController();
    for (const Unusable& test : cases) {
        SCOPED_TRACE(std::string(test.key) + " = '" + test.stored + "'");
        m_fake->set(test.key, test.stored);
        m_logger.clear();
        EXPECT_EQ(test.read(*c), test.expected);
        for (const auto& [level, line] : test.logged)
            EXPECT_TRUE(m_logger.has(level, line)) << line;
    }
}

// A failed write, or a failed read of the current value, is a failed set, not an exception.
TEST_F(SFConfigControllerTest, StoreWriteAndReadFailuresOfSettersGive150016)
{
    struct Failure {
        const char* key;
        bool writeFails; // or else the read fails
        std::function<int(SFConfigController&)> set;
        const char* logged;
    };
    const std::vector<Failure> cases = {
        {SF_KEY_TCP_CON_TIMEOUT, true, [](auto& c) { return c.setFwTCPConTimeout(99); },
         "Unable to set firewall TCP connection timeout"},
        {SF_KEY_IS_FIREWALL_ENABLED, false, [](auto& c) { return c.setFwEnableStatus(true); },
         "Unable to set firewall status"},
        {SF_KEY_CUSTOM_LOG_ENABLE, false, [](auto& c) { return c.setCustomLogEnable(false); },
         "Unable to set custom log  status"},
        {SF_KEY_LOG_PATH, true, [](auto& c) { return c.setLogPath("/x"); }, "Unable to set the log path"},
    };
    auto c = fakeController();
    for (const Failure& test : cases) {
        SCOPED_TRACE(test.key);
        test.writeFails ? m_fake->failWritesOf(test.key) : m_fake->failReadsOf(test.key);
        EXPECT_EQ(test.set(*c), SF_PREF_WRITE_FAILED);
        EXPECT_TRUE(m_logger.has(2, test.logged));
        EXPECT_TRUE(g_changes.empty());
    }
    EXPECT_EQ(c->setLogPath("/var/Varnik/kyv/log/fw"), SF_PREF_ALREADY_SET); // no write needed
}

TEST_F(SFConfigControllerTest, ThrowingCallbackGives150016AfterTheValueWasWritten)
{
    auto c = fakeController();
    g_callbackThrows = true;
    EXPECT_EQ(c->setFwMode(FW_MODE_ADAPTIVE), SF_PREF_WRITE_FAILED);
    EXPECT_EQ(m_fake->value(SF_KEY_IS_REGULAR_OR_ADAPTIVE), "1");
    EXPECT_TRUE(m_logger.has(2, "Unable to set firewall mode"));
    // The mutex was released: the next setter does not deadlock.
    g_callbackThrows = false;
    EXPECT_EQ(c->setFwMode(FW_MODE_REGULAR), SF_SUCCESS);
}

TEST_F(SFConfigControllerTest, MissingKeysMakeGenericOperationsFail)
{
    auto c = fakeController();
    m_fake->erase(SF_KEY_DEBUG_LOG_SIZE);
    try {
        c->getIntegerConfiguration(SF_SECTION_LOGGING_ID, SF_KEY_DEBUG_LOG_SIZE);
        FAIL() << "no exception";
    } catch (const SFException& e) {
        EXPECT_EQ(e.code, SF_INVALID_ARGUMENT);
        EXPECT_EQ(e.message, "Invalid key specified");
    }
    m_logger.clear();
    EXPECT_EQ(c->setIntegerConfiguration("type", SF_SECTION_LOGGING_ID, SF_KEY_DEBUG_LOG_SIZE, 3),
              SF_PREF_WRITE_FAILED);
    EXPECT_TRUE(m_logger.has(2, "In getIntegerConfiguration unable to get setting value in Config "
                                "Controller for key LoggingInformation.DebugLogSize"));
    EXPECT_TRUE(m_logger.has(2, "Unable to set value in setIntegerConfiguration in Config Controller"));
    EXPECT_FALSE(m_fake->has(SF_KEY_DEBUG_LOG_SIZE));

    m_fake->erase(SF_KEY_ENABLE_EVENT_LOGGING);
    EXPECT_EQ(c->enableEventLogging(false), SF_PREF_WRITE_FAILED);
    EXPECT_TRUE(m_logger.has(2, "In setBooleanConfiguration unable to set configuration value in "
                                "Config Controller for key LoggingInformation.EnableEventLogging"));
}

TEST_F(SFConfigControllerTest, RunTimeStateKeepsWhatWasSet)
{
    auto c = fakeController();
    EXPECT_EQ(c->getManagedMode(), 3);
    EXPECT_FALSE(c->isProductUnManaged());
    c->setManagedMode(3);
    c->setManagedMode(-1);
    EXPECT_EQ(c->getManagedMode(), 3);
    c->setManagedMode(0);
    EXPECT_TRUE(c->isProductUnManaged());
    c->setManagedMode(2);
    EXPECT_EQ(c->getManagedMode(), 2);

    c->setUniqueId("123");
    EXPECT_EQ(c->getUniqueId(), "_123");
    c->setPreviousUniqueId("_123");
    EXPECT_EQ(c->getPreviousUniqueId(), "_123");

    const int first = c->getGlobalEnforcementPolicyUniqueId();
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 1000000000);
    EXPECT_EQ(c->getGlobalEnforcementPolicyUniqueId(), first + 1);

    c->setPolicyNameForFirewallRules("rules-a");
    EXPECT_EQ(c->getPolicyNameForFirewallRules(), "rules-a");
    EXPECT_EQ(c->getPolicyNameForTrustedNetwork(), "");
}

TEST_F(SFConfigControllerTest, ProductInfoCarriesTheHotFixUnderItsParentKey)
{
    auto c = realController();
    auto info = c->getProductInfo();
    EXPECT_EQ(info.size(), 10u);
    EXPECT_EQ(info.at(SF_KEY_PRODUCT_VERSION), "10.6.11");
    EXPECT_EQ(info.at(SF_KEY_HOT_FIXES), "");
}

TEST_F(SFConfigControllerTest, AgentGettersAnswerNothingWithoutAnAdaptor)
{
    auto c = fakeController();
    std::list<std::string> names{"kept"};
    std::string port = "kept";
    EXPECT_EQ(c->getYalServerName(names), 0);
    EXPECT_EQ(c->getAgentListenPort(port), 0);
    EXPECT_EQ(names, std::list<std::string>{"kept"});
    EXPECT_EQ(port, "kept");
}

TEST_F(SFConfigControllerTest, AgentRuleFileYieldsTheUsedFieldsOfEachEntry)
{
    auto c = fakeController();
    std::map<std::string, std::vector<std::string>> rules{{"old", {"x"}}};

    c->getAgentRulesFromIni(rules); // no file yet
    EXPECT_TRUE(m_logger.has(2, "Error while processing firewall rules from config file"));
    EXPECT_EQ(rules.size(), 1u);

    writeFile(SF_AGENT_RULES_INI_PATH, "[Other]\n"
                                       "x=n,a,1,b,c,1,2,3\n"
                                       "[FirewallRules]\n"
                                       "r1=wake,any,0,,,5000,,\n"
                                       "r2=skip,any,1,,,,,\n"
                                       "r3=dup,a,1,,,10,,1\n"
                                       "r4=dup,a,0,,,20,30,2\n");
    c->getAgentRulesFromIni(rules);
    EXPECT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules.at("wake"), (std::vector<std::string>{"0", "5000", "", ""}));
    EXPECT_EQ(rules.at("dup"), (std::vector<std::string>{"0", "20", "30", "2"}));
    EXPECT_EQ(rules.count("skip"), 0u);

    // An entry with seven fields and a port stops the walk; what came before stays.
    m_logger.clear();
    rules.clear();
    writeFile(SF_AGENT_RULES_INI_PATH, "[FirewallRules]\n"
                                       "r1=first,a,0,,,80,,\n"
                                       "r2=short,a,0,,,80,\n"
                                       "r3=later,a,0,,,80,,\n");
    c->getAgentRulesFromIni(rules);
    EXPECT_TRUE(m_logger.has(2, "Error while processing firewall rules from config file"));
    EXPECT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules.count("first"), 1u);

    // A file past the size bound is refused before it is parsed and changes nothing.
    m_logger.clear();
    rules.clear();
    writeFile(SF_AGENT_RULES_INI_PATH,
              "[FirewallRules]\nr1=wake,any,0,,,5000,,\n" +
                  std::string(kMaxSettingsFileBytes, ';') + "\n");
    c->getAgentRulesFromIni(rules);
    EXPECT_TRUE(m_logger.has(2, std::string(SF_AGENT_RULES_INI_PATH) + " is larger than " +
                                    std::to_string(kMaxSettingsFileBytes) + " bytes"));
    EXPECT_TRUE(rules.empty());
}

TEST_F(SFConfigControllerTest, ConstructionWithoutUsableSettingsThrowsTheFailureText)
{
    unlink(SF_TEMPLATE_PREFS_PATH);
    try {
        fakeController();
        FAIL() << "no exception";
    } catch (const char* text) {
        EXPECT_STREQ(text, "Failed to create config controller object.");
    }
    EXPECT_TRUE(m_logger.has(2, "Failed to create config controller object."));
}

// The product log's bounds sit in the setters, whoever calls them (the daemon's command and
// policy): a size outside 1 to 999 MB is refused and logged, the stored one kept. The settings
// file's default size and rotated-file count read outside their bounds give the defaults, so
// the logger's total is never negative and never overflows.
TEST_F(SFConfigControllerTest, LogSizesAndRotatedCountsOutsideTheirBoundsAreRefused)
{
    auto c = fakeController();
    ASSERT_EQ(c->setFwActivityLogSize(7), SF_SUCCESS);
    ASSERT_EQ(c->setDebugLogSize(8), SF_SUCCESS);
    for (int size : {0, -1, 1000, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(size);
        m_logger.clear();
        EXPECT_EQ(c->setFwActivityLogSize(size), SF_INVALID_ARGUMENT);
        EXPECT_EQ(c->setDebugLogSize(size), SF_INVALID_ARGUMENT);
        for (const char* what : {"Product", "Debug"})
            EXPECT_TRUE(m_logger.has(2, std::string(what) + " log size " + std::to_string(size) +
                                            " MB refused: it must be 1 to 999 MB"));
        EXPECT_EQ(c->getFwActivityLogSize(), 7);
        EXPECT_EQ(c->getDebugLogSize(), 8);
    }
    EXPECT_EQ(c->setFwActivityLogSize(999), SF_SUCCESS);
    EXPECT_EQ(c->setDebugLogSize(1), SF_SUCCESS);

    const std::tuple<const char*, int, int> files[] = { // stored, size read, count read
        {"999", 999, 999}, {"1", 1, 1}, {"0", 10, 5}, {"-1", 10, 5}, {"1000", 10, 5}, {"2147483647", 10, 5}};
    for (const auto& [stored, size, count] : files) {
        SCOPED_TRACE(stored);
        m_fake->set(SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE, stored);
        m_fake->set(SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT, stored);
        EXPECT_EQ(c->getDefaultMaximumLogFileSize(), size);
        EXPECT_EQ(c->getDefaultRotatedLogFileCount(), count);
    }
}

// Whatever the daemon writes to the settings file reads back at the next start, and every file
// it starts on it can write again. Each row starts on a settings file and its last good copy as
// the daemon or a hand left them, makes one change, and starts again: the change reads back,
// or it was refused and both files are as they were. A row with a last good copy of its own
// starts on a live file the reader refuses, as the writer could not write it, or on none: the
// file is set aside and the copy taken. In the last rows the folder is full or out of inodes
// when the start finds the live file damaged: the last good copy is run on, kept as it is, and
// restored by the start after room is made.
TEST_F(SFConfigControllerTest, WhatTheDaemonWritesToTheSettingsReadsBackAtTheNextStart)
{
    const std::string tmpl = templateText();
    const std::string defaultPath = "/var/Varnik/kyv/log/fw";
    const auto replaced = [&](const std::string& from, const std::string& to) {
        return std::string(tmpl).replace(tmpl.find(from), from.size(), to);
    };
    const auto withLogPath = [&](const std::string& xml) {
        return replaced("<LogPath>" + defaultPath + "<", "<LogPath>" + xml + "<");
    };
    const std::string nul("/var/log/a\0b", 12);
    const auto enable = [](SFConfigController& c) { return c.setFwEnableStatus(true); };
    const auto setLogPath = [](std::string path) {
        return [path](SFConfigController& c) { return c.setLogPath(path); };
    };
    const auto enabled = [](SFConfigController& c) { return text(c.getFwEnableStatus()); };
    const auto logPath = [](SFConfigController& c) { return c.getLogPath(); };
    const auto pathAndEnabled = [](auto& c) { return c.getLogPath() + " " + text(c.getFwEnableStatus()); };
    const auto pathAndDebug = [](SFConfigController& c) {
        return c.getLogPath() + " " + text(c.isDebugLoggingEnabledForFirewall()) + " " + text(c.getFwLogLevel());
    };
    const char* const folder = "/var/Varnik/kyv/fw";
    const auto mountFolder = [&](const char* size, unsigned long flags) {
        return ::mount("tmpfs", folder, "tmpfs", flags | MS_NOSUID | MS_NODEV, size);
    };
    // Two pages hold the live file and its copy and leave no room for a third file; three
    // inodes are the folder's and the two files'.
    const std::string full = "size=8k", noInode = "size=4m,nr_inodes=3";
    const auto inReadOnlyFolder = [&](std::function<int(SFConfigController&)> change) {
        return [&, change](SFConfigController& c) {
            EXPECT_EQ(mountFolder("size=4m", MS_REMOUNT | MS_RDONLY), 0);
            return change(c);
        };
    };
    ZAV::CommonExtPolicyObj policy; // differs from the shipped settings in debug logging alone
    policy.m_activityLogSize = 1;
    policy.m_debugLogSize = 10;
    policy.m_debugLogging = true;
    policy.m_sendEventsToServer = true;
    policy.m_serverLogLevel = 3;
    constexpr int kNoAnswer = -1;
    const auto applyPolicy = [&](std::string path) {
        return [&, path](SFConfigController& c) {
            ZAV::CommonExtPolicyObj withPath = policy;
            withPath.m_logPath = path;
            return SFCommonPolicyRequestImpl(m_logger, c).applyCommonPolicySettings(withPath)
                       ? SF_SUCCESS
                       : kNoAnswer;
        };
    };
    const std::string live = SF_LIVE_PREFS_PATH;
    const std::string cannotHold = ", which the settings file cannot hold";
    const auto refused = [&](const std::string& fault) {
        return "Log path LoggingInformation.LogPath refused: the path " + fault + "; the stored path is kept";
    };
    const auto policyRefused = [&](const std::string& fault) {
        return "Common policy refused, nothing of it applied: its log path (LoggingInformation.LogPath) " + fault;
    };
    const auto tooLong = [](std::size_t bytes) {
        return "is " + std::to_string(bytes) + " bytes long, longer than the 4096 bytes a path may have";
    };
    const auto unreadable = [&](const std::string& fault) {
        return "Cannot read settings file " + live + ": " + fault + cannotHold;
    };
    const std::string good = withLogPath("/srv/good");
    // What the policy changes in the shipped settings.
    const std::string debugOn =
        "LoggingInformation.EnableDebugLoggingForFW, LoggingInformation.FirewallLogLevel";
    // The shipped settings and an unknown section, written without indentation and 40 bytes
    // under the bound.
    std::string atBound = compactText(replaced("<Global", "<Pad/><Global"));
    const std::size_t padding = kMaxCompactSettingsBytes - 40 - (atBound.size() - 6 + 11);
    atBound.replace(atBound.find("<Pad/>"), 6, "<Pad>" + std::string(padding, 'x') + "</Pad>");
    struct Row {
        const char* name;
        std::string live; // empty: none
        std::string lastGood; // empty: the same as the live file
        std::function<int(SFConfigController&)> change; // empty: none
        int answer;
        std::pair<int, std::string> logged;
        std::function<std::string(SFConfigController&)> read;
        std::string readBack;
        std::string folder = "size=4m"; // the tmpfs the first start runs on
    };
    // A live file the reader refuses, as the writer could not write it, beside a good copy.
    const auto setAside = [&](const char* name, const std::string& file, const std::string& fault) {
        return Row{name, file, good, enable, SF_SUCCESS, {2, unreadable(fault)}, pathAndEnabled, "/srv/good 1"};
    };
    const std::string logPathHolds = "LoggingInformation.LogPath holds ";
    const std::vector<Row> rows = {
        {"top-level CDATA", replaced("<Global", "<![CDATA[note]]><Global"), "", enable, SF_SUCCESS,
         {4, "Settings file " + live + ": text outside the sections is left out"}, enabled, "1"},
        setAside("&#0; in the file", withLogPath("a&#0;b"), logPathHolds + "a NUL"),
        {"NUL through setLogPath", tmpl, "", setLogPath(nul), SF_INVALID_ARGUMENT,
         {2, refused("holds a NUL" + cannotHold)}, logPath, defaultPath},
        {"NUL through a policy", tmpl, "", applyPolicy(nul), kNoAnswer,
         {2, policyRefused("holds a NUL" + cannotHold)}, logPath, defaultPath},
        {"1.1 MB through setLogPath", tmpl, "", setLogPath(std::string(1100000, 'a')),
         SF_INVALID_ARGUMENT, {2, refused(tooLong(1100000))}, logPath, defaultPath},
        {"180 KB of ' through a policy", tmpl, "", applyPolicy(std::string(180000, '\'')),
         kNoAnswer, {2, policyRefused(tooLong(180000))}, logPath, defaultPath},
        {"a policy", tmpl, "", applyPolicy("/srv/log"), SF_SUCCESS, {}, pathAndDebug, "/srv/log 1 6"},
        {"a policy, the folder read-only", tmpl, "", inReadOnlyFolder(applyPolicy(defaultPath)),
         kNoAnswer, {2, "Cannot set " + debugOn + ": cannot create a temporary file beside " +
                            live + ": Read-only file system"},
         pathAndDebug, defaultPath + " 0 5"},
        {"a policy's longer log path, the file at its bound", atBound, "",
         applyPolicy(defaultPath + "/" + std::string(100, 'a')), kNoAnswer,
         {2, "Cannot set LoggingInformation.LogPath, " + debugOn + ": Settings not saved to " +
                 live + ": the file would be 983101 bytes without indentation, more than the "
                 "983040 bytes the settings may take"},
         pathAndDebug, defaultPath + " 0 5"},
        {"the longest path, each character escaped", tmpl, "", setLogPath(std::string(4096, '\'')),
         SF_SUCCESS, {}, logPath, std::string(4096, '\'')},
        {"a section without its type", replaced("<GlobalConfiguration type=\"1\">", "<GlobalConfiguration>"), "",
         enable, SF_SUCCESS, {}, enabled, "1"},
        {"control byte through setLogPath", tmpl, "", setLogPath("/var/log/\x1b[0m"), SF_INVALID_ARGUMENT,
         {2, refused("holds the control character 0x1B" + cannotHold)}, logPath, defaultPath},
        setAside("control byte in the file", withLogPath("&#27;"), logPathHolds + "the control character 0x1B"),
        setAside("raw control byte in the file", withLogPath("a\x01" "b"), logPathHolds + "the control character 0x01"),
        setAside("references to spaces at the end", withLogPath("x&#32;&#32;"),
                 "LoggingInformation.LogPath ends in a space"),
        setAside("CDATA ending in a space, unknown section",
                 replaced("<Global", "<Notes><a><![CDATA[b ]]></a></Notes><Global"), "Notes.a ends in a space"),
        setAside("reference in an attribute, unknown section", replaced("<Global", "<Notes by=\"&#1;\"/><Global"),
                 "Notes.<xmlattr>.by holds the control character 0x01"),
        {"space at the end", tmpl, "", setLogPath("/var/log/a "), SF_INVALID_ARGUMENT,
         {2, refused("ends in a space" + cannotHold)}, logPath, defaultPath},
        {"newline in the file", withLogPath("a&#10;b"), "", enable, SF_SUCCESS, {}, logPath, "a\nb"},
        {"tab, CR, newline and blanks", tmpl, "", setLogPath(" \t/var/log/a\r b  c\n"), SF_SUCCESS, {},
         logPath, " \t/var/log/a\r b  c\n"},
        {"restoring the last good copy fails to write", "<GlobalConfiguration type=\"1\"><IsFire",
         replaced("<IsFirewallEnabled>0<", "<IsFirewallEnabled>1<"), nullptr, kNoAnswer,
         {2, "Settings file " + live + " could not be restored from the last good copy " +
                 SF_LAST_GOOD_PREFS_PATH + " (cannot write " + live + ": No space left on device): "
                 "running on the last good copy as it is; a start with room to write restores it"},
         enabled, "1", full},
        {"no live file beside a good copy", "", good, enable, SF_SUCCESS,
         {2, "Settings file " + live + " was missing and was restored from the last good copy " +
                 SF_LAST_GOOD_PREFS_PATH},
         pathAndEnabled, "/srv/good 1"},
        // Regression: the refused file stayed set aside, and the start with room took the
        // template over the intact copy.
        {"no inode to restore the copy or put the refused file back", "<GlobalConfiguration type=\"1\"><IsFire",
         good, nullptr, kNoAnswer, {}, logPath, "/srv/good", noInode},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestSupport::resetProductPaths();
        installTemplate();
        // A tmpfs of its own, seen only in the sandbox's mount namespace.
        ASSERT_EQ(mountFolder(row.folder.c_str(), 0), 0);
        const auto unmount = [](const char* path) { ::umount2(path, MNT_DETACH); };
        const std::unique_ptr<const char, decltype(unmount)> mounted(folder, unmount);
        const std::string lastGood = row.lastGood.empty() ? row.live : row.lastGood;
        const bool setAside = !row.lastGood.empty();
        if (!row.live.empty())
            writeFile(live, row.live);
        writeFile(SF_LAST_GOOD_PREFS_PATH, lastGood);
        // A refused file that cannot be put back stays set aside.
        const std::string liveLeft = row.folder == noInode ? "" : row.live;
        m_logger.clear();
        {
            auto controller = realController();
            if (row.change) {
                EXPECT_EQ(row.change(*controller), row.answer);
            }
            EXPECT_EQ(row.read(*controller), row.readBack);
            EXPECT_EQ(readFile(live), row.answer == SF_SUCCESS ? readFile(live) : liveLeft);
            EXPECT_EQ(readFile(SF_LAST_GOOD_PREFS_PATH), row.answer == SF_SUCCESS ? readFile(live) : lastGood);
            EXPECT_TRUE(row.logged.second.empty() || m_logger.has(row.logged.first, row.logged.second))
                << row.logged.second;
        }
        ASSERT_EQ(mountFolder("size=4m,nr_inodes=64", MS_REMOUNT), 0);
        auto again = realController();
        EXPECT_EQ(row.read(*again), row.readBack);
        EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), setAside ? row.live : "");
        EXPECT_EQ(readFile(SF_LAST_GOOD_PREFS_PATH), readFile(live));
    }
}

} // namespace
