// The command dispatcher called directly, replies read from the bytes it sent: framing per
// command, answers to unknown ids and unreadable payloads, the preference and log-setting
// commands against the settings and the platform logger, the common policy and the version,
// and hostile payloads of every command that reads one, under a memory ceiling.

#include "SFCommandRequestImpl.h"

#include "CapturingSocket.h"
#include "DispatcherCalls.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "MemoryCeiling.h"
#include "RecordingKextInterface.h"
#include "RecordingPlatformLogger.h"
#include "CommonExtPolicyObj.h"
#include "SFCheckedRead.h"
#include "SFCommandPayloads.h"
#include "SFCommonPolicyRequestImpl.h"
#include "SFController.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SFRulesCommandHelper.h"
#include "SFSerialization.h"
#include "TempDir.h"

#include <boost/archive/text_oarchive.hpp>
#include <boost/serialization/map.hpp>

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <sstream>

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using P = FakeConfigController::path;

// Settings whose logging setters answer a scripted code (storing nothing unless it is
// 150000) and that record the order of the common policy's writes.
class ScriptedConfig : public FakeConfigController {
public:
    int code = SF_SUCCESS;
    std::vector<std::string> writes;

    int enableActivityLogging(bool v) override { return scripted("activity", v, P::activity); }
    int enableDebugLoggingForFirewall(bool v) override { return scripted("debug", v, P::debugFw); }
    int enableEventLogging(bool v) override { return scripted("eventLogging", v, P::eventLog); }
    int setFwActivityLogSize(int v) override { return scripted("activitySize", v, P::activitySize); }
    int setLogPath(std::string v) override { return note("logPath=" + v, FakeConfigController::setLogPath(v)); }
    int enableLimitActivityLogSize(bool v) override
    {
        return note("limitActivity=" + std::to_string(v), FakeConfigController::enableLimitActivityLogSize(v));
    }
    int enableLimitDebugLogSize(bool v) override
    {
        return note("limitDebug=" + std::to_string(v), FakeConfigController::enableLimitDebugLogSize(v));
    }
    int setDebugLogSize(int v) override
    {
        return note("debugSize=" + std::to_string(v), FakeConfigController::setDebugLogSize(v));
    }
    int enableSendingEventsToYal(bool v) override
    {
        return note("sendEvents=" + std::to_string(v), FakeConfigController::enableSendingEventsToYal(v));
    }
    int setYalLogLevelForFW(int v) override
    {
        return note("serverLevel=" + std::to_string(v), FakeConfigController::setYalLogLevelForFW(v));
    }

private:
    // std::to_string writes booleans as "1" and "0", as the settings hold them.
    template <class T> int scripted(const std::string& name, T v, const char* path)
    {
        writes.push_back(name + "=" + std::to_string(v));
        if (code == SF_SUCCESS)
            set(path, std::to_string(v));
        return code;
    }
    int note(const std::string& write, int result)
    {
        writes.push_back(write);
        return result;
    }
};

class SFCommandRequestImplTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        m_controller = SFController::getInstance(m_logger, m_config, &m_bridge);
        m_dispatcher = std::make_unique<SFCommandRequestImpl>(m_socket, m_logger, m_config, m_monitor);
    }
    void TearDown() override
    {
        m_dispatcher.reset();
        SFRulesCommandHelper::releaseInstance();
        SFController::releaseInstance();
    }

    // Runs one command and returns the one frame it sent.
    CapturedReply run(const ZAV::CommandRequest& request, bool narrowData = true)
    {
        m_socket.clear();
        ZAV::CommandNWRequest arrived = arriving(request);
        EXPECT_TRUE(m_dispatcher->processCommandForFM(arrived, narrowData));
        EXPECT_EQ(m_socket.sends().size(), 1u) << "a reply is one send";
        return m_socket.sends().empty() ? CapturedReply{} : decodeReply(m_socket.sends().back());
    }
    template <class T> T narrowValue(const CapturedReply& reply)
    {
        auto response = asResponse(reply);
        T value{};
        EXPECT_NE(response->getNarrowInputArchive(), nullptr);
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> value;
        return value;
    }
    template <class T> T wideValue(const CapturedReply& reply)
    {
        auto response = asResponse(reply);
        T value{};
        EXPECT_EQ(reply.record.dataKind, ZAV::kDataKindWide);
        if (auto* archive = response->getWideInputArchive())
            *archive >> value;
        else
            ADD_FAILURE() << "no wide view of the reply";
        return value;
    }
    void setBothLevels(int level)
    {
        m_config.set(P::logLevel, std::to_string(level));
        m_logger.setLogLevel(level);
    }

    TempDir m_dir;
    RecordingPlatformLogger m_logger;
    ScriptedConfig m_config;
    RecordingKextInterface m_bridge;
    FakeNwIFManager m_monitor;
    CapturingSocket m_socket;
    SFController* m_controller = nullptr;
    std::unique_ptr<SFCommandRequestImpl> m_dispatcher;
};

