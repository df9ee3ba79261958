// Turn-taking among tqctl processes on a lock file in a temporary folder: the holder keeps the
// turn, with its record, until its request is answered; a waiter names the holder and gives up
// a margin past the holder's bound, and a holder that gives the turn back lets it through.

#include "SFCliTurns.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "HangGuard.h"
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
#include <future>
#include <sstream>
#include <thread>

using namespace StatefulFirewall;
using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Another tool's hold on the lock file, taken from a descriptor of its own.
class OtherHolder {
public:
    explicit OtherHolder(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
    }
    ~OtherHolder() { ::close(m_fd); }
    bool tryTake() { return ::flock(m_fd, LOCK_EX | LOCK_NB) == 0; }
    void giveBack() { ::flock(m_fd, LOCK_UN); }
    void write(const std::string& text) { ASSERT_EQ(::pwrite(m_fd, text.data(), text.size(), 0), ssize_t(text.size())); }

private:
    int m_fd;
};

// Sends like the scripted sender, looking at the lock file from outside while the request is
// out.
class ObservingSender : public ScriptedSender {
public:
    explicit ObservingSender(std::string path) : m_path(std::move(path)) {}
    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int& source, ZAV::IFMCommClient& client, bool flag) override
    {
        OtherHolder other(m_path);
        takenDuringSend = other.tryTake();
        recordDuringSend = parseTurnRecord(readFile(m_path));
        ScriptedSender::sendCommandRequest(request, response, source, client, flag);
    }
    bool takenDuringSend = true;
    std::optional<SFCliTurnRecord> recordDuringSend;

private:
    std::string m_path;
};

std::chrono::seconds boundOf(int commandId)
{
    return commandId == 100017 ? 300s : 15s;
}

SFCliTurnRecord record(pid_t pid, int commandId, Clock::time_point deadline)
{
    SFCliTurnRecord made;
    made.pid = pid;
    made.commandId = commandId;
    made.deadline = deadline;
    return made;
}

} // namespace

TEST(SFCliTurnsTest, ARecordReadsBackAndNothingElseReadsAsOne)
{
    const SFCliTurnRecord samples[] = {
        record(1, 0, Clock::time_point()),
        record(INT_MAX, 100017, Clock::time_point(Clock::duration(LLONG_MAX))),
        record(4242, 100000, Clock::now() + 15s),
    };
    for (const SFCliTurnRecord& sample : samples) {
        const std::string text = formatTurnRecord(sample);
        EXPECT_EQ(parseTurnRecord(text), sample) << text;
    }

    const std::string good = formatTurnRecord(samples[2]);
    const std::string other = formatTurnRecord(samples[1]);
    std::string otherPid = good;
    otherPid.replace(otherPid.find("4242"), 4, "4243");
    std::string padded = good;
    padded.replace(padded.find("pid=") + 4, 0, "0");
    const std::string rejected[] = {
        "",
        "\n",
        good.substr(0, good.size() - 1),               // without its line end
        otherPid,                                      // a field the check does not cover
        good.substr(0, 20) + other.substr(20),         // read while being rewritten
        padded,                                        // the same values, not as written
        "pid=-5 command=1 deadline=1 check=00000000\n",
        good.substr(0, good.size() - 1) + " extra=1\n",
        good + good,
        std::string(200, 'x') + "\n",
    };
    for (const std::string& text : rejected)
        EXPECT_FALSE(parseTurnRecord(text)) << text;
}

TEST(SFCliTurnsTest, TheTurnIsHeldWithItsRecordUntilTheRequestIsAnswered)
{
    TempDir dir;
    const std::string lock = dir.file("tqctl.lock");
    RecordingLogger log;
    ObservingSender sender(lock);
    UnusedCommClient client;
    std::ostringstream notices;
    SFCliTurns turns(sender, log, boundOf, notices, lock);

    // One turn per request, each with its own bound.
    for (int commandId : {100000, 100017}) {
        SCOPED_TRACE(commandId);
        ZAV::CommandRequest request(commandId, 7000);
        ZAV::CommandResponse response;
        const Clock::time_point before = Clock::now();
        turns.sendCommandRequest(request, response, 3000, client, false);
        const Clock::time_point after = Clock::now();
        EXPECT_FALSE(sender.takenDuringSend) << "another tool took the turn while a request was out";
        ASSERT_TRUE(sender.recordDuringSend);
        EXPECT_EQ(sender.recordDuringSend->pid, ::getpid());
        EXPECT_EQ(sender.recordDuringSend->commandId, commandId);
        EXPECT_GE(sender.recordDuringSend->deadline, before + boundOf(commandId));
        EXPECT_LE(sender.recordDuringSend->deadline, after + boundOf(commandId));

        OtherHolder other(lock);
        EXPECT_TRUE(other.tryTake()) << "the turn was not given back after the reply";
        EXPECT_EQ(readFile(lock), "") << "the record outlived the turn";
    }
    EXPECT_EQ(sender.sent.size(), 2u);
    EXPECT_EQ(notices.str(), "");
}

