// Sends and answers test traffic so firewall tests can see what passes: each subcommand does one
// small exchange over IPv4 and says by its exit status how it ended.
//
//   tq-traffic udp-echo    <addr> <port> [--count N]
//   tq-traffic udp-send    <addr> <port> [--from <addr>] [--count N] [--interval-ms M] [--expect-reply]
//   tq-traffic tcp-listen  <addr> <port> [--count N]
//   tq-traffic tcp-connect <addr> <port> [--from <addr>]
//   tq-traffic raw-send    <addr> --protocol P [--from <addr>]
//   tq-traffic raw-recv    <addr> --protocol P [--count N]
// Every subcommand takes --timeout <ms> (default 2000): the whole run gives up after that long.
//
// Exit status: 0 done; 1 refused (a TCP reset or an ICMP port unreachable came back); 2 any other
// error, told on stderr; 3 timed out; 64 bad arguments.
//
// Output on stdout, one line each, so a test can wait and check without guessing:
//   ready <addr>:<port>   a receiver is bound and listening; with port 0 the port the system chose
//   peer <addr>:<port>    a receiver took a datagram or connection from this sender
//   ok                    tcp-connect read the listener's greeting

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

enum ExitCode {
    kDone = 0,
    kRefused = 1,
    kFailed = 2,
    kTimedOut = 3,
    kUsage = 64,
};

const char kUsageText[] =
    "usage: tq-traffic udp-echo <addr> <port> [--count N] | "
    "udp-send <addr> <port> [--from <addr>] [--count N] [--interval-ms M] [--expect-reply] | "
    "tcp-listen <addr> <port> [--count N] | tcp-connect <addr> <port> [--from <addr>] | "
    "raw-send <addr> --protocol P [--from <addr>] | raw-recv <addr> --protocol P [--count N]; "
    "all take --timeout <ms>\n";

// Large enough for any datagram the tests send; longer ones are cut, which no test relies on.
constexpr size_t kBufferSize = 2048;

// Thrown by the argument parser; main turns it into a usage line and exit 64.
struct UsageError {
    std::string what;
};

// Whole text as a decimal number in [low, high]; no sign, spaces or trailing characters, which
// strtoul would let through.
unsigned long parseNumber(const std::string& text, const std::string& name, unsigned long low,
                          unsigned long high)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{name + " is not a number: '" + text + "'"};
    const unsigned long value = std::stoul(text);
    if (value < low || value > high)
        throw UsageError{name + " " + text + " is outside " + std::to_string(low) + ".." +
                         std::to_string(high)};
    return value;
}

in_addr parseAddress(const std::string& text, const std::string& name)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        throw UsageError{name + " is not an IPv4 address: '" + text + "'"};
    return address;
}

std::string addressText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in socketAddress(in_addr address, uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr = address;
    result.sin_port = htons(port);
    return result;
}

struct Options {
    std::string command;
    sockaddr_in target{};
    bool hasFrom = false;
    in_addr from{};
    unsigned long count = 1;
    unsigned long intervalMs = 0;
    bool expectReply = false;
    int protocol = -1;
    unsigned long timeoutMs = 2000;
};

// Which options each subcommand accepts, and whether it has a port after the address. A
// receiver may ask for port 0 and be told the chosen one in its "ready" line; a sender may not.
struct CommandShape {
    bool hasPort;
    bool portMayBeZero;
    std::set<std::string> options;
};

const std::map<std::string, CommandShape>& commandShapes()
{
    static const std::map<std::string, CommandShape> shapes = {
        {"udp-echo", {true, true, {"--count"}}},
        {"udp-send", {true, false, {"--from", "--count", "--interval-ms", "--expect-reply"}}},
        {"tcp-listen", {true, true, {"--count"}}},
        {"tcp-connect", {true, false, {"--from"}}},
        {"raw-send", {false, false, {"--protocol", "--from"}}},
        {"raw-recv", {false, false, {"--protocol", "--count"}}},
    };
    return shapes;
}

