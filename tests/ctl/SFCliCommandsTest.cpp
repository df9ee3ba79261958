// The request layer against a scripted sender, for replies the daemon never gives: garbled
// data, lengths and counts beyond the data, the wrong preference, missing data and refusing
// result codes.

#include "SFCliCommands.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "ICommandFMCallback.h"
#include "MemoryCeiling.h"
#include "RecordingCliCommands.h"
#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFResultCodes.h"
#include "SFRulesInForce.h"

#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

class SFCliCommandsTest : public testing::Test {
protected:
    RecordingLogger m_log;
    SFCliCommands m_commands{m_log};
    ScriptedSender m_sender;
    UnusedCommClient m_client;
};

} // namespace

TEST_F(SFCliCommandsTest, PreferencesWithoutDataShowTheDefaultsAndGarbledDataIsAParseError)
{
    bool ok = false;
    auto [out, err] = captureOutput([&] { return m_commands.getPrefs(false, m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Status: Enabled\nMode: Regular\nRetain Client Side Rules: Disabled\n"
                   "FTP Inspection: Disabled\nLog Level: Disabled\n");

    SFPrefsData prefs;
    prefs.m_fwMode = FW_MODE_ADAPTIVE;
    prefs.m_logLevel = 6;
    prefs.m_fwEnabled = false;
    m_sender.replies[SF_CLI_GET_PREFS] = wideReply(prefs);
    std::tie(out, err) = captureOutput([&] { return m_commands.getPrefs(true, m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<version>\n"
                   "    <Status>Disabled</Status>\n    <Mode>Adaptive</Mode>\n"
                   "    <RetainClientSideRules>Disabled</RetainClientSideRules>\n"
                   "    <FTPInspection>Disabled</FTPInspection>\n    <LogLevel>Debug</LogLevel>\n"
                   "</version>\n");

    m_sender.replies[SF_CLI_GET_PREFS] = {true, true, ZAV::kDataKindWide, "not an archive"};
    std::tie(out, err) = captureOutput([&] { return m_commands.getPrefs(false, m_sender, m_client); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Error parsing data from FMP\n");

    m_sender.replies[SF_CLI_GET_VERSION] = {false, false, ZAV::kDataKindNone, ""};
    std::tie(out, err) = captureOutput([&] { return m_commands.showVersion(false, m_sender, m_client); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "FMP communication error\n");
    EXPECT_TRUE(m_log.has(6, "Command Failed : completed = 0, Status = 0"));
}

TEST_F(SFCliCommandsTest, SettingAPreferenceJudgesTheDaemonsResultCode)
{
    // Switches whose rules could not be applied: the setting is stored, and the sentence says
    // what is in force instead, from the value after the result (none: a daemon of an earlier
    // release, which judged a disable only by the ACCEPT policies).
    const std::string mode = "FMP communication error\nFirewall mode is set to Regular in the "
                             "settings, but applying it to iptables failed: ";
    const std::string retry = ", and the firewall tries again at its health check\n";
    const std::string noneInForce = mode + "none of the firewall's rules are in force" + retry;
    const std::string acceptLeft =
        "Firewall is disabled in the settings, but the ACCEPT policies could not be restored: "
        "setting them in iptables failed, so the DROP policies and the firewall's chains still "
        "filter until the health check removes them\n";
    const std::string set = "Preferences set successfully\n";
    const int failed = SF_SYSTEM_COMMAND_FAILED;
    const struct {
        SFPrefType kind;
        Reply reply;
        std::string err;
        const char* value = "false";
        std::string out = "";
    } cases[] = {
        {SF_PREF_FW_STATUS, wideReply(SF_SUCCESS), "", "true", set},
        {SF_PREF_FW_STATUS, wideReply(SF_PREF_ALREADY_SET), "", "true", set},
        {SF_PREF_FW_MODE, wideReply(failed, int(SF_RULES_EARLIER_IN_FORCE)),
         mode + "the rules applied before stay in force" + retry},
        {SF_PREF_FW_MODE, wideReply(failed, int(SF_RULES_PARTLY_IN_FORCE)),
         mode + "it is in force without the rules whose iptables commands failed, which are "
                "shown as not enforced" + retry},
        {SF_PREF_FW_MODE, wideReply(failed, int(SF_RULES_NOT_IN_FORCE)), noneInForce},
        {SF_PREF_FW_MODE, wideReply(failed, int(SF_RULES_STALE_CHAINS_LINKED)),
         mode + "its rules are linked, but removing the chains that are not in force failed: INPUT or "
                "OUTPUT may still lead to them, so they may let in what they allowed until the health "
                "check removes them\n"},
        {SF_PREF_FW_MODE, wideReply(failed, int(SF_RULES_EARLIER_WITH_STALE_CHAINS)),
         mode + "the rules applied before stay linked, and removing what is not in force failed too: "
                "INPUT or OUTPUT may still lead to chains that may let in what they allowed until the "
                "health check removes them\n"},
        {SF_PREF_FW_MODE, wideReply(failed), noneInForce},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_CHAINS_LEFT)),
         "Firewall is disabled in the settings, but removing some of its chains or lines from "
         "iptables failed: they still filter until the health check removes them\n"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_UNLINKED_CHAINS_LEFT)),
         "Firewall is disabled in the settings, but removing some of its chains from iptables "
         "failed: nothing leads to them, so they filter nothing until the health check removes "
         "them\n"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_DROP_LINE_LEFT)),
         "Firewall is disabled in the settings, but removing its DROP line from INPUT or OUTPUT "
         "failed: it drops what the firewall's chains kept in front of it do not let in, until the "
         "health check removes them\n"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_MARKING_LINES_LEFT)),
         "Firewall is disabled in the settings, but removing some of its lines from INPUT or OUTPUT "
         "failed: they only log or mark packets, so they filter nothing until the health check "
         "removes them\n"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_DROP_POLICIES_LEFT)), acceptLeft},
        {SF_PREF_FW_STATUS, wideReply(failed), acceptLeft},
        // A failed disable whose state names no DROP policy and no chain left says neither.
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_IN_FORCE)),
         "Firewall is disabled in the settings, but removing it from iptables failed: the health "
         "check removes what is left; the status says what stands\n"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_PARTLY_IN_FORCE)),
         "Firewall is enabled and in force without the rules whose iptables commands failed: "
         "they are shown as not enforced, and the firewall tries them again at its health check\n",
         "true"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_NOT_IN_FORCE)),
         "Firewall is enabled in the settings, but its rules are not in force: applying them to "
         "iptables failed\n",
         "true"},
        {SF_PREF_FW_STATUS, wideReply(failed, int(SF_RULES_STALE_CHAINS_LINKED)),
         "Firewall is enabled and its rules are applied, but removing chains that are not in force "
         "from iptables failed: INPUT or OUTPUT may still lead to them, so they may let in what "
         "they allowed until the health check removes them\n",
         "true"},
        // Refused before anything is sent.
        {SF_PREF_TCP_CON_TIMEOUT, wideReply(SF_SUCCESS), "Invalid Option\n", "true"},
        // The settings write failed: the daemon still sets its status flag.
        {SF_PREF_FW_MODE, wideReply(SF_PREF_WRITE_FAILED),
         "The setting was not changed: the firewall could not write it to its settings file\n", "true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        m_sender.replies[SF_CLI_SET_PREF_INDIVIDUAL] = c.reply;
        bool ok = c.out.empty();
        const auto [out, err] = captureOutput(
            [&] { return m_commands.setIndividualPrefData(c.kind, c.value, m_sender, m_client); }, ok);
        EXPECT_EQ(ok, !c.out.empty());
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
    }

    // The last request, the mode's, carries the kind, the present flag and the value the daemon
    // reads.
    SFPrefsData sent;
    ZAV::ResponseRecord record;
    record.dataKind = ZAV::kDataKindWide;
    ZAV::CommandResponse carrier;
    carrier.setReceivedReply(record, m_sender.payloads.back());
    *carrier.getWideInputArchive() >> sent;
    EXPECT_EQ(sent.m_prefType, SF_PREF_FW_MODE);
    EXPECT_TRUE(sent.m_prefPresent);
    EXPECT_EQ(sent.m_fwMode, FW_MODE_ADAPTIVE);
}

