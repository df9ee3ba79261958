#include "Broker.h"

#include "BrokerLogSettings.h"
#include "FMPException.h"
#include "ILogger.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace ZAV {

namespace {

const char kComponent[] = "ZAVBroker";

// A connection whose queue holds this much is full: requests for it wait on their senders until
// its peer has read it down, so the queue holds at most this plus one largest frame. Above a
// socket buffer, so a reading peer never finds its socket empty while requests wait; small, as
// up to this much per connection is queued without looking at the total held.
constexpr size_t kQueueFull = 256u << 10;
// Frames up to one read's worth are taken without looking at the total held: every connection
// can always send small frames, and each holds at most two reads' worth of them unadmitted.
constexpr size_t kSmallFrame = FrameDecoder::kReadSlack;
// Bytes held for all connections together (received, waiting and queued) that admitting a larger
// frame may not exceed: four largest frames, each with a full queue beside it, so the daemon and
// a few tools can move large data at once, while half-sent frames cannot take the service past a
// few hundred megabytes however many connections send them.
constexpr size_t kHeldBytesBound = 4 * (static_cast<size_t>(kDefaultMaxDataSize) + kQueueFull);
// Open connections. The daemon and a few tools need a handful; the bound keeps descriptors and
// per-connection buffers (up to two reads' worth and a full queue each outside the total bound)
// from growing without end.
constexpr size_t kMaxConnections = 256;
// Connections taken per loop turn, so peers that connect and close without end cannot keep the
// loop from serving the connections it has; a turn with nothing else to do is short.
constexpr int kAcceptBatch = 64;
// One log line per refused peer and interval: a churning peer costs a few lines a minute, and
// the log still shows within seconds when refusals start and stop.
constexpr auto kRefusalLogInterval = std::chrono::seconds(10);
// How long accepting pauses when the process is out of descriptors: the listener would stay
// readable and poll would spin.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string systemError(int error)
{
    return std::strerror(error);
}

void closeRetained(int& fd)
{
    if (fd >= 0)
        ::close(fd); // not retried on EINTR: on Linux the descriptor is gone either way
    fd = -1;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates folder with mode (less the umask) and the folders above it that are missing with
// 0755. True in created when folder itself had to be made.
bool makeFolders(const std::string& folder, mode_t mode, bool& created, std::string& error)
{
    created = false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        error = folder + " is not a folder";
        return false;
    }
    if (errno != ENOENT) {
        error = "cannot examine " + folder + ": " + systemError(errno);
        return false;
    }
    const std::string parent = folderOf(folder);
    bool parentCreated = false;
    if (parent != folder && !makeFolders(parent, 0755, parentCreated, error))
        return false;
    if (::mkdir(folder.c_str(), mode) != 0) {
        if (errno == EEXIST)
            return true;
        error = "cannot create " + folder + ": " + systemError(errno);
        return false;
    }
    created = true;
    return true;
}

} // namespace

Broker::Broker(ILogger& logger, BrokerOptions options)
    : m_logger(logger),
      m_options(std::move(options)),
      m_logSettings(std::make_unique<BrokerLogSettings>(m_options.socketPath + ".state")),
      m_lockPath(m_options.socketPath + ".lock"),
      m_refusals(logger, kRefusalLogInterval)
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        m_logger.logMessage(2, kComponent, "Cannot create the wake-up eventfd: " + systemError(errno));
    m_readBuffer.resize(FrameDecoder::kReadSlack);
}

Broker::~Broker()
{
    stop();
    cleanUp();
    closeRetained(m_wakeFd);
}

