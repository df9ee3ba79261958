// Deleting the file-backed agent while its thread is inside a plug-in: the delete waits for the
// call, frees each kept plug-in once, and nothing is called afterwards; the blocked call holds
// no lock that other callers of the agent need.

#include "MsgBusEnterpriseAgent.h"

#include "FakeAgentPlugins.h"
#include "HangGuard.h"
#include "MsgBusEventData.h"
#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

using TestSupport::PluginProbe;
using TestSupport::writeFile;

TEST(MsgBusEnterpriseAgentConcurrencyTest, DeletingTheAgentWaitsForABlockedPluginCall)
{
    TestSupport::TempDir dir;
    setenv("TQ_AGENT_DIR", dir.path().c_str(), 1);
    writeFile(dir.file("agent.conf"), "poll_ms=5\nmanaged_mode=1\n");
    ASSERT_EQ(::mkdir(dir.file("policy.d").c_str(), 0700), 0);
    TestSupport::RecordingLogger logger;

    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    auto probe = std::make_shared<PluginProbe>();
    auto agent = std::make_unique<ZAV::MsgBusEnterpriseAgent>(logger, "HVRT_FW_1060QUIL", "YALAGENT3700QUIL",
                                                              true, ZAV::RQD_POLICY_ENFORCEMENT);
    std::unique_ptr<ZAV::IAgentPolicyEnforcement> policy = std::make_unique<TestSupport::FakePolicyPlugin>(
        probe, [&](const std::string&, const ZAV::ISectionsHandle&) {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            return true;
        });
    std::unique_ptr<ZAV::IAgentPropertyCollection> property = std::make_unique<TestSupport::FakePropertyPlugin>(probe);
    ASSERT_TRUE(agent->registerPolicyEnforcement(policy));
    ASSERT_TRUE(agent->registerPropertyCollection(property));
    writeFile(dir.file("policy.d/001.txt"), "section 8 FWStatus=1\n");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, TestSupport::kHangGuard, [&] { return entered; }));
    }

    // The agent stays usable while its thread is inside the plug-in.
    std::string mode;
    EXPECT_TRUE(agent->getAgentInformation(0, mode));
    std::vector<ZAV::MsgBusEventData> events{ZAV::MsgBusEventData("e", 2)}, failed, sent;
    EXPECT_TRUE(agent->sendCEFEvents("HVRT_FW_1060QUIL", "p", "v", events, failed, sent));

    // Requests that would reach the plug-ins if the agent lived on.
    writeFile(dir.file("policy.d/002.txt"), "section 8 FWStatus=2\n");
    writeFile(dir.file("collect.request"), "all=1\n");

    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        agent.reset();
        deleted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(deleted.load());
    EXPECT_EQ(probe->destroyed.load(), 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    deleter.join();
    EXPECT_TRUE(deleted.load());
    EXPECT_EQ(probe->destroyed.load(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(probe->calls(), (std::vector<std::string>{"policy HVRT_FW_1060QUIL"}));
    unsetenv("TQ_AGENT_DIR");
}
