// Run lifecycle and netlink I/O of the interface monitor: starting and stopping a run, the
// dumps and the notification loop. Message parsing and the tables are in
// SFFMNwIFManagerTables.cpp.

#include "SFFMNwIFManager.h"

#include "ILogger.h"
#include "SFNetlinkLength.h"

#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <vector>

namespace StatefulFirewall {

struct SFFMNwIFManager::RunState {
    mnl_socket* socket = nullptr;
    int eventFd = -1;
    unsigned portId = 0;
    uint32_t sequence = 0;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> finished{false};
    std::vector<char> buffer;

    std::mutex firstBuildMutex;
    std::condition_variable firstBuild;
    bool firstBuildDone = false; // guarded by firstBuildMutex

    RunState() : buffer(static_cast<size_t>(MNL_SOCKET_BUFFER_SIZE)) {}
    ~RunState()
    {
        if (socket != nullptr)
            mnl_socket_close(socket);
        if (eventFd >= 0)
            close(eventFd);
    }
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;

    void closeSocket()
    {
        if (socket != nullptr)
            mnl_socket_close(socket);
        socket = nullptr;
    }
};

namespace {

constexpr char COMPONENT_NAME[] = "NetworkInterfaceManager";
// The eventfd wakes the loop at once; the timeout only bounds how long a stop whose wake-up
// could not be written takes to be noticed.
constexpr int STOP_CHECK_MS = 1000;
// How long start waits for the first picture, so the caller's first reading is complete.
constexpr auto FIRST_BUILD_WAIT = std::chrono::seconds(3);
// Pause after a receive error other than lost notifications, so a lasting one cannot spin.
constexpr int ERROR_BACKOFF_MS = 100;

enum class Received { Data, Stopped, Error };

// A dump request for links (AF_PACKET) or IPv4 addresses (AF_INET) into buf.
nlmsghdr* buildDumpRequest(char* buf, uint16_t type, uint8_t family, uint32_t sequence)
{
    nlmsghdr* request = mnl_nlmsg_put_header(buf);
    request->nlmsg_type = type;
    request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request->nlmsg_seq = sequence;
    auto* generic = static_cast<rtgenmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtgenmsg)));
    generic->rtgen_family = family;
    return request;
}

// Sends one request to the kernel; 0 or the errno of the failure.
int sendToKernel(int fd, const nlmsghdr* request)
{
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = sendto(fd, request, request->nlmsg_len, MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
        int error = errno;
        if (sent >= 0)
            return 0;
        if (error != EINTR)
            return error;
    }
}

// Sleeps up to ms unless the stop wake-up arrives first.
void pauseUnlessStopped(int eventFd, int ms)
{
    pollfd wake{eventFd, POLLIN, 0};
    while (poll(&wake, 1, ms) < 0 && errno == EINTR) {
    }
}

} // namespace

SFFMNwIFManager::SFFMNwIFManager(ZAV::ILogger& logger) : m_logger(logger), m_componentName(COMPONENT_NAME)
{
}

SFFMNwIFManager::~SFFMNwIFManager()
{
    stopSFFMNwIFManager();
}

void SFFMNwIFManager::log(int level, const std::string& message) const
{
    m_logger.logMessage(level, m_componentName, message);
}

