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
// Permission bits of a file (st_mode & 07777), or -1 when it does not exist.
int fileMode(const std::string& path);
// Everything readable from fd until end of file (EINTR retried); fd stays open.
std::string readAll(int fd);
// Number of open descriptors of this process.
int openDescriptorCount();

} // namespace TestSupport
