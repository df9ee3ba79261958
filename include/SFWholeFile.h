#pragma once

// Reading a whole file into memory, the one loop behind the settings, store and migration
// readers: EINTR retried, the descriptor opened close-on-exec, and an optional bound on the
// size so that a file from outside cannot make the reader allocate without limit.

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>

namespace StatefulFirewall {

enum class WholeFileRead { Read, OpenFailed, ReadFailed, TooLarge };

// No bound: for readers whose input is bounded elsewhere or not at all.
inline constexpr std::size_t kUnboundedFile = std::numeric_limits<std::size_t>::max();

// Appends what fd holds from its offset to its end to bytes. On ReadFailed error holds the
// errno value and bytes what came before the failure; TooLarge once bytes would hold more than
// maxBytes (then no more than one buffer beyond it was read, and bytes is emptied). Leaves fd
// open.
inline WholeFileRead readToEnd(int fd, std::size_t maxBytes, std::string& bytes, int& error)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            const int failure = errno;
            if (failure == EINTR)
                continue;
            error = failure;
            return WholeFileRead::ReadFailed;
        }
        if (n == 0)
            return WholeFileRead::Read;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) {
            bytes.clear();
            return WholeFileRead::TooLarge;
        }
    }
}

// The whole file at path in bytes (emptied first); on OpenFailed and ReadFailed error holds
// the errno value.
inline WholeFileRead readWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
                                   int& error)
{
    bytes.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return WholeFileRead::OpenFailed;
    }
    const WholeFileRead result = readToEnd(fd, maxBytes, bytes, error);
    ::close(fd); // read-only: nothing is lost whatever close answers
    return result;
}

} // namespace StatefulFirewall
