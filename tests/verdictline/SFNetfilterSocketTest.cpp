// The queue socket's run lifecycle on a real queue in the sandbox: stop ends the loop at once and
// frees the queue, whenever it comes and however often, also under load; an overrun while the
// queue is bound opens it again; bad messages are skipped. Queue 1 takes UDP to
// 127.0.0.1:9999 and SYNs to 127.0.0.1:9998 sent from here.

#include "SFAdaptiveQueueWrapper.h"
#include "SFNetfilterSocket.h"
#include "INetlinkReceiver.h"

#include "HangGuard.h"
#include "QueuePacketFixtures.h"
#include "QueueSandboxRig.h"
#include "RecordingLogger.h"
#include "SandboxGuard.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

using namespace StatefulFirewall;
using namespace QueueRig;

namespace {

// Receives as recv does, except on the calls numbered in overrunCalls (from 1): those take the
// datagram waiting and report an overrun (ENOBUFS), as the kernel does when it dropped a
// message, an acknowledgement maybe, for want of room.
class OverrunningReceiver : public INetlinkReceiver {
public:
    explicit OverrunningReceiver(std::set<int> overrunCalls) : m_overrunCalls(std::move(overrunCalls)) {}
    ssize_t receive(int fd, void* buffer, size_t length) override
    {
        const ssize_t received = recv(fd, buffer, length, 0);
        if (m_overrunCalls.count(++m_calls) == 0 || received < 0)
            return received;
        errno = ENOBUFS;
        return -1;
    }

private:
    const std::set<int> m_overrunCalls;
    int m_calls = 0;
};

// A datagram to 127.0.0.1:9999 passes queue 1 (is accepted) and is echoed. The echo comes as soon
// as the reader lets the datagram through; twenty seconds only bound a hang.
bool datagramPasses()
{
    return shell("unserve /run/echo.out && serve /run/echo.out \"$TOOL\" udp-echo 127.0.0.1 9999 --timeout 20000 && "
                 "\"$TOOL\" udp-send 127.0.0.1 9999 --expect-reply --timeout 20000") == 0;
}

class SFNetfilterSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        ASSERT_EQ(shell("iptables -A OUTPUT -o lo -p udp --dport 9999 -j NFQUEUE --queue-num 1 && "
                        "iptables -A OUTPUT -o lo -p tcp --syn --dport 9998 -j NFQUEUE --queue-num 1"),
                  0);
        SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    }

    void TearDown() override
    {
        if (!TestSupport::sandboxProblem().empty())
            return;
        SFAdaptiveQueueWrapper::releaseInstance();
        shell("iptables -F");
    }

    std::unique_ptr<ReaderThread> startReader()
    {
        SFAdaptiveQueueWrapper* queue = SFAdaptiveQueueWrapper::getInstance(m_logger);
        // Stops go through whatever instance exists then: the one that started may be released.
        return std::make_unique<ReaderThread>(
            [queue] { return queue->startAdaptiveQueue(); },
            [this] { return SFAdaptiveQueueWrapper::getInstance(m_logger)->stopAdaptiveQueue(); });
    }

    TestSupport::RecordingLogger m_logger;
};

} // namespace

// Each run listens on a port id of its own: the kernel may still send a packet of the run before
// to that one's port id after it closed.
TEST_F(SFNetfilterSocketTest, StopEndsTheLoopAtOnceClosesTheSocketAndTheQueueBindsAgain)
{
    std::set<unsigned> portIds;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::unique_ptr<ReaderThread> reader = startReader();
        ASSERT_TRUE(waitForQueue(1, true));
        portIds.insert(listenerPortId(1));
        EXPECT_TRUE(datagramPasses());
        // One stop and a wait as long as the hang guard: the loop must end on the first stop,
        // however long a loaded machine takes to schedule it.
        const int guardMs = static_cast<int>(TestSupport::kHangGuard.count()) * 1000;
        int stops = 0;
        ASSERT_TRUE(reader->stopAndJoin(guardMs, &stops, guardMs));
        EXPECT_EQ(stops, 1);
        EXPECT_EQ(m_logger.count(2), 0u);
        EXPECT_TRUE(waitForQueue(1, false));
        EXPECT_TRUE(m_logger.has(5, "Closing Netlink socket"));
        EXPECT_TRUE(m_logger.has(5, "Successfully closed Netlink socket"));
        SFAdaptiveQueueEntry learned;
        ASSERT_TRUE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&learned));
        EXPECT_EQ(learned.sourcePort, 9999);
        m_logger.clear();
        SFAdaptiveQueueWrapper::releaseInstance();
    }
    EXPECT_EQ(portIds.size(), 2u);
}

