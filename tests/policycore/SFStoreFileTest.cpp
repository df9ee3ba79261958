// How a store file is replaced, locked and set aside, as another process or the administrator
// sees it: links stay links, owner and group stay, a reader that waited for the lock reads
// the last write, crashed writes leave nothing behind after a start, damaged copies pile up
// instead of replacing each other, and the content is flushed before the rename.

#include "SFStoreFile.h"

#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFResultCodes.h"
#include "SFRuleManager.h"
#include "SFStoreCodec.h"
#include "SFTrustedIPGroupManager.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <list>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::readFile;
using TestSupport::writeFile;
using Values = std::vector<std::string>;

namespace {

using namespace TestSupport::model;

bool isLink(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string trustedStoreWith(const char* address)
{
    std::list<SFTrustedGroupIP*> list;
    auto* entry = new SFTrustedGroupIP();
    entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    entry->setStartIp4Address(address);
    list.push_back(entry);
    const std::string bytes = encodeTrustedStore(list);
    delete entry;
    return bytes;
}

class SFStoreFileTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        SFTrustedIPGroupManager::releaseInstance();
        SFRuleManager::releaseInstance();
    }

    SFTrustedIPGroupManager& startTrusted(const std::string& path)
    {
        m_config.set("GlobalConfiguration.TrustedIPStorePath", path);
        m_config.set("GlobalConfiguration.ShouldTrustLocalSubnet", "0");
        return *SFTrustedIPGroupManager::getInstance(m_logger, m_config);
    }

    SFRuleManager& startRules(const std::string& path)
    {
        m_config.set("GlobalConfiguration.RuleStorePath", path);
        return *SFRuleManager::getInstance(m_logger, m_config, true);
    }

    TestSupport::TempDir m_dir;
    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeConfigController m_config;
};

TEST_F(SFStoreFileTest, WritesAndSetAsideGoThroughALinkThatStaysALink)
{
    const std::string target = m_dir.file("real.store");
    const std::string link = m_dir.file("linked.store");
    writeFile(target, "old");
    ASSERT_EQ(::symlink("real.store", link.c_str()), 0); // relative, as an administrator makes it

    std::string error;
    ASSERT_TRUE(SFStoreFile(link).replace("new", error)) << error;
    EXPECT_TRUE(isLink(link));
    EXPECT_EQ(readFile(target), "new");

    // A damaged store behind the link: the file it names is set aside, the link stays and
    // the next write lands in the named file again.
    std::string kept;
    ASSERT_TRUE(SFStoreFile(link).keepAsCorrupt(kept, error)) << error;
    EXPECT_EQ(kept, m_dir.path() + "/real.store.corrupt");
    EXPECT_EQ(readFile(kept), "new");
    EXPECT_TRUE(isLink(link));
    ASSERT_TRUE(SFStoreFile(link).replace("fresh", error)) << error;
    EXPECT_TRUE(isLink(link));
    EXPECT_EQ(readFile(target), "fresh");
}

