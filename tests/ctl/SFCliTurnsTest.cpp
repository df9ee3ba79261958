// Turn-taking among tqctl processes on a lock file in a temporary folder: the holder keeps the
// turn, with its record, until its request is answered; a waiter names the holder and gives up
// a margin past the holder's bound.

#include "SFCliTurns.h"

#include "RecordingLogger.h"
#include "ScriptedSender.h"
#include "SFCliStringConstants.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <sstream>

using namespace StatefulFirewall;
using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace C = SFCliStringConstants;

namespace {

// Another tool's hold on the lock file: taken, when it can be, on a descriptor of its own.
struct OtherHolder {
    explicit OtherHolder(const std::string& path)
        : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)),
          holds(::flock(fd, LOCK_EX | LOCK_NB) == 0)
    {
    }
    ~OtherHolder() { ::close(fd); }
    int fd;
    bool holds;
};

// Looks at the lock file from outside while the request is out.
struct ObservingSender : ScriptedSender {
    std::string path;
    bool takenDuringSend = true;
    std::optional<SFCliTurnRecord> recordDuringSend;

    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int& source, ZAV::IFMCommClient& client, bool flag) override
    {
        takenDuringSend = OtherHolder(path).holds;
        recordDuringSend = parseTurnRecord(readFile(path));
        ScriptedSender::sendCommandRequest(request, response, source, client, flag);
    }
};

std::chrono::seconds boundOf(int commandId)
{
    return commandId == 100017 ? 300s : 15s;
}

} // namespace

TEST(SFCliTurnsTest, ARecordReadsBackAndNothingElseReadsAsOne)
{
    const SFCliTurnRecord sample{4242, 100000, Clock::now() + 15s};
    const SFCliTurnRecord extreme{INT_MAX, 100017, Clock::time_point(Clock::duration(LLONG_MAX))};
    EXPECT_EQ(parseTurnRecord(formatTurnRecord(sample)), sample);
    EXPECT_EQ(parseTurnRecord(formatTurnRecord(extreme)), extreme);

    const std::string good = formatTurnRecord(sample);
    std::string otherPid = good;
    otherPid.replace(otherPid.find("4242"), 4, "4243");
    for (const std::string& text : {
             good.substr(0, good.size() - 1),                          // no line end
             otherPid,                                                 // fails its check
             good.substr(0, 20) + formatTurnRecord(extreme).substr(20), // read while rewritten
             "pid=04242" + good.substr(8),                             // not as written
             good + good,
             std::string(200, 'x') + "\n",
         })
        EXPECT_FALSE(parseTurnRecord(text)) << text;
}

TEST(SFCliTurnsTest, TheTurnIsHeldWithItsRecordUntilTheRequestIsAnswered)
{
    TempDir dir;
    RecordingLogger log;
    ObservingSender sender;
    sender.path = dir.file("tqctl.lock");
    UnusedCommClient client;
    std::ostringstream notices;
    SFCliTurns turns(sender, log, boundOf, notices, sender.path);
    for (int commandId : {100000, 100017}) {
        SCOPED_TRACE(commandId);
        ZAV::CommandRequest request(commandId, 7000);
        ZAV::CommandResponse response;
        const Clock::time_point before = Clock::now();
        turns.sendCommandRequest(request, response, 3000, client, false);
        EXPECT_FALSE(sender.takenDuringSend) << "another tool took the turn while a request was out";
        ASSERT_TRUE(sender.recordDuringSend);
        EXPECT_EQ(sender.recordDuringSend->pid, ::getpid());
        EXPECT_EQ(sender.recordDuringSend->commandId, commandId);
        EXPECT_GE(sender.recordDuringSend->deadline, before + boundOf(commandId));
        EXPECT_LE(sender.recordDuringSend->deadline, Clock::now() + boundOf(commandId));
        EXPECT_TRUE(OtherHolder(sender.path).holds) << "the turn was not given back";
        EXPECT_EQ(readFile(sender.path), "") << "the record outlived the turn";
    }
    EXPECT_EQ(sender.sent.size(), 2u);
}

TEST(SFCliTurnsTest, AWaiterGivesUpAMarginPastTheHoldersBoundAndNamesIt)
{
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const struct {
        const char* what;
        std::optional<SFCliTurnRecord> holder; // the record in the file, if any
        std::string named;
    } rows[] = {
        {"holder past its deadline", SFCliTurnRecord{::getpid(), 100000, Clock::now() - 1s},
         "process " + std::to_string(::getpid()) + " ("},
        {"holder without record", std::nullopt, C::CLI_TURN_HOLDER_UNKNOWN},
        {"record of a holder gone", SFCliTurnRecord{gone, 100000, Clock::now() + 1h},
         C::CLI_TURN_HOLDER_UNKNOWN},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string lock = dir.file("tqctl.lock");
        OtherHolder other(lock);
        ASSERT_TRUE(other.holds);
        if (row.holder)
            writeFile(lock, formatTurnRecord(*row.holder));
        RecordingLogger log;
        ScriptedSender sender;
        UnusedCommClient client;
        std::ostringstream notices;
        SFCliTurns turns(sender, log, boundOf, notices, lock, {0ms, 100ms, 100ms, 10ms});
        ZAV::CommandResponse responses[2];
        for (ZAV::CommandResponse& response : responses) {
            ZAV::CommandRequest request(100000, 7000);
            turns.sendCommandRequest(request, response, 3000, client, false);
            EXPECT_EQ(response.replyState(), ZAV::CommandResponse::ReplyState::NotSent);
            // The rest of the run sends nothing and waits no more, even once the turn is free.
            ::flock(other.fd, LOCK_UN);
        }
        EXPECT_TRUE(sender.sent.empty());
        EXPECT_EQ(notices.str().rfind(C::CLI_TURN_WAITING_MSG + row.named, 0), 0u) << notices.str();
        EXPECT_EQ(turns.gaveUp().rfind(C::CLI_TURN_TIMEOUT_MSG + row.named, 0), 0u)
            << turns.gaveUp();
    }
}
