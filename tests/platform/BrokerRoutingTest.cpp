// The platform service's registrations and routing, seen from raw-frame peers of an in-process
// broker on a temporary socket: who may register, where requests go, which answers come back
// with which cookie, and which connections a fault closes.

#include "BrokerPeerFixture.h"
#include "FakeResponder.h"
#include "HangGuard.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>

using namespace std::chrono_literals;
using namespace TestSupport;
using ZAV::RequestFrame;
using ZAV::ResponseFrame;
using Clock = std::chrono::steady_clock;

namespace {

std::string words(std::initializer_list<int32_t> values)
{
    std::string out;
    for (int32_t v : values)
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    return out;
}

class BrokerRoutingTest : public BrokerPeerFixture {};

TEST_F(BrokerRoutingTest, RegistrationRulesForServiceToolAndExclusiveIds)
{
    startBroker();
    ChannelTestClient impostor(path());
    EXPECT_EQ(impostor.registerAs(1), 0) << "id 1 is the service's own";

    auto toolA = registered(3000);
    auto toolB = registered(3000); // many tools may run at once
    auto daemon = registered(7000);
    ChannelTestClient rival(path());
    EXPECT_EQ(rival.registerAs(7000), 0) << "a second 7000 must be refused";

    // Requests reach the holder, never the refused rival, and carry the sender's real id.
    auto request = makeRequest(42, 7000, 9);
    request.record.sourceFmId = 4444;
    toolA->send(request);
    auto delivered = daemon->receive(kHangGuard);
    ASSERT_TRUE(delivered && std::holds_alternative<RequestFrame>(*delivered));
    EXPECT_EQ(std::get<RequestFrame>(*delivered).record.sourceFmId, 3000);
    EXPECT_EQ(std::get<RequestFrame>(*delivered).record.commandId, 42);
    EXPECT_FALSE(rival.receive(200ms)) << "the refused connection got something";

    // The rival cannot deregister an id it does not hold; the holder can.
    rival.send(ZAV::DeregisterFrame{7000, 1});
    daemon->send(ZAV::DeregisterFrame{7000, 1});
    // An answer on the same connection proves the deregistration was handled first.
    auto afterDeregister = daemon->call(makeRequest(1003, 1, 1));
    ASSERT_TRUE(afterDeregister);
    EXPECT_EQ(afterDeregister->record.completed, 0) << "a deregistered connection may not send";
    auto toAbsent = toolA->call(makeRequest(43, 7000, 10));
    ASSERT_TRUE(toAbsent);
    EXPECT_EQ(toAbsent->record.completed, 0);
    EXPECT_EQ(rival.registerAs(7000), 1) << "the id is free again";

    // Deregistering one tool leaves the other registered.
    toolB->send(ZAV::DeregisterFrame{3000, 1});
    auto fromB = toolB->call(makeRequest(1006, 1, 11));
    auto fromA = toolA->call(makeRequest(1006, 1, 12));
    ASSERT_TRUE(fromB && fromA);
    EXPECT_EQ(fromB->record.completed, 0);
    EXPECT_EQ(fromA->record.completed, 1);
    EXPECT_EQ(fromA->record.cookie, 12);
}

TEST_F(BrokerRoutingTest, AnswersReturnToTheirRequesterWithItsOwnCookie)
{
    startBroker();
    FakeResponder daemon(path(), 7000);
    // Different delays make the answers to the two tools overtake each other.
    auto alpha = ScriptedAnswer::reply(1, ZAV::kDataKindNarrow, "alpha");
    alpha.delay = 3ms;
    daemon.script(100, alpha);
    auto beta = ScriptedAnswer::reply(0, ZAV::kDataKindWide, "beta");
    beta.frameType = ZAV::kResponseType;
    daemon.script(200, beta);
    ASSERT_EQ(daemon.start(), 1);
    auto toolA = registered(3000);
    auto toolB = registered(3000);

    // Both tools use the same cookies: only the broker's own cookies keep the answers apart.
    constexpr int kRounds = 50;
    for (int cookie = 1; cookie <= kRounds; ++cookie) {
        toolA->send(makeRequest(100, 7000, cookie));
        toolB->send(makeRequest(200, 7000, cookie));
    }
    auto collect = [&](ChannelTestClient& tool, int32_t command, const std::string& data, int32_t status,
                       int32_t kind, int32_t type) {
        std::set<int32_t> cookies;
        for (int i = 0; i < kRounds; ++i) {
            auto answer = tool.receiveResponse(kHangGuard);
            ASSERT_TRUE(answer) << "answer " << i << " of command " << command << " missing";
            EXPECT_EQ(answer->type, type);
            EXPECT_EQ(answer->record.commandId, command);
            EXPECT_EQ(answer->record.requesterFmId, 3000);
            EXPECT_EQ(answer->record.responderFmId, 7000);
            EXPECT_EQ(answer->record.completed, 1);
            EXPECT_EQ(answer->record.status, status);
            EXPECT_EQ(answer->record.dataKind, kind);
            EXPECT_EQ(answer->data, data);
            cookies.insert(answer->record.cookie);
        }
        EXPECT_EQ(cookies.size(), static_cast<size_t>(kRounds));
        EXPECT_EQ(*cookies.begin(), 1);
        EXPECT_EQ(*cookies.rbegin(), kRounds);
    };
    collect(*toolA, 100, "alpha", 1, ZAV::kDataKindNarrow, ZAV::kAltResponseType);
    collect(*toolB, 200, "beta", 0, ZAV::kDataKindWide, ZAV::kResponseType);

    std::set<int32_t> brokerCookies;
    for (const auto& request : daemon.received()) {
        EXPECT_EQ(request.record.sourceFmId, 3000);
        brokerCookies.insert(request.record.cookie);
    }
    EXPECT_EQ(brokerCookies.size(), 2u * kRounds) << "two requests shared a broker cookie";
}

// The service answers these itself; a request left to the sender's 300 s timeout instead runs
// into the hang guard.
TEST_F(BrokerRoutingTest, RequestsThatCannotBeAnsweredGetNotCompletedFromTheService)
{
    startBroker();
    auto tool = registered(3000);
    auto within = [&](ChannelTestClient& client, const std::function<void()>& action, int32_t cookie,
                      int32_t responder) {
        action();
        auto answer = client.receiveResponse(kHangGuard);
        ASSERT_TRUE(answer) << "no answer for cookie " << cookie;
        EXPECT_EQ(answer->record.cookie, cookie);
        EXPECT_EQ(answer->record.completed, 0);
        EXPECT_EQ(answer->record.status, 0);
        EXPECT_EQ(answer->record.responderFmId, responder);
        EXPECT_EQ(answer->record.dataSize, 0);
    };

    within(*tool, [&] { tool->send(makeRequest(7, 7000, 1)); }, 1, 7000);
    within(*tool, [&] { tool->send(makeRequest(7, 3000, 2)); }, 2, 3000);
    ChannelTestClient stranger(path());
    within(stranger, [&] { stranger.send(makeRequest(1003, 1, 3)); }, 3, 1);

    // A responder that drops its connection on receipt.
    {
        FakeResponder vanishing(path(), 7000);
        vanishing.script(8, ScriptedAnswer::close());
        ASSERT_EQ(vanishing.start(), 1);
        within(*tool, [&] { tool->send(makeRequest(8, 7000, 4)); }, 4, 7000);
    }
    // A responder that sits on the request until it goes.
    FakeResponder silent(path(), 7000);
    silent.script(9, ScriptedAnswer::ignore());
    ASSERT_EQ(silent.start(), 1);
    tool->send(makeRequest(9, 7000, 5));
    ASSERT_TRUE(silent.waitForRequests(1, kHangGuard));
    EXPECT_FALSE(tool->receiveResponse(200ms)) << "answered before the responder went";
    within(*tool, [&] { silent.stop(); }, 5, 7000);
}

TEST_F(BrokerRoutingTest, AnAnswerIsTakenOnlyFromTheConnectionTheRequestWentTo)
{
    startBroker();
    FakeResponder daemon(path(), 7000);
    daemon.script(50, ScriptedAnswer::ignore());
    ASSERT_EQ(daemon.start(), 1);
    auto tool = registered(3000);
    auto forger = registered(7001);

    tool->send(makeRequest(50, 7000, 77));
    ASSERT_TRUE(daemon.waitForRequests(1, kHangGuard));
    const int32_t brokerCookie = daemon.received()[0].record.cookie;
    ResponseFrame forged;
    forged.record = {50, 3000, 7000, brokerCookie, 1, 1, 0, 0, 0};
    forger->send(forged);
    EXPECT_FALSE(tool->receiveResponse(300ms)) << "an answer from the wrong connection was forwarded";

    daemon.stop();
    auto answer = tool->receiveResponse(kHangGuard);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->record.cookie, 77);
    EXPECT_EQ(answer->record.completed, 0);
}

