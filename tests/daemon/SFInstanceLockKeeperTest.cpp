// The keeper's thread gives the lock file up to another holder only. The other holder is this
// process through an open file description of its own, whose lock conflicts with the keeper's
// as another process's would, so no fork runs beside the thread.

#include "SFInstanceLockKeeper.h"

#include "HangGuard.h"
#include "RecordingLogger.h"
#include "SFInstanceLock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>

using namespace StatefulFirewall;

TEST(SFInstanceLockKeeperTest, CallsOnLostOnceWhenAnotherHolderReplacesTheFileAndLeavesThatFile)
{
    TestSupport::TempDir dir;
    TestSupport::RecordingLogger logger;
    const std::string lockFile = dir.file("tqd.lock"), other = dir.file("other");
    auto lock = std::make_unique<SFInstanceLock>("tq-test/keeper-" + std::to_string(::getpid()), lockFile);
    std::string failure;
    ASSERT_EQ(lock->take(failure), SFInstanceLock::Taken::Yes) << failure;
    ASSERT_TRUE(lock->watch(logger, "test"));
    const int held = ::open(other.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &whole), 0);
    std::atomic<int> calls{0};
    std::promise<void> lost;
    {
        SFInstanceLockKeeper keeper(std::move(lock), logger, "test", [&] {
            if (calls++ == 0)
                lost.set_value();
        });
        ASSERT_TRUE(keeper.start(failure)) << failure;
        ASSERT_EQ(::rename(other.c_str(), lockFile.c_str()), 0);
        EXPECT_EQ(lost.get_future().wait_for(TestSupport::kHangGuard), std::future_status::ready);
    } // joins the thread
    EXPECT_EQ(calls.load(), 1);
    struct stat named {}, mine {};
    ASSERT_EQ(::lstat(lockFile.c_str(), &named), 0);
    ASSERT_EQ(::fstat(held, &mine), 0);
    EXPECT_EQ(named.st_ino, mine.st_ino) << "the other holder's file was replaced";
    EXPECT_EQ(logger.count(2), 1u);
    ::close(held);
}
