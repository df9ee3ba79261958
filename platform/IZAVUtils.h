#pragma once

// The platform's process runner.

#include <map>
#include <string>
#include <vector>

namespace ZAV {

class IZAVUtils {
public:
    virtual ~IZAVUtils() = default;

    // Runs argv (argv[0] is the program's full path; no shell, no PATH search) and waits for it.
    // Success: without a table, exit status 0; with one, status 0 or a listed status whose flag
    // is false. Everything else (a signal, a timeout, a program that cannot start) is failure.
    virtual bool runCommand(const std::vector<std::string>& argv,
                            const std::map<int, bool>* exitStatusTable) = 0;

    // As runCommand, with the child's standard output connected to pipeFds[1], the write end of
    // the caller's pipe. The caller keeps both descriptors and reads pipeFds[0] after the return.
    virtual bool runCommandWithOutput(const std::vector<std::string>& argv,
                                      const std::map<int, bool>* exitStatusTable,
                                      int* pipeFds) = 0;

    // As runCommand, for a program whose failure may be its own answer rather than a fault:
    // true when it ran to its end, whatever its exit status, which is given back with what it
    // wrote on standard error (at most its first 4 KiB, blanks around it trimmed); false when it
    // could not be started or did not end by itself (a signal, the time limit).
    virtual bool runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus,
                                     std::string& errorText) = 0;
};

} // namespace ZAV
