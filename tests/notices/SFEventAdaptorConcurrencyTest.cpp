// The event adaptor's lock: a detach waits for a send that is inside the agent, and attaching
// the same adaptor from several threads while sends run is safe.

#include "SFEventAdaptor.h"

#include "FakeAgentPlugins.h"
#include "FakeConfigController.h"
#include "MsgBusEventData.h"
#include "RecordingLogger.h"
#include "SFAgentAdaptor.h"
#include "StandInAgent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

using StatefulFirewall::SFAgentAdaptor;
using StatefulFirewall::SFEventAdaptor;
using ZAV::MsgBusEventData;
using Batch = std::vector<MsgBusEventData>;

namespace {

// An agent whose send says when it has started, blocks until released, and numbers its end in
// the shared order.
class GateAgent : public ZAV::StandInAgent {
public:
    GateAgent(ZAV::ILogger& logger, std::atomic<int>& order)
        : StandInAgent(logger, "HVRT_FW_1060QUIL"), m_order(order) {}

    bool sendCEFEvents(std::string softwareId, std::string productName, std::string productVersion,
                       Batch& events, Batch& failed, Batch& sent) override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_entered = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_released; });
        }
        const bool result = StandInAgent::sendCEFEvents(softwareId, productName, productVersion, events,
                                                        failed, sent);
        m_ended = ++m_order;
        return result;
    }

    int ended() const { return m_ended; }

    void awaitEntered()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_entered; });
    }

    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_released = false;
    std::atomic<int>& m_order;
    std::atomic<int> m_ended{0};
};

std::unique_ptr<SFAgentAdaptor> adaptorOver(ZAV::ILogger& logger, std::unique_ptr<ZAV::IEnterpriseAgent> agent)
{
    auto probe = std::make_shared<TestSupport::PluginProbe>();
    return std::make_unique<SFAgentAdaptor>(logger, std::move(agent),
                                            std::make_unique<TestSupport::FakePolicyPlugin>(probe),
                                            std::make_unique<TestSupport::FakePropertyPlugin>(probe),
                                            std::make_unique<TestSupport::FakeAgentInfo>(probe));
}

} // namespace

TEST(SFEventAdaptorConcurrencyTest, DetachWaitsForASendInsideTheAgent)
{
    TestSupport::RecordingLogger logger;
    TestSupport::FakeConfigController config;
    config.setManagedMode(1);
    std::atomic<int> order{0};
    auto owned = std::make_unique<GateAgent>(logger, order);
    GateAgent* agent = owned.get();
    auto agentAdaptor = adaptorOver(logger, std::move(owned));
    SFEventAdaptor events(logger, config);
    events.setAgentAdaptor(agentAdaptor.get());

    int detachDone = 0;
    bool sendResult = false;
    std::thread sender([&] {
        Batch batch{MsgBusEventData("18001", 2)};
        Batch failed;
        sendResult = events.sendCEFEvent(batch, failed);
    });
    agent->awaitEntered();
    std::thread detacher([&] {
        events.setAgentAdaptor(nullptr);
        detachDone = ++order;
    });
    // Give the detach every chance to get through if the lock did not hold it back.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(order.load(), 0);
    agent->release();
    sender.join();
    detacher.join();
    EXPECT_TRUE(sendResult);
    EXPECT_EQ(agent->ended(), 1);
    EXPECT_EQ(detachDone, 2); // the detach returned only after the agent call ended

    // After the detach no send reaches the old adaptor.
    Batch batch{MsgBusEventData("18002", 2)};
    Batch failed;
    EXPECT_FALSE(events.sendCEFEvent(batch, failed));
    EXPECT_EQ(agent->sentEvents().size(), 1u);
}

TEST(SFEventAdaptorConcurrencyTest, RepeatedAttachFromSeveralThreadsWhileSending)
{
    TestSupport::RecordingLogger logger;
    TestSupport::FakeConfigController config;
    config.setManagedMode(1);
    auto owned = std::make_unique<ZAV::StandInAgent>(logger, "HVRT_FW_1060QUIL");
    ZAV::StandInAgent* agent = owned.get();
    auto agentAdaptor = adaptorOver(logger, std::move(owned));
    SFEventAdaptor events(logger, config);

    constexpr int kSends = 200;
    std::atomic<bool> stop{false};
    std::vector<std::thread> attachers;
    for (int i = 0; i < 3; ++i)
        attachers.emplace_back([&] {
            while (!stop)
                events.setAgentAdaptor(agentAdaptor.get());
        });
    int sentOrFailed = 0;
    for (int i = 0; i < kSends; ++i) {
        Batch batch{MsgBusEventData("e", 2)};
        Batch failed;
        events.sendCEFEvent(batch, failed);
        sentOrFailed += static_cast<int>(failed.size());
    }
    stop = true;
    for (auto& t : attachers)
        t.join();
    EXPECT_EQ(sentOrFailed + static_cast<int>(agent->sentEvents().size()), kSends);
}
