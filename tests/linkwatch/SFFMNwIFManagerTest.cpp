#include "SFFMNwIFManager.h"

#include "HangGuard.h"
#include "RecordingLogger.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using StatefulFirewall::SFFMNwIFManager;

namespace {

// Runs `ip` with these arguments; its exit status, or -1 when it could not be run.
int runIp(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A bridge without ports: the dummy link type is not built into every test kernel.
void addInterface(const std::string& name)
{
    ASSERT_EQ(runIp({"link", "add", name, "type", "bridge"}), 0);
    ASSERT_EQ(runIp({"link", "set", name, "up"}), 0);
}

void addAddress(const std::string& address, const std::string& device)
{
    ASSERT_EQ(runIp({"addr", "add", address, "dev", device}), 0);
}

void removeAddress(const std::string& address, const std::string& device)
{
    ASSERT_EQ(runIp({"addr", "del", address, "dev", device}), 0);
}

bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

int threadCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 2;
}

class SFFMNwIFManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        addInterface("tqd0");
        addAddress("10.88.1.1/24", "tqd0");
        m_manager = std::make_unique<SFFMNwIFManager>(m_logger);
        // The flag is process-wide: a change seen by an earlier test's run must not leak in.
        m_manager->hasNetworkChanged();
    }

    void TearDown() override
    {
        m_manager.reset();
        runIp({"link", "del", "tqd0"});
        runIp({"link", "del", "tqd1"});
    }

    TestSupport::RecordingLogger m_logger;
    std::unique_ptr<SFFMNwIFManager> m_manager;
};

TEST_F(SFFMNwIFManagerTest, StartReturnsWithTablesOfConfiguredAddresses)
{
    ASSERT_TRUE(m_manager->startSFFMNwIFManager());

    using Map = std::map<std::string, std::string>;
    // The loopback interface's 127.0.0.1/8 is left out of every table.
    EXPECT_EQ(m_manager->getUniqueSubnets(), (Map{{"10.88.1.0/24", "tqd0"}}));
    EXPECT_EQ(m_manager->getUniqueIpAddresses(), (Map{{"10.88.1.1", "tqd0"}}));
    EXPECT_EQ(m_manager->getUniqueNetworksVsBroadcast(), (Map{{"10.88.1.0/24", "10.88.1.255"}}));
    // The first picture of a run is not a change.
    EXPECT_FALSE(m_manager->hasNetworkChanged());
    EXPECT_TRUE(m_logger.has(6, "Adding loopback interface index to ignored list - 1"));
}

TEST_F(SFFMNwIFManagerTest, AddingAndRemovingAnAddressSetsChangedFlagOnce)
{
    ASSERT_TRUE(m_manager->startSFFMNwIFManager());

    addAddress("10.88.2.1/24", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->hasNetworkChanged(); }));
    EXPECT_FALSE(m_manager->hasNetworkChanged());
    EXPECT_EQ(m_manager->getUniqueSubnets().count("10.88.2.0/24"), 1u);
    EXPECT_TRUE(m_logger.has(6, "Detected addition of Ip Address"));

    // A second address in a known network changes the address table only.
    addAddress("10.88.2.2/24", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->hasNetworkChanged(); }));
    EXPECT_EQ(m_manager->getUniqueIpAddresses().count("10.88.2.2"), 1u);
    EXPECT_EQ(m_manager->getUniqueSubnets().size(), 2u);

    // A /32 is its own network and broadcast address.
    addAddress("10.88.5.7/32", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->hasNetworkChanged(); }));
    EXPECT_EQ(m_manager->getUniqueNetworksVsBroadcast().at("10.88.5.7/32"), "10.88.5.7");

    removeAddress("10.88.2.2/24", "tqd0");
    removeAddress("10.88.2.1/24", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->getUniqueSubnets().count("10.88.2.0/24") == 0; }));
    EXPECT_TRUE(m_manager->hasNetworkChanged());
    EXPECT_FALSE(m_manager->hasNetworkChanged());
    EXPECT_EQ(m_manager->getUniqueIpAddresses().count("10.88.2.1"), 0u);
}

TEST_F(SFFMNwIFManagerTest, SameAddressOnTwoInterfacesSurvivesRemovalFromOne)
{
    addInterface("tqd1");
    addAddress("10.88.3.1/24", "tqd0");
    addAddress("10.88.3.1/24", "tqd1");
    ASSERT_TRUE(m_manager->startSFFMNwIFManager());
    ASSERT_EQ(m_manager->getUniqueIpAddresses().count("10.88.3.1"), 1u);

    removeAddress("10.88.3.1/24", "tqd1");
    // Notifications are handled in order: once this later change shows, the removal has been
    // handled too.
    addAddress("10.88.4.1/24", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->getUniqueSubnets().count("10.88.4.0/24") == 1; }));

    EXPECT_EQ(m_manager->getUniqueIpAddresses().count("10.88.3.1"), 1u);
    EXPECT_EQ(m_manager->getUniqueSubnets().count("10.88.3.0/24"), 1u);
}

TEST_F(SFFMNwIFManagerTest, StartAfterStopReadsTheAddressesAgain)
{
    EXPECT_TRUE(m_manager->stopSFFMNwIFManager()); // never started
    ASSERT_TRUE(m_manager->startSFFMNwIFManager());
    ASSERT_TRUE(m_manager->stopSFFMNwIFManager());

    // Changes while stopped show in the next run's first picture, removals included.
    addAddress("10.88.6.1/24", "tqd0");
    removeAddress("10.88.1.1/24", "tqd0");
    ASSERT_TRUE(m_manager->startSFFMNwIFManager());
    EXPECT_EQ(m_manager->getUniqueSubnets(), (std::map<std::string, std::string>{{"10.88.6.0/24", "tqd0"}}));
    EXPECT_FALSE(m_manager->hasNetworkChanged());

    // And the new run follows notifications.
    addAddress("10.88.7.1/24", "tqd0");
    ASSERT_TRUE(eventually([&] { return m_manager->hasNetworkChanged(); }));
    EXPECT_EQ(m_manager->getUniqueSubnets().count("10.88.7.0/24"), 1u);
}

TEST_F(SFFMNwIFManagerTest, RunsLeaveNoThreadOrDescriptorBehind)
{
    const int threads = threadCount();
    const int descriptors = TestSupport::openDescriptorCount();

    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(m_manager->startSFFMNwIFManager());
        // A second start while monitoring starts no second thread.
        ASSERT_TRUE(m_manager->startSFFMNwIFManager());
        EXPECT_EQ(threadCount(), threads + 1);
        ASSERT_TRUE(m_manager->stopSFFMNwIFManager());
    }
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(TestSupport::openDescriptorCount(), descriptors);

    // The destructor stops and joins a run that was never stopped.
    {
        SFFMNwIFManager other(m_logger);
        ASSERT_TRUE(other.startSFFMNwIFManager());
        EXPECT_EQ(threadCount(), threads + 1);
    }
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(TestSupport::openDescriptorCount(), descriptors);
    EXPECT_TRUE(m_logger.has(6, "Closing Netlink socket"));
}

} // namespace
