#include "ZAVUtils.h"

#include "RecordingLogger.h"
#include "SystemInfo.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using TestSupport::RecordingLogger;

namespace {

// A pipe the test owns; the runner must leave both ends open.
struct Pipe {
    int fds[2] = {-1, -1};
    explicit Pipe(int flags = O_CLOEXEC) { EXPECT_EQ(pipe2(fds, flags), 0); }
    ~Pipe()
    {
        closeWriteEnd();
        if (fds[0] >= 0)
            close(fds[0]);
    }
    void closeWriteEnd()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
    // Everything the child wrote; the test's own write end is closed first so EOF arrives.
    std::string drain()
    {
        closeWriteEnd();
        return TestSupport::readAll(fds[0]);
    }
};

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

class ZAVUtilsTest : public ::testing::Test {
protected:
    ZAV::ZAVUtils makeUtils(std::chrono::milliseconds timeout = 5s)
    {
        return ZAV::ZAVUtils(nullptr, m_logger, std::make_shared<ZAV::kernelVersion>(), timeout);
    }

    // The single level-6 line of a run, or an empty message when there is none or several.
    std::string onlyDebugLine() const
    {
        std::string found;
        size_t count = 0;
        for (const TestSupport::LogLine& line : m_logger.lines()) {
            if (line.level != 6)
                continue;
            EXPECT_EQ(line.component, "ZAVUtils");
            found = line.message;
            ++count;
        }
        return count == 1 ? found : std::string();
    }

    RecordingLogger m_logger;
};

TEST_F(ZAVUtilsTest, ExitZeroSucceedsWithoutLogging)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_TRUE(utils.runCommand({"/bin/true"}, nullptr));
    EXPECT_TRUE(m_logger.lines().empty());
}

TEST_F(ZAVUtilsTest, NonZeroExitFailsAndLogsStatus)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_FALSE(utils.runCommand({"/bin/false"}, nullptr));
    EXPECT_EQ(onlyDebugLine(), "/bin/false: exited with status 1");
}

TEST_F(ZAVUtilsTest, MissingProgramFailsWithErrnoText)
{
    ZAV::ZAVUtils utils = makeUtils();
    // No PATH search: a bare name is not found even though the program exists in /bin.
    EXPECT_FALSE(utils.runCommand({"/nonexistent/tq-program", "-x"}, nullptr));
    EXPECT_FALSE(utils.runCommand({"true"}, nullptr));
    ASSERT_EQ(m_logger.count(6), 2u);
    EXPECT_TRUE(m_logger.has(6, "/nonexistent/tq-program -x: cannot start: No such file or directory"));
    EXPECT_TRUE(m_logger.has(6, "true: cannot start: No such file or directory"));
}

TEST_F(ZAVUtilsTest, ChildKilledBySignalFails)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "kill -9 $$"}, nullptr));
    EXPECT_EQ(onlyDebugLine(), "/bin/sh -c kill -9 $$: killed by signal 9 (Killed)");
}

TEST_F(ZAVUtilsTest, TimeoutKillsChildAndFails)
{
    // A child that outlived the timeout would exit 0 and be answered true.
    ZAV::ZAVUtils utils = makeUtils(300ms);
    EXPECT_FALSE(utils.runCommand({"/bin/sleep", "5"}, nullptr));
    // A child that closes its standard error early must still be bounded by the timeout.
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "exec 2>&-; exec /bin/sleep 5"}, nullptr));
    EXPECT_TRUE(m_logger.has(6, "/bin/sleep 5: killed after running longer than 300 ms"));
    EXPECT_EQ(m_logger.count(6), 2u);
}

TEST_F(ZAVUtilsTest, ExitStatusTableAcceptsOnlyStatusesFlaggedFalse)
{
    ZAV::ZAVUtils utils = makeUtils();
    const std::map<int, bool> accepts1 = {{1, false}};
    const std::map<int, bool> rejects1 = {{1, true}};

    EXPECT_TRUE(utils.runCommand({"/bin/true"}, &accepts1));
    EXPECT_TRUE(m_logger.lines().empty());

    EXPECT_TRUE(utils.runCommand({"/bin/sh", "-c", "exit 1"}, &accepts1));
    EXPECT_EQ(onlyDebugLine(),
              "/bin/sh -c exit 1: exited with status 1, accepted by its exit status table");

    m_logger.clear();
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "exit 3"}, &accepts1));
    EXPECT_EQ(onlyDebugLine(), "/bin/sh -c exit 3: exited with status 3");

    m_logger.clear();
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "exit 1"}, &rejects1));
    EXPECT_EQ(onlyDebugLine(), "/bin/sh -c exit 1: exited with status 1");

    // A table does not rescue a signal.
    m_logger.clear();
    const std::map<int, bool> accepts9 = {{9, false}, {137, false}};
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "kill -9 $$"}, &accepts9));
}

