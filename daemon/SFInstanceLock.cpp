#include "SFInstanceLock.h"

#include "ILogger.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace StatefulFirewall {

namespace {

// A path that changes between the look and the lock at every try is being fought over; the
// daemon leaves rather than lock a file the path no longer names.
constexpr int kTakeAttempts = 3;
// Second daemons asking who holds the socket queue here until the main thread accepts them.
constexpr int kListenBacklog = 16;
// Descriptors of files the path named earlier, kept locked. Each replacement adds one; beyond
// this many, the oldest is closed, so a path replaced again and again cannot use up the
// daemon's descriptors. A taker checks that the path still names the file it locked, so an old
// file's lock guards little once the path names another.
constexpr size_t kMaxEarlierFiles = 16;
// What tells that the lock file is gone or replaced, or that the folder is.
constexpr uint32_t kFolderEvents = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_ATTRIB |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool sameFile(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

void closeIfOpen(int descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
}

// An open file description lock on the whole file, so closing another descriptor of the same
// file keeps it. 0, or the error: EAGAIN or EACCES when another process holds the file.
int lockWhole(int descriptor)
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int locked;
    do {
        locked = ::fcntl(descriptor, F_OFD_SETLK, &whole);
    } while (locked != 0 && errno == EINTR);
    return locked == 0 ? 0 : errno;
}

// Moves from to to only when nothing is at to: 0, or the error (EEXIST when something is).
int renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    const int error = errno;
    if (error != EINVAL)
        return error;
    // A file system without the flag: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// Creates a file of ours under a free name beside path: its descriptor, or -1 with errno.
int makeBeside(const std::string& path, std::string& name)
{
    name = path + ".XXXXXX";
    // mkostemp creates the file with mode 0600 and O_EXCL, so it follows no symlink.
    return ::mkostemp(name.data(), O_CLOEXEC);
}

} // namespace

SFInstanceLock::SFInstanceLock(std::string socketName, std::string lockFile)
    : m_socketName(std::move(socketName)),
      m_lockFile(std::move(lockFile)),
      m_folder(std::filesystem::path(m_lockFile).parent_path().string()),
      m_fileName(std::filesystem::path(m_lockFile).filename().string())
{
}

SFInstanceLock::~SFInstanceLock()
{
    closeIfOpen(m_watch);
    closeIfOpen(m_file);
    for (int descriptor : m_earlierFiles)
        closeIfOpen(descriptor);
    closeIfOpen(m_socket);
}

SFInstanceLock::Taken SFInstanceLock::take(std::string& failure)
{
    int error = 0;
    if (!bindSocket(error)) {
        if (error != EADDRINUSE) {
            failure = "Cannot bind the instance socket " + socketText() + ": " + std::strerror(error);
            return Taken::Failed;
        }
        // Any local user may bind the name first. Only a holder of root's is taken for a tqd;
        // another one must not keep the firewall from starting: the lock file alone decides.
        if (holderIsRoot())
            return pathLooksOurs() ? Taken::HeldWithFile : Taken::HeldSocketOnly;
        m_socketHeldElsewhere = true;
    }
    const Taken taken = takeFile(failure);
    if (taken == Taken::Failed)
        failure = "Cannot lock " + m_lockFile + ": " + failure;
    return taken;
}

bool SFInstanceLock::socketAddress(sockaddr_un& address, socklen_t& length) const
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    // The name follows a leading NUL, which puts it in the abstract namespace.
    if (m_socketName.empty() || m_socketName.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path + 1, m_socketName.data(), m_socketName.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + m_socketName.size());
    return true;
}

bool SFInstanceLock::bindSocket(int& error)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!socketAddress(address, length)) {
        error = ENAMETOOLONG;
        return false;
    }
    // It listens so that a second tqd can ask who holds it (holderIsRoot); what connects is
    // accepted and closed at once (closePending), and nothing is ever read from it.
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0) {
        error = errno;
        return false;
    }
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(descriptor, kListenBacklog) != 0) {
        error = errno;
        ::close(descriptor);
        return false;
    }
    m_socket = descriptor;
    return true;
}

