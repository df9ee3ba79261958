#pragma once

// A fresh folder under /tmp, removed with everything in it when the object goes.

#include <string>

namespace TestSupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Puts content with the given permission bits at path in one step: written under a temporary
// name beside it, then renamed over it. A process that runs or reads the file meanwhile (a
// daemon calling a wrapped program, say) finds the old file or the new one, never a part of it,
// none at all, or one without its mode. Throws when a step fails.
void replaceFile(const std::string& path, const std::string& content, int mode = 0644);
// Makes path a symbolic link to target in the same one step.
void replaceWithSymlink(const std::string& path, const std::string& target);
// Permission bits of a file (st_mode & 07777), or -1 when it does not exist.
int fileMode(const std::string& path);
// Everything readable from fd until end of file (EINTR retried); fd stays open.
std::string readAll(int fd);
// Number of open descriptors of this process.
int openDescriptorCount();

} // namespace TestSupport
