// The bridge against the daemon's own store code: the same bytes as the managers write, stores
// the managers load back, and how the output file is replaced.

#include "TqStoreBridgeRules.h"
#include "TqStoreBridgeTrustedIP.h"

#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFResultCodes.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"
#include "SFTrustedIPGroupManager.h"
#include "TempDir.h"

#include <boost/archive/text_oarchive.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace StatefulFirewall;
using TestSupport::fileMode;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const char* const kOldContent = "previous content";
// The user group of the golden rule store: rules with every match kind and format.
const GUID kOffice = TestSupport::model::idOf("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");

std::string golden(const char* name)
{
    return readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/" + name);
}

// The golden trusted store's entries: a single address, a range, a CIDR network and the local
// subnet.
struct GoldenTrusted {
    GoldenTrusted() { decodeTrustedStore(golden("trustedip-store.data"), entries); }
    ~GoldenTrusted()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
    std::list<SFTrustedGroupIP*> entries;
};

// Every archived field of a group, its matches and rules.
std::string groupText(const SFRuleGroup& group)
{
    std::ostringstream out;
    boost::archive::text_oarchive archive(out, boost::archive::no_header);
    archive << group;
    return out.str();
}

std::vector<std::string> folderEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs save with standard error captured.
template <class Save> std::pair<int, std::string> captured(Save save)
{
    std::ostringstream err;
    std::streambuf* old = std::cerr.rdbuf(err.rdbuf());
    const int result = save();
    std::cerr.rdbuf(old);
    return {result, err.str()};
}

class TqStoreBridgeTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        SFRuleManager::releaseInstance();
        SFTrustedIPGroupManager::releaseInstance();
    }

    TestSupport::TempDir m_dir;
    TestSupport::FakeConfigController m_config;
    TestSupport::RecordingLogger m_logger;
};

// ---- round trips through the daemon's store code --------------------------------------------

TEST_F(TqStoreBridgeTest, RuleStoreIsTheDaemonsOwnBytesAndLoadsBackEqual)
{
    std::string daemonPath = m_dir.file("daemon-rules.data");
    std::string bridgePath = m_dir.file("bridge-rules.data");
    SFRuleTable table;
    decodeRuleStore(golden("rule-store.data"), table);
    ASSERT_EQ(0, TqStoreBridgeRules().saveRuleStore(table, bridgePath));
    EXPECT_EQ(readFile(bridgePath), golden("rule-store.data"));

    // The daemon's writer on its own live table (the golden one with its built-ins added).
    writeFile(daemonPath, golden("rule-store.data"));
    m_config.set("GlobalConfiguration.RuleStorePath", daemonPath);
    SFRuleManager& daemon = *SFRuleManager::getInstance(m_logger, m_config, true);
    ASSERT_EQ(SF_SUCCESS, daemon.updateRuleStore());
    ASSERT_EQ(0, TqStoreBridgeRules().saveRuleStore(daemon.m_ruleTable, bridgePath));
    const std::string bytes = readFile(bridgePath);
    EXPECT_EQ(bytes, readFile(daemonPath));
    EXPECT_EQ(bytes.rfind("22 serialization::archive 13 ", 0), 0u);
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.back(), '\n');

    SFRuleManager::releaseInstance();
    m_config.set("GlobalConfiguration.RuleStorePath", bridgePath);
    SFRuleManager& loaded = *SFRuleManager::getInstance(m_logger, m_config, true);
    EXPECT_FALSE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
    const auto back = loaded.copyGroup(kOffice);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(groupText(*back), groupText(*table.findGroup(kOffice)));
}

TEST_F(TqStoreBridgeTest, TrustedStoreIsWideAndTheTrustedManagerLoadsIt)
{
    std::string bridgePath = m_dir.file("bridge-trusted.data");
    std::string daemonPath = m_dir.file("daemon-trusted.data");
    GoldenTrusted sample;
    ASSERT_EQ(0, TqStoreBridgeTrustedIP().saveTrustedIPStore(sample.entries, bridgePath));
    const std::string bytes = readFile(bridgePath);
    // 4 bytes per character: "2" then three zero bytes. A narrow file would load as nothing.
    EXPECT_EQ(bytes.substr(0, 8), std::string("2\0\0\0" "2\0\0\0", 8));
    EXPECT_EQ(bytes, golden("trustedip-store.data"));

    m_config.set("GlobalConfiguration.TrustedIPStorePath", bridgePath);
    m_config.set("GlobalConfiguration.ShouldTrustLocalSubnet", "1");
    SFTrustedIPGroupManager& manager = *SFTrustedIPGroupManager::getInstance(m_logger, m_config);
    EXPECT_FALSE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
    std::vector<std::string> values;
    for (const SFTrustedGroupIP& entry : manager.copyTrustedIPList())
        values.push_back(entry.getTrustedIPValueString());
    EXPECT_EQ(values, (std::vector<std::string>{"192.168.1.10", "10.0.0.1-10.0.0.254",
                                                "192.168.1.0/24", "NOT SET"}));
    ASSERT_TRUE(manager.persistTrustedStore(daemonPath));
    EXPECT_EQ(bytes, readFile(daemonPath));
}

// ---- the output file ------------------------------------------------------------------------

TEST_F(TqStoreBridgeTest, ExistingOutputIsReplacedWholeKeepingItsModeAndLink)
{
    GoldenTrusted sample;
    const std::string target = m_dir.file("target.data");
    std::string link = m_dir.file("link.data");
    writeFile(target, kOldContent);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    ASSERT_EQ(0, TqStoreBridgeTrustedIP().saveTrustedIPStore(sample.entries, link));
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)); // the file it names was replaced, not the link
    EXPECT_EQ(readFile(target), encodeTrustedStore(sample.entries));
    EXPECT_EQ(fileMode(target), 0640);
    EXPECT_EQ(folderEntries(m_dir.path()), (std::vector<std::string>{"link.data", "target.data"}));
}

// Regression: replacing an existing output handed it to the migrating account (root).
TEST_F(TqStoreBridgeTest, ExistingOutputKeepsItsOwnerAndGroup)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner needs root";
    GoldenTrusted sample;
    std::string output = m_dir.file("owned.data");
    writeFile(output, kOldContent);
    ASSERT_EQ(::chown(output.c_str(), 4321, 8765), 0);
    ASSERT_EQ(::chmod(output.c_str(), 0640), 0);

    ASSERT_EQ(0, TqStoreBridgeTrustedIP().saveTrustedIPStore(sample.entries, output));
    struct stat st {};
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(output), encodeTrustedStore(sample.entries));
}

TEST_F(TqStoreBridgeTest, UnusableOutputGivesTheOpenFailureLineAndChangesNothing)
{
    SFRuleTable empty;
    std::string missingFolder = m_dir.file("no/such/folder/rules.data");
    auto result =
        captured([&] { return TqStoreBridgeRules().saveRuleStore(empty, missingFolder); });
    EXPECT_EQ(result.first, 1);
    EXPECT_EQ(result.second, "Unable to open output file to migrate rule store\n");

    // A directory in the output's place is not written into or replaced.
    std::string folder = m_dir.file("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    std::list<SFTrustedGroupIP*> none;
    result = captured([&] { return TqStoreBridgeTrustedIP().saveTrustedIPStore(none, folder); });
    EXPECT_EQ(result.first, 1);
    EXPECT_EQ(result.second, "Unable to open output file to migrate trustedip store\n");
    EXPECT_EQ(folderEntries(m_dir.path()), std::vector<std::string>{"folder"});
}

} // namespace