bool SFInstanceLock::holderIsRoot() const
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!socketAddress(address, length))
        return false;
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0)
        return false;
    // Credentials are those the holder had when it started listening. A holder that does not
    // listen, or whose queue is full, cannot be told: the lock file decides then.
    ucred holder{};
    socklen_t size = sizeof(holder);
    int connected;
    do {
        connected = ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), length);
    } while (connected != 0 && errno == EINTR);
    const bool root = connected == 0 &&
                      ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 &&
                      size == sizeof(holder) && holder.uid == 0;
    ::close(descriptor);
    return root;
}

void SFInstanceLock::closePending()
{
    for (;;) {
        const int accepted = ::accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0 && errno == EINTR)
            continue;
        if (accepted < 0)
            return;
        ::close(accepted);
    }
}

bool SFInstanceLock::pathLooksOurs() const
{
    struct stat seen {};
    return ::lstat(m_lockFile.c_str(), &seen) == 0 && S_ISREG(seen.st_mode) && seen.st_uid == ::geteuid();
}

bool SFInstanceLock::pathNamesHeldFile() const
{
    struct stat seen {};
    struct stat held {};
    return m_file >= 0 && ::fstat(m_file, &held) == 0 && ::lstat(m_lockFile.c_str(), &seen) == 0 &&
           S_ISREG(seen.st_mode) && seen.st_uid == ::geteuid() && sameFile(seen, held);
}

SFInstanceLock::Taken SFInstanceLock::takeFile(std::string& failure)
{
    // An attempt ends with the path locked, here or elsewhere, or failed, unless the path
    // changed since the look: then failure is still empty.
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        std::error_code folderError;
        std::filesystem::create_directories(m_folder, folderError);
        if (folderError) {
            failure = "cannot create " + m_folder + ": " + folderError.message();
            return Taken::Failed;
        }
        // Looked at before it is opened: opening a FIFO or a device can block or act.
        struct stat seen {};
        if (::lstat(m_lockFile.c_str(), &seen) != 0) {
            if (errno != ENOENT) {
                failure = std::strerror(errno);
                return Taken::Failed;
            }
        } else if (S_ISREG(seen.st_mode) && seen.st_uid == ::geteuid()) {
            const Taken taken = lockPresentFile(seen, failure);
            if (taken != Taken::Failed || !failure.empty())
                return taken;
            continue;
        } else if (!clearPath(seen, failure)) {
            if (!failure.empty())
                return Taken::Failed;
            continue;
        }
        const int fresh = placeFreshFile(failure);
        if (fresh >= 0) {
            holdFile(fresh);
            return Taken::Yes;
        }
        if (!failure.empty())
            return Taken::Failed;
        // Another taker placed one first: the next look finds it locked.
    }
    failure = "the path kept changing while it was being locked";
    return Taken::Failed;
}

SFInstanceLock::Taken SFInstanceLock::lockPresentFile(const struct stat& seen, std::string& failure)
{
    int descriptor;
    do {
        descriptor = ::open(m_lockFile.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        // Removed or replaced by a symlink or a FIFO without a reader since the look.
        if (errno != ENOENT && errno != ELOOP && errno != ENXIO)
            failure = std::strerror(errno);
        return Taken::Failed;
    }
    struct stat opened {};
    if (::fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode) || !sameFile(opened, seen)) {
        ::close(descriptor);
        return Taken::Failed;
    }
    // A file this object still holds (the path named it before and names it again): this
    // process's own lock would refuse it.
    if (holdKept(opened)) {
        ::close(descriptor);
        return pathNamesHeldFile() ? Taken::Yes : Taken::Failed;
    }
    const int error = lockWhole(descriptor);
    if (error != 0) {
        ::close(descriptor);
        // Held by another process: a tqd holds the lock, and its file is never replaced.
        if (error == EACCES || error == EAGAIN)
            return Taken::HeldFile;
        failure = std::strerror(error);
        return Taken::Failed;
    }
    // A lock on a file the path stopped naming between the look and the lock guards nothing;
    // closing the descriptor drops it again.
    struct stat now {};
    if (::lstat(m_lockFile.c_str(), &now) == 0 && sameFile(now, opened)) {
        holdFile(descriptor);
        return Taken::Yes;
    }
    ::close(descriptor);
    return Taken::Failed;
}

