#pragma once

// What the queue tests need inside tests/sandbox: shell scripts with the two-namespace rig and the
// traffic tool at hand, the kernel's view of a queue's listener, and a reader thread stopped and
// joined the way the daemon must.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace QueueRig {

// Runs script under bash with netns_rig.sh sourced (this side 10.0.0.5/24, the peer 10.0.0.7/24),
// $TOOL naming tq-traffic, `serve <file> <command...>`, which runs a receiver in the background
// with its output in <file> and its pid in <file>.pid and waits for its "ready" line, and
// `unserve <file>`, which stops that receiver and waits until it is gone. Its exit status;
// standard output and error go to *output.
int shell(const std::string& script, std::string* output = nullptr);

// Queue's listener as /proc/net/netfilter/nfnetlink_queue shows it, once it copies whole packets:
// its port id, 0 when none.
unsigned listenerPortId(uint16_t queue);
// Waits until the queue has such a listener (or, with bound false, none); false when the hang
// guard ran out first.
bool waitForQueue(uint16_t queue, bool bound);

// Runs start (a queue's start) on a thread of its own; stop is the queue's stop.
class ReaderThread {
public:
    ReaderThread(std::function<int()> start, std::function<bool()> stop);
    // Stops and joins a thread still running; a failed test may leave one.
    ~ReaderThread();
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    // The daemon's stop: stop, wait up to retryMs for the thread, stop again while it runs. False
    // when it had not ended after limitMs; *stops counts the stop calls.
    bool stopAndJoin(int limitMs = 30000, int* stops = nullptr, int retryMs = 100);

private:
    const std::function<bool()> m_stop;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

} // namespace QueueRig
