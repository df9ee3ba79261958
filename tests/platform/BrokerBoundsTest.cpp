// The platform service under load, seen from raw-frame peers of an in-process broker: a fast
// sender is held back instead of its receiver being dropped, half-sent frames cannot take the
// service past its bound on held bytes, the number of connections is bounded, and peers that
// are refused at accept neither starve root clients nor flood the log.
//
// Timeouts here only guard against hangs and use the suite's shared hang guard.

#include "BrokerPeerFixture.h"
#include "ConnectChurn.h"
#include "HangGuard.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace TestSupport;
using ZAV::RequestFrame;
using ZAV::ResponseFrame;
using Clock = std::chrono::steady_clock;

namespace {

class BrokerBoundsTest : public BrokerPeerFixture {
protected:
    // A request to the service itself (the common policy), answered by the broker's own loop.
    static RequestFrame serviceRequest(int32_t cookie) { return makeRequest(1000, 1, cookie); }

    size_t logLinesWith(const std::string& text) const
    {
        size_t count = 0;
        for (const auto& line : m_broker->log().lines())
            count += line.message.find(text) != std::string::npos ? 1 : 0;
        return count;
    }
};

// Answers every request it reads, but reads one frame at a time with a pause in between, the
// way a busy daemon does. Counts what it got; ends when the broker closes it or on shutdown().
class SlowReceiver {
public:
    SlowReceiver(std::unique_ptr<ChannelTestClient> client, size_t expected)
        : m_client(std::move(client)), m_expected(expected), m_thread([this] { serve(); })
    {
    }
    ~SlowReceiver()
    {
        m_client->shutdown();
        m_thread.join();
    }

    size_t received() const { return m_received.load(); }
    bool closedByBroker() const { return m_closedByBroker.load(); }

private:
    void serve()
    {
        while (m_received.load() < m_expected) {
            auto frame = m_client->receive(kHangGuard);
            if (!frame) {
                m_closedByBroker = m_client->closed();
                return;
            }
            const auto* request = std::get_if<RequestFrame>(&*frame);
            if (request == nullptr)
                continue;
            ++m_received;
            std::this_thread::sleep_for(5ms);
            ResponseFrame response;
            response.type = ZAV::kAltResponseType;
            response.record.commandId = request->record.commandId;
            response.record.requesterFmId = request->record.sourceFmId;
            response.record.responderFmId = 7000;
            response.record.cookie = request->record.cookie;
            response.record.completed = 1;
            response.record.status = 1;
            m_client->send(response);
        }
    }