TEST_F(ZAVUtilsTest, OutputReachesCallersPipeWhichStaysOpen)
{
    ZAV::ZAVUtils utils = makeUtils();
    Pipe out;
    ASSERT_TRUE(utils.runCommandWithOutput({"/bin/echo", "hi"}, nullptr, out.fds));
    EXPECT_TRUE(isOpen(out.fds[0]));
    EXPECT_TRUE(isOpen(out.fds[1]));
    EXPECT_EQ(out.drain(), "hi\n");
}

TEST_F(ZAVUtilsTest, ChildHoldsOnlyStandardDescriptors)
{
    ZAV::ZAVUtils utils = makeUtils();
    // Descriptors a careless thread left inheritable must not leak into the child.
    Pipe leaky(0);
    TestSupport::TempDir dir;
    const int file = open(dir.file("held").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);

    Pipe out;
    ASSERT_TRUE(utils.runCommandWithOutput({"/bin/sh", "-c", "ls /proc/$$/fd"}, nullptr, out.fds));
    EXPECT_EQ(out.drain(), "0\n1\n2\n");
    close(file);
}

TEST_F(ZAVUtilsTest, ChildStartsWithDefaultSignalsWhateverTheCallerIgnoresOrBlocks)
{
    ZAV::ZAVUtils utils = makeUtils();
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    sigset_t blocked;
    sigset_t oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);

    Pipe out;
    const bool ran = utils.runCommandWithOutput({"/bin/grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"},
                                                nullptr, out.fds);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &previous, nullptr);

    ASSERT_TRUE(ran);
    unsigned long long blockedMask = ~0ull;
    unsigned long long ignoredMask = ~0ull;
    ASSERT_EQ(std::sscanf(out.drain().c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blockedMask,
                          &ignoredMask),
              2);
    EXPECT_EQ(blockedMask, 0u);
    // Signal n is bit n-1. (The C library's own real-time signals may show as ignored: they
    // are no business of ours.)
    EXPECT_EQ(ignoredMask & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_EQ(ignoredMask & (1ull << (SIGTERM - 1)), 0u);
}

TEST_F(ZAVUtilsTest, StandardInputAndOutputAreDevNull)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_TRUE(utils.runCommand(
        {"/bin/sh", "-c", "test \"$(readlink /proc/$$/fd/0)\" = /dev/null"}, nullptr));
    EXPECT_TRUE(utils.runCommand(
        {"/bin/sh", "-c", "test \"$(readlink /proc/$$/fd/1)\" = /dev/null"}, nullptr));
    // Reading standard input ends at once instead of waiting on the test's terminal.
    EXPECT_TRUE(utils.runCommand({"/bin/cat"}, nullptr));
}

TEST_F(ZAVUtilsTest, StderrOfFailingCommandIsLoggedTrimmed)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_FALSE(utils.runCommand({"/bin/sh", "-c", "echo '  chain not found' >&2; exit 2"},
                                  nullptr));
    EXPECT_EQ(onlyDebugLine(), "/bin/sh -c echo '  chain not found' >&2; exit 2: exited with "
                               "status 2; stderr: chain not found");
}

TEST_F(ZAVUtilsTest, FloodOnStderrNeitherBlocksNorBloatsTheLog)
{
    ZAV::ZAVUtils utils = makeUtils(2s);
    // Far more than a pipe holds: the child would block forever if stderr were not drained.
    EXPECT_FALSE(utils.runCommand(
        {"/bin/sh", "-c", "/usr/bin/head -c 200000 /dev/zero | /usr/bin/tr '\\0' x >&2; exit 5"},
        nullptr));
    const std::string line = onlyDebugLine();
    EXPECT_NE(line.find("exited with status 5; stderr: xxxx"), std::string::npos) << line;
    EXPECT_LT(line.size(), 4096u + 200u);
}

TEST_F(ZAVUtilsTest, EmptyCommandAndMissingPipeFailAsErrors)
{
    ZAV::ZAVUtils utils = makeUtils();
    EXPECT_FALSE(utils.runCommand({}, nullptr));
    EXPECT_FALSE(utils.runCommandWithOutput({}, nullptr, nullptr));
    EXPECT_FALSE(utils.runCommandWithOutput({"/bin/true"}, nullptr, nullptr));
    EXPECT_EQ(m_logger.count(2), 3u);
}

TEST_F(ZAVUtilsTest, DescriptorCountSteadyOverManyRuns)
{
    ZAV::ZAVUtils utils = makeUtils();
    const int before = TestSupport::openDescriptorCount();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(utils.runCommand({"/bin/true"}, nullptr)) << "run " << i;
    for (int i = 0; i < 50; ++i)
        ASSERT_FALSE(utils.runCommand({"/nonexistent/tq-program"}, nullptr));
    EXPECT_EQ(TestSupport::openDescriptorCount(), before);
}

} // namespace
