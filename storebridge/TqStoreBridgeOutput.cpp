#include "TqStoreBridgeOutput.h"

#include "SFAtomicFile.h"

#include <boost/archive/archive_exception.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

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
    error = writeAll(fd, bytes);
    bool ok = error == 0;
    int closeError = 0;
    if (!closeChecked(fd, closeError) && ok) {
        error = closeError;
        ok = false;
    }
    return ok ? TqStoreBridgeOutput::Result::Written : TqStoreBridgeOutput::Result::WriteFailed;
}

// The daemon's own atomic replacement: through links, owner and group kept, flushed before
// the rename.
TqStoreBridgeOutput::Result replace(const std::string& path, SFReplaceMode mode,
                                    const std::string& bytes, int& error)
{
    switch (replaceFileAtomically(path, bytes, mode, error)) {
    case SFReplaceResult::Replaced:
        return TqStoreBridgeOutput::Result::Written;
    case SFReplaceResult::CreateFailed:
        return TqStoreBridgeOutput::Result::OpenFailed;
    case SFReplaceResult::WriteFailed:
        break;
    }
    return TqStoreBridgeOutput::Result::WriteFailed;
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
        return replace(path, SFReplaceMode::Private, bytes, error);
    }
    if (!S_ISREG(st.st_mode))
        return writeInPlace(path, bytes, error);

    // A file we may not write stays as it is, as it would when opened for writing.
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        error = errno;
        return Result::OpenFailed;
    }
    return replace(path, SFReplaceMode::KeepMode, bytes, error);
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
