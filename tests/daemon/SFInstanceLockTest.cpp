// Who holds the instance socket decides: a tqd (root's) keeps a second one out, a holder of
// another user's does not keep the firewall from starting, and the lock file still keeps a
// second daemon out then, whatever the timing. Each taker runs in a process of its own.

#include "SFInstanceLock.h"

#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

// What body answers in a child process, as its exit status.
int inChild(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when the path names a file another process holds locked, as a second tqd would find it.
bool lockedElsewhere(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    const bool locked = fd >= 0 && ::lockf(fd, F_TEST, 0) != 0 && (errno == EACCES || errno == EAGAIN);
    ::close(fd);
    return locked;
}

// What each of count takers took, in processes of their own let go at once, each with a socket
// name of its own so that only the lock file decides; they hold it until whileHeld returns.
std::vector<int> race(size_t count, const std::string& lockFile, const std::function<void()>& whileHeld)
{
    int start[2], results[2], release[2];
    if (::pipe(start) != 0 || ::pipe(results) != 0 || ::pipe(release) != 0)
        return {};
    std::vector<pid_t> children;
    for (size_t taker = 0; taker < count; ++taker) {
        children.push_back(::fork());
        if (children.back() == 0) {
            ::close(start[1]);
            ::close(release[1]);
            char byte;
            [[maybe_unused]] ssize_t done = ::read(start[0], &byte, 1); // until all may go
            SFInstanceLock lock("tq-test/race-" + std::to_string(::getpid()), lockFile);
            std::string failure;
            byte = static_cast<char>(lock.take(failure));
            done = ::write(results[1], &byte, 1);
            done = ::read(release[0], &byte, 1);
            ::_exit(0);
        }
    }
    for (int end : {start[0], start[1], results[1], release[0]})
        ::close(end);
    std::vector<int> taken;
    for (char each; taken.size() < count && ::read(results[0], &each, 1) == 1;)
        taken.push_back(each);
    whileHeld();
    ::close(results[0]);
    ::close(release[1]);
    for (pid_t child : children)
        ::waitpid(child, nullptr, 0);
    std::sort(taken.begin(), taken.end());
    return taken;
}

} // namespace

TEST(SFInstanceLockTest, OnlyARootHolderOfTheSocketKeepsASecondDaemonOut)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to squat the socket as another user";
    TestSupport::TempDir dir;
    // A name of this process's own, so no tqd of the host's is disturbed.
    const std::string name = "tq-test/instance-" + std::to_string(::getpid());
    const std::string lockFile = dir.file("tqd.lock");
    const auto taken = [&] {
        SFInstanceLock lock(name, lockFile);
        std::string failure;
        return static_cast<int>(lock.take(failure));
    };

    {
        SFInstanceLock first(name, lockFile);
        std::string failure;
        ASSERT_EQ(first.take(failure), SFInstanceLock::Taken::Yes) << failure;
        EXPECT_FALSE(first.socketHeldElsewhere());
        EXPECT_EQ(inChild(taken), static_cast<int>(SFInstanceLock::Taken::HeldWithFile));
        ASSERT_EQ(::unlink(lockFile.c_str()), 0);
        EXPECT_EQ(inChild(taken), static_cast<int>(SFInstanceLock::Taken::HeldSocketOnly));
    }

    // Another user binds and listens on the name first. The socket is shared with the child, so
    // it outlives the child, with the credentials the child listened with.
    const int squatted = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto squat = [&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        return ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
               ::bind(squatted, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(squatted, 4) != 0;
    };
    ASSERT_EQ(inChild(squat), 0);
    {
        SFInstanceLock first(name, lockFile);
        std::string failure;
        EXPECT_EQ(first.take(failure), SFInstanceLock::Taken::Yes) << failure;
        EXPECT_TRUE(first.socketHeldElsewhere());
        EXPECT_EQ(inChild(taken), static_cast<int>(SFInstanceLock::Taken::HeldFile));
    }
    ::close(squatted);
}

