#pragma once

// What the queue tests need inside tests/sandbox: shell scripts with the two-namespace rig and
// the traffic tool at hand, the kernel's view of a queue's listener, datagrams sent from this
// namespace, and a reader thread stopped and joined the way the daemon must.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace QueueRig {

// Runs script under bash with netns_rig.sh sourced (this side 10.0.0.5/24, the peer 10.0.0.7/24)
// and $TOOL naming tq-traffic. Its exit status; standard output and error go to *output.
int shell(const std::string& script, std::string* output = nullptr);

// The same, in the background, its output on a pipe; killed and reaped when the object goes.
class Background {
public:
    explicit Background(const std::string& script);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The first line starting with prefix that arrives within timeoutMs; empty when none.
    std::string waitForLine(const std::string& prefix, int timeoutMs = 2000);
    // Everything read so far, for failure messages.
    const std::string& output() const { return m_seen; }

private:
    int m_pid = -1;
    int m_out = -1;
    std::string m_pending;
    std::string m_seen;
};

// Queue's listener as /proc/net/netfilter/nfnetlink_queue shows it: its port id, 0 when none.
unsigned listenerPortId(uint16_t queue);
// Waits up to 2 s until the queue has a listener copying whole packets (or, with bound false,
// none); true when it came to that.
bool waitForQueue(uint16_t queue, bool bound);

// Sends count datagrams from fromAddress:fromPort to address:port, each time waiting up to a
// second for the same bytes back; the number that came back.
int udpEchoes(const char* fromAddress, uint16_t fromPort, const char* address, uint16_t port, int count);
// Sends one datagram from fromAddress:fromPort to address:port; false when the send failed.
bool udpSend(const char* fromAddress, uint16_t fromPort, const char* address, uint16_t port);

// Runs start (a queue's start) on a thread of its own; stop is the queue's stop.
class ReaderThread {
public:
    ReaderThread(std::function<int()> start, std::function<bool()> stop);
    // Ends a thread still running with stopAndJoin; a failed test may leave one.
    ~ReaderThread();
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    // The daemon's stop: stop, wait up to 100 ms for the thread, stop again while it runs.
    // False when it had not ended after limitMs; *stops counts the stop calls.
    bool stopAndJoin(int limitMs = 2000, int* stops = nullptr);

private:
    const std::function<bool()> m_stop;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

} // namespace QueueRig
