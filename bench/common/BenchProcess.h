#pragma once

// Process starts for the benchmarks' floors and whole-program timings: one posix_spawn and one
// waitpid, nothing more, so the measured cost is the process itself.

#include <stdexcept>
#include <string>
#include <vector>

namespace Bench {

// An error naming what failed and the system's text for errno.
std::runtime_error systemError(const std::string& what);

// Runs words (words[0] a path) with standard input from inputPath and standard output to
// outputPath (created or truncated); standard error goes to errorPath, or stays the caller's
// when it is null. The exit status; -1 when the program did not exit normally. Throws when it
// cannot be started.
int runProcess(const std::vector<std::string>& words, const char* inputPath = "/dev/null",
               const char* outputPath = "/dev/null", const char* errorPath = nullptr);

} // namespace Bench