TEST_F(SFNetfilterSocketTest, RoundsOfStartStopAndReleaseUnderASynFloodLeaveTheQueueFree)
{
    std::atomic<bool> flooding{true};
    std::thread flood([&flooding] {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(9998);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (flooding.load()) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target));
            close(fd);
        }
    });
    for (int round = 1; round <= 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::unique_ptr<ReaderThread> reader = startReader();
        // Odd rounds stop a running loop and release the instance before the join, as the daemon
        // may; even ones stop at once, mostly before the thread opened the queue, so the stop
        // has to be repeated.
        if (round % 2 == 1) {
            EXPECT_TRUE(waitForQueue(1, true));
            SFAdaptiveQueueWrapper::getInstance(m_logger)->stopAdaptiveQueue();
            SFAdaptiveQueueWrapper::releaseInstance();
        }
        EXPECT_TRUE(reader->stopAndJoin());
        SFAdaptiveQueueWrapper::releaseInstance();
    }
    flooding.store(false);
    flood.join();

    EXPECT_TRUE(waitForQueue(1, false));
    auto ignore = [](const nlmsghdr*, IQueueVerdictSink&) {};
    TestSupport::RecordingLogger probeLog;
    SFNetfilterSocket probe(probeLog, "probe", ignore, false);
    EXPECT_TRUE(probe.openNetfilterSocket(1, 0));
    // The kernel's refusal of a taken queue must fail the open, not pass for success.
    SFNetfilterSocket second(probeLog, "probe", ignore, false);
    EXPECT_FALSE(second.openNetfilterSocket(1, 0));
    EXPECT_TRUE(probeLog.has(
        2, "Failed to bind to specific netfilter queue numbmer as mnl_socket_sendto returned less than zero"));
    EXPECT_EQ(m_logger.count(2), 0u);
}

// An overrun of the receive buffer while the queue is bound may have taken the bind's
// acknowledgement with it: the open starts again on a new socket, three tries in all, and says
// nothing of the tries it recovers from. Nothing comes to queue 1 here, so the third receive of
// each try is that acknowledgement.
TEST_F(SFNetfilterSocketTest, AnOverrunWhileTheQueueIsBoundOpensItAgainOnANewSocket)
{
    // Overruns in the first try, the first two, and all three.
    std::set<int> overrunReceives;
    for (int tries = 1; tries <= 3; ++tries) {
        SCOPED_TRACE(std::to_string(tries) + " tries overrun");
        overrunReceives.insert(3 * tries);
        const bool opens = tries < 3;
        TestSupport::RecordingLogger log;
        OverrunningReceiver receiver(overrunReceives);
        auto socket = std::make_unique<SFNetfilterSocket>(
            log, "probe", [](const nlmsghdr*, IQueueVerdictSink&) {}, false, &receiver);
        EXPECT_EQ(socket->openNetfilterSocket(1, 0), opens);
        EXPECT_EQ(listenerPortId(1) != 0, opens);
        EXPECT_EQ(log.count(2), opens ? 0u : 2u);
        EXPECT_EQ(log.has(2, "Failed to bind to specific netfilter queue numbmer as mnl_socket_sendto returned less "
                             "than zero"),
                  !opens);
        socket.reset();
        EXPECT_TRUE(waitForQueue(1, false));
    }
}

TEST_F(SFNetfilterSocketTest, BadMessagesAreSkippedAndTheLoopGoesOn)
{
    std::unique_ptr<ReaderThread> reader = startReader();
    ASSERT_TRUE(waitForQueue(1, true));
    // Another netlink socket of this process writes to the reader's port: a packet message
    // without its packet header, and three bytes that are no message at all.
    const int probe = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    ASSERT_GE(probe, 0);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = listenerPortId(1);
    QueueFixtures::Message noHeader;
    noHeader.packetId.reset();
    noHeader.payload = QueueFixtures::ipv4(17, "127.0.0.1", "127.0.0.1", QueueFixtures::ports(1, 2));
    const std::vector<char> bad = QueueFixtures::craft(noHeader);
    const char garbage[] = {1, 2, 3};
    EXPECT_GT(sendto(probe, bad.data(), bad.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    EXPECT_GT(sendto(probe, garbage, sizeof(garbage), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    close(probe);

    EXPECT_TRUE(datagramPasses());
    EXPECT_TRUE(reader->stopAndJoin());
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the metaheader in the Netlink message"));
    EXPECT_TRUE(m_logger.has(2, "Error in parsing the Netlink message"));
    EXPECT_FALSE(m_logger.has(2, "Error in receiving netlink messages from netlink socket"));
    SFAdaptiveQueueEntry learned;
    EXPECT_TRUE(SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(&learned));
}
