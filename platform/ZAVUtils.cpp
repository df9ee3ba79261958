#include "ZAVUtils.h"

#include "ILogger.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace ZAV {

namespace {

// Enough for any tool's error message; the rest of a flood is read and dropped so the child
// never blocks on a full pipe.
constexpr size_t kMaxStderrBytes = 4096;

using Clock = std::chrono::steady_clock;

std::string errorText(int error)
{
    char buffer[256];
    // GNU strerror_r: thread-safe, returns a pointer that may or may not be into buffer.
    return strerror_r(error, buffer, sizeof(buffer));
}

std::string commandLine(const std::vector<std::string>& argv)
{
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty())
            line += ' ';
        line += arg;
    }
    return line;
}

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void closeDescriptor(int fd)
{
    // No retry on EINTR: Linux releases the descriptor even then, and a retry could close a
    // descriptor another thread has just been given.
    if (fd >= 0)
        close(fd);
}

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    // Round up so a deadline a fraction of a millisecond away does not spin at zero.
    return static_cast<int>(left) + 1;
}

// Reads the child's standard error until every writer has closed it or the deadline passes.
// Returns false on timeout.
bool drainStderr(int fd, Clock::time_point deadline, std::string& captured)
{
    char buffer[1024];
    for (;;) {
        const int wait = millisecondsUntil(deadline);
        if (wait == 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait);
        const int pollError = errno;
        if (ready < 0) {
            if (pollError == EINTR)
                continue;
            // The pipe cannot be watched; fall back to waiting for the child alone.
            return true;
        }
        if (ready == 0)
            continue; // the loop head decides whether the deadline has passed
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        const int readError = errno;
        if (got == 0)
            return true;
        if (got < 0) {
            if (readError == EINTR || readError == EAGAIN)
                continue;
            return true;
        }
        const size_t room = kMaxStderrBytes - std::min(kMaxStderrBytes, captured.size());
        captured.append(buffer, std::min(room, static_cast<size_t>(got)));
    }
}

enum class WaitResult { Ended, TimedOut, Lost };

// Waits for the child to end, up to the deadline. A child may close its standard error and
// keep running, so the end of the pipe alone does not mean the child has ended.
WaitResult waitUntil(pid_t pid, Clock::time_point deadline, int& status, int& waitError)
{
    // The child closes its descriptors a moment before it becomes reapable, so the first checks
    // come quickly; the pause then grows so a long-running child costs little CPU.
    auto pause = std::chrono::microseconds(20);
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        waitError = errno;
        if (done == pid)
            return WaitResult::Ended;
        if (done < 0 && waitError != EINTR)
            return WaitResult::Lost; // e.g. SIGCHLD ignored by the process: nothing to reap
        if (Clock::now() >= deadline)
            return WaitResult::TimedOut;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
}

void reap(pid_t pid, int& status)
{
    for (;;) {
        const pid_t done = waitpid(pid, &status, 0);
        const int waitError = errno;
        if (done >= 0 || waitError != EINTR)
            return;
    }
}

} // namespace

ZAVUtils::ZAVUtils(std::shared_ptr<ZAVSystemUtils> systemUtils, ILogger& logger,
                   std::shared_ptr<kernelVersion> kernel, std::chrono::milliseconds timeout)
    : m_systemUtils(std::move(systemUtils)),
      m_logger(logger),
      m_kernel(std::move(kernel)),
      m_timeout(timeout),
      m_componentName("ZAVUtils")
{
}

bool ZAVUtils::runCommand(const std::vector<std::string>& argv,
                          const std::map<int, bool>* exitStatusTable)
{
    return run(argv, exitStatusTable, -1);
}

bool ZAVUtils::runCommandWithOutput(const std::vector<std::string>& argv,
                                    const std::map<int, bool>* exitStatusTable, int* pipeFds)
{
    if (pipeFds == nullptr) {
        m_logger.logMessage(2, m_componentName,
                            "No output pipe given for: " + commandLine(argv));
        return false;
    }
    return run(argv, exitStatusTable, pipeFds[1]);
}

bool ZAVUtils::runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus,
                                   std::string& errorText)
{
    errorText.clear();
    const Answer answer{&exitStatus, &errorText};
    return run(argv, nullptr, -1, &answer);
}

