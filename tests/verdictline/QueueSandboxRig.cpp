#include "QueueSandboxRig.h"

#include "HangGuard.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

extern char** environ;

namespace QueueRig {

namespace {

using Clock = std::chrono::steady_clock;

// serve and unserve wait as long as the hang guard (1500 steps of 20 ms): a receiver that starts
// in milliseconds on an idle machine can take seconds beside other builds. A receiver that
// exits before its "ready" line (a port still held, say) ends the wait at once, with its output.
// <file>.pid names the receiver by pid and start time, so unserve never signals a process that
// took the pid of one that ended; it waits until the receiver is gone, so the next one finds the
// port free. A zombie counts as gone: it closed its sockets already.
const char kPreamble[] = "source '" TQ_SOURCE_DIR "/tests/tools/netns_rig.sh' || exit 125\n"
                         "RIG_LOCAL_ADDR=10.0.0.5 RIG_PEER_ADDR=10.0.0.7 TOOL='" TQ_TRAFFIC_TOOL "'\n"
                         "serving() {\n"
                         "    awk -v s=\"$2\" '$22 == s && $3 != \"Z\" { up = 1 } END { exit !up }' \"/proc/$1/stat\" 2>/dev/null\n"
                         "}\n"
                         "serve() {\n"
                         "    local out=$1; shift; \"$@\" >\"$out\" 2>&1 &\n"
                         "    local pid=$!\n"
                         "    echo \"$pid $(awk '{ print $22 }' \"/proc/$pid/stat\" 2>/dev/null)\" >\"$out.pid\"\n"
                         "    for _ in $(seq 1500); do\n"
                         "        grep -q '^ready' \"$out\" && return 0\n"
                         "        kill -0 \"$pid\" 2>/dev/null || break\n"
                         "        sleep 0.02\n"
                         "    done\n"
                         "    grep -q '^ready' \"$out\" && return 0\n"
                         "    echo \"serve: no ready line from $*: $(cat \"$out\")\" >&2\n"
                         "    kill \"$pid\" 2>/dev/null; return 1\n"
                         "}\n"
                         "unserve() {\n"
                         "    local pid start\n"
                         "    read -r pid start 2>/dev/null <\"$1.pid\" || return 0\n"
                         "    rm -f \"$1.pid\"\n"
                         "    serving \"$pid\" \"$start\" || return 0\n"
                         "    kill \"$pid\" 2>/dev/null\n"
                         "    for _ in $(seq 1500); do serving \"$pid\" \"$start\" || return 0; sleep 0.02; done\n"
                         "    echo \"unserve: the receiver of $1 (pid $pid) still runs\" >&2; return 1\n"
                         "}\n";

} // namespace

int shell(const std::string& script, std::string* output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::string body = kPreamble + script;
    std::vector<char*> argv{const_cast<char*>("bash"), const_cast<char*>("-c"), body.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "bash", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; spawned == 0 && (got = read(fds[0], buffer, sizeof(buffer))) != 0;) {
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    if (output != nullptr)
        *output = text;
    int status = 0;
    while (spawned == 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return spawned == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned listenerPortId(uint16_t queue)
{
    std::ifstream table("/proc/net/netfilter/nfnetlink_queue");
    std::string line;
    while (std::getline(table, line)) {
        // queue number, port id, packets waiting, copy mode (2: whole packets), ...
        std::istringstream fields(line);
        unsigned number = 0, portId = 0, waiting = 0, copyMode = 0;
        if (fields >> number >> portId >> waiting >> copyMode && number == queue)
            return copyMode == 2 ? portId : 0;
    }
    return 0;
}

bool waitForQueue(uint16_t queue, bool bound)
{
    const Clock::time_point deadline = Clock::now() + TestSupport::kHangGuard;
    while ((listenerPortId(queue) != 0) != bound) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ReaderThread::ReaderThread(std::function<int()> start, std::function<bool()> stop)
    : m_stop(std::move(stop)), m_thread([this, start = std::move(start)] {
          start();
          m_finished.store(true);
      })
{
}

ReaderThread::~ReaderThread()
{
    if (stopAndJoin(10000))
        return;
    ADD_FAILURE() << "the reader thread did not end; left running";
    m_thread.detach();
}

bool ReaderThread::stopAndJoin(int limitMs, int* stops, int retryMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (m_thread.joinable() && Clock::now() < deadline) {
        m_stop();
        if (stops != nullptr)
            ++*stops;
        const Clock::time_point retry = Clock::now() + std::chrono::milliseconds(retryMs);
        while (!m_finished.load() && Clock::now() < retry)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (m_finished.load())
            m_thread.join();
    }
    return !m_thread.joinable();
}

} // namespace QueueRig
