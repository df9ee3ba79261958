#include "SFRegistrationFMCallback.h"

#include "ChannelFrame.h"
#include "FMPException.h"
#include "FakeFMCommClient.h"
#include "HangGuard.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace StatefulFirewall;
using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const int kDaemonId = SF_DAEMON_FM_ID;
// A registration timeout far beyond the hang guard: a wait that should end early but runs to
// its timeout fails the guard, however loaded the machine.
constexpr int kLongTimeoutSecs = 4 * static_cast<int>(kHangGuard.count());
int ack(SFRegistrationFMCallback& callback, int type, int status)
{
    ZAV::RegAckFrame body{kDaemonId, status};
    return callback.callbackFMToProcessMessage(type, &body, sizeof body, status);
}

class SFRegistrationFMCallbackTest : public ::testing::Test {
protected:
    RecordingLogger m_log;
    FakeFMCommClient m_client;
    SFRegistrationFMCallback m_callback{m_log};

    // Runs a registration with the given timeout; its result and how long it took.
    std::pair<bool, Clock::duration> timedRegistration(int timeoutSecs)
    {
        const auto start = Clock::now();
        const bool registered = m_callback.startFMRegistration(kDaemonId, timeoutSecs, m_client);
        return {registered, Clock::now() - start};
    }
};

TEST_F(SFRegistrationFMCallbackTest, MessagesAreTheWordsThePlatformServiceReads)
{
    using Core = SFRegistrationCore<SFRegistrationFMCallback>;
    EXPECT_EQ(messageWords(Core::registrationMessage(7000, 4242)),
              (std::vector<int32_t>{1, 24, 4660, 7000, 4242, 3}));
    EXPECT_EQ(messageWords(Core::deregistrationMessage(7000, 4242)),
              (std::vector<int32_t>{3, 20, 4660, 7000, 4242}));

    m_client.onSend([this](const std::string&) { ack(m_callback, 2, 1); });
    ASSERT_TRUE(m_callback.startFMRegistration(kDaemonId, 10, m_client));
    m_callback.startFMDeregistration(kDaemonId, m_client);
    const auto sent = m_client.messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), 24u);
    EXPECT_EQ(messageWords(sent[0]), (std::vector<int32_t>{1, 24, 4660, 7000, getpid(), 3}));
    EXPECT_EQ(sent[1].size(), 20u);
    EXPECT_EQ(messageWords(sent[1]), (std::vector<int32_t>{3, 20, 4660, 7000, getpid()}));
    EXPECT_EQ(m_callback.getSupportedFMMessageTypes(), (std::list<int>{2}));
    EXPECT_TRUE(m_log.has(6, "Successfully sent a deregistration request to ZAV"));
}

TEST_F(SFRegistrationFMCallbackTest, AcknowledgementBeforeTheWaitReturnsAtOnce)
{
    // The hook runs inside the send, so the acknowledgement is in before the lock is taken.
    m_client.onSend([this](const std::string&) { EXPECT_EQ(ack(m_callback, 2, 1), 1); });
    const auto [registered, took] = timedRegistration(kLongTimeoutSecs);
    EXPECT_TRUE(registered);
    EXPECT_LT(took, kHangGuard);
    EXPECT_TRUE(m_log.has(5, "Received registration acknowledgment from ZAV"));
    EXPECT_TRUE(m_log.has(6, "Successfully sent a registration request to ZAV"));
    EXPECT_FALSE(m_log.has(6, "Waiting for registration acknowledgment or timeout"));
}

TEST_F(SFRegistrationFMCallbackTest, LateAcknowledgementEndsTheWaitEarly)
{
    std::thread service([this] {
        std::this_thread::sleep_for(200ms);
        ack(m_callback, 2, 1);
    });
    const auto [registered, took] = timedRegistration(kLongTimeoutSecs);
    service.join();
    EXPECT_TRUE(registered);
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, kHangGuard);
    EXPECT_TRUE(m_log.has(6, "Waiting for registration acknowledgment or timeout"));
    EXPECT_TRUE(m_log.has(6, "Done waiting for registration acknowledgment"));
}

TEST_F(SFRegistrationFMCallbackTest, RefusalAndOtherMessagesLeaveTheWaitToTimeOut)
{
    m_client.onSend([this](const std::string&) {
        EXPECT_EQ(ack(m_callback, 2, 0), 0);
        EXPECT_EQ(ack(m_callback, 5, 1), 0);
    });
    const auto [registered, took] = timedRegistration(1);
    EXPECT_FALSE(registered);
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, kHangGuard);
    EXPECT_FALSE(m_log.has(5, "Received registration acknowledgment from ZAV"));
    EXPECT_TRUE(m_log.has(6, "Done waiting for registration acknowledgment"));
}

TEST_F(SFRegistrationFMCallbackTest, RegisteringAgainReturnsAtOnceWithoutANewAcknowledgement)
{
    m_client.onSend([this](const std::string&) { ack(m_callback, 2, 1); });
    ASSERT_TRUE(m_callback.startFMRegistration(kDaemonId, 10, m_client));
    // After a reconnection nobody would deliver an acknowledgement while this waits.
    m_client.onSend(nullptr);
    m_log.clear();
    const auto [registered, took] = timedRegistration(kLongTimeoutSecs);
    EXPECT_TRUE(registered);
    EXPECT_LT(took, kHangGuard);
    EXPECT_EQ(m_client.messages().size(), 2u);
    EXPECT_FALSE(m_log.has(6, "Waiting for registration acknowledgment or timeout"));
}

TEST_F(SFRegistrationFMCallbackTest, FailedSendsThrowOnRegistrationAndAreIgnoredOnDeregistration)
{
    m_client.failSends(25, "Cannot write to the platform service");
    EXPECT_THROW(m_callback.startFMRegistration(kDaemonId, 10, m_client), ZAV::FMPException);
    EXPECT_FALSE(m_log.has(6, "Successfully sent a registration request to ZAV"));

    EXPECT_NO_THROW(m_callback.startFMDeregistration(kDaemonId, m_client));
    EXPECT_TRUE(
        m_log.has(6, "Error that occurred in sending the deregistration request to ZAV was ignored"));
    EXPECT_FALSE(m_log.has(6, "Successfully sent a deregistration request to ZAV"));
}

} // namespace
