// Sends UDP datagrams of 64 bytes to one address and port at a steady rate for a number of
// seconds, paced in 1 ms slices, from one socket (one source address and port, so the target
// rule's hash limit sees a single flow).
//
//   tq-bench-udp-flood <address> <port> <packets per second> <seconds>
//
// Prints: packets-sent cpu-seconds (this process's user and system time).

#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::cerr << "usage: tq-bench-udp-flood <address> <port> <packets per second> <seconds>\n";
        return 2;
    }
    try {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(boost::lexical_cast<uint16_t>(argv[2]));
        if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1)
            throw std::runtime_error(std::string("bad address ") + argv[1]);
        const auto rate = boost::lexical_cast<long>(argv[3]);
        const auto seconds = boost::lexical_cast<long>(argv[4]);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        const char payload[64] = "tq-bench block event";
        const auto slice = std::chrono::milliseconds(1);
        const long slices = seconds * 1000;
        const auto start = std::chrono::steady_clock::now();
        long sent = 0;
        for (long n = 1; n <= slices; ++n) {
            // Sends what the rate owes by the end of this slice, so rounding never accumulates.
            const long due = rate * n / 1000;
            while (sent < due) {
                const ssize_t result = ::sendto(fd, payload, sizeof(payload), 0,
                                                reinterpret_cast<const sockaddr*>(&target), sizeof(target));
                if (result < 0 && errno != EINTR && errno != ENOBUFS && errno != EPERM)
                    throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
                // A datagram the local stack refused counts as sent: the rate is the offer.
                ++sent;
            }
            std::this_thread::sleep_until(start + n * slice);
        }
        ::close(fd);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        std::cout << sent << ' ' << cpu << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tq-bench-udp-flood: " << e.what() << '\n';
        return 1;
    }
}
