// Capability probes and the FTP-inspection switch: the driver operations that leave the
// product's chains alone.
#include "SFIptables.h"

#include "IConfigController.h"
#include "IHelperUtils.h"
#include "ILogger.h"
#include "SFException.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

// Only the start of the version output is looked at; a longer output is cut here.
constexpr size_t VERSION_OUTPUT_MAX = 100;
constexpr const char* FTP_MODULE = "nf_conntrack_ftp";
constexpr const char* TRIMMED_SPACE = " \t\r\n";

constexpr const char* VERSION_PIPE_FAILED =
    "Error in creating stdout pipe for reading netfilter version - Leaving";
constexpr const char* VERSION_EMPTY = "Error reading stdout after executing version command";
constexpr const char* VERSION_EXCEPTION =
    "Unexpected exception occurred while reading netfilter version";
constexpr const char* KERNELTZ_RAN =
    "Successfully ran help command with kerneltz parameter. This iptables supports kerneltz "
    "parameter for the time module";
constexpr const char* KERNELTZ_SUPPORTED = "Detected kerneltz support in Iptables for time module.";
constexpr const char* KERNELTZ_FALLBACK =
    "Iptables does not support kerneltz for time module, fallling back to localtz for the time "
    "module.";
constexpr const char* FTP_ENABLING =
    "Enabling inspection of FTP Traffic by loading the relevant kernel modules";
constexpr const char* FTP_DISABLING =
    "Disabling inspection of FTP Traffic by unloading the relevant kernel modules";
constexpr const char* FTP_EXCEPTION =
    "Exception occurred while executing modprobe on nf_conntrack_ftp module";

// Marks the descriptor closed so that no later path closes it again (by then the number may
// belong to a descriptor someone else opened). close is not retried on EINTR: Linux has
// released the descriptor by then, and a retry could close another thread's new one.
void closeOnce(int& fd)
{
    if (fd < 0)
        return;
    ::close(fd);
    fd = -1;
}

// Reads until end of file or until `capacity` bytes are in. Returns the number read; a read
// error ends the reading with what has arrived so far.
size_t readUpTo(int fd, char* buffer, size_t capacity)
{
    size_t total = 0;
    while (total < capacity) {
        const ssize_t got = ::read(fd, buffer + total, capacity - total);
        const int error = errno;
        if (got < 0 && error == EINTR)
            continue;
        if (got <= 0)
            break;
        total += static_cast<size_t>(got);
    }
    return total;
}

std::string trimmed(const std::string& text)
{
    const std::string::size_type first = text.find_first_not_of(TRIMMED_SPACE);
    if (first == std::string::npos)
        return std::string();
    const std::string::size_type last = text.find_last_not_of(TRIMMED_SPACE);
    return text.substr(first, last - first + 1);
}

} // namespace

std::string SFIptables::getNetfilterVersion()
{
    std::string result;
    // Close-on-exec: other threads of the daemon start programs at any moment, and a child that
    // inherited the write end would keep the pipe from ever reaching end of file. The runner
    // hands the write end to its own child with dup2, which clears the flag on the copy.
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_logger.logMessage(6, m_moduleName, VERSION_PIPE_FAILED);
        return result;
    }

    try {
        m_helperUtils->readSystemCommandOutput({SF_IPTABLES_PATH, "-V"}, nullptr, pipeFds);
        // The program has ended; once our own write end is gone, a program that wrote less
        // than the buffer (or nothing) gives end of file instead of a read that never returns.
        closeOnce(pipeFds[1]);

        char buffer[VERSION_OUTPUT_MAX + 1] = {};
        const size_t got = readUpTo(pipeFds[0], buffer, VERSION_OUTPUT_MAX);
        if (got == 0) {
            m_logger.logMessage(6, m_moduleName, VERSION_EMPTY);
        } else {
            // Taken as a C string: a NUL byte in the output ends the text, so none reaches the
            // log line the caller writes with it.
            result = trimmed(std::string(buffer));
        }
    } catch (const SFException&) {
        m_logger.logMessage(6, m_moduleName, VERSION_EXCEPTION);
    } catch (const std::exception&) {
        m_logger.logMessage(6, m_moduleName, VERSION_EXCEPTION);
    } catch (...) {
        m_logger.logMessage(6, m_moduleName, VERSION_EXCEPTION);
    }
    closeOnce(pipeFds[0]);
    closeOnce(pipeFds[1]);
    return result;
}

