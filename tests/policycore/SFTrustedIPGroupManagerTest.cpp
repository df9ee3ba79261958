// The trusted-network manager as the daemon sees it: the list after start-up for each setting and
// store state, the result codes and log lines of every list operation, and the bytes, mode and
// fate of the store file.

#include "SFTrustedIPGroupManager.h"

#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFResultCodes.h"
#include "SFStoreCodec.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::fileMode;
using TestSupport::readFile;
using TestSupport::writeFile;
using Values = std::vector<std::string>;

namespace {

using namespace TestSupport::model;

const char* const kStorePathKey = "GlobalConfiguration.TrustedIPStorePath";
const char* const kTrustSubnetKey = "GlobalConfiguration.ShouldTrustLocalSubnet";
const char* const kLocalSubnet = "NOT SET"; // value text of the local-subnet entry

std::unique_ptr<SFTrustedGroupIP> single(const char* address)
{
    auto entry = std::make_unique<SFTrustedGroupIP>();
    entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    entry->setStartIp4Address(address);
    return entry;
}

std::unique_ptr<SFTrustedGroupIP> range(const char* first, const char* last)
{
    auto entry = std::make_unique<SFTrustedGroupIP>();
    entry->type = FW_TRUSTED_ADDRESS_TYPE_IP_RANGE;
    entry->setStartIp4Address(first);
    entry->setEndIp4Address(last);
    return entry;
}

std::unique_ptr<SFTrustedGroupIP> cidr(const char* address, uint8_t prefix)
{
    auto entry = std::make_unique<SFTrustedGroupIP>();
    entry->type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
    entry->setCidrIPAddress(prefix, address);
    return entry;
}

std::unique_ptr<SFTrustedGroupIP> localSubnet()
{
    auto entry = std::make_unique<SFTrustedGroupIP>();
    entry->type = FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
    return entry;
}

// Store bytes holding these entries, as another run of the daemon would have written them.
std::string storeOf(std::vector<std::unique_ptr<SFTrustedGroupIP>> entries)
{
    std::list<SFTrustedGroupIP*> list;
    for (auto& entry : entries)
        list.push_back(entry.get());
    return encodeTrustedStore(list);
}

struct FileIdentity {
    ino_t inode = 0;
    timespec modified{};
};

FileIdentity identityOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_ino, st.st_mtim};
}

struct UmaskGuard {
    explicit UmaskGuard(mode_t mask) : old(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old); }
    mode_t old;
};

bool exists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

class SFTrustedIPGroupManagerTest : public ::testing::Test {
protected:
    void SetUp() override { m_config.set(kStorePathKey, store()); }
    void TearDown() override { SFTrustedIPGroupManager::releaseInstance(); }

    std::string store() const { return m_dir.file("trusted.store"); }

    SFTrustedIPGroupManager& start(bool trustLocalSubnet)
    {
        m_config.set(kTrustSubnetKey, trustLocalSubnet ? "1" : "0");
        return *SFTrustedIPGroupManager::getInstance(m_logger, m_config);
    }

    SFTrustedIPGroupManager& restart(bool trustLocalSubnet)
    {
        SFTrustedIPGroupManager::releaseInstance();
        m_logger.clear();
        return start(trustLocalSubnet);
    }

    // Hands the entry over when the manager takes it; a refused one stays in entry.
    static int add(SFTrustedIPGroupManager& manager, std::unique_ptr<SFTrustedGroupIP>& entry)
    {
        const int result = manager.addTrustedIP(entry.get());
        if (result == SF_SUCCESS)
            entry.release();
        return result;
    }

    static int add(SFTrustedIPGroupManager& manager, std::unique_ptr<SFTrustedGroupIP>&& entry)
    {
        return add(manager, entry);
    }

    static Values values(SFTrustedIPGroupManager& manager)
    {
        Values out;
        for (const SFTrustedGroupIP& entry : manager.copyTrustedIPList())
            out.push_back(entry.getTrustedIPValueString());
        return out;
    }

    bool persistWroteNothing(SFTrustedIPGroupManager& manager)
    {
        return manager.persistTrustedIPStore() == SF_SUCCESS &&
               m_logger.has(6, "Trusted IP list has not changed. No need to persist data to trusted store");
    }

    TestSupport::TempDir m_dir;
    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeConfigController m_config;
};

// ---- start-up: the setting against the state of the store -----------------------------------

