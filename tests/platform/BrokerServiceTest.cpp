// What the platform service answers itself (id 1) and the files it keeps: the common policy
// with and without a policy file and its push to the daemon, the log settings and their state
// file across restarts, the socket's and files' modes, the lock and a stale socket.

#include "ChannelArchives.h"
#include "ChannelTestClient.h"
#include "FakeResponder.h"
#include "HangGuard.h"
#include "InProcessBroker.h"
#include "MemoryCeiling.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

struct ValueCase {
    const char* name;
    int32_t commandId;
    int32_t dataKind;
    std::string data;
    // Refused before boost reads the header: named in the service's log line.
    bool badSignature = false;
};

class BrokerServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the broker serves root peers only";
        m_options.socketPath = m_dir.file("zav/zavsocket");
    }

    // A fresh broker on the same socket and files, as after a restart.
    InProcessBroker& startBroker()
    {
        m_broker.reset();
        m_broker = std::make_unique<InProcessBroker>(m_options);
        m_broker->start();
        return *m_broker;
    }

    std::unique_ptr<ChannelTestClient> tool()
    {
        auto client = std::make_unique<ChannelTestClient>(m_options.socketPath);
        EXPECT_EQ(client->registerAs(3000), 1);
        return client;
    }

    // The service's answer to one command; fails the test when none comes.
    ZAV::ResponseFrame ask(ChannelTestClient& client, int32_t commandId, int32_t cookie,
                           int32_t kind = ZAV::kDataKindNone, const std::string& data = {})
    {
        auto answer = client.call(makeRequest(commandId, 1, cookie, kind, data));
        EXPECT_TRUE(answer) << "no answer to command " << commandId;
        if (!answer)
            return {};
        EXPECT_EQ(answer->record.cookie, cookie);
        EXPECT_EQ(answer->record.responderFmId, 1);
        EXPECT_EQ(answer->record.completed, 1);
        return *answer;
    }

    // Another broker on the same options refuses to start, for the reason given.
    void expectStartRefused(const std::string& reason)
    {
        InProcessBroker broker(m_options);
        std::string error;
        EXPECT_FALSE(broker.start(error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }

    bool waitForLog(const std::string& message)
    {
        const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
        do {
            for (const auto& line : m_broker->log().lines())
                if (line.message == message)
                    return true;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    TempDir m_dir;
    ZAV::BrokerOptions m_options;
    std::unique_ptr<InProcessBroker> m_broker;
};

TEST_F(BrokerServiceTest, CommonPolicyIsGivenOnlyFromAPolicyFile)
{
    startBroker();
    auto client = tool();
    auto without = ask(*client, 1000, 3);
    EXPECT_EQ(without.record.status, 0);
    EXPECT_EQ(without.record.dataSize, 0);

    writeFile(m_dir.file("policy"), "# set by the test\n"
                                    "logPath = /var/log/fw custom\n"
                                    "\n"
                                    "activityLogSize=25\n"
                                    "debugLogging=true\n"
                                    "limitDebugLogSize=0\n"
                                    "sendEventsToServer=1\n"
                                    "serverLogLevel=3\n");
    m_options.commonPolicyFile = m_dir.file("policy");
    startBroker();
    client = tool();
    auto with = ask(*client, 1000, 4);
    EXPECT_EQ(with.record.status, 1);
    EXPECT_EQ(with.record.dataKind, ZAV::kDataKindNarrow);
    const ZAV::CommonExtPolicyObj policy = readPolicyArchive(with.data);
    EXPECT_EQ(policy.m_logPath, "/var/log/fw custom");
    EXPECT_EQ(policy.m_activityLogSize, 25);
    EXPECT_TRUE(policy.m_debugLogging);
    EXPECT_FALSE(policy.m_limitDebugLogSize);
    EXPECT_TRUE(policy.m_sendEventsToServer);
    EXPECT_EQ(policy.m_serverLogLevel, 3);
    // Fields the file does not name keep a fresh record's defaults.
    EXPECT_TRUE(policy.m_activityLogging);
    EXPECT_TRUE(policy.m_limitActivityLogSize);
    EXPECT_TRUE(policy.m_eventLogging);
    EXPECT_EQ(policy.m_debugLogSize, 0);
    EXPECT_TRUE(policy.m_carried19);
    EXPECT_TRUE(policy.m_carried24.empty());
    EXPECT_EQ(narrowArchive(policy), with.data) << "the record does not hold every field";
}

TEST_F(BrokerServiceTest, ABadPolicyLineRefusesTheStartAndLeavesNoSocket)
{
    const std::vector<std::string> badFiles = {
        "activityLogSize=5\nactivityLogSize=-1\n",
        "logPath=/x\ndebugLogging=yes\n",
        "eventLogging=1\nlogPath\n",
        "serverLogLevel=1\ncolour=blue\n",
        "serverLogLevel=1\nserverLogLevel=2\n",
        // The daemon's settings file could not hold these log paths.
        "eventLogging=1\nlogPath=/var/log/a" + std::string(1, '\0') + "b\n",
        "eventLogging=1\nlogPath=/var/log/\x1b[0m\n",
        "eventLogging=1\nlogPath=/" + std::string(4096, 'a') + "\n",
        // Refused unread: a real policy is a dozen short lines.
        "eventLogging=1\n#" + std::string(64 * 1024, 'a') + "\n",
    };
    m_options.commonPolicyFile = m_dir.file("policy");
    for (const auto& content : badFiles) {
        SCOPED_TRACE(content);
        writeFile(m_options.commonPolicyFile, content);
        expectStartRefused(content.size() > 64 * 1024 ? "is larger than 65536 bytes" : "line 2");
        EXPECT_EQ(fileMode(m_options.socketPath), -1);
    }
}

TEST_F(BrokerServiceTest, LogSettingsAreStoredAndSurviveARestart)
{
    startBroker();
    auto client = tool();
    EXPECT_EQ(ask(*client, 1002, 1, ZAV::kDataKindNarrow, narrowArchive(7)).record.status, 1);
    EXPECT_EQ(ask(*client, 1003, 2, ZAV::kDataKindNarrow, narrowArchive(true)).record.status, 1);
    // A wide request travels UTF-8 encoded: the same text for a number.
    EXPECT_EQ(ask(*client, 1005, 3, ZAV::kDataKindWide, narrowArchive(false)).record.status, 1);
    const std::string stateFile = m_options.socketPath + ".state";
    EXPECT_EQ(readFile(stateFile), "maxProductLogSize=7\nproductLog=1\nuseSyslog=0\n");
    EXPECT_EQ(fileMode(stateFile), 0600);

    startBroker();
    EXPECT_TRUE(waitForLog("Restored log setting maxProductLogSize=7 from " + stateFile));
    client = tool();
    EXPECT_EQ(ask(*client, 1004, 4, ZAV::kDataKindNarrow, narrowArchive(true)).record.status, 1);
    EXPECT_EQ(readFile(stateFile), "debugLog=1\nmaxProductLogSize=7\nproductLog=1\nuseSyslog=0\n")
        << "a setting made before the restart was lost";
}

// boost's reader allocates and zero-fills the signature's stated length before comparing it:
// 38 bytes asked for 1.5 GB. The ceiling turns such an allocation into a failure here (a
// bad_alloc in the plain build, whose refusal text differs; an abort under the sanitizer).
TEST_F(BrokerServiceTest, BadValuesAndUnknownCommandsGetStatusZeroAndChangeNothingWithinTheMemoryCeiling)
{
    limitAddressSpace(512);
    startBroker();
    auto client = tool();
    ASSERT_EQ(ask(*client, 1002, 1, ZAV::kDataKindNarrow, narrowArchive(3)).record.status, 1);
    const std::string stateFile = m_options.socketPath + ".state";
    const std::string before = readFile(stateFile);

    const std::vector<ValueCase> cases = {
        {"size 0", 1002, ZAV::kDataKindNarrow, narrowArchive(0)},
        {"size 1000", 1002, ZAV::kDataKindNarrow, narrowArchive(1000)},
        {"size missing", 1002, ZAV::kDataKindNone, ""},
        {"size as plain text", 1002, ZAV::kDataKindNarrow, "ten"},
        {"bool 2", 1003, ZAV::kDataKindNarrow, narrowArchive(2)},
        {"bool missing", 1004, ZAV::kDataKindNone, ""},
        {"archive cut short", 1005, ZAV::kDataKindNarrow, "22 serialization::archive"},
        {"unknown command 1006", 1006, ZAV::kDataKindNarrow, narrowArchive(true)},
        {"unknown command 999", 999, ZAV::kDataKindNone, ""},
        // Stated signature lengths beyond the data.
        {"maximum product log size (MB)", 1002, ZAV::kDataKindNarrow,
         "1500000000 serialization::archive 18 7", true},
        {"product log", 1003, ZAV::kDataKindNarrow, "4000000000 serialization::archive 18 1", true},
        {"debug log", 1004, ZAV::kDataKindWide, "1500000000 serialization::archive 18 1", true},
        {"use of syslog", 1005, ZAV::kDataKindNarrow,
         "18446744073709551615 serialization::archive 18 0", true},
        {"maximum product log size (MB)", 1002, ZAV::kDataKindNarrow,
         "23 serialization::archive 18 7", true},
    };
    int32_t cookie = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.data);
        EXPECT_EQ(ask(*client, c.commandId, ++cookie, c.dataKind, c.data).record.status, 0);
        if (c.badSignature) {
            EXPECT_TRUE(waitForLog("Refused command " + std::to_string(c.commandId) + " (" +
                                   c.name + "): its value cannot be read: invalid signature"));
        }
    }
    EXPECT_EQ(readFile(stateFile), before);
    EXPECT_EQ(ask(*client, 1005, ++cookie, ZAV::kDataKindNarrow, narrowArchive(true)).record.status, 1)
        << "still serving";
}

TEST_F(BrokerServiceTest, ReloadPushesTheReReadPolicyToTheDaemon)
{
    m_options.commonPolicyFile = m_dir.file("policy");
    writeFile(m_options.commonPolicyFile, "activityLogSize=5\n");
    startBroker();
    FakeResponder daemon(m_options.socketPath, 7000);
    ASSERT_EQ(daemon.start(), 1);

    writeFile(m_options.commonPolicyFile, "activityLogSize=9\n");
    m_broker->broker().reloadCommonPolicy();
    ASSERT_TRUE(daemon.waitForRequests(1, TestSupport::kHangGuard));
    const ZAV::RequestFrame push = daemon.received()[0];
    EXPECT_EQ(push.record.commandId, 1001);
    EXPECT_EQ(push.record.sourceFmId, 1);
    EXPECT_EQ(push.record.destFmId, 7000);
    EXPECT_EQ(push.record.dataKind, ZAV::kDataKindNarrow);
    EXPECT_EQ(readPolicyArchive(push.data).m_activityLogSize, 9);
    EXPECT_TRUE(waitForLog("Fm id 7000 answered command 1001: completed 1, status 1"));

    // A file broken since keeps the last good policy and pushes nothing.
    writeFile(m_options.commonPolicyFile, "activityLogSize=ten\n");
    m_broker->broker().reloadCommonPolicy();
    EXPECT_FALSE(daemon.waitForRequests(2, 300ms));
    auto client = tool();
    EXPECT_EQ(readPolicyArchive(ask(*client, 1000, 1).data).m_activityLogSize, 9);
}

TEST_F(BrokerServiceTest, SocketAndFilesAreForTheOwnerOnly)
{
    const mode_t umaskBefore = ::umask(022);
    startBroker();
    EXPECT_EQ(::umask(umaskBefore), 022u) << "the broker left its umask behind";
    const std::string& socket = m_options.socketPath;
    for (const auto& [path, mode] : {std::pair(m_dir.file("zav"), 0700), {socket, 0600},
                                     {socket + ".lock", 0600}, {socket + ".new", -1}})
        EXPECT_EQ(fileMode(path), mode) << path;

    m_broker->stop();
    EXPECT_EQ(fileMode(m_options.socketPath), -1) << "a stopped broker leaves its socket";
}

TEST_F(BrokerServiceTest, ASecondBrokerFailsWhileTheFirstServes)
{
    startBroker();
    expectStartRefused("another platform service holds the lock file");
    tool(); // the first one still serves on its socket

    m_broker->stop();
    InProcessBroker third(m_options);
    std::string error;
    EXPECT_TRUE(third.start(error)) << error;
}

TEST_F(BrokerServiceTest, AStaleSocketIsReplacedButNoOtherFile)
{
    // A socket whose server died without removing it.
    ASSERT_EQ(::mkdir(m_dir.file("zav").c_str(), 0700), 0);
    const int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, m_options.socketPath.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);

    startBroker();
    tool();
    EXPECT_TRUE(waitForLog("Removed the stale socket " + m_options.socketPath));
    m_broker->stop();

    writeFile(m_options.socketPath, "not a socket");
    expectStartRefused("exists and is not a socket");
    EXPECT_EQ(readFile(m_options.socketPath), "not a socket");
}

} // namespace
