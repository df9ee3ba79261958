// tqctl processes take turns per request: while one holds the turn (its request is out and its
// reply awaited), another's request is not written; it goes as soon as the turn is given back,
// also when the holder's send ended in an exception. Without a usable lock file requests still go.

#include "SFCliTurns.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "HangGuard.h"
#include "RecordingCliCommands.h"
#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

class HookedSender : public UnusedCommandCallback {
public:
    std::function<void()> hook;
    void sendCommandRequest(ZAV::CommandRequest&, ZAV::CommandResponse&, const int&,
                            ZAV::IFMCommClient&, bool) override
    {
        hook();
    }
};

void sendThrough(SFCliTurns& turns)
{
    ZAV::CommandRequest request(100000, 7000);
    ZAV::CommandResponse response;
    UnusedCommClient client;
    turns.sendCommandRequest(request, response, 3000, client, false);
}

} // namespace

TEST(SFCliTurnsTest, ASecondToolsRequestWaitsUntilTheFirstOneIsAnswered)
{
    for (const bool holderThrows : {false, true}) {
        SCOPED_TRACE(holderThrows ? "the holder's send throws" : "the holder's send returns");
        TempDir dir;
        RecordingLogger log;
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false;
        bool release = false;
        HookedSender first;
        first.hook = [&] {
            std::unique_lock<std::mutex> lock(mutex);
            holding = true;
            changed.notify_all();
            ASSERT_TRUE(changed.wait_for(lock, kHangGuard, [&] { return release; }));
            if (holderThrows)
                throw std::runtime_error("send failed");
        };
        std::promise<void> secondSent;
        bool sentAfterRelease = false;
        HookedSender second;
        second.hook = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            sentAfterRelease = release;
            secondSent.set_value();
        };
        // Two tools: each opens the lock file itself, as two processes do.
        SFCliTurns firstTurns(first, log, dir.file("tqctl.lock"));
        SFCliTurns secondTurns(second, log, dir.file("tqctl.lock"));

        auto holder = std::async(std::launch::async, [&] {
            if (holderThrows)
                EXPECT_THROW(sendThrough(firstTurns), std::runtime_error);
            else
                sendThrough(firstTurns);
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, kHangGuard, [&] { return holding; }));
        }
        auto waiter = std::async(std::launch::async, [&] { sendThrough(secondTurns); });
        std::future<void> sent = secondSent.get_future();
        // Room for a second request that does not wait to go early; whether it did is judged
        // below by what it saw, not by the clock.
        sent.wait_for(std::chrono::milliseconds(300));
        {
            std::lock_guard<std::mutex> lock(mutex);
            release = true;
            changed.notify_all();
        }
        EXPECT_EQ(sent.wait_for(kHangGuard), std::future_status::ready);
        EXPECT_TRUE(sentAfterRelease);
        holder.get();
        waiter.get();
        EXPECT_TRUE(log.has(5, "Command 100000 waits for another tqctl's request to be answered"));
    }
}

TEST(SFCliTurnsTest, WithoutALockFileTheRequestStillGoes)
{
    RecordingLogger log;
    bool sent = false;
    HookedSender sender;
    sender.hook = [&] { sent = true; };
    SFCliTurns turns(sender, log, "/nonexistent-folder/tqctl.lock");
    sendThrough(turns);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(log.has(4, "Sending without taking turns: cannot open /nonexistent-folder/tqctl.lock: "
                           "No such file or directory"));
}
