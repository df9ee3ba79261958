#pragma once

// A program run by a test, with its standard output and error in a file. Killed and reaped if
// still running when the object goes, so a failed assertion never leaves a process behind.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace TestSupport {

class ChildProcess {
public:
    enum class Output { Truncate, Append };
    // words[0] is the program's path; outputFile receives standard output and error.
    ChildProcess(std::vector<std::string> words, const std::string& outputFile,
                 Output mode = Output::Truncate);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int number);
    // The exit status; -1 when it ended by a signal or did not end within timeout.
    int wait(std::chrono::milliseconds timeout);
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status; // as waitpid reported it
};

} // namespace TestSupport
