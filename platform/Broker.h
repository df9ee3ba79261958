#pragma once

// The platform service's routing core: it owns the channel's listening socket, registers
// framework managers, routes command requests to the connection that holds their destination
// and carries the answers back, and answers the commands addressed to the service itself (id 1).
//
// Ownership: the broker owns its listening socket, every accepted connection, the lock file's
// descriptor and a wake-up eventfd; the destructor closes them all and removes the socket file.
// The logger is borrowed and must outlive the broker.
//
// Threads: start(), run() and the destructor are called by the owner, one after the other
// (start and run may be on different threads). run() is the only thread that touches sockets,
// connections and routing state, so none of it is locked. stop() and reloadCommonPolicy() only
// set an atomic flag and write to the eventfd: any thread and any signal handler may call them.
// start() sets the process umask to 0177 for the moment of bind(), then puts it back.
//
// Fairness and bounds: a request whose destination's queue is full waits on its sender's
// connection, which is not read meanwhile, so back-pressure reaches the sender and never closes
// the receiver; after sendWaitLimit the request is answered as not completed. Answers are never
// held back (a requester that does not read must not stall the peer answering it): a peer that
// lets the answers it asked for pile up is closed. Frames larger than a read are admitted only
// while the bytes held across all connections stay under a total bound (a peer over it is
// closed), the number of connections is bounded, and refusals at accept are logged rate-limited.

#include "BrokerRefusalLog.h"
#include "ChannelFrame.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

struct pollfd;

namespace ZAV {

class ILogger;
class BrokerLogSettings;

struct BrokerOptions {
    std::string socketPath = "/var/Varnik/kyv/zav/zavsocket";
    std::string commonPolicyFile;      // empty: 1000 answers status 0
    bool noAck = false;                // registrations are never acknowledged (nor routed)
    int ackDelaySecs = 0;              // acknowledgements go out this late
    int ackStatus = 1;                 // 0: every registration is refused
    bool verbose = false;              // logs every frame in and out at level 6
    size_t maxDataSize = 64u << 20;    // largest command data a peer may declare
    // How long a request waits for room in its destination's queue before it is answered as
    // not completed: ample for a live peer to read a largest frame, and it ends the wait of two
    // peers that each write without reading while waiting on one another.
    std::chrono::milliseconds sendWaitLimit = std::chrono::seconds(10);
};

class Broker {
public:
    Broker(ILogger& logger, BrokerOptions options);
    ~Broker(); // stops and cleans up (socket file removed); run() must have returned

    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Creates the socket's folder (0700) when missing, takes the lock file beside the socket,
    // removes a stale socket, binds a temporary name under umask 0177, listens and renames it
    // into place. Reads the common policy file and the state file first. False with the reason
    // in error; a second broker on the same socket fails here because the lock is held.
    bool start(std::string& error);
    // Serves until stop(); returns then. Returns at once when start() did not succeed.
    void run();
    void stop();
    // Re-reads the common policy file and pushes it as command 1001 to a registered 7000.
    // The work happens on the run() thread; this only asks for it.
    void reloadCommonPolicy();

private:
    using Clock = std::chrono::steady_clock;

    enum class Registration { None, Waiting, Active };

    // One accepted peer. Its registration (one id per connection) is kept here.
    struct Connection {
        uint64_t serial = 0;       // never reused, unlike the descriptor
        int fd = -1;
        pid_t peerPid = 0;
        FrameDecoder decoder;
        std::deque<std::string> output;
        size_t outputOffset = 0;   // bytes of output.front() already sent
        size_t outputBytes = 0;    // queued bytes not yet sent
        Registration registration = Registration::None;
        int32_t fmId = 0;
        int32_t registeredPid = 0;
        std::optional<Clock::time_point> ackDue;
        // A decoded request that waits for room in its destination's full queue; the connection
        // is not read while it waits, and the frames behind it wait in the decoder.
        std::optional<Frame> parked;
        size_t parkedBytes = 0;
        Clock::time_point parkedSince;
        std::optional<Clock::time_point> parkDeadline;
        bool frameAdmitted = false; // the large frame being received fits the total bound
        bool dead = false;         // closed at the end of this loop turn