TEST_F(SFCommandRequestImplTest, EveryReplyIsOneFrameWithTheKindOfItsCommandAndItsExactLength)
{
    const struct {
        int id;
        int32_t kind;
    } cases[] = {{100000, 8}, {100003, 8}, {100038, 8}, {100004, 16}, {100040, 16},
                 {100041, 16}, {1001, 16}, {100015, 16}, {100021, 16}, {100005, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const CapturedReply reply = run(*emptyRequest(c.id));
        EXPECT_EQ(reply.kind, c.kind);
        EXPECT_EQ(reply.magic, 0x1234);
        EXPECT_EQ(reply.length, 48 + reply.record.dataSize);
        EXPECT_EQ(static_cast<size_t>(reply.record.dataSize), reply.bytes - 48);
        EXPECT_EQ(reply.record.completed, 1);
        EXPECT_EQ(reply.record.cookie, 77);
        EXPECT_EQ(reply.record.commandId, c.id);
    }
    EXPECT_TRUE(m_logger.has(5, "Successfully responded to Command Request from FMId - 3000 with cookie id - 77"));
}

TEST_F(SFCommandRequestImplTest, UnknownIdsAndUnlistedPreferenceTypesAnswerWithTheHeaderOnly)
{
    CapturedReply reply = run(*emptyRequest(100005));
    EXPECT_EQ(reply.record.status, 0);
    EXPECT_EQ(reply.bytes, 48u);
    EXPECT_TRUE(m_logger.has(2, "Invalid Command was received and will be ignored"));

    reply = run(*emptyRequest(100013));
    EXPECT_EQ(reply.record.status, 0);
    EXPECT_EQ(reply.bytes, 48u);
    EXPECT_TRUE(m_logger.has(5, "Received unrecognised Command"));

    reply = run(*narrowRequest(100004, 3));
    EXPECT_EQ(reply.record.status, 1);
    EXPECT_EQ(reply.bytes, 48u);
    EXPECT_TRUE(m_logger.has(2, "Error Invalid Preference type found 3"));
}

TEST_F(SFCommandRequestImplTest, AFailedSendIsReportedAndNothingIsLeftHalfSent)
{
    m_socket.failNextSend();
    m_logger.lines().clear();
    ZAV::CommandNWRequest arrived = arriving(*emptyRequest(100000));
    EXPECT_FALSE(m_dispatcher->processCommandForFM(arrived, true));
    EXPECT_TRUE(m_socket.sends().empty());
    EXPECT_EQ(m_logger.lines().count(6), 1u);
}

TEST_F(SFCommandRequestImplTest, PreferencesAreReadAllAtOnceOrOneByTypeAlsoFromWideRequests)
{
    m_config.set(P::tcpTimeout, "45");
    m_config.set(P::mode, "1");
    m_config.set(P::ftp, "1");
    SFPrefsData all = wideValue<SFPrefsData>(run(*emptyRequest(100000)));
    EXPECT_EQ(all.m_tcpConTimeout, 45);
    EXPECT_EQ(all.m_fwMode, 1);
    EXPECT_TRUE(all.m_ftpInspection);
    EXPECT_EQ(all.m_prefType, SF_PREF_NONE);
    EXPECT_FALSE(all.m_prefPresent);

    // The tool writes most payloads wide; the narrow view reads them all the same.
    const CapturedReply reply = run(*wideRequest(100004, 6), false);
    EXPECT_TRUE(m_logger.has(6, "Firewall received command request with wide data"));
    SFPrefsData one = narrowValue<SFPrefsData>(reply);
    EXPECT_TRUE(one.m_prefPresent);
    EXPECT_EQ(one.m_prefType, SF_PREF_FW_MODE);
    EXPECT_EQ(one.m_fwMode, 1);
}

TEST_F(SFCommandRequestImplTest, SetOneWithoutItsPreferenceAnswers150003AndStillRunsTheCallback)
{
    m_config.set(P::enabled, "1");
    m_config.set(P::ftp, "0");
    m_controller->enableStatefulFirewall(m_monitor);
    const size_t ftpCalls = m_bridge.count("processFtpInspectionSetting");
    SFPrefsData prefs;
    prefs.m_prefType = SF_PREF_FTP_INSPECTION;
    prefs.m_prefPresent = false;
    const CapturedReply reply = run(*narrowRequest(100003, prefs));
    EXPECT_EQ(reply.kind, 8);
    EXPECT_EQ(reply.record.status, 1);
    EXPECT_EQ(wideValue<int>(reply), SF_INVALID_ARGUMENT);
    EXPECT_EQ(m_bridge.count("processFtpInspectionSetting"), ftpCalls + 1);

    prefs.m_prefPresent = true;
    prefs.m_ftpInspection = true;
    EXPECT_EQ(wideValue<int>(run(*wideRequest(100003, prefs), false)), SF_SUCCESS);
    EXPECT_EQ(m_config.get(P::ftp), "1");
    EXPECT_EQ(m_bridge.count("processFtpInspectionSetting"), ftpCalls + 2);
}

TEST_F(SFCommandRequestImplTest, AnEnableThatThrowsFromSetOneAnswersStatusFalseAndIsUndone)
{
    m_config.set(P::enabled, "0");
    m_bridge.throwOn("startHooking", SF_SYSTEM_COMMAND_FAILED, "iptables is missing", 1);
    SFPrefsData prefs;
    prefs.m_prefType = SF_PREF_FW_STATUS;
    prefs.m_prefPresent = true;
    prefs.m_fwEnabled = true;
    const CapturedReply reply = run(*narrowRequest(100003, prefs));
    EXPECT_EQ(reply.record.completed, 1);
    EXPECT_EQ(reply.record.status, 0);
    EXPECT_EQ(reply.bytes, 48u) << "nothing half-written goes out";
    EXPECT_EQ(m_bridge.count("stopHooking"), 1u) << "the failed enable was undone";
    // The controller is disabled again: the next enable runs its steps once more.
    m_controller->enableStatefulFirewall(m_monitor);
    EXPECT_EQ(m_bridge.count("connectToKext"), 2u);
}

// The state a failed disable is answered with is the one its verdict was made on, not what a
// later look finds (the health check may pass in between and change it).
TEST_F(SFCommandRequestImplTest, AFailedDisableIsAnsweredWithTheStateItsVerdictWasMadeOn)
{
    m_config.set(P::enabled, "1");
    m_controller->enableStatefulFirewall(m_monitor);
    m_bridge.answer("removeLeftovers", false); // what is left: chains; a later look: nothing
    SFPrefsData prefs;
    prefs.m_prefType = SF_PREF_FW_STATUS;
    prefs.m_prefPresent = true;
    prefs.m_fwEnabled = false;
    const CapturedReply reply = run(*wideRequest(100003, prefs), false);
    int result = 0, state = -1;
    auto response = asResponse(reply);
    if (auto* archive = response->getWideInputArchive())
        *archive >> result >> state;
    EXPECT_EQ(result, SF_SYSTEM_COMMAND_FAILED);
    EXPECT_EQ(state, SF_RULES_CHAINS_LEFT);
    EXPECT_EQ(m_controller->rulesInForceState(), SF_RULES_IN_FORCE);
}

TEST_F(SFCommandRequestImplTest, LogSettersAnswerTheirCodeAndSetLevelsByTheTable)
{
    // level < 0: the level stays as it was (4).
    const struct {
        int id;
        bool value;
        bool debugOn;
        bool activityOn;
        int code;
        bool status;
        int level;
    } cases[] = {
        {100041, true, false, false, SF_SUCCESS, true, 5},
        {100041, false, false, true, SF_SUCCESS, true, 2},
        {100041, true, true, false, SF_SUCCESS, true, -1},
        {100041, true, false, false, SF_PREF_ALREADY_SET, true, -1},
        {100041, true, false, false, SF_PREF_WRITE_FAILED, false, -1},
        {100042, true, false, false, SF_SUCCESS, true, 6},
        {100042, false, true, true, SF_SUCCESS, true, 5},
        {100042, false, true, false, SF_SUCCESS, true, 2},
        {100042, true, false, false, SF_PREF_ALREADY_SET, true, -1},
        {100042, true, false, false, SF_PREF_WRITE_FAILED, false, -1},
        {100043, true, false, false, SF_SUCCESS, true, -1},
        {100043, true, false, false, SF_PREF_ALREADY_SET, true, -1},
        {100043, false, false, false, SF_PREF_WRITE_FAILED, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " " + std::to_string(c.value) + " code " +
                     std::to_string(c.code));
        m_config.set(P::debugFw, c.debugOn ? "1" : "0");
        m_config.set(P::activity, c.activityOn ? "1" : "0");
        setBothLevels(4);
        m_config.code = c.code;
        const CapturedReply reply = run(*narrowRequest(c.id, c.value));
        EXPECT_EQ(reply.record.status, c.status ? 1 : 0);
        EXPECT_EQ(narrowValue<int>(reply), c.code);
        const int expected = c.level < 0 ? 4 : c.level;
        EXPECT_EQ(m_config.getFwLogLevel(), expected);
        EXPECT_EQ(m_logger.getLogLevel(), expected);
    }
    EXPECT_TRUE(m_logger.has(2, "Error in setting the syslog configuration."));
    EXPECT_TRUE(m_logger.has(6, "Debug log status already set"));
}

TEST_F(SFCommandRequestImplTest, LogSizeResizesTheLoggerIn64BitsOnlyWhileLimitedActivityLogging)
{
    m_config.set(P::rotatedCount, "5");
    m_config.set(P::activity, "1");
    m_config.set(P::limitActivity, "1");
    EXPECT_EQ(narrowValue<int>(run(*narrowRequest(100044, 999))), SF_SUCCESS);
    EXPECT_EQ(m_logger.getMaxFileSize(), 999LL * 1048576);
    EXPECT_EQ(m_logger.getMaxTotalSize(), 5237637120LL);
    EXPECT_TRUE(m_logger.has(6, "Successfully set the Product log size"));

    m_config.set(P::activity, "0");
    EXPECT_EQ(narrowValue<int>(run(*narrowRequest(100044, 3))), SF_SUCCESS);
    EXPECT_EQ(m_config.getFwActivityLogSize(), 3);
    EXPECT_EQ(m_logger.getMaxFileSize(), 999LL * 1048576) << "logger left alone";
}

TEST_F(SFCommandRequestImplTest, CommonPolicyWritesTheDefaultsInOrderKeepsALoggerLimitAndIsRefusedWholeWhenNotStorable)
{
    m_config.set(P::maxLogSize, "10");
    m_config.set(P::rotatedCount, "3");
    m_config.set(P::debugFw, "1");
    m_config.set(P::activitySize, "4");
    const CapturedReply reply = run(*emptyRequest(1001));
    EXPECT_EQ(reply.record.status, 1);
    EXPECT_EQ(reply.bytes, 48u);
    // The default record's sizes are 0, outside the log bounds: refused, the stored ones kept.
    const std::vector<std::string> expected = {
        "logPath=",     "activity=1",   "limitActivity=1", "debug=0",
        "limitDebug=1", "sendEvents=0", "eventLogging=1",  "serverLevel=0"};
    EXPECT_EQ(m_config.writes, expected);
    EXPECT_EQ(m_config.get(P::activitySize), "4");
    EXPECT_EQ(m_logger.getMaxFileSize(), 4LL * 1048576);
    EXPECT_EQ(m_logger.getMaxTotalSize(), 12LL * 1048576);
    EXPECT_EQ(m_config.getFwLogLevel(), 5);
    EXPECT_EQ(m_logger.getLogLevel(), 5);
    EXPECT_EQ(m_logger.getSecondaryLogLevel(), 5);
    EXPECT_TRUE(m_logger.has(5, "Common Yal Policy settings has been successfully applied."));

    // A policy whose log path the settings cannot take is answered with status 0, nothing of it
    // applied.
    ZAV::CommonExtPolicyObj policy;
    policy.m_logPath = "/" + std::string(4096, 'a');
    EXPECT_EQ(run(*narrowRequest(1001, policy)).record.status, 0);
    EXPECT_EQ(m_config.writes, expected);
    EXPECT_TRUE(m_logger.has(2, "Common policy refused, nothing of it applied: its log path "
                                "(LoggingInformation.LogPath) is 4097 bytes long, longer than the "
                                "4096 bytes a path may have"));

    // So is one whose settings cannot all be stored: the log path stored before the failed
    // write is taken back, and the logger keeps its level and sizes.
    m_logger.lines().clear();
    m_config.code = SF_PREF_WRITE_FAILED;
    policy.m_logPath = "/srv/log";
    policy.m_debugLogging = true;
    policy.m_activityLogSize = 9;
    EXPECT_EQ(run(*narrowRequest(1001, policy)).record.status, 0);
    EXPECT_EQ(m_config.writes.back(), "activity=1") << "stopped at the failed write";
    EXPECT_EQ(m_config.getLogPath(), "");
    EXPECT_EQ(m_config.get(P::debugFw), "0");
    EXPECT_EQ(m_config.getFwLogLevel(), 5);
    EXPECT_EQ(m_logger.getLogLevel(), 5);
    EXPECT_EQ(m_logger.getMaxFileSize(), 4LL * 1048576);
    EXPECT_TRUE(m_logger.has(2, "Common policy refused, nothing of it applied: its settings could "
                                "not be stored (result 150016)"));
    EXPECT_FALSE(m_logger.has(5, "Common Yal Policy settings has been successfully applied."));
}

TEST_F(SFCommandRequestImplTest, VersionAndLogSettingsAnswerFromTheSettingsWithNonAsciiReplaced)
{
    m_config.set(SF_KEY_PRODUCT_COPYRIGHT, "(c) 2026 Caf\xc3\xa9");
    m_config.set(SF_KEY_PRODUCT_NAME, "Firewall");
    const CapturedReply reply = run(*emptyRequest(100038));
    EXPECT_EQ(reply.record.status, 1);
    const AboutBoxData about = wideValue<AboutBoxData>(reply);
    EXPECT_EQ(about.m_fmId, 7000);
    EXPECT_EQ(about.m_aboutBoxDisplayContents.at("Copyright"), "(c) 2026 Caf??");
    EXPECT_EQ(about.m_aboutBoxDisplayContents.at("StatefulFirewall_Name"), "Firewall");
    EXPECT_EQ(about.m_aboutBoxDisplayContents.size(), 4u);

    m_config.set(P::eventLog, "1");
    m_config.set(P::activity, "0");
    m_config.set(P::activitySize, "7");
    m_config.set(P::debugFw, "1");
    const auto settings = narrowValue<std::map<std::string, std::string>>(run(*emptyRequest(100040)));
    const std::map<std::string, std::string> expected = {
        {"SysLog", "Enabled"}, {"ProductLog", "Disabled"}, {"ProductLogSize", "7"}, {"DebugLog", "Enabled"}};
    EXPECT_EQ(settings, expected);
}

TEST_F(SFCommandRequestImplTest, LogSizesOutsideWhatTheToolOffersAreRefusedAndTotalsNeverOverflow)
{
    m_config.set(P::rotatedCount, "5000");
    m_config.set(P::activity, "1");
    m_config.set(P::limitActivity, "1");
    m_config.set(P::activitySize, "7");
    for (int size : {2147483647, 1000, 0, -1}) {
        SCOPED_TRACE(size);
        m_logger.lines().clear();
        const CapturedReply reply = run(*narrowRequest(100044, size));
        EXPECT_EQ(reply.record.status, 0);
        EXPECT_EQ(narrowValue<int>(reply), SF_INVALID_ARGUMENT);
        EXPECT_TRUE(m_logger.has(2, "Product log size " + std::to_string(size) +
                                        " MB refused: it must be 1 to 999 MB"));
        EXPECT_TRUE(m_logger.has(2, "Error in setting the Product log size"));
        EXPECT_EQ(m_config.get(P::activitySize), "7") << "nothing stored";
    }
    EXPECT_EQ(narrowValue<int>(run(*narrowRequest(100044, 1))), SF_SUCCESS);
    EXPECT_EQ(m_logger.getMaxTotalSize(), 999LL * 1048576) << "5000 rotated files held to 999";

    // A policy's sizes pass the same bound: one outside it is refused and logged, the stored
    // size kept. The logger's total (size times the rotated-file count from the settings file)
    // holds the count within its bounds too, so it is never negative and never overflows.
    const struct {
        int size;
        const char* rotated;
        const char* stored;
        int64_t fileMiB;
        int64_t totalMiB;
    } policies[] = {
        {2147483647, "5", "1", 1, 5}, {1000, "5", "1", 1, 5},         {0, "5", "1", 1, 5},
        {-1, "5", "1", 1, 5},         {999, "2147483647", "999", 999, 999 * 999},
        {12, "-1", "12", 12, 12},     {12, "-2147483648", "12", 12, 12}, {12, "0", "12", 12, 12},
    };
    for (const auto& p : policies) {
        SCOPED_TRACE(std::to_string(p.size) + " MB, " + p.rotated + " rotated files");
        m_logger.lines().clear();
        m_config.set(P::rotatedCount, p.rotated);
        ZAV::CommonExtPolicyObj policy;
        policy.m_activityLogSize = p.size;
        policy.m_debugLogSize = p.size;
        EXPECT_EQ(run(*narrowRequest(1001, policy)).record.status, 1);
        EXPECT_EQ(m_config.get(P::activitySize), p.stored);
        EXPECT_EQ(m_logger.getMaxFileSize(), p.fileMiB * 1048576);
        EXPECT_EQ(m_logger.getMaxTotalSize(), p.totalMiB * 1048576);
        const bool refused = p.size < 1 || p.size > 999;
        for (const char* which : {"product", "debug"})
            EXPECT_EQ(m_logger.has(2, std::string("Common policy ") + which + " log size " +
                                          std::to_string(p.size) +
                                          " MB refused: it must be 1 to 999 MB; the stored size "
                                          "is kept"),
                      refused);
    }
}

// ---- hostile payloads ------------------------------------------------------------------------

template <class T> std::string narrowText(const T& value)
{
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out);
        archive << value;
    }
    return out.str();
}