// What the daemon reports in force, as status says it in text and XML.
TEST_F(SFCliCommandsTest, StatusSaysWhatTheDaemonReportsInForce)
{
    const struct {
        bool enabled;
        int state;
        std::string line; // how the Rules line starts; empty for none
        std::string xml;
    } cases[] = {
        {true, SF_RULES_IN_FORCE, "", ""},
        {true, SF_RULES_CHANGES_NOT_APPLIED, "Not in force (the latest changes are not applied",
         "ChangesNotApplied"},
        {true, 99, "Not in force (applying them to iptables failed)", "NotInForce"}, // a later release's
        {false, SF_RULES_DROP_POLICIES_LEFT, "Still filtering (the firewall is disabled, but setting the INPUT",
         "DropPoliciesLeft"},
        {false, SF_RULES_CHAINS_LEFT, "Still filtering (the firewall is disabled, but removing some",
         "ChainsLeft"},
        {false, SF_RULES_UNLINKED_CHAINS_LEFT, "Not filtering (the firewall is disabled, but removing some",
         "UnlinkedChainsLeft"},
        {false, SF_RULES_DROP_LINE_LEFT, "Still filtering (the firewall is disabled, but removing its DROP line",
         "DropLineLeft"},
        {false, SF_RULES_MARKING_LINES_LEFT, "Not filtering (the firewall is disabled, but removing some of its "
         "lines", "MarkingLinesLeft"},
        {true, SF_RULES_STALE_CHAINS_LINKED, "Not in force (the latest rules are applied, but removing chains",
         "StaleChainsLinked"},
        {true, SF_RULES_EARLIER_WITH_STALE_CHAINS, "Not in force (applying the latest changes to iptables "
         "failed, and removing", "PreviousInForceWithStaleChains"},
        {false, SF_RULES_NOT_IN_FORCE, "", ""}, // disabled, only what is left is said
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.state);
        SFPrefsData prefs;
        prefs.m_fwEnabled = each.enabled;
        m_sender.replies[SF_CLI_GET_PREFS] = wideReply(prefs, each.state == SF_RULES_IN_FORCE, each.state);
        bool ok = false;
        auto [out, err] = captureOutput([&] { return m_commands.getPrefs(false, m_sender, m_client); }, ok);
        const std::string next = each.line.empty() ? "Mode: " : "Rules: " + each.line;
        EXPECT_EQ(out.find(next), out.find('\n') + 1) << out;
        std::tie(out, err) = captureOutput([&] { return m_commands.getPrefs(true, m_sender, m_client); }, ok);
        const size_t at = out.find("<Rules>");
        EXPECT_EQ(at == std::string::npos ? "" : out.substr(at + 7, out.find("</Rules>") - at - 7), each.xml);
    }
}