bool Broker::start(std::string& error)
{
    if (m_started) {
        error = "the broker is already started";
        return false;
    }
    if (m_wakeFd < 0) {
        error = "the broker has no wake-up descriptor";
        return false;
    }
    if (m_options.maxDataSize > static_cast<size_t>(kDefaultMaxDataSize)) {
        error = "data limit " + std::to_string(m_options.maxDataSize) + " is over the channel's " +
                std::to_string(kDefaultMaxDataSize) + " bytes";
        return false;
    }
    if (m_options.ackDelaySecs < 0 || (m_options.ackStatus != 0 && m_options.ackStatus != 1)) {
        error = "acknowledgement delay must not be negative and status must be 0 or 1";
        return false;
    }
    // The socket is bound under a temporary name; both names must fit a socket address.
    if (m_options.socketPath.empty() ||
        m_options.socketPath.size() + 4 >= sizeof(sockaddr_un::sun_path)) {
        error = "socket path \"" + m_options.socketPath + "\" is empty or longer than " +
                std::to_string(sizeof(sockaddr_un::sun_path) - 5) + " bytes";
        return false;
    }
    // The policy is read before anything is created, so a bad file leaves nothing behind.
    if (!loadCommonPolicy(error))
        return false;
    if (!prepareFolderAndLock(error) || !bindAndListen(error)) {
        cleanUp();
        return false;
    }

    std::vector<std::string> problems;
    m_logSettings->load(problems);
    for (const auto& problem : problems)
        m_logger.logMessage(4, kComponent, "Ignored a line of the state file: " + problem);
    for (const auto& [key, value] : m_logSettings->values())
        m_logger.logMessage(5, kComponent, "Restored log setting " + key + "=" +
                                               std::to_string(value) + " from " +
                                               m_logSettings->path());

    m_started = true;
    m_logger.logMessage(5, kComponent, "Platform service listening on " + m_options.socketPath);
    return true;
}

bool Broker::prepareFolderAndLock(std::string& error)
{
    // A folder that exists is the administrator's to set; one we make holds only our files,
    // and the umask may have taken bits from it.
    const std::string folder = folderOf(m_options.socketPath);
    bool created = false;
    if (!makeFolders(folder, 0700, created, error))
        return false;
    if (created && ::chmod(folder.c_str(), 0700) != 0) {
        error = "cannot set the mode of " + folder + ": " + systemError(errno);
        return false;
    }

    m_lockFd = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0) {
        error = "cannot open the lock file " + m_lockPath + ": " + systemError(errno);
        return false;
    }
    int result = 0;
    do {
        result = ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int failure = errno;
        error = failure == EWOULDBLOCK
                    ? "another platform service holds the lock file " + m_lockPath
                    : "cannot lock " + m_lockPath + ": " + systemError(failure);
        closeRetained(m_lockFd);
        return false;
    }
    return true;
}

