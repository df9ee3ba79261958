// The event adaptor's sends: the gates (no agent adaptor, unmanaged, switched off), what reaches
// the agent, and what a failing agent leaves behind.

#include "SFEventAdaptor.h"

#include "FakeAgentPlugins.h"
#include "FakeConfigController.h"
#include "MsgBusEventData.h"
#include "RecordingLogger.h"
#include "SFAgentAdaptor.h"
#include "SFPrefKeys.h"
#include "StandInAgent.h"

#include <gtest/gtest.h>

#include <stdexcept>

using StatefulFirewall::SFAgentAdaptor;
using StatefulFirewall::SFEventAdaptor;
using ZAV::MsgBusEventData;
using ZAV::SendMode;
using Batch = std::vector<MsgBusEventData>;

namespace {

std::vector<std::string> names(const Batch& batch)
{
    std::vector<std::string> out;
    for (const MsgBusEventData& event : batch)
        out.push_back(event.getEventName());
    return out;
}

Batch batchOf(std::initializer_list<const char*> eventNames)
{
    Batch batch;
    for (const char* name : eventNames)
        batch.emplace_back(name, 2);
    return batch;
}

class SFEventAdaptorSendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(StatefulFirewall::SF_KEY_PRODUCT_NAME_FOR_EVENT, "Brevant Test");
        m_config.set(StatefulFirewall::SF_KEY_PRODUCT_VERSION, "9.9.9");
        m_config.setManagedMode(1);
        auto agent = std::make_unique<ZAV::StandInAgent>(m_logger, "HVRT_FW_1060QUIL");
        m_agent = agent.get();
        auto probe = std::make_shared<TestSupport::PluginProbe>();
        m_agentAdaptor = std::make_unique<SFAgentAdaptor>(
            m_logger, std::move(agent), std::make_unique<TestSupport::FakePolicyPlugin>(probe),
            std::make_unique<TestSupport::FakePropertyPlugin>(probe),
            std::make_unique<TestSupport::FakeAgentInfo>(probe));
        m_events = std::make_unique<SFEventAdaptor>(m_logger, m_config);
        m_logger.clear();
    }

    void sendMode(SendMode mode)
    {
        ZAV::StandInBehaviour b;
        b.sendMode = mode;
        m_agent->setBehaviour(b);
    }

    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeConfigController m_config;
    ZAV::StandInAgent* m_agent = nullptr;
    std::unique_ptr<SFAgentAdaptor> m_agentAdaptor;
    std::unique_ptr<SFEventAdaptor> m_events;
};

} // namespace

TEST_F(SFEventAdaptorSendTest, WithoutAnAgentAdaptorTheBatchComesBackAsFailed)
{
    Batch events = batchOf({"a", "b"});
    Batch failed = batchOf({"old"});
    EXPECT_FALSE(m_events->sendCEFEvent(events, failed));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(names(failed), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(m_logger.has(2, "Please wait for registration with Varnik Agent to be completed"));

    MsgBusEventData one("single", 2);
    EXPECT_FALSE(m_events->sendCEFEvent(one));
    EXPECT_EQ(one.getEventName(), "single");

    // Attached, then detached again: the same as never attached.
    m_events->setAgentAdaptor(m_agentAdaptor.get());
    m_events->setAgentAdaptor(m_agentAdaptor.get());
    m_events->setAgentAdaptor(nullptr);
    events = batchOf({"c"});
    EXPECT_FALSE(m_events->sendCEFEvent(events, failed));
    EXPECT_EQ(names(failed), (std::vector<std::string>{"c"}));
    EXPECT_TRUE(m_agent->sentEvents().empty());
}

TEST_F(SFEventAdaptorSendTest, UnmanagedOrSwitchedOffCountsAsHandledAndSendsNothing)
{
    m_events->setAgentAdaptor(m_agentAdaptor.get());
    m_config.setManagedMode(0);
    Batch events = batchOf({"a"});
    Batch failed = batchOf({"old"});
    EXPECT_TRUE(m_events->sendCEFEvent(events, failed));
    EXPECT_EQ(names(failed), (std::vector<std::string>{"old"}));
    EXPECT_TRUE(m_logger.lines().empty());

    m_config.setManagedMode(1);
    m_config.enableSendingEventsToYal(false);
    EXPECT_TRUE(m_events->sendCEFEvent(events, failed));
    EXPECT_EQ(names(failed), (std::vector<std::string>{"old"}));
    EXPECT_TRUE(m_logger.has(6, "Yal Event was not sent as it is disabled by configuration."));
    MsgBusEventData one("single", 2);
    EXPECT_TRUE(m_events->sendCEFEvent(one));
    EXPECT_TRUE(m_agent->sentEvents().empty());
}

TEST_F(SFEventAdaptorSendTest, ASendReachesTheAgentWithTheProductsIdentity)
{
    m_events->setAgentAdaptor(m_agentAdaptor.get());
    Batch events = batchOf({"18001", "18002"});
    Batch failed;
    EXPECT_TRUE(m_events->sendCEFEvent(events, failed));
    EXPECT_TRUE(failed.empty());
    MsgBusEventData one("18003", 2);
    EXPECT_TRUE(m_events->sendCEFEvent(one));

    const auto sent = m_agent->sentEvents();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& s : sent) {
        EXPECT_EQ(s.softwareId, "HVRT_FW_1060QUIL");
        EXPECT_EQ(s.productName, "Brevant Test");
        EXPECT_EQ(s.productVersion, "9.9.9");
    }
    EXPECT_EQ(sent[2].event.getEventName(), "18003");
    for (const char* name : {"18001", "18002", "18003"})
        EXPECT_TRUE(m_logger.has(6, std::string("Successfully sent Yal event - ") + name)) << name;
}

TEST_F(SFEventAdaptorSendTest, AgentFailuresAndExceptions)
{
    m_events->setAgentAdaptor(m_agentAdaptor.get());

    // The platform's exception: false and logged; what the agent already sorted stays sorted.
    sendMode(SendMode::Throw);
    Batch events = batchOf({"a", "b", "c", "d"});
    Batch failed;
    EXPECT_FALSE(m_events->sendCEFEvent(events, failed));
    EXPECT_EQ(names(failed), (std::vector<std::string>{"c", "d"}));
    ASSERT_EQ(m_agent->sentEvents().size(), 2u);
    EXPECT_TRUE(m_logger.has(2, "Exception happened while sending of product event: "
                                "The agent could not send the events"));
    EXPECT_EQ(m_logger.count(6), 0u); // nothing counts as sent on failure

    MsgBusEventData one("single", 2);
    EXPECT_FALSE(m_events->sendCEFEvent(one));

    // Any other exception passes through, and the lock goes with it.
    sendMode(SendMode::ThrowOther);
    events = batchOf({"e", "f"});
    EXPECT_THROW(m_events->sendCEFEvent(events, failed), std::runtime_error);
    EXPECT_THROW(m_events->sendCEFEvent(one), std::runtime_error);

    sendMode(SendMode::Fail);
    events = batchOf({"g"});
    failed.clear();
    EXPECT_FALSE(m_events->sendCEFEvent(events, failed));
    EXPECT_EQ(names(failed), (std::vector<std::string>{"g"}));

    sendMode(SendMode::Ok);
    events = batchOf({"h"});
    EXPECT_TRUE(m_events->sendCEFEvent(events, failed));
    EXPECT_TRUE(m_logger.has(6, "Successfully sent Yal event - h"));
}
