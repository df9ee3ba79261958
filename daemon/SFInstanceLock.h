#pragma once

// The daemon's instance lock: only one tqd acts on a host's filter table, stores and settings.
//
// Two locks, taken in this order. First an abstract-namespace Unix socket bound to a fixed name:
// no file-system operation can take it away, the kernel frees it when the process dies (also
// at SIGKILL), and its scope, the network namespace, is the scope of the iptables tables a tqd
// drives. Any local user can bind that name, so a holder counts as a tqd only when it listens
// as root; a holder of another user's leaves the decision to the lock file. Then the lock file,
// which also guards across network namespaces that share the file system. It is locked with an
// open file description lock (F_OFD_SETLK), which conflicts with the lockf locks of other
// processes as well, and, unlike lockf, is not dropped when another descriptor of the same file
// is closed: the daemon may open a file it already holds without losing it.
//
// A file another taker placed or holds is never replaced:
// - a fresh file is made and locked under a temporary name, then moved to the path with a
//   rename that refuses to replace anything, so two takers of a missing path cannot both place
//   one;
// - a regular file of our effective uid at the path is opened and locked; when another process
//   holds it, a tqd holds the lock, and the file is never replaced;
// - anything else there (a FIFO, a device, a symlink, another owner's file) is moved aside and
//   removed only when it is what was looked at; something placed meanwhile goes back at once.
//   An empty folder is removed with rmdir, which never removes a file.
// The path is only looked at with lstat before it is opened. While the daemon runs, an inotify
// watch on the lock file's folder tells when the path stops naming the locked file; keepInPlace
// then puts a locked file back the same way (and the folder and the watch, when the folder
// went), or, when another process holds the file the path names by then, says so once and
// tells the daemon to leave.
//
// Ownership: owns the socket, the locked descriptors and the inotify descriptor; all are closed
// with the object, which frees both locks. Every descriptor is close-on-exec, so the child
// processes the daemon starts hold neither lock.
// Threads: one thread at a time. The daemon's main thread makes it, takes it and watches; then
// it hands it to SFInstanceLockKeeper, whose thread alone uses it (keepInPlace, closePending)
// until it is freed.

#include <deque>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class SFInstanceLock {
public:
    // socketName: the abstract socket's name, without its leading NUL. lockFile: an absolute
    // path.
    SFInstanceLock(std::string socketName, std::string lockFile);
    ~SFInstanceLock();

    SFInstanceLock(const SFInstanceLock&) = delete;
    SFInstanceLock& operator=(const SFInstanceLock&) = delete;

    enum class Taken {
        Yes,
        // Another process holds the socket; the lock file's path names a regular file of ours,
        // so the lock file is what the user is told of.
        HeldWithFile,
        // Another process holds the socket, and the lock file was removed or replaced.
        HeldSocketOnly,
        // The socket was free, but another process holds the lock file (a tqd in another
        // network namespace on the same file system).
        HeldFile,
        Failed,
    };
    // Takes the socket, then the lock file. A socket held elsewhere ends the attempt before any
    // file is opened. Failed: failure says what failed, in the user's terms.
    Taken take(std::string& failure);

    // After take: watches the lock file's folder, then puts the file back when the path changed
    // since the take. False, logged, when another process holds the file the path names by then:
    // the daemon must leave. A watch that cannot be set is logged only: the locks are still
    // held, and a later change of the path goes unnoticed.
    bool watch(ZAV::ILogger& logger, const std::string& component);
    // The inotify descriptor to poll for reading; -1 when nothing is watched.
    int watchDescriptor() const { return m_watch; }
    // Reads what the watch reports and, when the path no longer names the locked file (or it is
    // no longer ours), puts a locked file back and logs it. False from the first time the path
    // names a file another process holds: that is logged once, and nothing is done any more
    // (the daemon leaves). Never blocks.
    bool keepInPlace(ZAV::ILogger& logger, const std::string& component);

    // The socket to poll for reading while it is held: a second tqd that asked who holds it
    // waits in its queue until closePending. -1 when not held.
    int socketDescriptor() const { return m_socket; }
    void closePending();
    // After take: the socket was bound by a process not of root's, so only the lock file keeps
    // a second tqd out.
    bool socketHeldElsewhere() const { return m_socketHeldElsewhere; }

    std::string socketText() const { return "@" + m_socketName; }
    const std::string& lockFile() const { return m_lockFile; }

private:
    bool socketAddress(sockaddr_un& address, socklen_t& length) const;
    bool bindSocket(int& error);
    // True when the socket's holder listens and runs as root, as a tqd does.
    bool holderIsRoot() const;
    // True when the path names a regular file of our effective uid (without opening it).
    bool pathLooksOurs() const;
    bool pathNamesHeldFile() const;
    // Yes, HeldFile or Failed with the reason.
    Taken takeFile(std::string& failure);
    // The outcome of one step of takeFile: Failed with an empty failure when the path changed
    // since it was looked at.
    Taken lockPresentFile(const struct stat& seen, std::string& failure);
    // True when the path no longer names what was seen there; false with the reason, or with
    // none when the path changed since.
    bool clearPath(const struct stat& seen, std::string& failure);
    // A fresh file, locked, moved to the path when nothing is there: its descriptor, or -1,
    // with the reason or with none when the path was taken meanwhile.
    int placeFreshFile(std::string& failure);
    void holdFile(int descriptor);
    // Makes the kept descriptor of this file the held one; false when none is kept.
    bool holdKept(const struct stat& file);
    // True when the folder at the path is the one watched.
    bool folderWatched() const;
    // Watches the folder at the path in place of the one watched before.
    bool watchFolder(std::string& failure);
    // Reads every queued event; true when one concerns the lock file or its folder.
    bool drainEvents();
    // Puts a locked file at the path, and the folder and its watch, where they changed; false
    // when another process holds the file there.
    bool restoreIfChanged(ZAV::ILogger& logger, const std::string& component);

    const std::string m_socketName;
    const std::string m_lockFile;
    const std::string m_folder;
    const std::string m_fileName;
    int m_socket = -1;
    bool m_socketHeldElsewhere = false;
    int m_file = -1; // the locked descriptor the path should name
    // Files the path named earlier, still locked: a process that opened the old file before it
    // was replaced must not find it free. Bounded; the oldest goes first.
    std::deque<int> m_earlierFiles;
    bool m_lost = false; // another process holds the file the path names
    int m_watch = -1;
    int m_folderWatch = -1;         // the watch descriptor of the folder within m_watch
    struct stat m_watchedFolder {}; // the folder watched, by device and inode
};

} // namespace StatefulFirewall
