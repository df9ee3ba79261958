// The two floors the push is compared with, each in a fresh network namespace so the sandbox's
// own filter table (where tqd runs) is left alone:
//
//   tq-bench-replay spawn <iptables> <iptables-restore> <iptables-save> <before.rules> <vectors>
//       loads the ruleset the push started from (not timed), then runs every logged argument
//       vector one after the other with posix_spawn and waitpid: what running one process per
//       line costs at the least. Prints: seconds processes failed rules-after
//   tq-bench-replay restore <iptables-restore> <iptables-save> <after.rules>
//       feeds the ruleset the push produced to one iptables-restore: the batch floor.
//       Prints: seconds rules-after
//
// rules-after is the number of "-A" lines iptables-save lists afterwards, so the caller can
// check that the replay built what the push built.

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

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Runs argv with standard input from inputPath (or /dev/null) and standard output to
// outputPath (or /dev/null); its exit status, -1 when it did not exit normally.
int run(const std::vector<std::string>& words, const char* inputPath = "/dev/null",
        const char* outputPath = "/dev/null")
{
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        throw systemError("cannot start " + words[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw systemError("waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
            int failed = 0;
            const auto start = Clock::now();
            for (std::vector<std::string> words : vectors) {
                words.insert(words.begin(), iptables);
                failed += run(words) != 0 ? 1 : 0;
            }
            const double seconds = secondsSince(start);
            std::cout << seconds << ' ' << vectors.size() << ' ' << failed << ' '
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