        explicit Connection(int32_t maxDataSize) : decoder(maxDataSize) {}
    };

    // A request the broker forwarded and still owes an answer for, keyed by the broker's cookie.
    struct Pending {
        uint64_t origin = 0;       // connection serial of the requester; 0 when the broker asked
        int32_t originCookie = 0;
        int32_t requesterFmId = 0;
        uint64_t destination = 0;  // connection serial the request went to
        int32_t destFmId = 0;
        int32_t commandId = 0;
    };

    // Broker.cpp: socket life cycle and the poll loop.
    bool prepareFolderAndLock(std::string& error);
    bool bindAndListen(std::string& error);
    void serveTurn(const std::vector<pollfd>& fds, const std::vector<uint64_t>& serials);
    void acceptPeers();
    void readFrom(Connection& connection);
    void flush(Connection& connection);
    void queueFrame(Connection& connection, const Frame& frame);
    void drainFrames(Connection& connection);
    void park(Connection& connection, Frame&& frame);
    void resumeParked(Clock::time_point now);
    void admitPendingFrame(Connection& connection);
    size_t heldBytes(const Connection& connection) const;
    size_t heldBytesOfAll() const;
    void markDead(Connection& connection, const std::string& reason);
    void reapDead();
    void closeConnection(Connection& connection);
    void fireDueAcks(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now) const;
    void drainWakeups();
    void cleanUp();
    Connection* find(uint64_t serial);
    void trace(const char* direction, const Connection& connection, const Frame& frame);

    // BrokerRouting.cpp: registrations, requests and responses.
    void handleFrame(Connection& connection, Frame& frame);
    // The peer a frame from connection is forwarded to as a request; nullptr for every other
    // frame, whose answers go back to a peer that asked for them and are never held back.
    Connection* forwardTarget(const Connection& connection, const Frame& frame);
    // The connection a request from a registered peer is forwarded to; nullptr when the
    // service answers it itself or nobody holds its destination.
    Connection* routeOf(const RequestRecord& record);
    void handleRegister(Connection& connection, const RegisterFrame& frame);
    void handleDeregister(Connection& connection, const DeregisterFrame& frame);
    void handleRequest(Connection& connection, RequestFrame& frame);
    void handleResponse(Connection& connection, ResponseFrame& frame);
    void acknowledge(Connection& connection);
    void answerNotCompleted(Connection& connection, const RequestRecord& record);
    void failPendingTo(const Connection& connection);
    void forgetRegistration(Connection& connection);
    Connection* activeHolder(int32_t fmId);
    int32_t nextCookie();

    // BrokerService.cpp: commands addressed to the service itself.
    bool loadCommonPolicy(std::string& error);
    void answerServiceCommand(Connection& connection, const RequestFrame& request);
    int32_t storeLogSetting(int32_t commandId, const std::string& data);
    void pushCommonPolicy();

    ILogger& m_logger;
    BrokerOptions m_options;
    std::unique_ptr<BrokerLogSettings> m_logSettings;
    std::string m_commonPolicy;     // narrow archive of the common policy record; empty without file
    std::string m_lockPath;
    int m_lockFd = -1;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    bool m_started = false;
    bool m_ownsSocketFile = false;
    std::optional<Clock::time_point> m_acceptPausedUntil; // set while out of descriptors
    BrokerRefusalLog m_refusals;
    uint64_t m_nextSerial = 1;
    int32_t m_lastCookie = 0;
    std::map<uint64_t, std::unique_ptr<Connection>> m_connections;
    std::map<int32_t, uint64_t> m_exclusive;   // exclusive id -> serial of its holder
    std::unordered_map<int32_t, Pending> m_pending;
    std::string m_readBuffer;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_reloadRequested{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "set from signal handlers");
};

} // namespace ZAV
