#include "TqStoreBridgeOutput.h"

#include <boost/archive/archive_exception.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace StatefulFirewall {

namespace {

bool writeAll(int fd, const std::string& bytes, int& error)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        if (n == 0) { // no progress and no reason: never loop on it
            error = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Buffered data of some file systems is only written at close, so its result counts. On Linux
// the descriptor is gone even after EINTR, and retrying could close another one.
bool closeChecked(int fd, int& error)
{
    if (::close(fd) == 0 || errno == EINTR)
        return true;
    error = errno;
    return false;
}

// A device or fifo: written where it is, without truncation (it has none) or fsync (which
// fails on them).
TqStoreBridgeOutput::Result writeInPlace(const std::string& path, const std::string& bytes,
                                         int& error)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return TqStoreBridgeOutput::Result::OpenFailed;
    }
    bool ok = writeAll(fd, bytes, error);
    int closeError = 0;
    if (!closeChecked(fd, closeError) && ok) {
        error = closeError;
        ok = false;
    }
    return ok ? TqStoreBridgeOutput::Result::Written : TqStoreBridgeOutput::Result::WriteFailed;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file lives in the target's folder, so the rename stays on one file system.
TqStoreBridgeOutput::Result replaceRegular(const std::string& target, mode_t mode,
                                           const std::string& bytes, int& error)
{
    std::vector<char> name;
    int fd;
    do {
        name.assign(target.begin(), target.end());
        const char suffix[] = ".XXXXXX";
        name.insert(name.end(), suffix, suffix + sizeof(suffix)); // with the terminator
        fd = ::mkostemp(name.data(), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return TqStoreBridgeOutput::Result::OpenFailed;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    if (!ok)
        error = errno;
    ok = ok && writeAll(fd, bytes, error);
    while (ok && ::fsync(fd) != 0) {
        if (errno != EINTR) {
            error = errno;
            ok = false;
        }
    }
    int closeError = 0;
    if (!closeChecked(fd, closeError) && ok) {
        error = closeError;
        ok = false;
    }
    if (ok && ::rename(name.data(), target.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(name.data());
        return TqStoreBridgeOutput::Result::WriteFailed;
    }
    // Makes the rename durable; the new content itself is already on disk.
    const int folderFd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return TqStoreBridgeOutput::Result::Written;
}

} // namespace

TqStoreBridgeOutput::Result TqStoreBridgeOutput::write(const std::string& path,
                                                       const std::string& bytes, int& error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            error = errno;
            return Result::OpenFailed;
        }
        // A missing folder shows when the temporary file cannot be made.
        return replaceRegular(path, 0600, bytes, error);
    }
    if (!S_ISREG(st.st_mode))
        return writeInPlace(path, bytes, error);

    // A file we may not write stays as it is, as it would when opened for writing.
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        error = errno;
        return Result::OpenFailed;
    }
    // Through a symbolic link the file it names is replaced, not the link.
    std::string target = path;
    struct stat linkSt {};
    if (::lstat(path.c_str(), &linkSt) == 0 && S_ISLNK(linkSt.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            error = errno;
            return Result::OpenFailed;
        }
        target = resolved;
        std::free(resolved);
    }
    return replaceRegular(target, st.st_mode & 07777, bytes, error);
}

int TqStoreBridgeOutput::save(const std::function<std::string()>& encode, const std::string& path,
                              const TqStoreBridgeTexts& texts)
{
    // The whole store is encoded before the output is touched, so an encoding failure leaves
    // the output as it was.
    std::string bytes;
    try {
        bytes = encode();
    } catch (const boost::archive::archive_exception& e) {
        std::cerr << texts.archiveFailure << e.what() << std::endl;
        return 1;
    } catch (...) {
        std::cerr << texts.otherFailure << std::endl;
        return 1;
    }

    int error = 0;
    switch (write(path, bytes, error)) {
    case Result::Written:
        return 0;
    case Result::OpenFailed:
        std::cerr << texts.openFailure << std::endl;
        return 1;
    case Result::WriteFailed:
        std::cerr << texts.otherFailure << std::strerror(error) << std::endl;
        return 1;
    }
    return 1;
}

} // namespace StatefulFirewall