TEST_F(SFStoreFileTest, ReplacedStoreKeepsItsOwnerAndGroupAndBecomesPrivate)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner needs root";
    const std::string path = m_dir.file("owned.store");
    writeFile(path, "old");
    ASSERT_EQ(::chown(path.c_str(), 4321, 8765), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    std::string error;
    ASSERT_TRUE(SFStoreFile(path).replace("new", error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 0600u); // the daemon's stores are private whatever they were
    EXPECT_EQ(readFile(path), "new");
}

// Regression: a process that waited for the lock while another replaced the store read the
// file it had opened before the replacement, and so loaded the old entries.
TEST_F(SFStoreFileTest, ReaderThatWaitedForTheLockLoadsTheReplacedStore)
{
    const std::string path = m_dir.file("trusted.store");
    writeFile(path, trustedStoreWith("10.0.0.1"));
    const std::string replacement = trustedStoreWith("10.0.0.2");

    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds the lock, lets the parent start waiting, then replaces the file the way the
        // daemon does and releases the lock by exiting.
        SFStoreFile file(path);
        std::string error;
        if (!file.lock(error))
            _exit(1);
        const char byte = 'L';
        if (::write(ready[1], &byte, 1) != 1)
            _exit(2);
        ::usleep(300 * 1000);
        _exit(SFStoreFile(path).replace(replacement, error) ? 0 : 3);
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t n;
    do {
        n = ::read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    ASSERT_EQ(n, 1);

    auto& manager = startTrusted(path); // waits for the child's lock, then loads
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    auto loaded = manager.copyTrustedIPList();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded.front().getTrustedIPValueString(), "10.0.0.2");
}

TEST_F(SFStoreFileTest, StartRemovesOnlyTemporaryFilesLeftByCrashedWrites)
{
    const std::string rules = m_dir.file("rule-store.data");
    const std::string trusted = m_dir.file("trusted.data");
    writeFile(rules + ".tmp-Ab3xZ9", "half a store");
    writeFile(trusted + ".tmp-000000", "half a store");
    // Names that only look alike are the administrator's and stay.
    const Values kept = {rules + ".backup", rules + ".tmp-short", rules + ".tmp-toolong1",
                         rules + ".tmp-ab_cde", m_dir.file("other.tmp-Ab3xZ9")};
    for (const auto& path : kept)
        writeFile(path, "keep");

    startRules(rules);
    startTrusted(trusted);

    EXPECT_FALSE(exists(rules + ".tmp-Ab3xZ9"));
    EXPECT_FALSE(exists(trusted + ".tmp-000000"));
    for (const auto& path : kept)
        EXPECT_EQ(readFile(path), "keep") << path;
    EXPECT_TRUE(m_logger.has(5, "Removed 1 temporary files left beside the rule store " + rules));
}

// Regression: the second damaged start replaced the first damaged copy, which was the one
// that still held the user's rules.
TEST_F(SFStoreFileTest, EachDamagedStartKeepsItsOwnCopy)
{
    const std::string rules = m_dir.file("rule-store.data");
    const std::string trusted = m_dir.file("trusted.data");
    const std::string damaged[] = {"22 serialization::archive 13 first damage",
                                   "22 serialization::archive 13 second damage",
                                   "22 serialization::archive 13 third damage"};
    for (const auto& bytes : damaged) {
        writeFile(rules, bytes);
        writeFile(trusted, bytes);
        startRules(rules);
        startTrusted(trusted);
        SFTrustedIPGroupManager::releaseInstance();
        SFRuleManager::releaseInstance();
    }
    for (const auto& store : {rules, trusted}) {
        SCOPED_TRACE(store);
        EXPECT_EQ(readFile(store + ".corrupt"), damaged[0]);
        EXPECT_EQ(readFile(store + ".corrupt.1"), damaged[1]);
        EXPECT_EQ(readFile(store + ".corrupt.2"), damaged[2]);
    }
    EXPECT_TRUE(m_logger.has(2, "Damaged trusted store kept as " + trusted + ".corrupt.2"));
}

// Run by the test below under strace; does nothing in an ordinary run.
TEST_F(SFStoreFileTest, TracedWrite)
{
    const char* path = std::getenv("TQ_TRACED_STORE");
    if (path == nullptr)
        GTEST_SKIP() << "only run under strace by FlushesTheContentBeforeTheRenameAndTheFolderAfter";
    std::string error;
    ASSERT_TRUE(SFStoreFile(path).replace("traced content", error)) << error;
}

// Dropping either flush passes every functional test, so the order of the system calls is
// checked on a real write.
TEST_F(SFStoreFileTest, FlushesTheContentBeforeTheRenameAndTheFolderAfter)
{
    if (::access("/usr/bin/strace", X_OK) != 0 ||
        std::system("/usr/bin/strace -qq -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    const std::string store = m_dir.file("traced.store");
    const std::string trace = m_dir.file("trace.txt");
    writeFile(store, "old");
    // The leak check of a sanitizer build refuses to run under ptrace and would fail the run.
    const std::string command = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" "
                                "TQ_TRACED_STORE='" + store + "' /usr/bin/strace -f -qq -y -o '" +
                                trace + "' -e trace=fsync,fdatasync,rename,renameat,renameat2 " +
                                "/proc/" + std::to_string(::getpid()) + "/exe " +
                                "--gtest_filter=SFStoreFileTest.TracedWrite >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(trace);
    ASSERT_EQ(readFile(store), "traced content");

    // The lines of the write itself, in order: flush of the temporary file, rename over the
    // store, flush of the folder.
    const std::string text = readFile(trace);
    const std::regex fileFlush("f(data)?sync\\(\\d+<" + m_dir.path() + "/traced\\.store\\.tmp-\\w{6}>\\)\\s+= 0");
    const std::regex rename("rename(at2?)?\\(.*traced\\.store\\.tmp-\\w{6}.*traced\\.store\".*\\)\\s+= 0");
    const std::regex folderFlush("fsync\\(\\d+<" + m_dir.path() + ">\\)\\s+= 0");
    std::vector<std::string> steps;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (std::regex_search(line, fileFlush))
            steps.push_back("flush file");
        else if (std::regex_search(line, rename))
            steps.push_back("rename");
        else if (std::regex_search(line, folderFlush))
            steps.push_back("flush folder");
        start = end == std::string::npos ? text.size() : end + 1;
    }
    EXPECT_EQ(steps, (Values{"flush file", "rename", "flush folder"})) << text;
}

} // namespace
