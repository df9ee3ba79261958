#include "SFStoreFile.h"

#include "SFAtomicFile.h"
#include "SFWholeFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

// Replacements seen while waiting for the lock before giving up; each one is a finished write
// by another process, so reaching this means the file is rewritten without pause.
constexpr int kMaxLockAttempts = 100;

std::string reason(int error)
{
    return std::strerror(error);
}

} // namespace

bool SFStoreFile::lock(std::string& error)
{
    unlock();
    // A writer replaces the file by renaming a new one over it, so the file this process
    // waited on may no longer be the one at the path once the lock is granted. Then the lock
    // is taken again on the file now there; each retry means another write was completed.
    for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
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
        struct stat held {};
        struct stat current {};
        if (::fstat(fd, &held) != 0) {
            const int failure = errno;
            ::close(fd);
            error = reason(failure);
            return false;
        }
        if (::stat(m_path.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
            current.st_ino == held.st_ino) {
            m_fd = fd;
            return true;
        }
        ::close(fd); // replaced or set aside while we waited
    }
    error = "the file was replaced " + std::to_string(kMaxLockAttempts) +
            " times while waiting for its lock";
    return false;
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
    int failure = 0;
    const bool complete = readToEnd(fd, kUnboundedFile, bytes, failure) == WholeFileRead::Read;
    if (fd != m_fd)
        ::close(fd);
    if (!complete) {
        error = reason(failure);
        return ReadResult::Failed;
    }
    return ReadResult::Read;
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
    return keepAsideWithoutReplacing(m_path, keptPath, error);
}

int SFStoreFile::removeLeftoverTemporaries() const
{
    return StatefulFirewall::removeLeftoverTemporaries(m_path);
}

} // namespace StatefulFirewall
