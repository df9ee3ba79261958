#include "TempDir.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <unistd.h>
#include <stdexcept>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace TestSupport {

TempDir::TempDir()
{
    char pattern[] = "/tmp/tqtest.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(m_path, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

namespace {

// Beside the file, so the rename stays on its file system.
std::string temporaryBeside(const std::string& path)
{
    return path + ".new-" + std::to_string(::getpid());
}

void renameOver(const std::string& temporary, const std::string& path)
{
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot rename " + temporary + " to " + path + ": " + std::strerror(error));
    }
}

} // namespace

void replaceFile(const std::string& path, const std::string& content, int mode)
{
    const std::string temporary = temporaryBeside(path);
    writeFile(temporary, content);
    if (::chmod(temporary.c_str(), static_cast<mode_t>(mode)) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot chmod " + temporary + ": " + std::strerror(error));
    }
    renameOver(temporary, path);
}

void unwrapProgram(const std::string& path, const std::string& program)
{
    replaceFile(path, "#!/bin/sh\nexec " + program + " \"$@\"\n", 0755);
}

int fileMode(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[1024];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(got));
    }
}

int openDescriptorCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 3; // ".", ".." and the descriptor of the listing itself
}

} // namespace TestSupport
