#include "FMPLogger.h"

#include "ZAVSystemUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

namespace ZAV {

namespace {

// The log holds addresses and rule names; only the owner may read it.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

// A misconfigured total/size ratio must not make one rotation rename thousands of files.
constexpr int64_t kMaxRotatedFiles = 1000;

const char* levelName(int level, char (&buffer)[16])
{
    switch (level) {
    case 2: return "ERROR";
    case 4: return "WARN";
    case 5: return "INFO";
    case 6: return "DEBUG";
    default:
        std::snprintf(buffer, sizeof(buffer), "L%d", level);
        return buffer;
    }
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()).count() % 1000;
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[40];
    const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof(text) - length, ".%03d", static_cast<int>(millis));
    return text;
}

// Creates every missing folder of the file's parent with 0700. Done by hand rather than with a
// library call because those create folders 0777 minus the umask, which would leave the log
// folder readable by others.
bool createParentFolders(const std::string& filePath)
{
    const std::string::size_type lastSlash = filePath.rfind('/');
    if (lastSlash == std::string::npos || lastSlash == 0)
        return true;
    const std::string folder = filePath.substr(0, lastSlash);
    std::string::size_type next = 1; // a leading '/' names the root, which always exists
    while (next != std::string::npos) {
        next = folder.find('/', next);
        const std::string prefix = folder.substr(0, next);
        if (next != std::string::npos)
            ++next;
        if (prefix.empty() || prefix.back() == '/')
            continue; // doubled slashes
        if (mkdir(prefix.c_str(), kFolderMode) != 0) {
            const int err = errno;
            if (err != EEXIST)
                return false; // open() below reports the same failure
        }
    }
    return true;
}

// Opens the log to append, owner-only. The fchmod narrows a file that an older version or a
// permissive umask left wider. Returns the descriptor and the file's current size.
int openLogFile(const std::string& path, int64_t& size)
{
    if (path.empty() || !createParentFolders(path))
        return -1;
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fchmod(fd, kFileMode) != 0 || fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

void closeDescriptor(int& fd)
{
    if (fd >= 0) {
        // No retry on EINTR: on Linux the descriptor is released even then.
        close(fd);
        fd = -1;
    }
}

} // namespace

FMPLogger::FMPLogger(std::shared_ptr<ZAVSystemUtils> systemUtils)
    : m_systemUtils(std::move(systemUtils))
{
}

FMPLogger::~FMPLogger()
{
    closeDescriptor(m_fd);
}

void FMPLogger::setLoggerSettings(const loggerConfig* settings)
{
    if (settings == nullptr)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logLevel = settings->logLevel;
    if (m_fd < 0) {
        m_config = *settings;
        return;
    }

    // A running logger keeps its file and limits unless new ones are given: policies that do
    // not care about logging carry an empty path and zero sizes.
    loggerConfig next = *settings;
    if (next.logFilePath.empty())
        next.logFilePath = m_config.logFilePath;
    if (next.maxFileSize <= 0)
        next.maxFileSize = m_config.maxFileSize;
    if (next.maxTotalSize <= 0)
        next.maxTotalSize = m_config.maxTotalSize;

    if (next.logFilePath != m_config.logFilePath) {
        // Open the new file before letting go of the old one, so a path that cannot be opened
        // leaves the log where it was instead of silencing it.
        int64_t size = 0;
        const int fd = openLogFile(next.logFilePath, size);
        if (fd < 0) {
            next.logFilePath = m_config.logFilePath;
        } else {
            closeDescriptor(m_fd);
            m_fd = fd;
            m_fileSize = size;
        }
    }
    m_config = std::move(next);
}

bool FMPLogger::initialize(int logLevel, int secondaryLevel, std::string moduleName,
                           std::string version)
{
    m_logLevel = logLevel;
    m_secondaryLevel = secondaryLevel;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_moduleName = std::move(moduleName);
    m_version = std::move(version);
    return openLocked();
}

