// The stores on a file system that runs full and with another process holding the store lock:
// a failed write leaves the old store whole and no temporary file, the change is written once
// there is room again, and a writer waits for the lock. Runs in tests/sandbox, which gives this
// process its own mount namespace, so the small tmpfs below is seen by nobody else.

#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"

#include "CommonFunc.h"
#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFStoreCodec.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <list>
#include <memory>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::readFile;
using Values = std::vector<std::string>;

namespace {

using namespace TestSupport::model;

// A 64 KiB tmpfs on a fresh folder under /run (the sandbox's own tmpfs), filled and emptied on
// request; unmounted and removed when the object goes.
class TinyTmpfs {
public:
    TinyTmpfs()
    {
        char pattern[] = "/run/tqstore.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            m_problem = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        m_path = pattern;
        if (::mount("tmpfs", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") != 0) {
            m_problem = "mount tmpfs on " + m_path + ": " + std::strerror(errno);
            return;
        }
        m_mounted = true;
    }

    ~TinyTmpfs()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
        if (!m_path.empty())
            ::rmdir(m_path.c_str());
    }

    TinyTmpfs(const TinyTmpfs&) = delete;
    TinyTmpfs& operator=(const TinyTmpfs&) = delete;

    // Empty when the mount is ready.
    const std::string& problem() const { return m_problem; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    // Writes a filler file until the file system refuses with ENOSPC. False on any other error.
    bool fill()
    {
        const int fd = ::open(file(kFiller).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const std::vector<char> block(4096, 'f');
        int failure = 0;
        for (;;) {
            const ssize_t n = ::write(fd, block.data(), block.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failure = errno;
                break;
            }
        }
        ::close(fd);
        return failure == ENOSPC;
    }

    void freeSpace() { ::unlink(file(kFiller).c_str()); }

    // Names in the folder other than the filler, sorted.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        DIR* dir = ::opendir(m_path.c_str());
        if (!dir)
            return out;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != kFiller)
                out.push_back(name);
        }
        ::closedir(dir);
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    static constexpr const char* kFiller = "filler";
    std::string m_path;
    std::string m_problem;
    bool m_mounted = false;
};

// Holds lockf on path in a child process for holdMs milliseconds. The child reports through a
// pipe once it holds the lock, so the parent's timing starts with the lock surely taken.
class LockHolder {
public:
    LockHolder(const std::string& path, int holdMs)
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        m_child = fork();
        if (m_child == 0) {
            ::close(ready[0]);
            const int fd = ::open(path.c_str(), O_RDWR);
            if (fd < 0 || lockf(fd, F_LOCK, 0) != 0)
                _exit(1);
            const char byte = 'L';
            if (::write(ready[1], &byte, 1) != 1)
                _exit(2);
            ::usleep(static_cast<useconds_t>(holdMs) * 1000);
            _exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        ssize_t n;
        do {
            n = ::read(ready[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        m_locked = n == 1;
        ::close(ready[0]);
    }

    ~LockHolder() { exitStatus(); }

    bool locked() const { return m_locked; }

    // The child's exit status once it ends; -1 when it did not exit normally.
    int exitStatus()
    {
        if (m_child > 0) {
            int status = 0;
            while (waitpid(m_child, &status, 0) < 0 && errno == EINTR) {
            }
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_child = -1;
        }
        return m_status;
    }

private:
    pid_t m_child = -1;
    bool m_locked = false;
    int m_status = -1;
};

// One tmpfs per test, with the stores of both managers on it.
class SFStoreCrashSafetyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Before the mount: outside the sandbox it would land in the host's namespace.
        TQ_REQUIRE_SANDBOX();
        m_disk = std::make_unique<TinyTmpfs>();
        ASSERT_EQ(m_disk->problem(), "");
        m_config.set("GlobalConfiguration.TrustedIPStorePath", trustedStore());
        m_config.set("GlobalConfiguration.RuleStorePath", m_disk->file("rule.store"));
    }

    void TearDown() override
    {
        SFTrustedIPGroupManager::releaseInstance();
        SFRuleManager::releaseInstance();
        m_disk.reset();
    }

    std::string trustedStore() const { return m_disk->file("trusted.store"); }

    SFTrustedIPGroupManager& trustedManager()
    {
        m_config.set("GlobalConfiguration.ShouldTrustLocalSubnet", "0");
        return *SFTrustedIPGroupManager::getInstance(m_logger, m_config);
    }

    static int addAddress(SFTrustedIPGroupManager& manager, const char* address)
    {
        auto entry = std::make_unique<SFTrustedGroupIP>();
        entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        entry->setStartIp4Address(address);
        const int result = manager.addTrustedIP(entry.get());
        if (result == SF_SUCCESS)
            entry.release();
        return result;
    }

    // A trusted store holding address, written by a manager that is gone again.
    void writeTrustedStoreWith(const char* address)
    {
        auto& manager = trustedManager();
        ASSERT_EQ(addAddress(manager, address), SF_SUCCESS);
        ASSERT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
        SFTrustedIPGroupManager::releaseInstance();
    }

    std::unique_ptr<TinyTmpfs> m_disk;
    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeConfigController m_config;
};

TEST_F(SFStoreCrashSafetyTest, TrustedWriteOnFullDiskFailsCleanlyAndIsDoneOnceThereIsRoom)
{
    writeTrustedStoreWith("10.0.0.1");
    const std::string before = readFile(trustedStore());
    auto& manager = trustedManager();
    ASSERT_EQ(addAddress(manager, "10.0.0.2"), SF_SUCCESS);

    ASSERT_TRUE(m_disk->fill());
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_STORE_WRITE_FAILED);
    EXPECT_TRUE(m_logger.has(2, "Could not open Trusted IP list file"));
    EXPECT_EQ(readFile(trustedStore()), before);
    EXPECT_EQ(m_disk->names(), Values{"trusted.store"}); // no temporary file left

