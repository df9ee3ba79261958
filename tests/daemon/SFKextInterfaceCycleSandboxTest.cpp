// The bridge's threads and chains over many enables, disables and mode switches with the real
// stack in the sandbox: every disable ends every thread and leaves iptables as it was,
// mode switches never double the adaptive chains, and a disable that meets a push of the
// health-check thread still leaves nothing behind.

#include "BridgeSandboxRig.h"

#include "HangGuard.h"
#include "QueuePacketFixtures.h"
#include "QueueSandboxRig.h"
#include "SFAdaptiveQueue.h"
#include "SFConfigController.h"
#include "SFController.h"
#include "SFRuleManager.h"
#include "SandboxGuard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace StatefulFirewall;
using namespace BridgeRig;

namespace {

const char* const kBaseline = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n";

// Each cycle costs most of a second in iptables runs, so the suite runs a share of the full
// counts; TQ_LONG_CYCLES=1 runs all of them (50 cycles, 20 disables during health pushes).
int rounds(int quick, int full)
{
    const char* longRun = std::getenv("TQ_LONG_CYCLES");
    return longRun != nullptr && std::string(longRun) == "1" ? full : quick;
}

class SFKextInterfaceCycleSandboxTest : public ::testing::Test {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }
};

// Threads one enabled firewall adds: the monitor's, reporting, health check and, with an
// enforced intrusion rule, the block-event queue; adaptive mode adds its queue, read and
// consume threads.
constexpr int kEnabledThreads = 4;
constexpr int kAdaptiveThreads = 3;

TEST_F(SFKextInterfaceCycleSandboxTest, ManyEnableDisableCyclesLeaveIptablesAndTheThreadsAsBefore)
{
    Stack stack(Settings{});
    addClientRule(stack.rules(), {"Report port 9999", FW_ACTION_BLOCK_PACKET, FW_DIRECTION_OUTBOUND,
                                  FW_MATCH_REMOTE_PORT, 9999, true});
    ASSERT_EQ(iptables("-S"), kBaseline);
    const int baseline = taskCount();

    const int cycles = rounds(20, 50);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        const bool adaptive = cycle % 2 == 1;
        stack.config().setFwMode(adaptive ? FW_MODE_ADAPTIVE : FW_MODE_REGULAR);
        stack.enable();
        EXPECT_EQ(taskCount(), baseline + kEnabledThreads + (adaptive ? kAdaptiveThreads : 0));

        // Only that the disable ends and leaves nothing behind: how long it takes depends on
        // the machine's load, and a disable that never ends cannot be timed at all.
        stack.disable();
        EXPECT_EQ(iptables("-S"), kBaseline);
        EXPECT_EQ(taskCount(), baseline);
        if (HasFailure())
            break;
    }
}

TEST_F(SFKextInterfaceCycleSandboxTest, ModeSwitchesKeepOneQueueChainAndOneRestoreRuleOnlyInAdaptiveMode)
{
    Stack stack(Settings{});
    stack.enable();
    const int enabled = taskCount();
    for (int change = 1; change <= 10; ++change) {
        SCOPED_TRACE(change);
        const bool adaptive = change % 2 == 1;
        stack.config().setFwMode(adaptive ? FW_MODE_ADAPTIVE : FW_MODE_REGULAR);
        stack.controller().sfPreferencesCallBack(SF_PREF_FW_MODE, stack.monitor());
        // Each switch is a push: one generation, of the new mode.
        const std::string uid = "_" + std::to_string(stack.generation());
        const std::string listing = iptables("-S");
        const size_t expected = adaptive ? 1 : 0;
        EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT_"), 1u) << listing;
        EXPECT_EQ(linesWith(listing, "-N QueueGroup"), expected) << listing;
        EXPECT_EQ(linesWith(listing, "-N QueueGroup" + uid), expected) << listing;
        EXPECT_EQ(linesWith(listing, "-A QTZ_INPUT" + uid + " -j CONNMARK --restore-mark"), expected) << listing;
        EXPECT_EQ(linesWith(listing, "-A QTZ_OUTPUT" + uid + " -j CONNMARK --restore-mark"), expected) << listing;
        EXPECT_EQ(linesWith(listing, "-j QueueGroup" + uid), 2 * expected) << listing;
        EXPECT_EQ(linesWith(listing, "--queue-num 1"), 2 * expected) << listing;
        EXPECT_EQ(taskCount(), enabled + (adaptive ? kAdaptiveThreads : 0));
    }
}