bool SFInstanceLock::clearPath(const struct stat& seen, std::string& failure)
{
    // rmdir removes nothing but an empty folder, so it cannot remove a file a taker placed.
    if (S_ISDIR(seen.st_mode)) {
        if (::rmdir(m_lockFile.c_str()) == 0)
            return true;
        if (errno != ENOENT && errno != ENOTDIR)
            failure = "cannot remove the folder in its place: " + std::string(std::strerror(errno));
        return false;
    }
    // No call removes a name only while it names a given file. So whatever the path names is
    // moved aside under a free name of ours, and removed only when it is what was looked at: a
    // file another taker placed since the look goes back at once, unless a third one placed
    // another meanwhile (its holder then finds the path naming a file another holds, and
    // leaves).
    std::string aside;
    const int made = makeBeside(m_lockFile, aside);
    if (made < 0) {
        failure = "cannot create a file in " + m_folder + ": " + std::strerror(errno);
        return false;
    }
    ::close(made);
    if (::rename(m_lockFile.c_str(), aside.c_str()) != 0) {
        const int error = errno;
        ::unlink(aside.c_str());
        // Gone, or a folder now, since the look.
        if (error != ENOENT && error != EISDIR && error != ENOTDIR)
            failure = "cannot move it aside to " + aside + ": " + std::strerror(error);
        return false;
    }
    // The kind and the owner are compared too: an inode number freed by a removal comes back
    // at once for the next file, and the files takers place are regular files of ours, which
    // what was seen is not.
    struct stat moved {};
    const bool looked = ::lstat(aside.c_str(), &moved) == 0 && sameFile(moved, seen) &&
                        moved.st_mode == seen.st_mode && moved.st_uid == seen.st_uid;
    if (looked || renameNoReplace(aside, m_lockFile) != 0) {
        if (::unlink(aside.c_str()) != 0 && errno == EISDIR)
            ::rmdir(aside.c_str());
    }
    return looked;
}

int SFInstanceLock::placeFreshFile(std::string& failure)
{
    // Made and locked under a temporary name beside the path, then moved there only while
    // nothing is: whoever finds a file at the path finds it locked, and two takers of a
    // missing path cannot both place one.
    std::string temporary;
    const int descriptor = makeBeside(m_lockFile, temporary);
    if (descriptor < 0) {
        failure = "cannot create a file in " + m_folder + ": " + std::strerror(errno);
        return -1;
    }
    const int lockError = lockWhole(descriptor);
    const int moveError = lockError == 0 ? renameNoReplace(temporary, m_lockFile) : 0;
    if (lockError == 0 && moveError == 0)
        return descriptor;
    ::unlink(temporary.c_str());
    ::close(descriptor);
    if (lockError != 0)
        failure = "cannot lock " + temporary + ": " + std::strerror(lockError);
    else if (moveError != EEXIST)
        failure = "cannot rename " + temporary + " to " + m_lockFile + ": " + std::strerror(moveError);
    return -1;
}

void SFInstanceLock::holdFile(int descriptor)
{
    if (m_file >= 0)
        m_earlierFiles.push_back(m_file);
    m_file = descriptor;
    while (m_earlierFiles.size() > kMaxEarlierFiles) {
        ::close(m_earlierFiles.front());
        m_earlierFiles.pop_front();
    }
}

bool SFInstanceLock::holdKept(const struct stat& file)
{
    struct stat kept {};
    if (m_file >= 0 && ::fstat(m_file, &kept) == 0 && sameFile(kept, file))
        return true;
    for (int& earlier : m_earlierFiles) {
        if (::fstat(earlier, &kept) == 0 && sameFile(kept, file)) {
            std::swap(earlier, m_file);
            return true;
        }
    }
    return false;
}

bool SFInstanceLock::watch(ZAV::ILogger& logger, const std::string& component)
{
    m_watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_watch < 0) {
        logger.logMessage(2, component, "Cannot watch " + m_folder + " for changes of the instance lock file: " +
                                            std::strerror(errno) + "; a removed or replaced lock file goes unnoticed");
        return true;
    }
    // Sets the watch, and puts the file back when the path changed between the take and the
    // watch, which no event reports.
    return restoreIfChanged(logger, component);
}