TEST_F(SFTrustedIPGroupManagerTest, MissingStoreIsCreatedEmptyAndLocalSubnetEntryWrittenWhenTrusted)
{
    auto& manager = start(true);

    EXPECT_TRUE(m_logger.has(6, "Successfully created and updated permissions of the trusted store file"));
    EXPECT_EQ(readFile(store()), "");
    EXPECT_EQ(values(manager), Values{kLocalSubnet});

    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_TRUE(m_logger.has(6, "Updated the permissions of the Trusted IP list file"));
    EXPECT_EQ(storedValues(store()), Values{kLocalSubnet});
}

TEST_F(SFTrustedIPGroupManagerTest, MissingStoreWithoutTrustGivesEmptyListAndNothingToWrite)
{
    auto& manager = start(false);

    EXPECT_EQ(values(manager), Values{});
    EXPECT_TRUE(persistWroteNothing(manager));
    EXPECT_EQ(readFile(store()), "");
}

TEST_F(SFTrustedIPGroupManagerTest, EmptyStoreIsAReadErrorButIsNotKeptAsDamaged)
{
    for (bool trust : {true, false}) {
        SCOPED_TRACE(trust ? "trusted" : "not trusted");
        SFTrustedIPGroupManager::releaseInstance();
        m_logger.clear();
        writeFile(store(), "");

        auto& manager = start(trust);

        EXPECT_TRUE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
        EXPECT_FALSE(exists(store() + ".corrupt"));
        EXPECT_EQ(values(manager), trust ? Values{kLocalSubnet} : Values{});
        if (trust) {
            EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
            EXPECT_EQ(storedValues(store()), Values{kLocalSubnet});
        } else {
            EXPECT_TRUE(persistWroteNothing(manager));
            EXPECT_EQ(readFile(store()), "");
        }
    }
}

TEST_F(SFTrustedIPGroupManagerTest, StoredLocalSubnetEntryFollowsTheSetting)
{
    std::vector<std::unique_ptr<SFTrustedGroupIP>> entries;
    entries.push_back(single("10.0.0.1"));
    entries.push_back(localSubnet());
    writeFile(store(), storeOf(std::move(entries)));

    auto& off = start(false);
    EXPECT_TRUE(m_logger.has(6, "Trusted Local Subnet entry successfully deleted from trusted IP list.\n"));
    EXPECT_EQ(values(off), Values{"10.0.0.1"});
    EXPECT_EQ(off.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(store()), Values{"10.0.0.1"});

    auto& on = restart(true);
    EXPECT_EQ(values(on), (Values{"10.0.0.1", kLocalSubnet}));
    EXPECT_EQ(on.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(store()), (Values{"10.0.0.1", kLocalSubnet}));
}

TEST_F(SFTrustedIPGroupManagerTest, PersistRightAfterStartWithUnchangedSettingWritesNothing)
{
    std::vector<std::unique_ptr<SFTrustedGroupIP>> entries;
    entries.push_back(cidr("192.168.0.0", 16));
    entries.push_back(localSubnet());
    const std::string bytes = storeOf(std::move(entries));
    writeFile(store(), bytes);
    const FileIdentity before = identityOf(store());

    auto& manager = start(true);
    EXPECT_EQ(values(manager), (Values{"192.168.0.0/16", kLocalSubnet}));
    EXPECT_TRUE(persistWroteNothing(manager));

    const FileIdentity after = identityOf(store());
    EXPECT_EQ(readFile(store()), bytes);
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.modified.tv_sec, before.modified.tv_sec);
    EXPECT_EQ(after.modified.tv_nsec, before.modified.tv_nsec);
}

// ---- adding, deleting, flushing ---------------------------------------------------------------

TEST_F(SFTrustedIPGroupManagerTest, EqualEntryIsRefusedAndStaysWithTheCaller)
{
    auto& manager = start(false);
    EXPECT_EQ(manager.addTrustedIP(nullptr), SF_TRUSTED_IP_REFUSED);

    EXPECT_EQ(add(manager, single("10.0.0.1")), SF_SUCCESS);
    EXPECT_EQ(add(manager, range("10.0.0.1", "10.0.0.9")), SF_SUCCESS);
    EXPECT_EQ(add(manager, cidr("10.0.0.0", 8)), SF_SUCCESS);
    // Same address under another type is another network.
    EXPECT_EQ(add(manager, single("10.0.0.0")), SF_SUCCESS);

    // Refused entries stay in these pointers and are freed here (ASan reports a double free or
    // a leak otherwise).
    auto again = single("10.0.0.1");
    EXPECT_EQ(add(manager, again), SF_TRUSTED_IP_REFUSED);
    EXPECT_NE(again, nullptr);
    auto rangeAgain = range("10.0.0.1", "10.0.0.9");
    EXPECT_EQ(add(manager, rangeAgain), SF_TRUSTED_IP_REFUSED);
    auto cidrAgain = cidr("10.0.0.0", 8);
    EXPECT_EQ(add(manager, cidrAgain), SF_TRUSTED_IP_REFUSED);

    EXPECT_EQ(values(manager), (Values{"10.0.0.1", "10.0.0.1-10.0.0.9", "10.0.0.0/8", "10.0.0.0"}));
}