namespace {

// Waits for a kernel message on the run's socket or for the stop wake-up. Messages not sent
// by the kernel (port id 0) are dropped: other processes may write to our port id.
Received receive(mnl_socket* socket, int eventFd, const std::atomic<bool>& stopRequested,
                 std::vector<char>& buffer, size_t* length, int* error)
{
    int fd = mnl_socket_get_fd(socket);
    for (;;) {
        if (stopRequested.load())
            return Received::Stopped;
        pollfd fds[2] = {{fd, POLLIN, 0}, {eventFd, POLLIN, 0}};
        int ready = poll(fds, 2, STOP_CHECK_MS);
        int pollError = errno;
        if (ready < 0) {
            if (pollError == EINTR)
                continue;
            *error = pollError;
            return Received::Error;
        }
        if (fds[1].revents != 0)
            return Received::Stopped;
        if (fds[0].revents & POLLNVAL) {
            *error = EBADF;
            return Received::Error;
        }
        if (fds[0].revents == 0)
            continue;

        sockaddr_nl from{};
        iovec iov{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof(from);
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        ssize_t received = recvmsg(fd, &message, MSG_DONTWAIT);
        int recvError = errno;
        if (received < 0) {
            if (recvError == EINTR || recvError == EAGAIN || recvError == EWOULDBLOCK)
                continue;
            *error = recvError;
            return Received::Error;
        }
        // A cut message means lost content, which is repaired like lost notifications; so does
        // a message stating more bytes than arrived (libmnl's own walk would read past them).
        if ((message.msg_flags & MSG_TRUNC) ||
            (received > 0 && wholeNetlinkMessagesLength(buffer.data(), static_cast<size_t>(received)) <
                                 static_cast<size_t>(received))) {
            *error = ENOBUFS;
            return Received::Error;
        }
        if (received == 0 || message.msg_namelen != sizeof(from) || from.nl_family != AF_NETLINK ||
            from.nl_pid != 0)
            continue;
        *length = static_cast<size_t>(received);
        return Received::Data;
    }
}

} // namespace

bool SFFMNwIFManager::startSFFMNwIFManager()
{
    try {
        boost::unique_lock<boost::mutex> control(m_controlMutex);
        if (m_run) {
            if (!m_run->stopRequested.load() && !m_run->finished.load())
                return true;
            // A run that is stopping or ended early: it must be gone before a new one opens
            // its socket and empties the tables.
            m_run->stopRequested.store(true);
            if (m_thread.joinable())
                m_thread.join();
            m_run.reset();
        }

        auto run = std::make_shared<RunState>();
        run->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        int error = errno;
        if (run->eventFd < 0) {
            log(2, "Could not create the wake-up descriptor of the network interface manager thread: " +
                       std::string(strerror(error)));
            return true;
        }

        log(6, "Started network interface manager thread");
        m_thread = boost::thread([this, run] { networkManagerThread(*run); });
        m_run = run;

        std::unique_lock<std::mutex> lock(run->firstBuildMutex);
        run->firstBuild.wait_for(lock, FIRST_BUILD_WAIT, [&run] { return run->firstBuildDone; });
        return true;
    } catch (const std::exception& e) {
        log(6, "Caught unknown exception when starting network interface manager thread");
        log(2, std::string("Starting the network interface manager thread failed: ") + e.what());
        return true;
    }
}

bool SFFMNwIFManager::stopSFFMNwIFManager()
{
    try {
        boost::unique_lock<boost::mutex> control(m_controlMutex);
        if (!m_run)
            return true;
        m_run->stopRequested.store(true);
        const uint64_t one = 1;
        for (;;) {
            ssize_t written = write(m_run->eventFd, &one, sizeof(one));
            int error = errno;
            // EAGAIN: the counter is saturated, so the thread is already woken.
            if (written == static_cast<ssize_t>(sizeof(one)) || (written < 0 && error == EAGAIN))
                break;
            if (written < 0 && error == EINTR)
                continue;
            log(2, "Netlink response socket open Failed! " + std::string(strerror(error)));
            // The thread still sees the stop flag within STOP_CHECK_MS; the next start or the
            // destructor joins it.
            return false;
        }
        if (m_thread.joinable())
            m_thread.join();
        m_run.reset();
        return true;
    } catch (const std::exception& e) {
        log(2, std::string("Stopping the network interface manager thread failed: ") + e.what());
        return false;
    }
}

void SFFMNwIFManager::networkManagerThread(RunState& run)
{
    // Whatever way the run ends, start must stop waiting for it.
    struct FirstBuildSignal {
        RunState& run;
        void signal()
        {
            std::lock_guard<std::mutex> lock(run.firstBuildMutex);
            run.firstBuildDone = true;
            run.firstBuild.notify_all();
        }
        ~FirstBuildSignal()
        {
            run.finished.store(true);
            signal();
        }
    } firstBuildSignal{run};

    try {
        if (!configureNetlinkConnection(run)) {
            log(2, "Error configuring netlink connection. Exiting thread to monitor network interfaces");
            run.closeSocket();
            return;
        }
        DumpResult links = DumpResult::Done;
        DumpResult result = readAllTables(run, &links);
        if (result == DumpResult::Failed) {
            if (links == DumpResult::Failed)
                log(2, "Error reading local interfaces information. Exiting thread to monitor network interfaces");
            else
                log(2, "Error reading local subnets. Exiting thread to monitor network interfaces");
        }
        if (result == DumpResult::Done) {
            if (updateUniqueNetworkInfo())
                log(6, "The unique network information list was successfully created for the first time");
            firstBuildSignal.signal();
            monitorNwInterfaces(run);
        }
        log(6, "Closing Netlink socket");
        run.closeSocket();
    } catch (const std::exception& e) {
        log(2, std::string("The network interface manager thread ended on an error: ") + e.what());
        run.closeSocket();
    }
}

bool SFFMNwIFManager::configureNetlinkConnection(RunState& run)
{
    run.socket = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (run.socket == nullptr) {
        log(2, "Failed to open a socket to route as mnl_socket_open returned Null in the Network Manager thread");
        return false;
    }
    if (mnl_socket_bind(run.socket, RTMGRP_LINK | RTMGRP_IPV4_IFADDR, MNL_SOCKET_AUTOPID) < 0) {
        log(2, "Failed to bind to mnl socket of route as mnl_socket_bind returned less than zero in the Network Manager thread");
        return false;
    }
    run.portId = mnl_socket_get_portid(run.socket);
    run.sequence = static_cast<uint32_t>(time(nullptr));
    return true;
}

SFFMNwIFManager::DumpResult SFFMNwIFManager::readAllTables(RunState& run, DumpResult* links)
{
    // Bounded, so a host whose addresses never stop changing still gets monitored; the
    // notifications that follow keep the tables moving towards the kernel's state.
    constexpr int MAX_ROUNDS = 3;
    for (int round = 0; round < MAX_ROUNDS; ++round) {
        clearRawTables();
        bool resyncNeeded = false;
        *links = dump(run, true, &resyncNeeded);
        if (*links != DumpResult::Done)
            return *links;
        DumpResult addresses = dump(run, false, &resyncNeeded);
        if (addresses != DumpResult::Done || !resyncNeeded)
            return addresses;
    }
    return DumpResult::Done;
}

SFFMNwIFManager::DumpResult SFFMNwIFManager::dump(RunState& run, bool links, bool* resyncNeeded)
{
    const uint32_t sequence = ++run.sequence;
    const nlmsghdr* request = buildDumpRequest(run.buffer.data(), links ? RTM_GETLINK : RTM_GETADDR,
                                               links ? AF_PACKET : AF_INET, sequence);
    if (sendToKernel(mnl_socket_get_fd(run.socket), request) != 0) {
        log(6, "Error in sending message to netlink socket");
        return DumpResult::Failed;
    }
    mnl_cb_t callback = links ? readAllInterfaceFnCallback : readAllIpAddressFnCallback;

    for (;;) {
        size_t length = 0;
        int error = 0;
        Received received = receive(run.socket, run.eventFd, run.stopRequested, run.buffer, &length, &error);
        if (received == Received::Stopped)
            return DumpResult::Stopped;
        if (received == Received::Error) {
            // Lost notifications do not cut the dump itself: the kernel fills the next part
            // only when the socket has room. The tables are read again once it is done.
            if (error == ENOBUFS) {
                *resyncNeeded = true;
                continue;
            }
            log(6, "Error in receiving netlink messages from netlink socket");
            return DumpResult::Failed;
        }

        int remaining = static_cast<int>(length);
        auto* message = reinterpret_cast<nlmsghdr*>(run.buffer.data());
        for (; mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
            // Notifications arrive on the same socket between the dump's parts.
            if (message->nlmsg_pid != run.portId || message->nlmsg_seq != sequence) {
                applyNotification(message);
                continue;
            }
            // The kernel's state changed during the dump: read it once more afterwards.
            if (message->nlmsg_flags & NLM_F_DUMP_INTR) {
                *resyncNeeded = true;
                message->nlmsg_flags &= ~static_cast<uint16_t>(NLM_F_DUMP_INTR);
            }
            int result = mnl_cb_run(message, message->nlmsg_len, sequence, run.portId, callback, this);
            if (result < 0) {
                log(6, links ? "Error in callback handler for raw interface list netlink messages"
                             : "Error in callback handler for ip address list netlink messages");
                return DumpResult::Failed;
            }
            if (result == MNL_CB_STOP) {
                log(6, links ? "Stop callback for handler for raw interface list messages"
                             : "Stop callback for handler for ip address list messages");
                return DumpResult::Done;
            }
        }
    }
}

bool SFFMNwIFManager::resynchronise(RunState& run)
{
    DumpResult links = DumpResult::Done;
    DumpResult result = readAllTables(run, &links);
    if (result == DumpResult::Stopped)
        return true;
    if (result == DumpResult::Failed)
        return false;
    if (updateUniqueNetworkInfo()) {
        log(6, "Detected changes in unique network information list. Setting changed flag to true");
        boost::lock_guard<boost::mutex> lock(m_instanceMutex);
        m_uniqueSubnetListChanged = true;
    }
    return true;
}

void SFFMNwIFManager::monitorNwInterfaces(RunState& run)
{
    bool resyncPending = false;
    for (;;) {
        if (resyncPending) {
            log(4, "Netlink notifications were lost; reading the links and addresses again");
            resyncPending = !resynchronise(run);
            if (run.stopRequested.load())
                return;
            // A failed reading leaves the raw tables incomplete: read again shortly rather
            // than rebuild from them.
            if (resyncPending) {
                pauseUnlessStopped(run.eventFd, ERROR_BACKOFF_MS);
                continue;
            }
        }

        size_t length = 0;
        int error = 0;
        Received received = receive(run.socket, run.eventFd, run.stopRequested, run.buffer, &length, &error);
        if (received == Received::Stopped)
            return;
        if (received == Received::Error) {
            if (error == ENOBUFS) {
                resyncPending = true;
                continue;
            }
            log(6, "Error in receiving netlink messages from netlink socket during real time network monitoring");
            log(2, "Error in receiving netlink messages is being ignored since socket is not being shutdown");
            pauseUnlessStopped(run.eventFd, ERROR_BACKOFF_MS);
            continue;
        }
        int result = mnl_cb_run(run.buffer.data(), length, 0, 0, monitorNetworkFnCallback, this);
        if (result <= 0) {
            log(6, "Error in callback handler for real time network monitoring");
            log(2, "Error in callback handler for real time network monitoring is being ignored since socket is not being shutdown");
        }
    }
}

} // namespace StatefulFirewall
