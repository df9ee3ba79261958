// The two floors the push is compared with, each in a fresh network namespace so the sandbox's
// own filter table (where tqd runs) is left alone:
//
//   tq-bench-replay spawn <iptables> <iptables-restore> <iptables-save> <before.rules> <vectors>
//       loads the ruleset the push started from (not timed), so the vectors run beside the
//       generation they replace as the push's did, then runs every logged argument vector one
//       after the other with posix_spawn and waitpid: what running one process per line costs at
//       the least. Prints: seconds processes failed rules-before rules-after
//   tq-bench-replay restore <iptables-restore> <iptables-save> <after.rules>
//       feeds the ruleset the push produced to one iptables-restore: the batch floor.
//       Prints: seconds rules-after
//
// rules-before and rules-after are the numbers of "-A" lines iptables-save lists before the
// timed part and afterwards, so the caller can check that the replay started from the push's
// table and built what the push built.

#include "BenchProcess.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Standard error of the replayed programs is dropped: iptables' warnings are not figures.
int run(const std::vector<std::string>& words, const char* inputPath = "/dev/null",
        const char* outputPath = "/dev/null")
{
    return Bench::runProcess(words, inputPath, outputPath, "/dev/null");
}

using Bench::systemError;

std::vector<std::vector<std::string>> readVectors(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<std::string>> vectors;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> words;
        boost::split(words, line, [](char c) { return c == '\t'; });
        vectors.push_back(std::move(words));
    }
    return vectors;
}

int appendLines(const std::string& save)
{
    char pattern[] = "/tmp/tq-bench-save.XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        throw systemError("mkstemp");
    ::close(fd);
    if (run({save}, "/dev/null", pattern) != 0)
        throw std::runtime_error(save + " failed");
    std::ifstream in(pattern);
    int count = 0;
    std::string line;
    while (std::getline(in, line))
        count += boost::starts_with(line, "-A ") ? 1 : 0;
    std::remove(pattern);
    return count;
}

void freshNamespace()
{
    if (unshare(CLONE_NEWNET) != 0)
        throw systemError("unshare(CLONE_NEWNET)");
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "spawn" && argc == 7) {
            const std::string iptables = argv[2];
            const auto vectors = readVectors(argv[6]);
            freshNamespace();
            if (run({argv[3]}, argv[5]) != 0)
                throw std::runtime_error(std::string("cannot restore ") + argv[5]);
            const int linesBefore = appendLines(argv[4]);
            int failed = 0;
            const auto start = Clock::now();
            for (std::vector<std::string> words : vectors) {
                words.insert(words.begin(), iptables);
                failed += run(words) != 0 ? 1 : 0;
            }
            const double seconds = secondsSince(start);
            std::cout << seconds << ' ' << vectors.size() << ' ' << failed << ' ' << linesBefore << ' '
                      << appendLines(argv[4]) << '\n';
            return 0;
        }
        if (mode == "restore" && argc == 5) {
            freshNamespace();
            const auto start = Clock::now();
            if (run({argv[2]}, argv[4]) != 0)
                throw std::runtime_error(std::string("cannot restore ") + argv[4]);
            const double seconds = secondsSince(start);
            std::cout << seconds << ' ' << appendLines(argv[3]) << '\n';
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "tq-bench-replay: " << e.what() << '\n';
        return 1;
    }
    std::cerr << "usage: tq-bench-replay spawn <iptables> <iptables-restore> <iptables-save> "
                 "<before.rules> <vectors>\n"
                 "       tq-bench-replay restore <iptables-restore> <iptables-save> <after.rules>\n";
    return 2;
}