TEST_F(SFTrustedIPGroupManagerTest, SecondLocalSubnetEntryIsRefused)
{
    auto& manager = start(true);

    auto extra = localSubnet();
    EXPECT_EQ(add(manager, extra), SF_TRUSTED_IP_REFUSED);
    EXPECT_NE(extra, nullptr);

    EXPECT_EQ(manager.handleShouldTrustLocalSubnet(true), SF_TRUSTED_IP_REFUSED);
    EXPECT_TRUE(m_logger.has(6, "Preference value for trust local subnet turned ON so we need to "
                                "make and entry for it in trusted IP list"));
    EXPECT_TRUE(m_logger.has(6, "Trust Local Subnet entry already exists in Trusted IP list."));
    EXPECT_EQ(values(manager), Values{kLocalSubnet});
}

TEST_F(SFTrustedIPGroupManagerTest, LocalSubnetEntryIsRemovedOnlyOnce)
{
    auto& manager = start(true);
    ASSERT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);

    EXPECT_EQ(manager.handleShouldTrustLocalSubnet(false), SF_SUCCESS);
    EXPECT_EQ(manager.handleShouldTrustLocalSubnet(false), SF_TRUSTED_LIST_UNCHANGED);
    EXPECT_TRUE(m_logger.has(
        6, "Trust Local Subnet entry doesn't exist in Trusted IP list. So, can't delete it.\n"));
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(store()), Values{});
}

TEST_F(SFTrustedIPGroupManagerTest, DeleteCountsAddressEntriesOnlyAndRemovesTheFirstMatch)
{
    auto& manager = start(true); // the local-subnet entry comes first
    ASSERT_EQ(add(manager, single("10.0.0.1")), SF_SUCCESS);
    ASSERT_EQ(add(manager, range("10.0.0.1", "10.0.0.9")), SF_SUCCESS);
    ASSERT_EQ(add(manager, single("10.0.0.2")), SF_SUCCESS);

    EXPECT_EQ(manager.deleteTrustedIP("10.0.0.2"), SF_SUCCESS);
    EXPECT_TRUE(m_logger.has(6, "Trusted IP (10.0.0.2) found at 3 index in trusted IP list and "
                                "successfully deleted."));
    EXPECT_EQ(manager.deleteTrustedIP("10.0.0.1"), SF_SUCCESS);
    EXPECT_TRUE(m_logger.has(6, "Trusted IP (10.0.0.1) found at 1 index in trusted IP list and "
                                "successfully deleted."));

    EXPECT_EQ(values(manager), (Values{kLocalSubnet, "10.0.0.1-10.0.0.9"}));
}

TEST_F(SFTrustedIPGroupManagerTest, DeletingNotSetOrAnUnknownTextChangesNothing)
{
    auto& manager = start(true);
    ASSERT_EQ(add(manager, single("10.0.0.1")), SF_SUCCESS);
    ASSERT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);

    EXPECT_EQ(manager.deleteTrustedIP(kLocalSubnet), SF_TRUSTED_LIST_UNCHANGED);
    EXPECT_TRUE(m_logger.has(2, "Failed to delete IP NOT SET beacuse it not found in the Trusted IP list"));
    // Exact text only: no prefix or padding matches.
    EXPECT_EQ(manager.deleteTrustedIP("10.0.0.1 "), SF_TRUSTED_LIST_UNCHANGED);
    EXPECT_EQ(manager.deleteTrustedIP("10.0.0."), SF_TRUSTED_LIST_UNCHANGED);

    EXPECT_EQ(values(manager), (Values{kLocalSubnet, "10.0.0.1"}));
    EXPECT_TRUE(persistWroteNothing(manager));
}