// A disable must win over a push the health-check thread has begun: the push either finishes
// before the clean-up or finds the firewall disabled, and never links a generation afterwards.
TEST_F(SFKextInterfaceCycleSandboxTest, DisablingWhileTheHealthCheckPushesLeavesOnlyTheAcceptPolicies)
{
    AlwaysChangedMonitor monitor;
    Settings settings;
    settings.healthCheckSecs = 1;
    Stack stack(settings, &monitor);
    const int baseline = taskCount();

    std::mutex mutex;
    std::condition_variable seen;
    int generationsStarted = 0;
    stack.utils().observe([&](const std::string& line) {
        if (line.rfind("-N QTZ_INPUT_", 0) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            ++generationsStarted;
            seen.notify_all();
        }
    });
    const int count = rounds(10, 20);
    for (int round = 0; round < count; ++round) {
        SCOPED_TRACE(round);
        int before = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = generationsStarted;
        }
        stack.enable();
        {
            // The enable's own push, then one by the health-check thread.
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(seen.wait_for(lock, TestSupport::kHangGuard,
                                      [&] { return generationsStarted >= before + 2; }));
        }
        stack.disable();
        EXPECT_EQ(iptables("-S"), kBaseline);
        EXPECT_EQ(taskCount(), baseline);
        if (HasFailure())
            break;
    }
    EXPECT_TRUE(stack.logger().has(5, "Network interface has detected changes. Hence enforcing the rules again"));
}

// A consume pass that learned a connection while a switch to regular mode held the driver runs
// after the regular generation is linked: it must leave that generation alone, never build the
// adaptive chains' marking and NEW accept lines into it, which would let in what no rule allows.
TEST_F(SFKextInterfaceCycleSandboxTest, AConsumePassHeldAtTheDriverLeavesALinkedRegularGenerationAlone)
{
    // Learning keeps connections to a local subnet only: the peer's link gives 10.0.0.5/24.
    ASSERT_EQ(QueueRig::shell("rig_up"), 0);
    struct RigDown {
        ~RigDown() { QueueRig::shell("rig_down"); }
    } rigDown;
    Settings settings;
    settings.mode = FW_MODE_ADAPTIVE;
    settings.aggregationSecs = 1;
    Stack stack(settings);
    stack.enable();

    // The switch's push stops at its first line, the driver held, until the pass waits for it.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
    stack.utils().observe([&](const std::string& line) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!held && line.rfind("-N QTZ_INPUT_", 0) == 0) {
            held = true;
            changed.notify_all();
            changed.wait_for(lock, 4 * TestSupport::kHangGuard, [&] { return released; });
        }
    });
    stack.config().setFwMode(FW_MODE_REGULAR);
    std::thread change([&] { stack.controller().sfPreferencesCallBack(SF_PREF_FW_MODE, stack.monitor()); });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, TestSupport::kHangGuard, [&] { return held; }));
    lock.unlock();
    // The reply to a connection the adaptive chains let in, as the queue thread records it.
    QueueFixtures::Message reply;
    reply.hook = NF_INET_LOCAL_OUT;
    reply.payload = QueueFixtures::ipv4(6, "10.0.0.5", "10.0.0.7", QueueFixtures::ports(22, 51000));
    QueueFixtures::RecordingVerdicts verdicts;
    SFAdaptiveQueue::queueHandler(QueueFixtures::header(QueueFixtures::craft(reply)), verdicts, stack.logger());
    const std::string learned = "Updating the adaptive rules as aggregation resulted in new adaptive rules";
    for (const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
         !stack.logger().has(5, learned) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lock.lock();
    released = true;
    changed.notify_all();
    lock.unlock();
    change.join();

    const std::string listing = iptables("-S");
    EXPECT_EQ(linesWith(listing, "-N QueueGroup"), 0u) << listing;
    EXPECT_EQ(linesWith(listing, "--state NEW -j ACCEPT"), 0u) << "the adaptive accept line in regular mode:\n" << listing;
    EXPECT_EQ(linesWith(listing, "-j MARK --set-xmark 0x1/"), 0u) << listing;
    EXPECT_TRUE(stack.logger().has(5, learned)) << "no pass learned the connection";
}

} // namespace
