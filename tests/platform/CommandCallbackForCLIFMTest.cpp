// The tool's command callback against a peer that never answers: the wait ends at the bound of
// the command, the peer then counts as lost and later sends fail at once without being sent;
// answers and a closed connection leave the peer as it was.

#include "ChannelFrame.h"
#include "CommandCallbackForCLIFM.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FakeFMCommClient.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <variant>

using namespace ZAV;
using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Guards against a hang only: far above the one-second bounds used here.
constexpr auto kHangGuard = 60s;

// One second for every command but 100017, which gets no bound of its own.
std::chrono::seconds shortBound(int commandId)
{
    return commandId == 100017 ? std::chrono::seconds::max() : std::chrono::seconds(1);
}

// Answers every request from inside the send, completed with the status set.
void answerEverything(FakeFMCommClient& client, CommandCallbackForCLIFM& callback)
{
    client.onSend([&callback](const std::string& bytes) {
        FrameDecoder decoder;
        decoder.feed(bytes);
        Frame frame;
        ASSERT_TRUE(decoder.next(frame));
        const auto& request = std::get<RequestFrame>(frame);
        ResponseFrame reply;
        reply.record.commandId = request.record.commandId;
        reply.record.cookie = request.record.cookie;
        reply.record.completed = 1;
        reply.record.status = 1;
        std::string replyBytes = encodeResponse(reply);
        callback.callbackFMToProcessMessage(kResponseType, replyBytes.data(), replyBytes.size(), 1);
    });
}

} // namespace

TEST(CommandCallbackForCLIFMTest, ASilentPeerCostsOneBoundAndLaterSendsFailAtOnce)
{
    RecordingLogger log;
    FakeFMCommClient client;
    CommandCallbackForCLIFM callback(log, shortBound);

    CommandRequest status(100000, 7000);
    CommandResponse response;
    const auto start = Clock::now();
    callback.sendCommandRequest(status, response, 3000, client, false);
    const auto took = Clock::now() - start;
    EXPECT_FALSE(response.getCommandCompleted());
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, kHangGuard);
    EXPECT_TRUE(callback.peerLost());
    EXPECT_TRUE(log.has(4, "No reply to command 100000 to 7000 within 1 s"));

    // Even a command without a bound of its own is not sent to a lost peer.
    CommandRequest update(100017, 7000);
    CommandResponse second;
    const auto again = Clock::now();
    callback.sendCommandRequest(update, second, 3000, client, false);
    EXPECT_LT(Clock::now() - again, kHangGuard);
    EXPECT_FALSE(second.getCommandCompleted());
    EXPECT_EQ(client.messages().size(), 1u);
    EXPECT_TRUE(log.has(4, "Command 100017 not sent: an earlier request got no reply"));
}

TEST(CommandCallbackForCLIFMTest, TheChannelsBoundCapsACommandWithoutABoundOfItsOwn)
{
    ASSERT_EQ(::setenv("ZAV_SEND_TIMEOUT_SECS", "1", 1), 0);
    RecordingLogger log;
    FakeFMCommClient client;
    CommandCallbackForCLIFM callback(log, shortBound);
    ::unsetenv("ZAV_SEND_TIMEOUT_SECS");

    CommandRequest update(100017, 7000);
    CommandResponse response;
    const auto start = Clock::now();
    callback.sendCommandRequest(update, response, 3000, client, false);
    EXPECT_LT(Clock::now() - start, kHangGuard);
    EXPECT_FALSE(response.getCommandCompleted());
    EXPECT_TRUE(callback.peerLost());
    EXPECT_TRUE(log.has(4, "No reply to command 100017 to 7000 within 1 s"));
}

TEST(CommandCallbackForCLIFMTest, AnswersAndAClosedConnectionDoNotLoseThePeer)
{
    RecordingLogger log;
    FakeFMCommClient client;
    CommandCallbackForCLIFM callback(log, shortBound);
    answerEverything(client, callback);
    for (int n = 0; n < 3; ++n) {
        CommandRequest request(100000, 7000);
        CommandResponse response;
        callback.sendCommandRequest(request, response, 3000, client, false);
        EXPECT_TRUE(response.getCommandCompleted());
    }
    EXPECT_FALSE(callback.peerLost());

    // The connection ends while the send waits: a failed request, not a silent peer.
    client.onSend([&callback](const std::string&) { callback.connectionClosed(); });
    CommandRequest request(100000, 7000);
    CommandResponse response;
    callback.sendCommandRequest(request, response, 3000, client, false);
    EXPECT_FALSE(response.getCommandCompleted());
    EXPECT_FALSE(callback.peerLost());
    EXPECT_EQ(client.messages().size(), 4u);
}