Options parseArguments(int argc, char** argv)
{
    if (argc < 2)
        throw UsageError{"no subcommand"};
    Options options;
    options.command = argv[1];
    const auto shape = commandShapes().find(options.command);
    if (shape == commandShapes().end())
        throw UsageError{"unknown subcommand '" + options.command + "'"};

    std::vector<std::string> positional;
    std::set<std::string> seen;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.compare(0, 2, "--") != 0) {
            positional.push_back(word);
            continue;
        }
        if (word != "--timeout" && shape->second.options.count(word) == 0)
            throw UsageError{options.command + " does not take " + word};
        if (!seen.insert(word).second)
            throw UsageError{word + " given twice"};
        if (word == "--expect-reply") {
            options.expectReply = true;
            continue;
        }
        if (i + 1 >= argc)
            throw UsageError{word + " needs a value"};
        const std::string value = argv[++i];
        if (word == "--timeout")
            options.timeoutMs = parseNumber(value, word, 1, 600000);
        else if (word == "--count")
            options.count = parseNumber(value, word, 1, 100000);
        else if (word == "--interval-ms")
            options.intervalMs = parseNumber(value, word, 0, 60000);
        else if (word == "--protocol")
            // 0 and 255 are not protocols a raw socket can send on its own.
            options.protocol = static_cast<int>(parseNumber(value, word, 1, 254));
        else if (word == "--from") {
            options.hasFrom = true;
            options.from = parseAddress(value, word);
        }
    }

    const size_t wanted = shape->second.hasPort ? 2 : 1;
    if (positional.size() != wanted)
        throw UsageError{options.command + " takes " + std::to_string(wanted) + " operand(s), got " +
                         std::to_string(positional.size())};
    uint16_t port = 0;
    if (shape->second.hasPort)
        port = static_cast<uint16_t>(
            parseNumber(positional[1], "port", shape->second.portMayBeZero ? 0 : 1, 65535));
    options.target = socketAddress(parseAddress(positional[0], "address"), port);
    if (shape->second.options.count("--protocol") != 0 && options.protocol < 0)
        throw UsageError{options.command + " needs --protocol"};
    return options;
}

// The point after which the run gives up, on the monotonic clock so a clock change cannot
// stretch or cut it.
class Deadline {
public:
    explicit Deadline(unsigned long timeoutMs)
        : m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs))
    {
    }

    // Milliseconds left, for poll(); 0 once passed.
    int remainingMs() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_end - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

private:
    std::chrono::steady_clock::time_point m_end;
};

// Closes the descriptor when the subcommand returns.
class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

int fail(const Options& options, const std::string& what, int error)
{
    std::fprintf(stderr, "tq-traffic %s: %s: %s\n", options.command.c_str(), what.c_str(),
                 std::strerror(error));
    return kFailed;
}

// Lines go out at once: the test reading them waits on each one.
void say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Waits until fd has something to read or the deadline passes. Returns 1 readable, 0 timed
// out, -1 with errno set on error.
int waitReadable(int fd, const Deadline& deadline, short events = POLLIN)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, deadline.remainingMs());
        const int error = errno;
        if (ready < 0 && error == EINTR)
            continue;
        if (ready < 0) {
            errno = error;
            return -1;
        }
        return ready > 0 ? 1 : 0;
    }
}

// A new descriptor, or -1 after telling why on stderr.
int openSocket(const Options& options, int type, int protocol)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    const int error = errno;
    if (fd < 0)
        fail(options, "socket", error);
    return fd;
}

int bindTo(const Options& options, int fd, const sockaddr_in& address)
{
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        return fail(options, "bind " + addressText(address), error);
    }
    return kDone;
}

// Binds a receiver and announces it with the port it really got. A stream receiver listens
// first (backlog above 0): a test connects as soon as it reads the line, and a connection that
// came before listen() would be refused.
int bindAndAnnounce(const Options& options, int fd, int backlog = 0)
{
    const int bound = bindTo(options, fd, options.target);
    if (bound != kDone)
        return bound;
    if (backlog > 0 && listen(fd, backlog) != 0) {
        const int error = errno;
        return fail(options, "listen", error);
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        return fail(options, "getsockname", error);
    }
    say("ready " + addressText(local));
    return kDone;
}

// Waits for one datagram on fd: kDone with got and sender set, kTimedOut when the deadline
// passes first, or the failure status (the reason already printed).
int receiveOne(const Options& options, int fd, const Deadline& deadline, char* buffer,
               size_t size, sockaddr_in& sender, ssize_t& got)
{
    for (;;) {
        const int ready = waitReadable(fd, deadline);
        if (ready < 0)
            return fail(options, "poll", errno);
        if (ready == 0)
            return kTimedOut;
        socklen_t length = sizeof(sender);
        got = recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        const int error = errno;
        if (got >= 0)
            return kDone;
        if (error != EINTR)
            return fail(options, "recvfrom", error);
    }
}

