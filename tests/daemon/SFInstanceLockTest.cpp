// Who holds the instance socket decides: a tqd (root's) keeps a second one out, a holder of
// another user's does not keep the firewall from starting, and the lock file still keeps a
// second daemon out then. Each taker runs in a process of its own, as lockf locks belong to
// the process.

#include "SFInstanceLock.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

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