TEST_F(BrokerRoutingTest, ABadFrameClosesOnlyItsOwnConnection)
{
    ZAV::BrokerOptions options;
    options.maxDataSize = 4096;
    startBroker(options);
    FakeResponder daemon(path(), 7000);
    ASSERT_EQ(daemon.start(), 1);
    auto good = registered(3000);

    const std::map<std::string, std::string> badFrames = {
        {"bad magic", words({1, 24, 0x4321, 3000, 1, 3})},
        {"unknown type", words({5, 20, 0x1234, 0, 0})},
        {"wrong register length", words({1, 28, 0x1234, 3000, 1, 3, 0})},
        {"data over the limit", words({4, 48 + 5000, 0x1234, 1, 0, 7000, 1, 0, 1, 0, 0, 5000})},
        {"unknown data kind", words({4, 52, 0x1234, 1, 0, 7000, 1, 0, 7, 0, 0, 4, 0})},
        {"size disagreeing with length", words({8, 48, 0x1234, 1, 3000, 7000, 1, 1, 1, 0, 0, 8})},
    };
    int32_t cookie = 0;
    for (const auto& [name, bytes] : badFrames) {
        SCOPED_TRACE(name);
        auto bad = registered(3000);
        bad->sendBytes(bytes);
        EXPECT_TRUE(bad->waitClosed(kHangGuard)) << "the sender of a bad frame stays connected";
        auto answer = good->call(makeRequest(1, 7000, ++cookie));
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->record.completed, 1);
        EXPECT_EQ(answer->record.cookie, cookie);
    }
    EXPECT_FALSE(daemon.connectionEnded());
}

