#include "ConnectChurn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace TestSupport {

ConnectChurn::ConnectChurn(const std::string& socketPath, int processes, uid_t uid)
{
    sockaddr_un address {};
    if (socketPath.size() >= sizeof(address.sun_path))
        throw std::runtime_error("socket path too long: " + socketPath);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    void* shared = ::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        throw std::runtime_error(std::string("cannot map a shared counter: ") + std::strerror(errno));
    m_connections = new (shared) std::atomic<long>(0);

    for (int i = 0; i < processes; ++i) {
        const pid_t child = ::fork();
        if (child < 0) {
            const int failure = errno;
            stop();
            ::munmap(m_connections, sizeof(std::atomic<long>));
            throw std::runtime_error(std::string("cannot fork: ") + std::strerror(failure));
        }
        if (child == 0) {
            if (::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(10);
            for (;;) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd < 0)
                    ::_exit(11);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
                    m_connections->fetch_add(1);
                ::close(fd);
            }
        }
        m_children.push_back(child);
    }
}

ConnectChurn::~ConnectChurn()
{
    stop();
    ::munmap(m_connections, sizeof(std::atomic<long>));
}

bool ConnectChurn::waitFor(long count, std::chrono::milliseconds timeout) const
{
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (m_connections->load() < count) {
        if (std::chrono::steady_clock::now() >= giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool ConnectChurn::stop()
{
    bool churning = true;
    for (pid_t child : m_children) {
        ::kill(child, SIGKILL);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        churning = churning && WIFSIGNALED(status);
    }
    m_children.clear();
    return churning;
}

} // namespace TestSupport
