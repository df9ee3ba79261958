// Stands at the driver's fixed iptables path during the push benchmark: appends its argument
// vector to a log (arguments separated by tabs, one invocation a line) and executes the real
// program, which the benchmark links next to it as "<path>.real". argv[0] is kept, because the
// multi-call iptables binaries choose their personality by that name.

#include "SFIptables.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const std::string self = StatefulFirewall::SF_IPTABLES_PATH;
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += '\t';
        line += argv[i];
    }
    line += '\n';
    // One write with O_APPEND keeps the lines of concurrent invocations whole.
    const int fd = ::open((self + ".log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t written;
        do {
            written = ::write(fd, line.data(), line.size());
        } while (written < 0 && errno == EINTR);
        ::close(fd);
    }
    const std::string real = self + ".real";
    ::execv(real.c_str(), argv);
    std::fprintf(stderr, "iptables wrapper: cannot execute %s: %s\n", real.c_str(), std::strerror(errno));
    return 127;
}
