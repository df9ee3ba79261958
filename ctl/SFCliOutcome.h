#pragma once

// Turns the parse and the performing of one command line into the tool's exit code: the parse
// first, the performing only when the parse said 99, with the messages of each outcome.

#include <functional>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

// parse returns 0 (help shown), 99 (perform), 100 (syntax error) or another code kept as it
// is. A parse that throws is a command line that could not be read: 100. A perform that throws
// gives 99, the code that says the command was not carried out.
int runCommandLine(const std::function<int()>& parse, const std::function<int()>& perform,
                   ZAV::ILogger& logger);

} // namespace StatefulFirewall