// text with its one occurrence of from replaced by to.
std::string edited(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "\"" << from << "\" not in " << text;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from << " is not unique in " << text;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// A rule as the tool sends it, with distinct numbers and texts to edit: message type 4343 is
// followed by the framing of its match list (two words) and the count 1.
SFRule sampleRule()
{
    SFRule rule;
    rule.name = "distinct";
    rule.description = "about";
    rule.msgType = 4343;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_DIRECTION;
    match->value.intValue = FW_DIRECTION_INBOUND;
    rule.matches.push_back(match);
    return rule;
}

// A trusted list as the archives hold it, its entries freed with it.
struct TrustedList {
    std::list<SFTrustedGroupIP*> entries;
    ~TrustedList()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
};

std::string trustedText()
{
    TrustedList list;
    for (const char* address : {"10.1.2.3", "10.1.2.4", "10.1.2.5"}) {
        list.entries.push_back(new SFTrustedGroupIP());
        list.entries.back()->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        list.entries.back()->setStartIp4Address(address);
    }
    return narrowText(list.entries);
}

SFPrefsData samplePrefs()
{
    SFPrefsData prefs;
    prefs.m_spareText1 = "spare1";
    return prefs;
}

ZAV::CommonExtPolicyObj samplePolicy()
{
    ZAV::CommonExtPolicyObj policy;
    policy.m_logPath = "/var/log/fw";
    policy.m_carried23 = "v23";
    policy.m_carried24 = {"v24a", "v24b"};
    return policy;
}

TEST_F(SFCommandRequestImplTest, UnreadableAndHostilePayloadsAreRefusedWithinTheMemoryCeilingAndServingGoesOn)
{
    // Over-allocation must fail the test, not pass on a machine with memory to spare: the plain
    // build caps the address space, the sanitizer build its allocations (MemoryCeiling.h).
    limitAddressSpace(512);
    const std::string huge = "3000000000";
    const std::string signature = "invalid signature";
    const std::string length = "string length larger than the input";
    const std::string count = "list count larger than the input";
    const std::string rule = narrowText(sampleRule());
    const std::string trusted = trustedText();
    const std::string prefs = narrowText(samplePrefs());
    const std::string policy = narrowText(samplePolicy());
    const std::string text = narrowText(std::string("Rule1"));

    struct Case {
        const char* what;
        int id;
        std::string payload;
        std::string refusal; // the reason in the failure line
    };
    std::vector<Case> cases;
    // Every command that reads data: a signature whose stored length is 3000000000.
    for (int id : {100003, 100004, 100006, 100007, 100019, 100020, 100039, 100041, 100042,
                   100043, 100044, 1001})
        cases.push_back({"signature length", id, huge + " serialization::archive 18 0", signature});
    for (int id : {100004, 100041, 100044})
        cases.push_back({"no archive", id, "18 0", signature});
    for (int id : {100003, 100004, 100006, 100019, 1001})
        cases.push_back({"not an archive", id, "this is no archive", signature});
    for (int id : {100006, 100039}) {
        cases.push_back({"rule name length", id, edited(rule, " 8 distinct ", " " + huge + " distinct "),
                         length});
        cases.push_back({"rule description length", id, edited(rule, " 5 about ", " " + huge + " about "),
                         length});
        cases.push_back({"rule match count", id, edited(rule, " 4343 0 0 1 ", " 4343 0 0 100000000 "),
                         count});
    }
    for (int id : {100007, 100020})
        cases.push_back({"text length", id, edited(text, " 5 Rule1", " " + huge + " Rule1"), length});
    // A delete text claiming more bytes than the data holds is refused before the string is
    // sized (sizing it would throw length_error or allocate gigabytes).
    cases.push_back({"delete text length", 100007, "22 serialization::archive 18 4611686018427387904 x", length});
    // A record cut inside a rule: the archive header is fine, the fields are not.
    cases.push_back({"rule cut short", 100006, "22 serialization::archive 17 0 1 0 0 12", "input stream error"});
    cases.push_back({"trusted list count", 100019,
                     edited(trusted, " 0 0 3 0 ", " 0 0 4000000000 0 "), count});
    cases.push_back({"preference spare text length", 100003,
                     edited(prefs, " 6 spare1 ", " " + huge + " spare1 "), length});
    cases.push_back({"policy log path length", 1001,
                     edited(policy, " 11 /var/log/fw ", " " + huge + " /var/log/fw "), length});
    cases.push_back({"policy text list count", 1001,
                     edited(policy, " v23 0 0 2 0 ", " v23 0 0 100000000 0 "), count});

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " for " + std::to_string(c.id));
        m_logger.lines().clear();
        const CapturedReply reply = run(*rawRequest(c.id, c.payload));
        EXPECT_EQ(reply.record.completed, 1);
        EXPECT_EQ(reply.record.status, 0);
        EXPECT_EQ(reply.bytes, 48u);
        EXPECT_EQ(m_logger.lines().count(2), 1u);
        EXPECT_TRUE(m_logger.has(2, "Command " + std::to_string(c.id) +
                                        " from FMId - 3000 failed: " + c.refusal))
            << c.payload;
        EXPECT_EQ(run(*emptyRequest(100038)).record.status, 1) << "still serving";
    }
    const CapturedReply next = run(*emptyRequest(100000));
    EXPECT_EQ(next.record.status, 1);
    EXPECT_GT(next.record.dataSize, 0);
    // The unedited payloads are read (the edits above hit what they meant to).
    SFRule back;
    EXPECT_NO_THROW(readCheckedArchive(rule, back));
    EXPECT_EQ(back.name, "distinct");
    ZAV::CommonExtPolicyObj policyBack;
    EXPECT_NO_THROW(readCheckedArchive(policy, policyBack));
    EXPECT_EQ(policyBack.m_carried24.size(), 2u);
    EXPECT_EQ(run(*rawRequest(100019, trusted)).record.status, 1);
}

