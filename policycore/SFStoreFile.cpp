#include "SFStoreFile.h"

#include "SFAtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

std::string reason(int error)
{
    return std::strerror(error);
}

} // namespace

bool SFStoreFile::lock(std::string& error)
{
    unlock();
    int fd;
    do {
        fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return true; // nothing to lock yet; the write creates the file
    while (lockf(fd, F_LOCK, 0) != 0) {
        const int failure = errno;
        if (failure == EINTR)
            continue;
        ::close(fd);
        error = reason(failure);
        return false;
    }
    m_fd = fd;
    return true;
}

void SFStoreFile::unlock()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock; on Linux the descriptor is gone even on EINTR
        m_fd = -1;
    }
}

SFStoreFile::ReadResult SFStoreFile::read(std::string& bytes, std::string& error) const
{
    bytes.clear();
    // While locked, read through the lock descriptor: opening and closing another descriptor
    // of the file would drop this process's lock on it.
    int fd = m_fd;
    if (fd >= 0) {
        if (::lseek(fd, 0, SEEK_SET) < 0) {
            error = reason(errno);
            return ReadResult::Failed;
        }
    } else {
        do {
            fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            const int failure = errno;
            if (failure == ENOENT)
                return ReadResult::Missing;
            error = reason(failure);
            return ReadResult::Failed;
        }
    }
    ReadResult result = ReadResult::Read;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            const int failure = errno;
            if (failure == EINTR)
                continue;
            error = reason(failure);
            result = ReadResult::Failed;
            break;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    if (fd != m_fd)
        ::close(fd);
    return result;
}

bool SFStoreFile::createEmpty(std::string& error) const
{
    int fd;
    do {
        fd = ::open(m_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = reason(errno);
        return false;
    }
    const bool ok = fchmod(fd, 0600) == 0;
    if (!ok)
        error = reason(errno);
    ::close(fd);
    return ok;
}

bool SFStoreFile::replace(const std::string& bytes, std::string& error) const
{
    return writeFileAtomically(m_path, bytes, error);
}

bool SFStoreFile::keepAsCorrupt(std::string& keptPath, std::string& error) const
{
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0 || st.st_size == 0)
        return false;
    keptPath = m_path + ".corrupt";
    if (::rename(m_path.c_str(), keptPath.c_str()) != 0) {
        error = reason(errno);
        return false;
    }
    return true;
}

} // namespace StatefulFirewall