bool ZAVUtils::run(const std::vector<std::string>& argv, const std::map<int, bool>* exitStatusTable,
                   int stdoutFd, const Answer* answer)
{
    if (argv.empty()) {
        m_logger.logMessage(2, m_componentName, "Asked to run an empty command line");
        return false;
    }
    const std::string line = commandLine(argv);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        m_logger.logMessage(6, m_componentName,
                            line + ": cannot create the stderr pipe: " + errorText(error));
        return false;
    }

    // The descriptors are set up in the child by dup2 (which clears close-on-exec on the copy)
    // before /dev/null is opened on 0, so a caller's pipe that happens to be descriptor 0 is
    // copied before it is replaced. closefrom leaves the child holding only 0-2, whatever
    // other threads have open without O_CLOEXEC.
    posix_spawn_file_actions_t actions;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0 && stdoutFd >= 0)
        error = posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    if (error == 0)
        error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0 && stdoutFd < 0)
        error = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (error == 0)
        error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // The child starts with no blocked signals and default dispositions: a daemon thread may
    // block signals or ignore SIGPIPE, and iptables or modprobe must not inherit that.
    posix_spawnattr_t attributes;
    const bool haveAttributes = error == 0 && (error = posix_spawnattr_init(&attributes)) == 0;
    if (haveAttributes) {
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        error = posix_spawnattr_setsigmask(&attributes, &none);
        if (error == 0)
            error = posix_spawnattr_setsigdefault(&attributes, &all);
        if (error == 0)
            error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    pid_t pid = -1;
    if (error == 0)
        error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    if (haveAttributes)
        posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    // Only the child may hold the write end, or the drain below would never see the pipe end.
    closeDescriptor(errPipe[1]);

    if (error != 0) {
        closeDescriptor(errPipe[0]);
        m_logger.logMessage(6, m_componentName, line + ": cannot start: " + errorText(error));
        return false;
    }

    const Clock::time_point deadline = Clock::now() + m_timeout;
    std::string captured;
    int status = 0;
    int waitError = 0;
    WaitResult result = WaitResult::TimedOut;
    if (drainStderr(errPipe[0], deadline, captured))
        result = waitUntil(pid, deadline, status, waitError);
    closeDescriptor(errPipe[0]);
    if (result == WaitResult::TimedOut) {
        kill(pid, SIGKILL);
        reap(pid, status);
    }

    const std::string stderrText = trimmed(captured);
    const std::string stderrPart = stderrText.empty() ? std::string() : "; stderr: " + stderrText;

    if (result == WaitResult::TimedOut) {
        m_logger.logMessage(6, m_componentName,
                            line + ": killed after running longer than " +
                                std::to_string(m_timeout.count()) + " ms" + stderrPart);
        return false;
    }
    if (result == WaitResult::Lost) {
        m_logger.logMessage(6, m_componentName,
                            line + ": cannot wait for the child: " + errorText(waitError) +
                                stderrPart);
        return false;
    }
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = sigdescr_np(signal);
        m_logger.logMessage(6, m_componentName,
                            line + ": killed by signal " + std::to_string(signal) + " (" +
                                (name != nullptr ? name : "unknown") + ")" + stderrPart);
        return false;
    }
    if (!WIFEXITED(status)) {
        m_logger.logMessage(6, m_componentName,
                            line + ": ended with raw status " + std::to_string(status) +
                                stderrPart);
        return false;
    }

    const int exitStatus = WEXITSTATUS(status);
    if (answer != nullptr) {
        *answer->exitStatus = exitStatus;
        *answer->errorText = stderrText;
    }
    if (exitStatus == 0)
        return true;
    if (exitStatusTable != nullptr) {
        const auto entry = exitStatusTable->find(exitStatus);
        if (entry != exitStatusTable->end() && !entry->second) {
            m_logger.logMessage(6, m_componentName,
                                line + ": exited with status " + std::to_string(exitStatus) +
                                    ", accepted by its exit status table" + stderrPart);
            return true;
        }
    }
    m_logger.logMessage(6, m_componentName,
                        line + ": exited with status " + std::to_string(exitStatus) + stderrPart);
    return answer != nullptr;
}

} // namespace ZAV
