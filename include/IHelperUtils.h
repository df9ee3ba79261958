#pragma once

// The command runner: starts a program from an argument vector (never through a shell).
// A failure is reported only by throwing SFException with SF_SYSTEM_COMMAND_FAILED; the
// returned value carries no information, except for runSystemCommandForAnswer.

#include <map>
#include <string>
#include <vector>

namespace StatefulFirewall {

class IHelperUtils {
public:
    virtual ~IHelperUtils() = default;

    // argv[0] is the program's full path. exitStatusTable, when given, lists exit statuses that
    // count as success when their flag is false; without it only status 0 succeeds.
    virtual int executeSystemCommand(std::vector<std::string> argv,
                                     const std::map<int, bool>* exitStatusTable) = 0;

    // As executeSystemCommand, with the program's standard output sent into the caller's pipe:
    // pipeFds[0] is the read end, pipeFds[1] the write end. The caller reads after the return.
    virtual int readSystemCommandOutput(std::vector<std::string> argv,
                                        const std::map<int, bool>* exitStatusTable,
                                        int* pipeFds) = 0;

    // As executeSystemCommand, for a command whose failure may be the program's own answer (for
    // iptables: the chain or line it names does not exist): a program that ran to its end is no
    // failure here. Returns its exit status (0 for success) and puts what it wrote on standard
    // error (at most its first 4 KiB) into errorText. Throws as executeSystemCommand when the
    // program could not be started or did not end by itself (a signal, the time limit).
    virtual int runSystemCommandForAnswer(std::vector<std::string> argv, std::string& errorText) = 0;
};

} // namespace StatefulFirewall
