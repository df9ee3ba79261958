#include "QueueSandboxRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

extern char** environ;

namespace QueueRig {

namespace {

using Clock = std::chrono::steady_clock;

std::string preamble()
{
    return std::string("source '") + TQ_SOURCE_DIR + "/tests/tools/netns_rig.sh' || exit 125\n"
           "RIG_LOCAL_ADDR=10.0.0.5\nRIG_PEER_ADDR=10.0.0.7\nTOOL='" TQ_TRAFFIC_TOOL "'\n";
}

// Starts bash on script with standard output and error on a close-on-exec pipe; -1 on failure.
int spawnShell(const std::string& script, int* out)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::string body = preamble() + script;
    std::vector<char*> argv{const_cast<char*>("bash"), const_cast<char*>("-c"), body.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "bash", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

int reap(int pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int udpSocket(const char* address, uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address, &local.sin_addr);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in peer(const char* address, uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    return to;
}

} // namespace

int shell(const std::string& script, std::string* output)
{
    int out = -1;
    const int pid = spawnShell(script, &out);
    if (pid < 0)
        return -1;
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = read(out, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    close(out);
    if (output != nullptr)
        *output = text;
    return reap(pid);
}

Background::Background(const std::string& script)
{
    m_pid = spawnShell(script, &m_out);
}

Background::~Background()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        reap(m_pid);
    }
    if (m_out >= 0)
        close(m_out);
}

std::string Background::waitForLine(const std::string& prefix, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            const std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (line.compare(0, prefix.size(), prefix) == 0)
                return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{m_out, POLLIN, 0};
        if (m_out < 0 || left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0)
            return std::string();
        char buffer[256];
        const ssize_t got = read(m_out, buffer, sizeof(buffer));
        if (got <= 0)
            return std::string();
        m_pending.append(buffer, static_cast<size_t>(got));
        m_seen.append(buffer, static_cast<size_t>(got));
    }
}

unsigned listenerPortId(uint16_t queue)
{
    std::ifstream table("/proc/net/netfilter/nfnetlink_queue");
    std::string line;
    while (std::getline(table, line)) {
        // queue number, port id, queued, copy mode, copy range, ...
        std::istringstream fields(line);
        unsigned number = 0, portId = 0, total = 0, copyMode = 0;
        if (fields >> number >> portId >> total >> copyMode && number == queue)
            return copyMode == 2 ? portId : 0;
    }
    return 0;
}

bool waitForQueue(uint16_t queue, bool bound)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
    while ((listenerPortId(queue) != 0) != bound) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int udpEchoes(const char* fromAddress, uint16_t fromPort, const char* address, uint16_t port, int count)
{
    const int fd = udpSocket(fromAddress, fromPort);
    if (fd < 0)
        return 0;
    const sockaddr_in to = peer(address, port);
    int echoes = 0;
    for (int i = 0; i < count; ++i) {
        const std::string payload = "echo " + std::to_string(i);
        if (sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                   sizeof(to)) < 0)
            break;
        pollfd readable{fd, POLLIN, 0};
        char buffer[64];
        if (poll(&readable, 1, 1000) == 1 && recv(fd, buffer, sizeof(buffer), 0) == ssize_t(payload.size()) &&
            payload.compare(0, payload.size(), buffer, payload.size()) == 0)
            ++echoes;
    }
    close(fd);
    return echoes;
}

bool udpSend(const char* fromAddress, uint16_t fromPort, const char* address, uint16_t port)
{
    const int fd = udpSocket(fromAddress, fromPort);
    if (fd < 0)
        return false;
    const sockaddr_in to = peer(address, port);
    const bool sent = sendto(fd, "x", 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 1;
    close(fd);
    return sent;
}

ReaderThread::ReaderThread(std::function<int()> start, std::function<bool()> stop)
    : m_stop(std::move(stop)), m_thread([this, start = std::move(start)] {
          start();
          m_finished.store(true);
      })
{
}

ReaderThread::~ReaderThread()
{
    if (!m_thread.joinable())
        return;
    if (stopAndJoin(10000))
        return;
    ADD_FAILURE() << "the reader thread did not end; left running";
    m_thread.detach();
}

bool ReaderThread::stopAndJoin(int limitMs, int* stops)
{
    if (!m_thread.joinable())
        return true;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < deadline) {
        m_stop();
        if (stops != nullptr)
            ++*stops;
        const Clock::time_point retry = Clock::now() + std::chrono::milliseconds(100);
        while (!m_finished.load() && Clock::now() < retry)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (m_finished.load()) {
            m_thread.join();
            return true;
        }
    }
    return false;
}

} // namespace QueueRig
