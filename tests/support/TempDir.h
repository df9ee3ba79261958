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
// Ends a wrapper script at path: it becomes a script that only runs program. The kernel starts a
// script's shell, which then opens the script by its path again, so a wrapper replaced by the
// program itself could be read as a script by a shell started just before: path stays a script.
void unwrapProgram(const std::string& path, const std::string& program);
// Permission bits of a file (st_mode & 07777), or -1 when it does not exist.
int fileMode(const std::string& path);
// Everything readable from fd until end of file (EINTR retried); fd stays open.
std::string readAll(int fd);
// Number of open descriptors of this process.
int openDescriptorCount();

} // namespace TestSupport
