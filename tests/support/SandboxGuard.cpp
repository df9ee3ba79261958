#include "SandboxGuard.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TestSupport {

namespace {

namespace fs = boost::filesystem;

// The folders the product writes to, each a fresh tmpfs inside tests/sandbox. /run is not
// emptied by resetProductPaths: the sandbox keeps its overlay layers there.
const char* const kProductFolders[] = {"/opt/Varnik", "/var/Varnik", "/etc/wz.d"};
const char* const kSandboxMounts[] = {"/opt/Varnik", "/var/Varnik", "/etc/wz.d", "/run"};

std::string errnoText(int err)
{
    return std::strerror(err);
}

// /proc/self/mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescapeMountPath(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string octal = field.substr(i + 1, 3);
            if (octal.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(octal, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// File system type of the mount visible at each mount point. A later line mounts over an
// earlier one on the same point, so the last line wins.
std::map<std::string, std::string> mountedTypes(std::string& problem)
{
    std::map<std::string, std::string> types;
    std::ifstream in("/proc/self/mountinfo");
    if (!in) {
        problem = "cannot read /proc/self/mountinfo";
        return types;
    }
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos)
            continue;
        std::istringstream before(line.substr(0, separator));
        std::string field;
        std::vector<std::string> fields;
        while (before >> field)
            fields.push_back(field);
        std::istringstream after(line.substr(separator + 3));
        std::string fsType;
        if (fields.size() < 5 || !(after >> fsType))
            continue;
        types[unescapeMountPath(fields[4])] = fsType;
    }
    return types;
}

std::string currentNetNamespace(std::string& problem)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/ns/net", buffer, sizeof(buffer) - 1);
    if (length < 0) {
        const int err = errno;
        problem = "cannot read /proc/self/ns/net: " + errnoText(err);
        return std::string();
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

void emptyFolder(const fs::path& folder)
{
    boost::system::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        throw std::runtime_error("cannot list " + folder.string() + ": " + ec.message());
    std::vector<fs::path> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            throw std::runtime_error("cannot list " + folder.string() + ": " + ec.message());
        entries.push_back(it->path());
    }
    for (const fs::path& entry : entries) {
        fs::remove_all(entry, ec);
        if (ec)
            throw std::runtime_error("cannot remove " + entry.string() + ": " + ec.message());
    }
}

// The layout lives in tests/sandbox alone; the sandbox names itself in TQ_SANDBOX_SCRIPT.
void layOutProductPaths()
{
    const char* script = std::getenv("TQ_SANDBOX_SCRIPT");
    if (script == nullptr || *script == '\0')
        throw std::runtime_error("TQ_SANDBOX_SCRIPT is not set; cannot lay out the product's folders");
    const std::string command = std::string(script) + " --layout-only";
    std::string path(script);
    std::string option("--layout-only");
    char* argv[] = {&path[0], &option[0], nullptr};
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, script, nullptr, nullptr, argv, environ);
    if (spawnError != 0)
        throw std::runtime_error("cannot run " + command + ": " + errnoText(spawnError));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        const int err = errno;
        if (err != EINTR)
            throw std::runtime_error("cannot wait for " + command + ": " + errnoText(err));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(command + " failed with wait status " + std::to_string(status));
}

} // namespace

std::string sandboxProblem()
{
    const char* marker = std::getenv("TQ_SANDBOX");
    if (marker == nullptr || std::string(marker) != "1")
        return "not inside tests/sandbox: TQ_SANDBOX is not 1";

    const char* hostNamespace = std::getenv("TQ_SANDBOX_HOST_NETNS");
    if (hostNamespace == nullptr || *hostNamespace == '\0')
        return "not inside tests/sandbox: TQ_SANDBOX_HOST_NETNS is empty";
    std::string problem;
    const std::string current = currentNetNamespace(problem);
    if (!problem.empty())
        return problem;
    if (current == hostNamespace)
        return "not inside tests/sandbox: the network namespace is the host's " + current;

    const std::map<std::string, std::string> types = mountedTypes(problem);
    if (!problem.empty())
        return problem;
    for (const char* mountPoint : kSandboxMounts) {
        const auto found = types.find(mountPoint);
        if (found == types.end())
            return std::string("not inside tests/sandbox: ") + mountPoint + " is not a mount point";
        if (found->second != "tmpfs") {
            return std::string("not inside tests/sandbox: ") + mountPoint + " is a " +
                found->second + " mount, not tmpfs";
        }
    }
    return std::string();
}

void resetProductPaths()
{
    const std::string problem = sandboxProblem();
    if (!problem.empty())
        throw std::runtime_error("refusing to reset the product's folders: " + problem);
    for (const char* folder : kProductFolders)
        emptyFolder(folder);
    layOutProductPaths();
}

} // namespace TestSupport