TEST_F(SFTrustedIPGroupManagerTest, FlushKeepingLocalSubnetIsSeenAfterRestart)
{
    auto& manager = start(true);
    ASSERT_EQ(add(manager, single("10.0.0.1")), SF_SUCCESS);
    ASSERT_EQ(add(manager, cidr("172.16.0.0", 12)), SF_SUCCESS);
    ASSERT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);

    EXPECT_EQ(manager.flushTrustedIPList(true), SF_SUCCESS);
    EXPECT_TRUE(m_logger.has(6, "IP with value 10.0.0.1 deleted from trusted IP List"));
    EXPECT_TRUE(m_logger.has(6, "IP with value 172.16.0.0/12 deleted from trusted IP List"));
    EXPECT_EQ(values(manager), Values{kLocalSubnet});
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);

    EXPECT_EQ(values(restart(true)), Values{kLocalSubnet});
}

TEST_F(SFTrustedIPGroupManagerTest, FlushOfEverythingIncludesLocalSubnetAndAnEmptyListSucceeds)
{
    auto& manager = start(true);
    ASSERT_EQ(add(manager, single("10.0.0.1")), SF_SUCCESS);

    EXPECT_EQ(manager.flushTrustedIPList(false), SF_SUCCESS);
    EXPECT_EQ(values(manager), Values{});
    EXPECT_EQ(manager.flushTrustedIPList(false), SF_SUCCESS);
    EXPECT_EQ(manager.flushTrustedIPList(true), SF_SUCCESS);
}

TEST_F(SFTrustedIPGroupManagerTest, FlushLeavingTwoLocalSubnetEntriesFailsButItsRemovalsAreWritten)
{
    // Only an old store can hold two local-subnet entries: add refuses the second.
    std::vector<std::unique_ptr<SFTrustedGroupIP>> entries;
    entries.push_back(localSubnet());
    entries.push_back(single("10.0.0.1"));
    entries.push_back(localSubnet());
    writeFile(store(), storeOf(std::move(entries)));
    auto& manager = start(true);
    ASSERT_TRUE(persistWroteNothing(manager));

    EXPECT_EQ(manager.flushTrustedIPList(true), SF_TRUSTED_LIST_UNCHANGED);
    EXPECT_TRUE(m_logger.has(2, "failed to delete some of the trusted IPs\n"));
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(store()), (Values{kLocalSubnet, kLocalSubnet}));
}

// Every kind of change, each followed by the update the tool sends: the store then holds the
// list, and a new manager on the same file loads it with nothing left to write. A change that
// forgets to mark the list changed is written by nobody and comes back at the next start.
TEST_F(SFTrustedIPGroupManagerTest, EveryUpdatedChangeIsWhatTheNextStartLoads)
{
    struct Step {
        const char* name;
        std::function<int(SFTrustedIPGroupManager&)> change;
        bool trustLocalSubnet; // the setting from this step on
        Values expected;
    };
    const std::vector<Step> steps = {
        {"add a single address", [](auto& m) { return add(m, single("10.0.0.1")); }, true,
         {kLocalSubnet, "10.0.0.1"}},
        {"add a range", [](auto& m) { return add(m, range("10.0.1.1", "10.0.1.9")); }, true,
         {kLocalSubnet, "10.0.0.1", "10.0.1.1-10.0.1.9"}},
        {"add a network", [](auto& m) { return add(m, cidr("172.16.0.0", 12)); }, true,
         {kLocalSubnet, "10.0.0.1", "10.0.1.1-10.0.1.9", "172.16.0.0/12"}},
        {"delete the first address", [](auto& m) { return m.deleteTrustedIP("10.0.0.1"); }, true,
         {kLocalSubnet, "10.0.1.1-10.0.1.9", "172.16.0.0/12"}},
        {"delete the network", [](auto& m) { return m.deleteTrustedIP("172.16.0.0/12"); }, true,
         {kLocalSubnet, "10.0.1.1-10.0.1.9"}},
        {"stop trusting the local subnet", [](auto& m) { return m.handleShouldTrustLocalSubnet(false); },
         false, {"10.0.1.1-10.0.1.9"}},
        {"trust the local subnet again", [](auto& m) { return m.handleShouldTrustLocalSubnet(true); },
         true, {"10.0.1.1-10.0.1.9", kLocalSubnet}},
        {"flush all but the local subnet", [](auto& m) { return m.flushTrustedIPList(true); }, true,
         {kLocalSubnet}},
    };
    SFTrustedIPGroupManager* manager = &start(true);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        m_config.set(kTrustSubnetKey, step.trustLocalSubnet ? "1" : "0");
        ASSERT_EQ(step.change(*manager), SF_SUCCESS);
        ASSERT_EQ(manager->persistTrustedIPStore(), SF_SUCCESS);
        EXPECT_EQ(storedValues(store()), step.expected);

        manager = &restart(step.trustLocalSubnet);
        EXPECT_EQ(values(*manager), step.expected);
        EXPECT_TRUE(persistWroteNothing(*manager));
    }
}

