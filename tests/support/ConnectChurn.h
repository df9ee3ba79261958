#pragma once

// Processes of another user that connect to a Unix socket and close again without end, the
// way a peer does that the platform service refuses at accept. The connections they made are
// counted in memory shared with the test. Killed and reaped when the object goes, so a failed
// assertion never leaves one behind.
//
// Threads: made and destroyed on the test's thread; the children only make system calls, as
// the test process may run threads when it forks.

#include <atomic>
#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace TestSupport {

class ConnectChurn {
public:
    // Throws std::runtime_error when the shared counter or a process cannot be made.
    ConnectChurn(const std::string& socketPath, int processes, uid_t uid = 65534);
    ~ConnectChurn();
    ConnectChurn(const ConnectChurn&) = delete;
    ConnectChurn& operator=(const ConnectChurn&) = delete;

    long connections() const { return m_connections->load(); }
    // True once count connections were made; false when timeout passed first.
    bool waitFor(long count, std::chrono::milliseconds timeout) const;
    // Ends the processes; true when every one was still churning (none failed to take the user
    // or to make a socket).
    bool stop();

private:
    std::atomic<long>* m_connections = nullptr; // in a shared anonymous mapping
    std::vector<pid_t> m_children;
};

} // namespace TestSupport