// Two tqd starting at once, with only the lock file to decide (network namespaces sharing /run,
// or a socket squatted by another user): whatever the path names, exactly one holds the file
// there and the other finds it held; neither replaces a file the other placed.
TEST(SFInstanceLockTest, OneOfTwoTakersStartingAtOnceHoldsTheLockFile)
{
    TestSupport::TempDir dir;
    const std::string folder = dir.file("run/fw"), lockFile = folder + "/tqd.lock";
    const std::pair<const char*, std::function<bool()>> rows[] = {
        {"no folder, as after a boot", [&] { return std::filesystem::remove(folder); }},
        {"no file", [] { return true; }},
        {"a file nobody holds", [&] { return ::close(::creat(lockFile.c_str(), 0600)) == 0; }},
        {"a FIFO", [&] { return ::mkfifo(lockFile.c_str(), 0600) == 0; }},
        {"another owner's file", [&] { return ::close(::creat(lockFile.c_str(), 0600)) == 0 &&
                                              (::geteuid() != 0 || ::chown(lockFile.c_str(), 65534, 65534) == 0); }},
        {"an empty folder", [&] { return std::filesystem::create_directory(lockFile); }},
    };
    const std::vector<int> oneHolds{static_cast<int>(SFInstanceLock::Taken::Yes),
                                    static_cast<int>(SFInstanceLock::Taken::HeldFile)};
    for (const auto& [what, place] : rows) {
        SCOPED_TRACE(what);
        // A race lost once in a few tries shows within these rounds.
        for (int round = 0; round < 100; ++round) {
            std::filesystem::remove_all(dir.file("run"));
            std::filesystem::create_directories(folder);
            ASSERT_TRUE(place()) << std::strerror(errno);
            bool held = false;
            if (race(2, lockFile, [&] { held = lockedElsewhere(lockFile); }) != oneHolds || !held) {
                ADD_FAILURE() << "round " << round << ": not exactly one holder of the file the path names";
                break;
            }
        }
    }
}

// A holder puts its file back each time the path is emptied or replaced, with a bounded number
// of earlier files' descriptors kept; once another process holds the file the path names, it
// leaves that file alone, says so once and answers that it must stop.
TEST(SFInstanceLockTest, AWatchingHolderPutsItsFileBackButNeverReplacesOneAnotherHolds)
{
    TestSupport::TempDir dir;
    TestSupport::RecordingLogger logger;
    const std::string lockFile = dir.file("tqd.lock"), other = dir.file("other");
    SFInstanceLock lock("tq-test/watching-" + std::to_string(::getpid()), lockFile);
    std::string failure;
    ASSERT_EQ(lock.take(failure), SFInstanceLock::Taken::Yes) << failure;
    ASSERT_TRUE(lock.watch(logger, "test"));
    const int descriptors = TestSupport::openDescriptorCount();
    for (int round = 0; round < 100; ++round) {
        // Removed, or replaced by a file of ours nobody holds.
        ASSERT_EQ(round % 2 == 0 ? ::unlink(lockFile.c_str())
                                 : ::close(::creat(other.c_str(), 0600)) + ::rename(other.c_str(), lockFile.c_str()),
                  0);
        ASSERT_TRUE(lock.keepInPlace(logger, "test"));
    }
    EXPECT_EQ(inChild([&] { return static_cast<int>(lockedElsewhere(lockFile)); }), 1);
    // The file held and at most 16 earlier ones, however often the path was replaced.
    EXPECT_LE(TestSupport::openDescriptorCount(), descriptors + 16);
    EXPECT_EQ(logger.count(2), 100u);

    // Another tqd takes the path while it names nothing.
    logger.clear();
    ASSERT_EQ(::unlink(lockFile.c_str()), 0);
    struct stat before {}, after {};
    EXPECT_EQ(race(1, lockFile, [&] {
        ASSERT_EQ(::lstat(lockFile.c_str(), &before), 0);
        EXPECT_FALSE(lock.keepInPlace(logger, "test"));
        ASSERT_EQ(::chmod(lockFile.c_str(), 0644), 0); // an event that wakes it again
        EXPECT_FALSE(lock.keepInPlace(logger, "test"));
        EXPECT_TRUE(lockedElsewhere(lockFile));
    }), std::vector<int>{static_cast<int>(SFInstanceLock::Taken::Yes)});
    ASSERT_EQ(::lstat(lockFile.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the other holder's file was replaced";
    ASSERT_EQ(logger.count(2), 1u);
    EXPECT_NE(logger.lines()[0].message.find("another process holds the one in its place"), std::string::npos)
        << logger.lines()[0].message;

    // Between a take and the watch, which no event reports, the path comes to name a file
    // another holder locked: the watch's first look leaves the lock to it.
    SFInstanceLock late("tq-test/late-" + std::to_string(::getpid()), dir.file("late.lock"));
    SFInstanceLock second("tq-test/second-" + std::to_string(::getpid()), other);
    ASSERT_EQ(late.take(failure), SFInstanceLock::Taken::Yes) << failure;
    ASSERT_EQ(second.take(failure), SFInstanceLock::Taken::Yes) << failure;
    ASSERT_EQ(::rename(other.c_str(), late.lockFile().c_str()), 0);
    EXPECT_FALSE(late.watch(logger, "test"));
}
