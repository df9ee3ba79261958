#pragma once

// Replaces a file atomically: the bytes go to a fresh temporary file in the same folder (every
// write checked), which is flushed to disk and renamed over the target, and the folder is
// flushed after the rename. A full disk or a crash leaves either the old file or the new one,
// never half of one. A temporary file left by a crash between its creation and the rename
// carries the name "<file>.tmp-XXXXXX" and is removed by removeLeftoverTemporaries().
//
// Through a symbolic link the file it names is replaced and the link stays. A replaced file
// keeps its owner and group; its mode is 0600 or, when asked, the mode it had. Also setting a
// damaged file aside under a name that never replaces an earlier copy.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace StatefulFirewall {

// Symbolic links followed before giving up with ELOOP, as the kernel does for a path.
inline constexpr int kMaxLinkHops = 40;
// ".corrupt", then ".corrupt.1" up to this number; past it a damaged file is no longer set
// aside (someone has to look at the hundreds already kept).
inline constexpr int kMaxCorruptCopies = 999;
inline constexpr const char* kTemporaryInfix = ".tmp-";

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
        if (n == 0) // no progress and no reason: never loop on it
            return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

inline std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file path finally names, following symbolic links, also a dangling last one (whose
// target a write then creates). 0, or the errno of the failure.
inline int resolveLinks(const std::string& path, std::string& target)
{
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            target = current;
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            target = current;
            return 0;
        }
        std::vector<char> link(PATH_MAX);
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0)
            return errno;
        if (static_cast<size_t>(n) >= link.size() || n == 0)
            return ENAMETOOLONG;
        const std::string next(link.data(), static_cast<size_t>(n));
        current = next[0] == '/' ? next : folderOf(current) + "/" + next;
    }
    return ELOOP;
}

// Flushes the folder so that a rename or unlink in it survives a crash.
inline void syncFolder(const std::string& folder)
{
    int fd;
    do {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

enum class SFReplaceMode { Private, KeepMode };
enum class SFReplaceResult { Replaced, CreateFailed, WriteFailed };

// Replaces the file at path (through links) with bytes. On CreateFailed (the temporary file
// or the link cannot be made out) and WriteFailed, failure holds the errno and the file is as
// it was, with no temporary file left.
inline SFReplaceResult replaceFileAtomically(const std::string& path, const std::string& bytes,
                                             SFReplaceMode mode, int& failure)
{
    std::string target;
    failure = resolveLinks(path, target);
    if (failure != 0)
        return SFReplaceResult::CreateFailed;
    struct stat old {};
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
        failure = errno;
        return SFReplaceResult::CreateFailed;
    }

    std::vector<char> name(target.begin(), target.end());
    const std::string suffix = std::string(kTemporaryInfix) + "XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    int fd;
    do {
        fd = ::mkostemp(name.data(), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failure = errno;
        return SFReplaceResult::CreateFailed;
    }
    const mode_t bits = exists && mode == SFReplaceMode::KeepMode ? (old.st_mode & 07777) : 0600;
    failure = 0;
    if (::fchmod(fd, bits) != 0)
        failure = errno;
    // The file another account owns stays theirs: a rename would otherwise hand it to us.
    if (failure == 0 && exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        failure = errno;
    if (failure == 0)
        failure = writeAll(fd, bytes);
    // The content must be on disk before the rename makes it the file: otherwise a crash can
    // leave the new name pointing at an empty or partial file.
    while (failure == 0 && ::fsync(fd) != 0) {
        if (errno != EINTR)
            failure = errno;
    }
    // After a successful fsync a failing close loses nothing; before it, the write failed.
    // On Linux the descriptor is gone even after EINTR, so it is never closed twice.
    if (::close(fd) != 0 && failure == 0 && errno != EINTR)
        failure = errno;
    if (failure == 0 && ::rename(name.data(), target.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(name.data());
        return SFReplaceResult::WriteFailed;
    }
    syncFolder(folderOf(target)); // makes the rename durable; the content already is
    return SFReplaceResult::Replaced;
}

// True when the file now holds exactly bytes (mode 0600, owner and group kept); otherwise
// false with the system's reason in error, and the old file untouched.
inline bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error)
{
    int failure = 0;
    switch (replaceFileAtomically(path, bytes, SFReplaceMode::Private, failure)) {
    case SFReplaceResult::Replaced:
        return true;
    case SFReplaceResult::CreateFailed:
        error = std::string("cannot create a temporary file beside ") + path + ": " +
                std::strerror(failure);
        return false;
    case SFReplaceResult::WriteFailed:
        break;
    }
    error = std::string("cannot write ") + path + ": " + std::strerror(failure);
    return false;
}

// Removes the temporary files a crash left beside the file at path (through links): regular
// files named "<file>.tmp-" and six letters or digits. Only call it while nothing writes the
// file. Returns how many were removed.
inline int removeLeftoverTemporaries(const std::string& path)
{
    std::string target;
    if (resolveLinks(path, target) != 0)
        return 0;
    const std::string folder = folderOf(target);
    const auto slash = target.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? target : target.substr(slash + 1)) + kTemporaryInfix;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return 0;
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        bool random = true;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            const char c = name[i];
            random = random && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9'));
        }
        if (random)
            leftovers.push_back(name);
    }
    const int dirFd = ::dirfd(dir);
    int removed = 0;
    for (const auto& name : leftovers) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(dirFd, name.c_str(), 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

// Renames the file at path (through links) to "<file>.corrupt", or the first free of
// "<file>.corrupt.1" .. ".999", never replacing an earlier copy. True with the new name in
// keptPath; false with the reason in error.
inline bool keepAsideWithoutReplacing(const std::string& path, std::string& keptPath,
                                      std::string& error)
{
    std::string target;
    const int resolved = resolveLinks(path, target);
    if (resolved != 0) {
        error = "cannot follow " + path + ": " + std::strerror(resolved);
        return false;
    }
    for (int copy = 0; copy <= kMaxCorruptCopies; ++copy) {
        const std::string candidate =
            target + ".corrupt" + (copy == 0 ? std::string() : "." + std::to_string(copy));
        if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, candidate.c_str(),
                        RENAME_NOREPLACE) == 0) {
            keptPath = candidate;
            syncFolder(folderOf(target));
            return true;
        }
        int failure = errno;
        if (failure == EINVAL || failure == ENOSYS) {
            // A file system without the no-replace rename: a hard link fails on an existing
            // name just as well, and the old name is dropped once the copy has its own.
            if (::link(target.c_str(), candidate.c_str()) == 0) {
                ::unlink(target.c_str());
                keptPath = candidate;
                syncFolder(folderOf(target));
                return true;
            }
            failure = errno;
        }
        if (failure != EEXIST) {
            error = "cannot rename " + target + " to " + candidate + ": " + std::strerror(failure);
            return false;
        }
    }
    error = "cannot set " + target + " aside: " + std::to_string(kMaxCorruptCopies + 1) +
            " damaged copies are already kept beside it";
    return false;
}

} // namespace StatefulFirewall
