// The tool's command callback against a peer that never answers, one that answers and one whose
// connection closes: a silent peer's wait ends at the bound of the command, the peer then counts
// as lost and later sends fail at once without being sent; answers and a closed connection leave
// the peer as it was. Each send's reply state tells a request not sent from one sent without
// reply and from one answered.

#include "ChannelFrame.h"
#include "CommandCallbackForCLIFM.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FakeFMCommClient.h"
#include "HangGuard.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

using namespace ZAV;
using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using State = CommandResponse::ReplyState;

namespace {

// One second for every command but 100017, which gets no bound of its own.
std::chrono::seconds shortBound(int commandId)
{
    return commandId == 100017 ? std::chrono::seconds::max() : std::chrono::seconds(1);
}

enum class Peer { Silent, Answers, Closes };

void actAs(Peer peer, FakeFMCommClient& client, CommandCallbackForCLIFM& callback)
{
    if (peer == Peer::Closes) {
        // The connection ends while the send waits.
        client.onSend([&callback](const std::string&) { callback.connectionClosed(); });
    } else if (peer == Peer::Answers) {
        // Every request answered from inside the send, completed with the status set.
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
}

} // namespace

TEST(CommandCallbackForCLIFMTest, EachPeerLeavesTheSendsAndThePeerAsItShould)
{
    struct Send {
        int command;
        State state;
        bool completed;
        Clock::duration atLeast; // the send waited its bound
    };
    const struct {
        const char* what;
        const char* channelBound; // ZAV_SEND_TIMEOUT_SECS, or null
        Peer peer;
        std::vector<Send> sends;
        bool lost;
        size_t written;
        std::vector<std::string> logged;
    } rows[] = {
        // Even a command without a bound of its own is not sent to a lost peer.
        {"a silent peer costs one bound and later sends fail at once", nullptr, Peer::Silent,
         {{100000, State::Awaited, false, 900ms}, {100017, State::NotSent, false, 0ms}}, true, 1,
         {"No reply to command 100000 to 7000 within 1 s",
          "Command 100017 not sent: an earlier request got no reply"}},
        {"the channel's bound caps a command without a bound of its own", "1", Peer::Silent,
         {{100017, State::Awaited, false, 900ms}}, true, 1,
         {"No reply to command 100017 to 7000 within 1 s"}},
        {"answers do not lose the peer", nullptr, Peer::Answers,
         {{100000, State::Received, true, 0ms}, {100000, State::Received, true, 0ms},
          {100000, State::Received, true, 0ms}},
         false, 3, {}},
        {"a closed connection is a failed request, not a silent peer", nullptr, Peer::Closes,
         {{100000, State::Awaited, false, 0ms}}, false, 1, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingLogger log;
        FakeFMCommClient client;
        if (row.channelBound != nullptr) {
            ASSERT_EQ(::setenv("ZAV_SEND_TIMEOUT_SECS", row.channelBound, 1), 0);
        }
        CommandCallbackForCLIFM callback(log, shortBound);
        ::unsetenv("ZAV_SEND_TIMEOUT_SECS");
        actAs(row.peer, client, callback);
        for (const Send& send : row.sends) {
            SCOPED_TRACE(send.command);
            CommandRequest request(send.command, 7000);
            CommandResponse response;
            const auto start = Clock::now();
            callback.sendCommandRequest(request, response, 3000, client, false);
            const auto took = Clock::now() - start;
            EXPECT_GE(took, send.atLeast);
            EXPECT_LT(took, kHangGuard);
            EXPECT_EQ(response.replyState(), send.state);
            EXPECT_EQ(response.getCommandCompleted(), send.completed);
        }
        EXPECT_EQ(callback.peerLost(), row.lost);
        EXPECT_EQ(client.messages().size(), row.written);
        for (const std::string& line : row.logged)
            EXPECT_TRUE(log.has(4, line)) << line;
    }
}