    std::unique_ptr<ChannelTestClient> m_client;
    size_t m_expected;
    std::atomic<size_t> m_received{0};
    std::atomic<bool> m_closedByBroker{false};
    std::thread m_thread;
};

TEST_F(BrokerBoundsTest, AFastSenderIsHeldBackWhileItsSlowReceiverStaysAndOthersAreServed)
{
    ZAV::BrokerOptions options;
    options.maxDataSize = 1 << 20;
    startBroker(options);

    // Forty frames of the largest size are far more than one receiver's queue may hold, so
    // before back-pressure the broker closed the receiver as "its peer does not read".
    constexpr int kFlood = 40;
    const std::string data(options.maxDataSize, 'x');
    auto flooder = registered(3000);
    auto other = registered(3000);
    SlowReceiver receiver(registered(7000), kFlood + 1);

    std::atomic<int> floodAnswered{0};
    std::thread flooding([&] {
        for (int cookie = 1; cookie <= kFlood; ++cookie) {
            if (!flooder->sendBytes(ZAV::encodeFrame(makeRequest(9, 7000, cookie, ZAV::kDataKindNarrow, data))))
                return;
        }
        for (int i = 0; i < kFlood; ++i) {
            auto answer = flooder->receiveResponse(kHangGuard);
            if (!answer || answer->record.completed != 1)
                return;
            ++floodAnswered;
        }
    });

    // While the flood waits on the receiver, the service answers the other tool at once, and
    // its request to the receiver gets its turn among the flood's.
    auto serviceAnswer = other->call(serviceRequest(77), kHangGuard);
    ASSERT_TRUE(serviceAnswer);
    EXPECT_EQ(serviceAnswer->record.cookie, 77);
    EXPECT_EQ(serviceAnswer->record.completed, 1);
    auto routed = other->call(makeRequest(9, 7000, 78), 3 * kHangGuard);
    ASSERT_TRUE(routed) << "the other tool's request never came back";
    EXPECT_EQ(routed->record.cookie, 78);
    EXPECT_EQ(routed->record.completed, 1) << "the receiver was dropped or the request refused";

    flooding.join();
    EXPECT_EQ(floodAnswered.load(), kFlood);
    EXPECT_EQ(receiver.received(), static_cast<size_t>(kFlood + 1));
    EXPECT_FALSE(receiver.closedByBroker());
    EXPECT_EQ(logLinesWith("does not read"), 0u);
}

TEST_F(BrokerBoundsTest, RequestsToAPeerThatStopsReadingAreAnsweredAndThePeerIsKept)
{
    ZAV::BrokerOptions options;
    options.maxDataSize = 64 * 1024;
    options.sendWaitLimit = 100ms;
    startBroker(options);
    auto sink = registered(7000); // does not read while the requests pour in
    auto tool = registered(3000);
    auto other = registered(3000);

    // More than the sink's queue and socket buffer take: the rest waits on the tool.
    constexpr int kRequests = 40;
    const std::string data(options.maxDataSize, 'x');
    std::thread sending([&] {
        for (int cookie = 1; cookie <= kRequests; ++cookie)
            if (!tool->sendBytes(ZAV::encodeFrame(makeRequest(9, 7000, cookie, ZAV::kDataKindNarrow, data))))
                return;
    });

    auto served = other->call(serviceRequest(5), kHangGuard);
    ASSERT_TRUE(served) << "a peer that does not read stalled the service";
    EXPECT_EQ(served->record.completed, 1);

    // The requests that waited are answered as not completed once the wait limit passes, in
    // the order sent, so the last one's answer means every waiting one has been answered.
    std::set<int32_t> answered;
    while (answered.count(kRequests) == 0) {
        auto answer = tool->receiveResponse(kHangGuard);
        ASSERT_TRUE(answer) << "only " << answered.size() << " answers";
        EXPECT_EQ(answer->record.completed, 0);
        answered.insert(answer->record.cookie);
    }
    sending.join();
    EXPECT_GE(answered.size(), 1u);

    // The sink was kept and registered: reading now, it gets every request that was not
    // answered for it.
    std::set<int32_t> delivered;
    while (delivered.size() + answered.size() < static_cast<size_t>(kRequests)) {
        auto frame = sink->receive(kHangGuard);
        ASSERT_TRUE(frame && std::holds_alternative<RequestFrame>(*frame))
            << "the sink got " << delivered.size() << " requests";
        delivered.insert(std::get<RequestFrame>(*frame).record.cookie);
    }
    EXPECT_EQ(logLinesWith("does not read"), 0u);
}

TEST_F(BrokerBoundsTest, SendersHeldByAFullReceiverTakeTurnsOldestFirst)
{
    ZAV::BrokerOptions options;
    options.sendWaitLimit = 10 * kHangGuard; // no request is answered for waiting too long
    startBroker(options);

    // Each request holds at least a full queue (256 KiB), so whenever room comes exactly one
    // goes through and the sender it came from waits anew, newer than the other. Both floods
    // are written before the receiver reads, so the senders never run dry and only the
    // broker's order of held senders decides whose request goes next: oldest first, they
    // alternate; newest first, the one that just went keeps the receiver full and the other
    // waits until it is done.
    constexpr int kFlood = 12;
    constexpr int kMaxLead = kFlood / 3;
    const std::string data(256u << 10, 'x');
    std::vector<std::unique_ptr<ChannelTestClient>> senders;
    for (int i = 0; i < 2; ++i) {
        senders.push_back(registered(3000));
        if (!senders.back()->reserveSendBuffer(2 * kFlood * static_cast<int>(data.size())))
            GTEST_SKIP() << "the kernel refuses a send buffer that holds a whole flood";
    }
    auto probe = registered(3000);
    // Registered last, so the broker reads both senders before it writes to the receiver in a
    // turn: a request it reads then finds the queue full and waits its turn.
    auto receiver = registered(7000);
    // The broker reads every sender whose request does not wait in each turn, so a sender left
    // unread through a turn (a round trip to the service) has its next request waiting.
    int32_t probeCookie = 0;
    const auto waitUntilBothWait = [&] {
        const auto giveUp = Clock::now() + kHangGuard;
        while (Clock::now() < giveUp) {
            const long before[2] = {senders[0]->unreadByBroker(), senders[1]->unreadByBroker()};
            if (!probe->call(serviceRequest(++probeCookie), kHangGuard))
                return false;
            if (senders[0]->unreadByBroker() == before[0] && senders[1]->unreadByBroker() == before[1])
                return true;
        }
        return false;
    };
    for (int cookie = 1; cookie <= kFlood; ++cookie) {
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(senders[i]->sendBytes(
                ZAV::encodeFrame(makeRequest(100 + i, 7000, cookie, ZAV::kDataKindNarrow, data))));
    }

    int delivered[2] = {0, 0};
    int largestLead = 0;
    std::string order;
    while (delivered[0] + delivered[1] < 2 * kFlood) {
        // Each sender's next request waits before room comes, however slow the broker runs: a
        // newest first order then shows every time, as the sender that went last goes again.
        ASSERT_TRUE(waitUntilBothWait()) << "the broker kept reading a sender";
        auto frame = receiver->receive(kHangGuard);
        ASSERT_TRUE(frame && std::holds_alternative<RequestFrame>(*frame))
            << "the receiver got " << order.size() << " requests: " << order;
        const int sender = std::get<RequestFrame>(*frame).record.commandId - 100;
        ASSERT_TRUE(sender == 0 || sender == 1) << "command " << sender + 100;
        ++delivered[sender];
        order += static_cast<char>('A' + sender);
        if (delivered[0] < kFlood && delivered[1] < kFlood)
            largestLead = std::max(largestLead, std::abs(delivered[0] - delivered[1]));
    }
    EXPECT_LE(largestLead, kMaxLead) << "order of delivery: " << order;
}

TEST_F(BrokerBoundsTest, HalfSentLargeFramesStayUnderTheBoundOnHeldBytes)
{
    startBroker(); // the default data limit of 64 MiB
    constexpr int kPeers = 16;
    constexpr size_t kLargest = ZAV::kDefaultMaxDataSize;
    // Four largest frames fit the bound on bytes held for all connections.
    constexpr int kFitting = 4;

    RequestFrame request = makeRequest(9, 5555, 1, ZAV::kDataKindNarrow, std::string(kLargest, 'y'));
    const std::string frame = ZAV::encodeFrame(request);
    request.data.clear();
    // More than a socket buffer, so each peer's header has been read before the next one sends.
    const size_t part = 4u << 20;

    std::vector<std::unique_ptr<ChannelTestClient>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(registered(3000));
        const bool sent = peers.back()->sendBytes(frame.substr(0, part));
        if (i < kFitting)
            EXPECT_TRUE(sent) << "peer " << i;
        else
            EXPECT_TRUE(peers.back()->waitClosed(kHangGuard)) << "peer " << i << " kept past the bound";
    }
    EXPECT_EQ(logLinesWith("over the bound of"), static_cast<size_t>(kPeers - kFitting));