// ---- the store file ---------------------------------------------------------------------------

TEST_F(SFTrustedIPGroupManagerTest, StoreIsAWideArchiveOfFourBytesPerCharacterWithHeader13)
{
    auto& manager = start(false);
    ASSERT_EQ(add(manager, single("10.1.2.3")), SF_SUCCESS);
    ASSERT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);

    const std::string bytes = readFile(store());
    std::string header;
    for (char c : std::string("22 serialization::archive 13 "))
        header += std::string{c, '\0', '\0', '\0'};
    EXPECT_EQ(bytes.size() % 4, 0u);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    EXPECT_EQ(storedValues(store()), Values{"10.1.2.3"});
}

TEST_F(SFTrustedIPGroupManagerTest, ReleaseWritesAChangedList)
{
    auto& manager = start(false);
    ASSERT_EQ(add(manager, range("192.168.1.10", "192.168.1.20")), SF_SUCCESS);

    SFTrustedIPGroupManager::releaseInstance();

    EXPECT_EQ(storedValues(store()), Values{"192.168.1.10-192.168.1.20"});
}

TEST_F(SFTrustedIPGroupManagerTest, StoreIsWrittenWithMode0600UnderUmask022)
{
    const UmaskGuard mask(022);
    writeFile(store(), storeOf({}));
    ASSERT_EQ(::chmod(store().c_str(), 0644), 0);

    auto& manager = start(true);
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(fileMode(store()), 0600);

    ::unlink(store().c_str());
    restart(false);
    EXPECT_EQ(fileMode(store()), 0600); // created empty at start
}

TEST_F(SFTrustedIPGroupManagerTest, DamagedStoreIsKeptAsideAndAFreshOneWritten)
{
    std::vector<std::unique_ptr<SFTrustedGroupIP>> entries;
    entries.push_back(single("10.0.0.1"));
    entries.push_back(cidr("10.8.0.0", 16));
    const std::string good = storeOf(std::move(entries));
    std::string newerVersion = good;
    newerVersion[27 * 4] = '9'; // "...archive 19"

    const std::pair<const char*, std::string> damaged[] = {
        {"cut short", good.substr(0, good.size() / 8 * 4)},
        {"narrow text", "22 serialization::archive 13 0 0 1 0 0 1 10.0.0.1"},
        {"not a multiple of 4 bytes", good + "x"},
        {"archive version above 18", newerVersion},
    };
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        SFTrustedIPGroupManager::releaseInstance();
        m_logger.clear();
        ::unlink((store() + ".corrupt").c_str());
        writeFile(store(), bytes);

        auto& manager = start(true);

        EXPECT_TRUE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
        EXPECT_TRUE(m_logger.has(2, "Damaged trusted store kept as " + store() + ".corrupt"));
        EXPECT_EQ(readFile(store() + ".corrupt"), bytes);
        EXPECT_EQ(values(manager), Values{kLocalSubnet});
        EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
        EXPECT_EQ(storedValues(store()), Values{kLocalSubnet});
        EXPECT_EQ(readFile(store() + ".corrupt"), bytes);
    }
}

TEST_F(SFTrustedIPGroupManagerTest, FailedWriteAnswers150001AndIsRetriedByTheNextPersist)
{
    // A folder that does not exist yet: the file can be neither created nor written.
    const std::string folder = m_dir.file("later");
    m_config.set(kStorePathKey, folder + "/trusted.store");
    auto& manager = start(true);
    EXPECT_TRUE(m_logger.has(6, "Unable to create the trusted store file"));

    EXPECT_EQ(manager.persistTrustedIPStore(), SF_STORE_WRITE_FAILED);
    EXPECT_TRUE(m_logger.has(2, "Could not open Trusted IP list file"));

    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    EXPECT_EQ(manager.persistTrustedIPStore(), SF_SUCCESS);
    EXPECT_EQ(storedValues(folder + "/trusted.store"), Values{kLocalSubnet});
}

} // namespace