    m_disk->freeSpace();
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(trustedStore()), (Values{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(m_disk->names(), Values{"trusted.store"});
}

TEST_F(SFStoreCrashSafetyTest, TrustedStoreLoadsIntactAfterShutdownOnFullDisk)
{
    writeTrustedStoreWith("10.0.0.1");
    auto& manager = trustedManager();
    ASSERT_EQ(addAddress(manager, "10.0.0.2"), SF_SUCCESS);

    ASSERT_TRUE(m_disk->fill());
    SFTrustedIPGroupManager::releaseInstance(); // its final write fails
    m_disk->freeSpace();
    m_logger.clear();

    auto& next = trustedManager();
    EXPECT_FALSE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
    EXPECT_EQ(next.copyTrustedIPList().size(), 1u);
    EXPECT_EQ(storedValues(trustedStore()), Values{"10.0.0.1"});
    EXPECT_EQ(m_disk->names(), Values{"trusted.store"});
}

TEST_F(SFStoreCrashSafetyTest, TrustedWriteWaitsForAnotherProcessHoldingTheStoreLock)
{
    writeTrustedStoreWith("10.0.0.1");
    auto& manager = trustedManager();
    ASSERT_EQ(addAddress(manager, "10.0.0.2"), SF_SUCCESS);

    constexpr int kHoldMs = 300;
    LockHolder holder(trustedStore(), kHoldMs);
    ASSERT_TRUE(holder.locked());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);

    EXPECT_EQ(holder.exitStatus(), 0);
    // The child signals after taking the lock, then sleeps; allow for its start-up jitter.
    EXPECT_GE(waited.count(), kHoldMs - 100);
    EXPECT_EQ(storedValues(trustedStore()), (Values{"10.0.0.1", "10.0.0.2"}));
}

SFRule* clientRule(const char* name)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    rule->name = name;
    rule->action = FW_ACTION_ALLOW;
    return rule;
}

size_t clientRuleCount(SFRuleManager& manager)
{
    auto group = manager.copyGroup(CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID));
    return group ? group->rules.size() : 0;
}

TEST_F(SFStoreCrashSafetyTest, RuleWriteOnFullDiskFailsCleanlyAndTheOldStoreLoads)
{
    SFRuleManager& first = *SFRuleManager::getInstance(m_logger, m_config, true);
    const std::string before = readFile(m_disk->file("rule.store"));
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(first.addRule(clientRule("added while the disk is full")), SF_SUCCESS);

    ASSERT_TRUE(m_disk->fill());
    EXPECT_EQ(first.updateRuleStore(), SF_STORE_WRITE_FAILED);
    EXPECT_TRUE(m_logger.has(2, "Could not open Rule Store file"));
    EXPECT_EQ(readFile(m_disk->file("rule.store")), before);
    EXPECT_EQ(m_disk->names(), Values{"rule.store"});

    m_disk->freeSpace();
    SFRuleManager::releaseInstance();
    m_logger.clear();
    SFRuleManager& next = *SFRuleManager::getInstance(m_logger, m_config, true);
    EXPECT_FALSE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
    EXPECT_EQ(clientRuleCount(next), 4u); // the built-ins as stored; the new rule was not
    EXPECT_EQ(next.addRule(clientRule("added later")), SF_SUCCESS);
    EXPECT_EQ(next.updateRuleStore(), SF_SUCCESS);
    EXPECT_EQ(m_disk->names(), Values{"rule.store"});
}

TEST_F(SFStoreCrashSafetyTest, RuleWriteWaitsForAnotherProcessHoldingTheStoreLock)
{
    SFRuleManager& rules = *SFRuleManager::getInstance(m_logger, m_config, true);
    constexpr int kHoldMs = 300;
    LockHolder holder(m_disk->file("rule.store"), kHoldMs);
    ASSERT_TRUE(holder.locked());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(rules.updateRuleStore(), SF_SUCCESS);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    EXPECT_EQ(holder.exitStatus(), 0);
    EXPECT_GE(waited.count(), kHoldMs - 100);
}

} // namespace