    // The service is not slowed: a small request is answered, and the first and the last peer
    // that fit finish their frames and get their answers.
    auto probe = registered(3000);
    auto answer = probe->call(serviceRequest(3), kHangGuard);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->record.completed, 1);
    for (int i : {0, kFitting - 1}) {
        ASSERT_TRUE(peers[i]->sendBytes(frame.substr(part))) << "peer " << i;
        auto reply = peers[i]->receiveResponse(kHangGuard);
        ASSERT_TRUE(reply) << "peer " << i;
        EXPECT_EQ(reply->record.cookie, 1);
        EXPECT_EQ(reply->record.completed, 0); // nobody holds 5555
    }
}

TEST_F(BrokerBoundsTest, ConnectionsPastTheBoundAreClosedAtAccept)
{
    startBroker();
    constexpr int kMaxConnections = 256;
    std::vector<std::unique_ptr<ChannelTestClient>> peers;
    for (int i = 0; i < kMaxConnections; ++i)
        peers.push_back(std::make_unique<ChannelTestClient>(path()));
    // A round trip on the last one: every connection before it has been accepted.
    ASSERT_TRUE(peers.back()->call(serviceRequest(1), kHangGuard));

    ChannelTestClient extra(path());
    EXPECT_TRUE(extra.waitClosed(kHangGuard));
    EXPECT_EQ(logLinesWith("already serves 256 connections"), 1u);

    peers.front()->shutdown();
    peers.front().reset();
    // The freed place is taken again; a refused connect right after the close would be retried.
    std::optional<ResponseFrame> answer;
    const auto giveUp = Clock::now() + kHangGuard;
    while (!answer && Clock::now() < giveUp) {
        ChannelTestClient again(path());
        answer = again.call(serviceRequest(2), 1s);
    }
    EXPECT_TRUE(answer);
}

TEST_F(BrokerBoundsTest, ChurningRefusedPeersNeitherStarveRootNorFloodTheLog)
{
    startBroker();
    // Open the folders and the socket to everyone, so only the peer's credentials decide.
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_dir.file("zav").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path().c_str(), 0666), 0);

    ConnectChurn churn(path(), 3);
    const auto started = Clock::now();
    ASSERT_TRUE(churn.waitFor(2000, kHangGuard)) << "the refused peers did not get going";

    auto root = registered(3000);
    int answered = 0;
    for (int cookie = 1; cookie <= 10; ++cookie) {
        auto answer = root->call(serviceRequest(cookie), kHangGuard);
        answered += answer && answer->record.cookie == cookie ? 1 : 0;
    }
    const long connections = churn.connections();
    const auto elapsed = Clock::now() - started;
    EXPECT_TRUE(churn.stop()) << "a refused peer could not take its user or make a socket";

    EXPECT_EQ(answered, 10);
    // One line at the first refusal and one per ten seconds after it.
    const size_t lines = logLinesWith("uid 65534");
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 2u + static_cast<size_t>(elapsed / 10s)) << connections << " refusals";
}

} // namespace