TEST(SFCliTurnsTest, AWaiterGivesUpAMarginPastTheHoldersBoundAndNamesIt)
{
    // A process that is gone, for a record its holder left behind.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const std::string self = "process " + std::to_string(::getpid()) + " (";

    const struct {
        const char* what;
        std::optional<SFCliTurnRecord> holder; // the record written, if any
        std::chrono::milliseconds releaseAfter; // zero: never
        std::chrono::milliseconds announceAfter;
        std::chrono::milliseconds longest; // the bound of a holder without record
        bool sent;
        std::string named; // in the waiting line and the sentence
    } rows[] = {
        {"holder past its deadline", record(::getpid(), 100000, Clock::now() - 1s), 0ms, 0ms, 1h,
         false, self},
        {"holder without record", std::nullopt, 0ms, 0ms, 100ms, false,
         SFCliStringConstants::CLI_TURN_HOLDER_UNKNOWN},
        {"record of a holder gone", record(gone, 100000, Clock::now() + 1h), 0ms, 0ms, 100ms,
         false, SFCliStringConstants::CLI_TURN_HOLDER_UNKNOWN},
        // Far within its bound: the waiter waits, unannounced, and then sends.
        {"holder that gives the turn back", record(::getpid(), 100000, Clock::now() + 1h), 200ms,
         1h, 1h, true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string lock = dir.file("tqctl.lock");
        OtherHolder other(lock);
        ASSERT_TRUE(other.tryTake());
        if (row.holder)
            other.write(formatTurnRecord(*row.holder));
        std::future<void> release;
        if (row.releaseAfter > 0ms)
            release = std::async(std::launch::async, [&other, &row] {
                std::this_thread::sleep_for(row.releaseAfter);
                other.giveBack();
            });

        RecordingLogger log;
        ScriptedSender sender;
        UnusedCommClient client;
        std::ostringstream notices;
        SFCliTurnTiming timing;
        timing.announceAfter = row.announceAfter;
        timing.margin = 100ms;
        timing.unknownHolderBound = row.longest;
        timing.poll = 10ms;
        SFCliTurns turns(sender, log, boundOf, notices, lock, timing);
        ZAV::CommandRequest request(100000, 7000);
        ZAV::CommandResponse response;
        turns.sendCommandRequest(request, response, 3000, client, false);
        if (release.valid()) {
            ASSERT_EQ(release.wait_for(kHangGuard), std::future_status::ready);
        }

        EXPECT_EQ(sender.sent.size(), row.sent ? 1u : 0u);
        EXPECT_EQ(turns.gaveUp().empty(), row.sent) << turns.gaveUp();
        if (row.sent) {
            EXPECT_EQ(notices.str(), "");
            continue;
        }
        EXPECT_EQ(response.replyState(), ZAV::CommandResponse::ReplyState::NotSent);
        EXPECT_EQ(notices.str().rfind(SFCliStringConstants::CLI_TURN_WAITING_MSG + row.named, 0), 0u)
            << notices.str();
        EXPECT_EQ(turns.gaveUp().rfind(SFCliStringConstants::CLI_TURN_TIMEOUT_MSG + row.named, 0), 0u)
            << turns.gaveUp();
        // The rest of the run sends nothing and waits no more, even once the turn is free.
        other.giveBack();
        ZAV::CommandRequest later(100021, 7000);
        ZAV::CommandResponse laterResponse;
        turns.sendCommandRequest(later, laterResponse, 3000, client, false);
        EXPECT_TRUE(sender.sent.empty());
        EXPECT_EQ(laterResponse.replyState(), ZAV::CommandResponse::ReplyState::NotSent);
    }
}
