// The tool's registration as framework manager 3000 over a fake command client: the frames as
// sent, an acknowledgement that arrives inside the send, and a refusing one.

#include "SFCliRegistrationFMCallback.h"

#include "FakeFMCommClient.h"
#include "HangGuard.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

using StatefulFirewall::SFCliRegistrationFMCallback;
using namespace TestSupport;

namespace {

constexpr int kToolId = 3000;
using Clock = std::chrono::steady_clock;

} // namespace

TEST(SFCliRegistrationFMCallbackTest, FramesCarryTheToolsIdAndAnEarlyAcknowledgementIsNotLost)
{
    RecordingLogger log;
    FakeFMCommClient client;
    SFCliRegistrationFMCallback callback(log);
    EXPECT_EQ(callback.getSupportedFMMessageTypes(), std::list<int>{2});
    // The acknowledgement arrives before the sender starts to wait.
    client.onSend([&](const std::string&) { callback.callbackFMToProcessMessage(2, nullptr, 0, 1); });

    // A timeout far beyond the hang guard: a sender that waited for it although the
    // acknowledgement was in fails the guard, however loaded the machine.
    const auto start = Clock::now();
    const int longTimeoutSecs = 4 * static_cast<int>(kHangGuard.count());
    EXPECT_TRUE(callback.startFMRegistration(kToolId, longTimeoutSecs, client));
    EXPECT_LT(Clock::now() - start, kHangGuard);
    callback.startFMDeregistration(kToolId, client);

    const auto messages = client.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].size(), 24u);
    EXPECT_EQ(messageWords(messages[0]),
              (std::vector<int32_t>{1, 24, 4660, kToolId, static_cast<int32_t>(getpid()), 3}));
    EXPECT_EQ(messages[1].size(), 20u);
    EXPECT_EQ(messageWords(messages[1]),
              (std::vector<int32_t>{3, 20, 4660, kToolId, static_cast<int32_t>(getpid())}));
    EXPECT_TRUE(log.has(5, "Received registration acknowledgment from ZAV"));
}

TEST(SFCliRegistrationFMCallbackTest, ARefusingAcknowledgementLetsTheWaitRunOut)
{
    RecordingLogger log;
    FakeFMCommClient client;
    SFCliRegistrationFMCallback callback(log);
    client.onSend([&](const std::string&) {
        EXPECT_EQ(callback.callbackFMToProcessMessage(2, nullptr, 0, 0), 0);
        EXPECT_EQ(callback.callbackFMToProcessMessage(8, nullptr, 0, 1), 0);
    });
    const auto start = Clock::now();
    EXPECT_FALSE(callback.startFMRegistration(kToolId, 1, client));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_TRUE(log.has(6, "Done waiting for registration acknowledgment"));
}