int udpEcho(const Options& options, const Deadline& deadline)
{
    const Socket sock(openSocket(options, SOCK_DGRAM, 0));
    if (sock.fd() < 0)
        return kFailed;
    if (const int bound = bindAndAnnounce(options, sock.fd()); bound != kDone)
        return bound;

    char buffer[kBufferSize];
    for (unsigned long echoed = 0; echoed < options.count;) {
        sockaddr_in sender{};
        ssize_t got = 0;
        if (const int received = receiveOne(options, sock.fd(), deadline, buffer, sizeof(buffer),
                                            sender, got);
            received != kDone)
            return received;
        const socklen_t length = sizeof(sender);
        say("peer " + addressText(sender));
        for (;;) {
            const ssize_t sent = sendto(sock.fd(), buffer, static_cast<size_t>(got), MSG_NOSIGNAL,
                                        reinterpret_cast<const sockaddr*>(&sender), length);
            const int sendError = errno;
            if (sent < 0 && sendError == EINTR)
                continue;
            if (sent < 0)
                return fail(options, "sendto " + addressText(sender), sendError);
            break;
        }
        ++echoed;
    }
    return kDone;
}

// Waits for the echo of one payload; other datagrams (a late echo of an earlier one) are skipped.
int awaitEcho(const Options& options, int fd, const std::string& payload, const Deadline& deadline)
{
    char buffer[kBufferSize];
    for (;;) {
        const int ready = waitReadable(fd, deadline);
        if (ready < 0)
            return fail(options, "poll", errno);
        if (ready == 0)
            return kTimedOut;
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        const int error = errno;
        if (got < 0 && error == EINTR)
            continue;
        // The socket is connected, so an ICMP port unreachable from the target shows up here.
        if (got < 0 && error == ECONNREFUSED)
            return kRefused;
        if (got < 0)
            return fail(options, "recv", error);
        if (std::string(buffer, static_cast<size_t>(got)) == payload)
            return kDone;
    }
}

int udpSend(const Options& options, const Deadline& deadline)
{
    const Socket sock(openSocket(options, SOCK_DGRAM, 0));
    if (sock.fd() < 0)
        return kFailed;
    if (options.hasFrom) {
        if (const int bound = bindTo(options, sock.fd(), socketAddress(options.from, 0)); bound != kDone)
            return bound;
    }
    // Connected, so only the target's replies are read and its ICMP errors are reported.
    if (connect(sock.fd(), reinterpret_cast<const sockaddr*>(&options.target), sizeof(options.target)) != 0) {
        const int error = errno;
        return fail(options, "connect " + addressText(options.target), error);
    }

    for (unsigned long i = 1; i <= options.count; ++i) {
        const std::string payload = "tq " + std::to_string(i);
        for (;;) {
            const ssize_t sent = send(sock.fd(), payload.data(), payload.size(), MSG_NOSIGNAL);
            const int error = errno;
            if (sent < 0 && error == EINTR)
                continue;
            // An ICMP error for an earlier datagram is reported on the next send.
            if (sent < 0 && error == ECONNREFUSED)
                return kRefused;
            if (sent < 0)
                return fail(options, "send to " + addressText(options.target), error);
            break;
        }
        if (options.expectReply) {
            if (const int echoed = awaitEcho(options, sock.fd(), payload, deadline); echoed != kDone)
                return echoed;
        }
        if (i < options.count && options.intervalMs > 0) {
            const unsigned long pause =
                std::min(options.intervalMs, static_cast<unsigned long>(deadline.remainingMs()));
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
            if (deadline.remainingMs() == 0)
                return kTimedOut;
        }
    }
    return kDone;
}