TEST_F(BrokerRoutingTest, NothingIsRoutedBeforeTheDelayedAcknowledgement)
{
    ZAV::BrokerOptions options;
    options.ackDelaySecs = 1;
    startBroker(options);
    ChannelTestClient tool(path());
    ASSERT_EQ(tool.registerAs(3000, kHangGuard), 1);

    ChannelTestClient daemon(path());
    const auto registeredAt = Clock::now();
    daemon.send(ZAV::RegisterFrame{7000, 1, 3});
    ChannelTestClient rival(path());
    EXPECT_EQ(rival.registerAs(7000), 0) << "an id waiting for its acknowledgement is still held";
    auto early = tool.call(makeRequest(5, 7000, 1));
    ASSERT_TRUE(early);
    EXPECT_EQ(early->record.completed, 0) << "routed before the acknowledgement";

    auto ack = daemon.receive(3s);
    ASSERT_TRUE(ack && std::holds_alternative<ZAV::RegAckFrame>(*ack));
    EXPECT_EQ(std::get<ZAV::RegAckFrame>(*ack).status, 1);
    EXPECT_GE(Clock::now() - registeredAt, 900ms);
    tool.send(makeRequest(5, 7000, 2));
    auto delivered = daemon.receive(kHangGuard);
    ASSERT_TRUE(delivered && std::holds_alternative<RequestFrame>(*delivered));
}

TEST_F(BrokerRoutingTest, APeerThatIsNotRootIsClosedAtAccept)
{
    startBroker();
    // Open the folders and the socket to everyone, so only the peer's credentials decide.
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_dir.file("zav").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path().c_str(), 0666), 0);

    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path().c_str(), path().size() + 1);
    const std::string registration = ZAV::encodeFrame(ZAV::RegisterFrame{3000, 1, 3});

    // The child only makes system calls: the parent runs threads.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            ::_exit(11);
        ::send(fd, registration.data(), registration.size(), MSG_NOSIGNAL);
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 2000) <= 0)
            ::_exit(12); // neither closed nor answered
        char byte;
        ::_exit(::read(fd, &byte, 1) <= 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 connect, 12 kept open, 13 answered";

    auto root = registered(3000); // root is still served
    bool logged = false;
    for (const auto& line : m_broker->log().lines())
        logged = logged || line.message.find("from uid 65534") != std::string::npos;
    EXPECT_TRUE(logged);
}

} // namespace
