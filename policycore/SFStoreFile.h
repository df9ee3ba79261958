#pragma once

// The file behind a store: the cross-process lock, whole-file reads, atomic replacement, and
// setting a damaged file aside. Used by the rule manager and the trusted-network manager.
//
// lockf locks belong to the process and drop when any descriptor of the file is closed, so
// one process must also serialise its own threads around a store (the managers' store mutex),
// and reads go through the lock descriptor. A replacement renames a new file over the locked
// one: each write is all-or-nothing, and the daemon is the only writer while it runs. A path
// that is a symbolic link stays one: the file it names is replaced and set aside.
// Not thread-safe by itself.

#include <string>

namespace StatefulFirewall {

class SFStoreFile {
public:
    explicit SFStoreFile(std::string path) : m_path(std::move(path)) {}
    ~SFStoreFile() { unlock(); }
    SFStoreFile(const SFStoreFile&) = delete;
    SFStoreFile& operator=(const SFStoreFile&) = delete;

    const std::string& path() const { return m_path; }

    // Opens the file read-write without creating it and takes lockf(F_LOCK) on it (waits for
    // other processes). When the file was replaced while waiting, the lock is taken on the new
    // one, so a read under the lock sees the last write. A missing file is no error (there is
    // nothing to lock yet): true. False with the reason when the lock cannot be taken; the
    // descriptor is then closed.
    bool lock(std::string& error);
    // Closes the lock descriptor (releasing the lock) and forgets it.
    void unlock();

    // Reads the whole file; through the lock descriptor while locked, so the lock is kept.
    enum class ReadResult { Read, Missing, Failed };
    ReadResult read(std::string& bytes, std::string& error) const;
    // Creates the file empty with mode 0600 when it does not exist.
    bool createEmpty(std::string& error) const;
    // Replaces the file atomically with bytes (mode 0600, owner and group kept).
    bool replace(const std::string& bytes, std::string& error) const;
    // Renames a damaged file to path + ".corrupt", or the first free ".corrupt.N", so neither
    // the next write nor a later damaged start destroys what may still be recovered by hand.
    // An empty file is simply left.
    bool keepAsCorrupt(std::string& keptPath, std::string& error) const;
    // Removes temporary files a crash left beside the file; only while nothing writes it.
    // Returns how many were removed.
    int removeLeftoverTemporaries() const;

private:
    std::string m_path;
    int m_fd = -1;
};

} // namespace StatefulFirewall