TEST_F(SFCliCommandsTest, TrustLocalSubnetReadsTheCurrentValueAndFailsWithItsUpdate)
{
    bool ok = false;
    // A reply naming another preference is not the current value: the change is sent anyway.
    SFPrefsData other;
    other.m_prefType = SF_PREF_FW_MODE;
    other.m_prefPresent = true;
    m_sender.replies[SF_CLI_GET_PREF_INDIVIDUAL] = narrowReply(other);
    m_sender.replies[SF_CLI_RULES_UPDATE] = wideReply(SF_STORE_WRITE_FAILED);
    const auto setLocal = [&](const char* to) {
        return [&, to] { return m_commands.setIndividualPrefData(SF_PREF_TRUST_LOCAL_SUBNET, to, m_sender, m_client); };
    };
    auto [out, err] = captureOutput(setLocal("false"), ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(m_log.has(4, "Error retrieving preferences from FMP"));
    EXPECT_EQ(m_sender.sent,
              (std::vector<std::string>{"100004->7000", "100003->7000", "100017->7000"}));
    EXPECT_TRUE(m_log.has(6, "Command Failed : completed = 1, Status = 1, RetVal = 150001"));
    EXPECT_EQ(out, "Preferences set successfully\n");

    // Already at the value asked for: nothing is sent.
    SFPrefsData current;
    current.m_prefType = SF_PREF_TRUST_LOCAL_SUBNET;
    current.m_prefPresent = true;
    current.m_trustLocalSubnet = true;
    m_sender.replies[SF_CLI_GET_PREF_INDIVIDUAL] = narrowReply(current);
    m_sender.sent.clear();
    std::tie(out, err) = captureOutput(setLocal("true"), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(m_sender.sent, std::vector<std::string>{"100004->7000"});

    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_commands.sendUpdate(12345, m_sender, m_client));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "sendUpdate UpdateType 12345 not defined\nFMP communication error\n");
}