int tcpListen(const Options& options, const Deadline& deadline)
{
    const Socket sock(openSocket(options, SOCK_STREAM, 0));
    if (sock.fd() < 0)
        return kFailed;
    // A test that runs the listener again on the same port must not wait out TIME_WAIT.
    const int on = 1;
    if (setsockopt(sock.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        const int error = errno;
        return fail(options, "SO_REUSEADDR", error);
    }
    if (const int bound = bindAndAnnounce(options, sock.fd(), 16); bound != kDone)
        return bound;

    static const char greeting[] = "ok\n";
    for (unsigned long accepted = 0; accepted < options.count;) {
        const int ready = waitReadable(sock.fd(), deadline);
        if (ready < 0)
            return fail(options, "poll", errno);
        if (ready == 0)
            return kTimedOut;
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        const int fd = accept4(sock.fd(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        const int error = errno;
        // A peer that gave up between poll and accept is not an error of ours.
        if (fd < 0 && (error == EINTR || error == ECONNABORTED))
            continue;
        if (fd < 0)
            return fail(options, "accept", error);
        const Socket connection(fd);
        say("peer " + addressText(peer));
        // Three bytes into an empty send buffer go out whole; a peer that already left is its
        // own business, so the greeting's result does not count.
        for (;;) {
            const ssize_t sent = send(fd, greeting, sizeof(greeting) - 1, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            break;
        }
        ++accepted;
    }
    return kDone;
}

// Reads the listener's greeting if one comes before the deadline; its absence is no failure.
void readGreeting(int fd, const Deadline& deadline)
{
    std::string line;
    char buffer[64];
    while (line.find('\n') == std::string::npos && line.size() < 256) {
        if (waitReadable(fd, deadline) != 1)
            return;
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        const int error = errno;
        if (got < 0 && (error == EINTR || error == EAGAIN))
            continue;
        if (got <= 0)
            return;
        line.append(buffer, static_cast<size_t>(got));
    }
    if (line == "ok\n")
        say("ok");
}

int tcpConnect(const Options& options, const Deadline& deadline)
{
    const Socket sock(openSocket(options, SOCK_STREAM | SOCK_NONBLOCK, 0));
    if (sock.fd() < 0)
        return kFailed;
    if (options.hasFrom) {
        if (const int bound = bindTo(options, sock.fd(), socketAddress(options.from, 0)); bound != kDone)
            return bound;
    }

    const int started = connect(sock.fd(), reinterpret_cast<const sockaddr*>(&options.target),
                                sizeof(options.target));
    int error = errno;
    // Interrupted, the connection still goes on in the background; both end up in the poll.
    if (started != 0 && error != EINPROGRESS && error != EINTR)
        return error == ECONNREFUSED ? kRefused
                                     : fail(options, "connect " + addressText(options.target), error);
    if (started != 0) {
        const int ready = waitReadable(sock.fd(), deadline, POLLOUT);
        if (ready < 0)
            return fail(options, "poll", errno);
        if (ready == 0)
            return kTimedOut;
        socklen_t length = sizeof(error);
        if (getsockopt(sock.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            const int getError = errno;
            return fail(options, "SO_ERROR", getError);
        }
        if (error == ECONNREFUSED)
            return kRefused;
        if (error != 0)
            return fail(options, "connect " + addressText(options.target), error);
    }
    readGreeting(sock.fd(), deadline);
    return kDone;
}

int rawSend(const Options& options, const Deadline&)
{
    const Socket sock(openSocket(options, SOCK_RAW, options.protocol));
    if (sock.fd() < 0)
        return kFailed;
    if (options.hasFrom) {
        if (const int bound = bindTo(options, sock.fd(), socketAddress(options.from, 0)); bound != kDone)
            return bound;
    }
    // The kernel writes the IPv4 header with this protocol; the payload only has to be there.
    static const char payload[] = "tq raw";
    for (;;) {
        const ssize_t sent = sendto(sock.fd(), payload, sizeof(payload) - 1, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(&options.target),
                                    sizeof(options.target));
        const int error = errno;
        if (sent < 0 && error == EINTR)
            continue;
        if (sent < 0)
            return fail(options, "sendto " + addressText(options.target), error);
        return kDone;
    }
}

// Counts packets of the protocol addressed to <addr>, so a test can see a raw-send arrive.
int rawRecv(const Options& options, const Deadline& deadline)
{
    const Socket sock(openSocket(options, SOCK_RAW, options.protocol));
    if (sock.fd() < 0)
        return kFailed;
    if (const int bound = bindAndAnnounce(options, sock.fd()); bound != kDone)
        return bound;

    char buffer[kBufferSize];
    for (unsigned long received = 0; received < options.count;) {
        sockaddr_in sender{};
        ssize_t got = 0;
        if (const int status = receiveOne(options, sock.fd(), deadline, buffer, sizeof(buffer),
                                          sender, got);
            status != kDone)
            return status;
        // A raw IPv4 socket hands over the packet with its header; anything shorter is not one.
        if (static_cast<size_t>(got) < sizeof(iphdr))
            continue;
        say("peer " + addressText(sender));
        ++received;
    }
    return kDone;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tq-traffic: %s\n%s", error.what.c_str(), kUsageText);
        return kUsage;
    }
    const Deadline deadline(options.timeoutMs);
    if (options.command == "udp-echo")
        return udpEcho(options, deadline);
    if (options.command == "udp-send")
        return udpSend(options, deadline);
    if (options.command == "tcp-listen")
        return tcpListen(options, deadline);
    if (options.command == "tcp-connect")
        return tcpConnect(options, deadline);
    if (options.command == "raw-send")
        return rawSend(options, deadline);
    return rawRecv(options, deadline);
}