// Seeded token edits of real payloads (numbers made huge, small or negative, tokens dropped or
// doubled) must each load or fail with an exception: never crash, hang or over-allocate.
TEST_F(SFCommandRequestImplTest, MutatedPayloadsOnlyLoadOrFailCleanly)
{
    limitAddressSpace(512);
    const std::vector<std::string> payloads = {narrowText(sampleRule()), trustedText(),
                                               narrowText(samplePrefs()),
                                               narrowText(samplePolicy())};
    const char* const numbers[] = {"0", "1", "2", "-1", "255", "65536", "2147483647",
                                   "3000000000", "18446744073709551615"};
    std::mt19937 random(20261209);
    std::size_t loaded = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t which = round % payloads.size();
        std::istringstream in(payloads[which]);
        std::vector<std::string> tokens{std::istream_iterator<std::string>(in),
                                        std::istream_iterator<std::string>()};
        // The header's first three tokens stay, or every case would be a signature refusal.
        const std::size_t at = 3 + random() % (tokens.size() - 3);
        switch (random() % 3) {
        case 0: tokens[at] = numbers[random() % std::size(numbers)]; break;
        case 1: tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(at)); break;
        default: tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(at), tokens[at]); break;
        }
        std::string mutated;
        for (const std::string& token : tokens)
            mutated += token + " ";
        SCOPED_TRACE(mutated);
        try {
            switch (which) {
            case 0: { SFRule rule; readCheckedArchive(mutated, rule); break; }
            case 1: { TrustedList list; readCheckedArchive(mutated, list.entries); break; }
            case 2: { SFPrefsData prefs; readCheckedArchive(mutated, prefs); break; }
            default: { ZAV::CommonExtPolicyObj policy; readCheckedArchive(mutated, policy); break; }
            }
            ++loaded;
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "over-allocation";
        } catch (const std::exception&) {
            ++refused;
        }
    }
    EXPECT_GT(loaded, 0u);
    EXPECT_GT(refused, 0u);
}

} // namespace