bool SFInstanceLock::folderWatched() const
{
    struct stat now {};
    return m_folderWatch >= 0 && ::stat(m_folder.c_str(), &now) == 0 && S_ISDIR(now.st_mode) &&
           sameFile(now, m_watchedFolder);
}

bool SFInstanceLock::watchFolder(std::string& failure)
{
    // The old watch follows a folder that was moved away, or a removed one until its end;
    // what counts is the folder at the path.
    if (m_folderWatch >= 0)
        ::inotify_rm_watch(m_watch, m_folderWatch);
    m_folderWatch = ::inotify_add_watch(m_watch, m_folder.c_str(), kFolderEvents);
    if (m_folderWatch < 0 || ::stat(m_folder.c_str(), &m_watchedFolder) != 0) {
        failure = "Cannot watch " + m_folder + " for changes of the instance lock file: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SFInstanceLock::drainEvents()
{
    bool relevant = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_watch, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return relevant;
        size_t offset = 0;
        while (offset + sizeof(inotify_event) <= static_cast<size_t>(got)) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            const size_t end = offset + sizeof(inotify_event) + event->len;
            if (end > static_cast<size_t>(got))
                break;
            offset = end;
            // Lost events, the folder itself, or the lock file's name. A watch given up earlier
            // still reports its end.
            if ((event->mask & IN_Q_OVERFLOW) != 0)
                relevant = true;
            else if (event->wd != m_folderWatch)
                continue;
            else if (event->len == 0 ||
                     m_fileName == std::string(event->name, ::strnlen(event->name, event->len)))
                relevant = true;
        }
    }
}

bool SFInstanceLock::keepInPlace(ZAV::ILogger& logger, const std::string& component)
{
    // Read even when the lock is lost, so the descriptor stops polling readable.
    if (m_watch >= 0 && drainEvents())
        return restoreIfChanged(logger, component);
    return !m_lost;
}

bool SFInstanceLock::restoreIfChanged(ZAV::ILogger& logger, const std::string& component)
{
    if (m_lost)
        return false;
    Taken taken = Taken::Yes;
    bool placed = false;
    std::string failure;
    std::string unwatched;
    for (int attempt = 0;; ++attempt) {
        // The folder is compared by its identity, not told by its own events: the kernel
        // reports a removed folder's end only once no file in it is open any more, and the
        // daemon keeps its locked files open.
        if (!folderWatched()) {
            std::error_code folderError;
            std::filesystem::create_directories(m_folder, folderError);
            if (folderError) {
                failure = "cannot create " + m_folder + ": " + folderError.message();
                break;
            }
            unwatched.clear();
            watchFolder(unwatched);
        }
        // Only looked at: the first time, whether anything changed; later, whether the file
        // put back is still there, in the folder watched.
        if (pathNamesHeldFile()) {
            failure.clear();
            break;
        }
        if (attempt == kTakeAttempts) {
            if (failure.empty())
                failure = "the path kept changing while it was being locked";
            break;
        }
        failure.clear();
        taken = takeFile(failure);
        if (taken == Taken::HeldFile)
            break;
        placed = placed || taken == Taken::Yes;
        // The folder may have gone since it was looked at: the next attempt makes it again.
    }
    if (taken == Taken::HeldFile) {
        // Putting a file back over it would make two holders that replace each other's file
        // without end. The other holder came in while the path named no file of this tqd's.
        m_lost = true;
        logger.logMessage(2, component, "The instance lock file " + m_lockFile +
                                            " was removed or replaced, and another process holds the one in its "
                                            "place (a tqd in another network namespace, or one started meanwhile); "
                                            "this tqd leaves the lock to it");
        return false;
    }
    if (placed)
        logger.logMessage(2, component, "The instance lock file " + m_lockFile +
                                            " was removed or replaced; this tqd puts a locked file of its own back "
                                            "in its place");
    if (!failure.empty())
        logger.logMessage(2, component, "Cannot put the instance lock file " + m_lockFile + " back: " + failure +
                                            "; the instance socket " + socketText() +
                                            " still keeps a second tqd out of this network namespace");
    if (m_folderWatch < 0 && !unwatched.empty())
        logger.logMessage(2, component, unwatched + "; a removed or replaced lock file goes unnoticed");
    return true;
}

} // namespace StatefulFirewall