bool Broker::bindAndListen(std::string& error)
{
    const std::string& path = m_options.socketPath;
    // With the lock held no other broker serves this path, so a socket left there is stale.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            error = "cannot remove the stale socket " + path + ": " + systemError(errno);
            return false;
        }
        m_logger.logMessage(5, kComponent, "Removed the stale socket " + path);
    } else if (errno != ENOENT) {
        error = "cannot examine " + path + ": " + systemError(errno);
        return false;
    }

    const std::string temporary = path + ".new";
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + temporary + ": " + systemError(errno);
        return false;
    }
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        error = "cannot create a Unix socket: " + systemError(errno);
        return false;
    }
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, temporary.c_str(), temporary.size() + 1);

    // The umask is the only way to give a socket file its mode as it is created; the file must
    // never exist with looser permissions, even under its temporary name.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        error = "cannot bind " + temporary + ": " + systemError(bindError);
        return false;
    }
    if (::listen(m_listenFd, SOMAXCONN) != 0) {
        error = "cannot listen on " + temporary + ": " + systemError(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // Clients only ever see a socket that already listens.
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + systemError(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    m_ownsSocketFile = true;
    return true;
}

void Broker::stop()
{
    // Called from signal handlers: only a lock-free store and write(2), and errno kept.
    const int savedErrno = errno;
    m_stopRequested.store(true);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        while (::write(m_wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }
    errno = savedErrno;
}

void Broker::reloadCommonPolicy()
{
    const int savedErrno = errno;
    m_reloadRequested.store(true);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        while (::write(m_wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }
    errno = savedErrno;
}

void Broker::drainWakeups()
{
    uint64_t count = 0;
    while (::read(m_wakeFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

void Broker::run()
{
    if (!m_started)
        return;
    std::vector<pollfd> fds;
    std::vector<uint64_t> serials; // connection of fds[i + 2]
    while (!m_stopRequested.load()) {
        const Clock::time_point before = Clock::now();
        fds.clear();
        serials.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        const bool accepting = !m_acceptPausedUntil || *m_acceptPausedUntil <= before;
        if (accepting)
            m_acceptPausedUntil.reset();
        fds.push_back({accepting ? m_listenFd : -1, POLLIN, 0});
        for (const auto& [serial, connection] : m_connections) {
            // A connection whose frame waits for room is not read: that is the back-pressure.
            const short events = static_cast<short>((connection->parked ? 0 : POLLIN) |
                                                    (connection->outputBytes > 0 ? POLLOUT : 0));
            fds.push_back({connection->fd, events, 0});
            serials.push_back(serial);
        }

        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs(before));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            m_logger.logMessage(2, kComponent, "poll failed, the service stops: " + systemError(errno));
            return;
        }
        if (fds[0].revents != 0)
            drainWakeups();
        if (m_stopRequested.load())
            break;
        try {
            serveTurn(fds, serials);
        } catch (const std::exception& e) {
            // Out of memory or a library fault in one frame's handling: the other connections
            // are still served.
            m_logger.logMessage(2, kComponent, std::string("Unexpected error while serving: ") + e.what());
        }
    }
    m_logger.logMessage(5, kComponent, "Platform service stopping");
}

void Broker::serveTurn(const std::vector<pollfd>& fds, const std::vector<uint64_t>& serials)
{
    if (m_reloadRequested.exchange(false))
        pushCommonPolicy();
    if (fds[1].revents != 0)
        acceptPeers();
    for (size_t i = 0; i < serials.size(); ++i) {
        const short revents = fds[i + 2].revents;
        Connection* connection = find(serials[i]);
        if (revents == 0 || connection == nullptr || connection->dead)
            continue;
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            // Hang-ups are reported even unasked; a waiting peer that has gone cannot take an
            // answer, and polling it on would spin.
            if (connection->parked)
                markDead(*connection, "the peer closed it while a request waited for room");
            else
                readFrom(*connection);
        }
        if (!connection->dead && (revents & POLLOUT))
            flush(*connection);
    }
    const Clock::time_point now = Clock::now();
    fireDueAcks(now);
    m_refusals.flushDue(now);
    // Closed connections first: a request waiting for one of them is then answered at once.
    reapDead();
    resumeParked(now);
    reapDead();
}

int Broker::pollTimeoutMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> due = m_acceptPausedUntil;
    const auto earliest = [&due](const std::optional<Clock::time_point>& when) {
        if (when && (!due || *when < *due))
            due = when;
    };
    earliest(m_refusals.nextDue());
    for (const auto& entry : m_connections) {
        earliest(entry.second->ackDue);
        earliest(entry.second->parkDeadline);
    }
    if (!due)
        return -1;
    if (*due <= now)
        return 0;
    // Rounded up, so a wake-up never comes before the deadline and spins.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void Broker::acceptPeers()
{
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int failure = errno;
            if (failure == EINTR || failure == ECONNABORTED)
                continue;
            if (failure == EAGAIN || failure == EWOULDBLOCK)
                return;
            m_logger.logMessage(2, kComponent, "Cannot accept a connection: " + systemError(failure));
            m_acceptPausedUntil = Clock::now() + kAcceptPause;
            return;
        }
        ucred peer {};
        socklen_t size = sizeof(peer);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            const int failure = errno;
            m_refusals.refused(static_cast<uid_t>(-1), 0, "its credentials cannot be read: " +
                                                              systemError(failure), Clock::now());
            ::close(fd);
            continue;
        }
        // Logged before the close, so a peer that sees the close finds the reason logged.
        if (peer.uid != 0) {
            m_refusals.refused(peer.uid, peer.pid, "only root may use the channel", Clock::now());
            ::close(fd);
            continue;
        }
        if (m_connections.size() >= kMaxConnections) {
            m_refusals.refused(peer.uid, peer.pid, "the service already serves " +
                                                       std::to_string(kMaxConnections) + " connections",
                               Clock::now());
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>(static_cast<int32_t>(m_options.maxDataSize));
        connection->serial = m_nextSerial++;
        connection->fd = fd;
        connection->peerPid = peer.pid;
        m_logger.logMessage(6, kComponent, "Accepted connection " + std::to_string(connection->serial) +
                                               " from pid " + std::to_string(peer.pid));
        m_connections.emplace(connection->serial, std::move(connection));
    }
}

void Broker::readFrom(Connection& connection)
{
    ssize_t got = 0;
    do {
        got = ::read(connection.fd, m_readBuffer.data(), m_readBuffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            markDead(connection, "read failed: " + systemError(errno));
        return;
    }
    if (got == 0) {
        markDead(connection, "the peer closed it");
        return;
    }
    try {
        connection.decoder.feed(m_readBuffer.data(), static_cast<size_t>(got));
    } catch (const FMPException& e) {
        markDead(connection, e.getMessage());
        return;
    }
    drainFrames(connection);
}

void Broker::drainFrames(Connection& connection)
{
    try {
        Frame frame;
        while (!connection.dead && !connection.parked && connection.decoder.next(frame)) {
            connection.frameAdmitted = false;
            trace("in", connection, frame);
            const Connection* destination = forwardTarget(connection, frame);
            if (destination != nullptr && destination->outputBytes >= kQueueFull) {
                park(connection, std::move(frame));
                return;
            }
            handleFrame(connection, frame);
        }
        if (!connection.dead && !connection.parked)
            admitPendingFrame(connection);
    } catch (const FMPException& e) {
        markDead(connection, e.getMessage());
    }
}

void Broker::park(Connection& connection, Frame&& frame)
{
    connection.parkedBytes = std::get<RequestFrame>(frame).data.size();
    connection.parked = std::move(frame);
    connection.parkedSince = Clock::now();
    connection.parkDeadline = connection.parkedSince + m_options.sendWaitLimit;
}

void Broker::resumeParked(Clock::time_point now)
{
    std::vector<Connection*> waiting;
    for (auto& entry : m_connections) {
        if (entry.second->parked && !entry.second->dead)
            waiting.push_back(entry.second.get());
    }
    // Oldest first, so a peer that keeps its destination full cannot overtake one that waited
    // behind it.
    std::stable_sort(waiting.begin(), waiting.end(), [](const Connection* a, const Connection* b) {
        return a->parkedSince < b->parkedSince;
    });
    for (Connection* connection : waiting) {
        if (connection->dead || !connection->parked)
            continue;
        const Connection* destination = forwardTarget(*connection, *connection->parked);
        const bool full = destination != nullptr && destination->outputBytes >= kQueueFull;
        if (full && connection->parkDeadline && *connection->parkDeadline > now)
            continue;
        Frame frame = std::move(*connection->parked);
        connection->parked.reset();
        connection->parkedBytes = 0;
        connection->parkDeadline.reset();
        if (full) {
            RequestRecord record = std::get<RequestFrame>(frame).record;
            record.sourceFmId = connection->fmId;
            m_logger.logMessage(5, kComponent, "Command " + std::to_string(record.commandId) +
                                                   " from fm id " + std::to_string(record.sourceFmId) +
                                                   " to fm id " + std::to_string(record.destFmId) +
                                                   " answered as not completed: its queue stayed full for " +
                                                   std::to_string(m_options.sendWaitLimit.count()) + " ms");
            answerNotCompleted(*connection, record);
        } else {
            handleFrame(*connection, frame);
        }
        drainFrames(*connection);
    }
}

size_t Broker::heldBytesOfAll() const
{
    size_t held = 0;
    for (const auto& entry : m_connections)
        held += heldBytes(*entry.second);
    return held;
}

size_t Broker::heldBytes(const Connection& connection) const
{
    size_t input = connection.decoder.buffered();
    if (connection.frameAdmitted)
        input = std::max(input, connection.decoder.pendingFrameLength());
    return input + connection.parkedBytes + connection.outputBytes;
}

void Broker::admitPendingFrame(Connection& connection)
{
    const size_t declared = connection.decoder.pendingFrameLength();
    if (connection.frameAdmitted || declared <= kSmallFrame)
        return;
    size_t held = connection.parkedBytes + connection.outputBytes;
    for (const auto& entry : m_connections) {
        if (entry.second.get() != &connection)
            held += heldBytes(*entry.second);
    }
    if (held + declared > kHeldBytesBound) {
        markDead(connection, "its frame of " + std::to_string(declared) + " bytes would take the " +
                                 std::to_string(held) + " bytes held for all connections over the bound of " +
                                 std::to_string(kHeldBytesBound));
        return;
    }
    connection.frameAdmitted = true;
}

void Broker::flush(Connection& connection)
{
    while (!connection.output.empty() && !connection.dead) {
        const std::string& front = connection.output.front();
        const ssize_t sent = ::send(connection.fd, front.data() + connection.outputOffset,
                                    front.size() - connection.outputOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            const int failure = errno;
            if (failure == EINTR)
                continue;
            if (failure != EAGAIN && failure != EWOULDBLOCK)
                markDead(connection, "send failed: " + systemError(failure));
            return;
        }
        connection.outputOffset += static_cast<size_t>(sent);
        connection.outputBytes -= static_cast<size_t>(sent);
        if (connection.outputOffset == front.size()) {
            connection.output.pop_front();
            connection.outputOffset = 0;
        }
    }
}

void Broker::queueFrame(Connection& connection, const Frame& frame)
{
    if (connection.dead)
        return;
    std::string bytes;
    try {
        bytes = encodeFrame(frame);
    } catch (const FMPException& e) {
        // Only frames that passed our own decoder are forwarded, so this means a broker fault.
        m_logger.logMessage(2, kComponent, "Dropped a frame for connection " +
                                               std::to_string(connection.serial) + ": " + e.getMessage());
        return;
    }
    trace("out", connection, frame);
    // Requests wait for room (drainFrames) and were admitted against the total as they came
    // in; answers are never held back, so answers a peer asked for and does not read are what
    // can pile up past a full queue, and only that peer is closed for them.
    const size_t queued = connection.outputBytes + bytes.size();
    const size_t bound = m_options.maxDataSize + 48 + kQueueFull;
    if (queued > bound) {
        markDead(connection, "its peer does not read: more than " + std::to_string(bound) +
                                 " bytes would be queued");
        return;
    }
    if (queued > kQueueFull && !std::holds_alternative<RequestFrame>(frame)) {
        const size_t held = heldBytesOfAll();
        if (held + bytes.size() > kHeldBytesBound) {
            markDead(connection, "its peer does not read: " + std::to_string(queued) +
                                     " bytes queued for it would take the " + std::to_string(held) +
                                     " bytes held for all connections over the bound of " +
                                     std::to_string(kHeldBytesBound));
            return;
        }
    }
    connection.outputBytes += bytes.size();
    connection.output.push_back(std::move(bytes));
    flush(connection);
}

void Broker::markDead(Connection& connection, const std::string& reason)
{
    if (connection.dead)
        return;
    connection.dead = true;
    std::string who = "connection " + std::to_string(connection.serial) + " (pid " +
                      std::to_string(connection.peerPid);
    if (connection.registration != Registration::None)
        who += ", fm id " + std::to_string(connection.fmId);
    m_logger.logMessage(5, kComponent, "Closing " + who + "): " + reason);
}

void Broker::reapDead()
{
    // Closing one connection answers its pending requests on others, which may overflow and
    // die in turn; repeat until a pass closes nothing.
    bool closed = true;
    while (closed) {
        closed = false;
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (!it->second->dead) {
                ++it;
                continue;
            }
            std::unique_ptr<Connection> connection = std::move(it->second);
            it = m_connections.erase(it);
            closeConnection(*connection);
            closed = true;
        }
    }
}

void Broker::closeConnection(Connection& connection)
{
    forgetRegistration(connection);
    failPendingTo(connection);
    closeRetained(connection.fd);
}

void Broker::fireDueAcks(Clock::time_point now)
{
    for (auto& entry : m_connections) {
        Connection& connection = *entry.second;
        if (connection.ackDue && *connection.ackDue <= now && !connection.dead) {
            connection.ackDue.reset();
            acknowledge(connection);
        }
    }
}

Broker::Connection* Broker::find(uint64_t serial)
{
    const auto it = m_connections.find(serial);
    return it == m_connections.end() ? nullptr : it->second.get();
}

void Broker::cleanUp()
{
    for (auto& entry : m_connections)
        closeRetained(entry.second->fd);
    m_connections.clear();
    m_exclusive.clear();
    m_pending.clear();
    closeRetained(m_listenFd);
    if (m_ownsSocketFile) {
        if (::unlink(m_options.socketPath.c_str()) != 0 && errno != ENOENT)
            m_logger.logMessage(4, kComponent, "Cannot remove the socket " + m_options.socketPath +
                                                   ": " + systemError(errno));
        m_ownsSocketFile = false;
    }
    // The lock file stays: removing it would let a broker lock a file another is about to open.
    closeRetained(m_lockFd);
    m_started = false;
}

void Broker::trace(const char* direction, const Connection& connection, const Frame& frame)
{
    if (!m_options.verbose)
        return;
    std::string text = std::string(direction) + " connection " + std::to_string(connection.serial) + ": ";
    if (const auto* f = std::get_if<RegisterFrame>(&frame)) {
        text += "register fm id " + std::to_string(f->fmId) + " pid " + std::to_string(f->pid);
    } else if (const auto* f = std::get_if<DeregisterFrame>(&frame)) {
        text += "deregister fm id " + std::to_string(f->fmId) + " pid " + std::to_string(f->pid);
    } else if (const auto* f = std::get_if<RegAckFrame>(&frame)) {
        text += "acknowledgement fm id " + std::to_string(f->fmId) + " status " + std::to_string(f->status);
    } else if (const auto* f = std::get_if<RequestFrame>(&frame)) {
        const RequestRecord& r = f->record;
        text += "request command " + std::to_string(r.commandId) + " from " + std::to_string(r.sourceFmId) +
                " to " + std::to_string(r.destFmId) + " cookie " + std::to_string(r.cookie) + " kind " +
                std::to_string(r.dataKind) + " flags " + std::to_string(r.flags) + " size " +
                std::to_string(r.dataSize);
    } else if (const auto* f = std::get_if<ResponseFrame>(&frame)) {
        const ResponseRecord& r = f->record;
        text += "response (type " + std::to_string(f->type) + ") command " + std::to_string(r.commandId) +
                " for " + std::to_string(r.requesterFmId) + " from " + std::to_string(r.responderFmId) +
                " cookie " + std::to_string(r.cookie) + " completed " + std::to_string(r.completed) +
                " status " + std::to_string(r.status) + " kind " + std::to_string(r.dataKind) + " flags " +
                std::to_string(r.flags) + " size " + std::to_string(r.dataSize);
    }
    m_logger.logMessage(6, kComponent, text);
}

} // namespace ZAV
