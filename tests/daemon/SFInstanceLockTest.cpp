// Who holds the instance socket decides: a tqd (root's) keeps a second one out, a holder of
// another user's does not keep the firewall from starting, and the lock file still keeps a
// second daemon out then. Each taker runs in a process of its own, as lockf locks belong to
// the process.

#include "SFInstanceLock.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

using namespace StatefulFirewall;

namespace {

// What take answers in a child process, as its exit status.
int takeInChild(const std::string& socketName, const std::string& lockFile)
{
    const pid_t child = ::fork();
    if (child == 0) {
        SFInstanceLock lock(socketName, lockFile);
        std::string failure;
        ::_exit(static_cast<int>(lock.take(failure)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

    {
        SFInstanceLock first(name, lockFile);
        std::string failure;
        ASSERT_EQ(first.take(failure), SFInstanceLock::Taken::Yes) << failure;
        EXPECT_FALSE(first.socketHeldElsewhere());
        EXPECT_EQ(takeInChild(name, lockFile), static_cast<int>(SFInstanceLock::Taken::HeldWithFile));
        ASSERT_EQ(::unlink(lockFile.c_str()), 0);
        EXPECT_EQ(takeInChild(name, lockFile), static_cast<int>(SFInstanceLock::Taken::HeldSocketOnly));
    }

    // Another user binds and listens on the name first.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    {
        SFInstanceLock first(name, lockFile);
        std::string failure;
        EXPECT_EQ(first.take(failure), SFInstanceLock::Taken::Yes) << failure;
        EXPECT_TRUE(first.socketHeldElsewhere());
        EXPECT_EQ(takeInChild(name, lockFile), static_cast<int>(SFInstanceLock::Taken::HeldFile));
    }
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}