TEST_F(SFCliCommandsTest, LogSettersPrintByResultAndPlatformSettersPrintNothing)
{
    bool ok = false;
    m_sender.replies[SF_CLI_SET_USE_SYSLOG_CONFIG] = narrowReply(SF_PREF_ALREADY_SET);
    auto [out, err] = captureOutput([&] { return m_commands.setFWUseSysLogConfig(m_sender, m_client, false); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Configuration could not be updated since same configuration is already set\n");
    EXPECT_TRUE(m_log.has(6, "Configuration could not be updated since same configuration is already set."));

    m_sender.replies.erase(SF_CLI_SET_USE_SYSLOG_CONFIG);
    std::tie(out, err) = captureOutput([&] { return m_commands.setFWUseSysLogConfig(m_sender, m_client, true); }, ok);
    EXPECT_EQ(out, "Configuration was successfully updated to enable use of syslog\n");

    m_sender.replies[SF_CLI_SET_PRODUCT_LOG_SIZE] = narrowReply(SF_PREF_WRITE_FAILED);
    std::tie(out, err) = captureOutput([&] { return m_commands.setMaxProductLogSize(m_sender, m_client, 7); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out + err, "");

    m_sender.replies[SF_CLI_SET_DEBUG_LOG_CONFIG] = {false, false, ZAV::kDataKindNone, ""};
    m_sender.replies[ZAV_SET_DEBUG_LOG_CONFIG] = {true, false, ZAV::kDataKindNone, ""};
    std::tie(out, err) = captureOutput([&] { return m_commands.setFWDebugLogConfig(m_sender, m_client, true); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "Error occurred while setting the debug log configuration\n");
    std::tie(out, err) = captureOutput([&] { return m_commands.setZAVDebugLogConfig(m_sender, m_client, true); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out + err, "");
    EXPECT_TRUE(m_log.has(2, "Failed to set debug log configuration in ZAV. Command timed out or was not completed"));

    // Requests as sent: destinations, the send flag and the narrow bare value.
    m_sender.sent.clear();
    m_sender.payloads.clear();
    m_commands.setZAVMaxProductLogSize(m_sender, m_client, 7);
    EXPECT_EQ(m_sender.sent, std::vector<std::string>{"1002->1 flagged"});
    EXPECT_NE(m_sender.payloads.back().find("serialization::archive"), std::string::npos);
    EXPECT_EQ(m_sender.payloads.back().substr(m_sender.payloads.back().size() - 2), " 7");
}

TEST_F(SFCliCommandsTest, LogSettingsArePrintedInKeyOrderWithTheirPadding)
{
    const std::map<std::string, std::string> settings = {
        {"SysLog", "Enabled"}, {"ProductLog", "Disabled"}, {"ProductLogSize", "1"},
        {"DebugLog", "Disabled"}};
    m_sender.replies[SF_CLI_GET_LOG_SETTINGS] = narrowReply(settings);
    bool ok = false;
    auto [out, err] = captureOutput([&] { return m_commands.getLogSettings(m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "DebugLog         :    Disabled    \n"
                   "ProductLog       :    Disabled    \n"
                   "ProductLogSize   :    1           \n"
                   "SysLog           :    Enabled     \n");
    EXPECT_EQ(m_sender.sent, std::vector<std::string>{"100040->7000 flagged"});

    m_sender.replies[SF_CLI_GET_LOG_SETTINGS] = Reply{};
    std::tie(out, err) = captureOutput([&] { return m_commands.getLogSettings(m_sender, m_client); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "");
}

// A reply whose stored string length or list count is far beyond its data fails as garbled
// data does, without sizing anything to the stored number.
TEST_F(SFCliCommandsTest, RepliesWithLengthsOrCountsBeyondTheirDataFailWithinTheMemoryCeiling)
{
    limitAddressSpace(512);
    auto edited = [](std::string text, const std::string& from, const std::string& to) {
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from << " not in " << text;
        if (at != std::string::npos)
            text.replace(at, from.size(), to);
        return text;
    };
    SFPrefsData prefs;
    prefs.m_spareText1 = "spare1";
    AboutBoxData about;
    about.setAboutBoxDisplayContents({{"StatefulFirewall_Name", "Firewall"}});
    const std::map<std::string, std::string> settings = {{"SysLog", "Enabled"}};
    const struct {
        const char* what;
        int id;
        Reply reply;
        std::function<bool()> call;
    } cases[] = {
        {"preference text length", SF_CLI_GET_PREFS,
         {true, true, ZAV::kDataKindWide,
          edited(narrowReply(prefs).data, " 6 spare1 ", " 3000000000 spare1 ")},
         [&] { return m_commands.getPrefs(false, m_sender, m_client); }},
        {"version entry count", SF_CLI_GET_VERSION,
         {true, true, ZAV::kDataKindWide,
          edited(narrowReply(about).data, " -1 0 0 1 0 0 0 21 ", " -1 0 0 100000000 0 0 0 21 ")},
         [&] { return m_commands.showVersion(false, m_sender, m_client); }},
        {"log setting count", SF_CLI_GET_LOG_SETTINGS,
         {true, true, ZAV::kDataKindNarrow,
          edited(narrowReply(settings).data, "18 0 0 1 0 ", "18 0 0 4000000000 0 ")},
         [&] { return m_commands.getLogSettings(m_sender, m_client); }},
        {"signature length", SF_CLI_GET_LOG_SETTINGS,
         {true, true, ZAV::kDataKindNarrow, "3000000000 serialization::archive 18 0"},
         [&] { return m_commands.getLogSettings(m_sender, m_client); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_sender.replies[c.id] = c.reply;
        bool ok = true;
        const auto [out, err] = captureOutput(c.call, ok);
        EXPECT_FALSE(ok) << out;
        EXPECT_EQ(err.find("bad_alloc"), std::string::npos) << err;
    }
}