bool SFIptables::isKerneltzSupportedInTimeModule()
{
    try {
        // An iptables whose time match lacks --kerneltz rejects the option and exits with a
        // failure status, which the runner reports by throwing.
        m_helperUtils->executeSystemCommand(
            {SF_IPTABLES_PATH, "-m", "time", "--kerneltz", "--help"}, nullptr);
        m_logger.logMessage(6, m_moduleName, KERNELTZ_RAN);
        m_logger.logMessage(6, m_moduleName, KERNELTZ_SUPPORTED);
        return true;
    } catch (const SFException&) {
        // Reported below: every failure means the same fallback.
    } catch (const std::exception&) {
    } catch (...) {
    }
    m_logger.logMessage(6, m_moduleName, KERNELTZ_FALLBACK);
    return false;
}

bool SFIptables::updateFtpInspectionSetting(bool enable, std::string ports)
{
    try {
        if (m_configController.getNfConntrackFtpModuleStatus() == enable)
            return true;

        // With --first-time modprobe fails when the module already is in the requested state
        // (loaded or unloaded by someone else); the statuses 0 to 2 count as success so that
        // case is no error, and the module directory read below decides the outcome.
        const std::map<int, bool> exitStatusTable{{0, false}, {1, false}, {2, false}};
        std::vector<std::string> argv{SF_MODPROBE_PATH, "--first-time"};
        if (enable) {
            // The port list is passed as the user set it; modprobe and the module judge it.
            argv.push_back(FTP_MODULE);
            argv.push_back("ports=" + ports);
            m_logger.logMessage(6, m_moduleName, FTP_ENABLING);
        } else {
            argv.push_back("-r");
            argv.push_back(FTP_MODULE);
            m_logger.logMessage(6, m_moduleName, FTP_DISABLING);
        }
        m_helperUtils->executeSystemCommand(argv, &exitStatusTable);

        // The flag records what the kernel has, not what was asked for: after a failed load a
        // repeated request must run modprobe again. The kernel lists a loaded module's directory
        // below /sys/module.
        struct stat status {};
        int result = -1;
        int error = 0;
        do {
            result = ::stat(m_ftpModuleDir.c_str(), &status);
            error = errno;
        } while (result != 0 && error == EINTR);
        const bool loaded = result == 0 && S_ISDIR(status.st_mode);
        if (result != 0 && error != ENOENT && error != ENOTDIR)
            m_logger.logMessage(6, m_moduleName,
                                "Cannot check " + m_ftpModuleDir + ": " + std::strerror(error) +
                                    "; taking nf_conntrack_ftp as not loaded");
        m_configController.setNfConntrackFtpModuleStatus(loaded);
        if (loaded != enable) {
            const std::string mismatch =
                enable ? "nf_conntrack_ftp is not loaded after running modprobe: " +
                             m_ftpModuleDir + " does not exist"
                       : "nf_conntrack_ftp is still loaded after running modprobe -r: " +
                             m_ftpModuleDir + " exists";
            m_logger.logMessage(6, m_moduleName, mismatch);
        }
        return loaded == enable;
    } catch (const SFException&) {
        m_logger.logMessage(6, m_moduleName, FTP_EXCEPTION);
    } catch (const std::exception&) {
        m_logger.logMessage(6, m_moduleName, FTP_EXCEPTION);
    } catch (...) {
        m_logger.logMessage(6, m_moduleName, FTP_EXCEPTION);
    }
    return false;
}

} // namespace StatefulFirewall