bool FMPLogger::openLocked()
{
    closeDescriptor(m_fd);
    m_fileSize = 0;
    m_fd = openLogFile(m_config.logFilePath, m_fileSize);
    return m_fd >= 0;
}

int FMPLogger::keptRotatedFiles() const
{
    if (m_config.maxFileSize <= 0 || m_config.maxTotalSize <= 0)
        return 0;
    const int64_t files = std::max<int64_t>(1, m_config.maxTotalSize / m_config.maxFileSize) - 1;
    return static_cast<int>(std::min(files, kMaxRotatedFiles));
}

void FMPLogger::rotateLocked()
{
    const std::string& path = m_config.logFilePath;
    const int kept = keptRotatedFiles();
    if (kept == 0) {
        // A file that is missing already is as good as removed.
        (void)unlink(path.c_str());
    } else {
        // Oldest first, so each rename lands on a name that was just vacated; rename replaces
        // path.<kept>, which drops the oldest. Gaps from an earlier crash are not an error.
        for (int i = kept - 1; i >= 1; --i) {
            const std::string from = path + "." + std::to_string(i);
            (void)rename(from.c_str(), (path + "." + std::to_string(i + 1)).c_str());
        }
        (void)rename(path.c_str(), (path + ".1").c_str());
    }
    // When the fresh file cannot be opened the descriptor stays -1 and lines are dropped
    // rather than written to the rotated file.
    openLocked();
}

void FMPLogger::logMessage(int level, std::string component, std::string message) noexcept
{
    if (level > m_logLevel)
        return;
    try {
        char levelBuffer[16];
        std::string line = timestamp();
        line += ' ';
        line += levelName(level, levelBuffer);
        line += " [";
        line += std::to_string(getpid());
        line += ':';
        line += std::to_string(static_cast<long>(syscall(SYS_gettid)));
        line += "] ";
        line += component;
        line += ": ";
        line += message;
        line += '\n';

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fd < 0)
            return;
        const auto lineSize = static_cast<int64_t>(line.size());
        if (m_config.maxFileSize > 0 && m_fileSize > 0 &&
            m_fileSize + lineSize > m_config.maxFileSize) {
            rotateLocked();
            if (m_fd < 0)
                return;
        }
        // One write per line so that lines from other processes appending to the same file
        // cannot land inside ours; the loop only runs again after a signal or a short write.
        const char* data = line.data();
        size_t remaining = line.size();
        while (remaining > 0) {
            const ssize_t written = write(m_fd, data, remaining);
            if (written < 0) {
                const int err = errno;
                if (err == EINTR)
                    continue;
                return; // disk full or gone: nowhere left to report it
            }
            data += written;
            remaining -= static_cast<size_t>(written);
            m_fileSize += written;
        }
    } catch (const std::exception&) {
        // Out of memory while building the line: the caller is often on a failure path
        // itself, so the line is dropped rather than letting the exception escape.
    }
}

void FMPLogger::setVendorName(std::string name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vendorName = std::move(name);
}

void FMPLogger::setProductName(std::string name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_productName = std::move(name);
}

void FMPLogger::setProductVersion(std::string version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_productVersion = std::move(version);
}

void FMPLogger::setLogLevel(int level)
{
    m_logLevel = level;
}

void FMPLogger::setSecondaryLogLevel(int level)
{
    m_secondaryLevel = level;
}

int FMPLogger::getLogLevel() const
{
    return m_logLevel;
}

int FMPLogger::getSecondaryLogLevel() const
{
    return m_secondaryLevel;
}

int64_t FMPLogger::getMaxFileSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.maxFileSize;
}

int64_t FMPLogger::getMaxTotalSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.maxTotalSize;
}

int64_t FMPLogger::getAuxiliarySize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.auxiliarySize;
}

bool FMPLogger::getFileLogging() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.fileLogging;
}

} // namespace ZAV
