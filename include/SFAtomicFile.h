#pragma once

// Replaces a file atomically: the bytes go to a fresh temporary file in the same folder (mode
// 0600, every write checked), which is flushed to disk and renamed over the target, and the
// folder is flushed too. A full disk or a crash leaves either the old file or the new one,
// never half of one, and never a temporary file behind.

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace StatefulFirewall {

// Writes all of bytes to fd, retrying EINTR and short writes; 0, or the errno of the failure.
inline int writeAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno != EINTR)
                return errno;
            continue;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// True when the file now holds exactly bytes; otherwise false with the system's reason in
// error, and the old file untouched.
inline bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error)
{
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof(suffix)); // with the terminator

    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot create a temporary file beside ") + path + ": " + std::strerror(errno);
        return false;
    }
    int failure = 0;
    if (fchmod(fd, 0600) != 0)
        failure = errno;
    if (failure == 0)
        failure = writeAll(fd, bytes);
    while (failure == 0 && fsync(fd) != 0) {
        if (errno != EINTR)
            failure = errno;
    }
    // After a successful fsync a failing close loses nothing; before it, the write failed.
    if (::close(fd) != 0 && failure == 0 && errno != EINTR)
        failure = errno;
    if (failure == 0 && ::rename(name.data(), path.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(name.data());
        error = std::string("cannot write ") + path + ": " + std::strerror(failure);
        return false;
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd); // makes the rename durable; the file itself is already safe
        ::close(folderFd);
    }
    return true;
}

} // namespace StatefulFirewall
