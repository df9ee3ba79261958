#pragma once

// A small filter table behind a recording runner, for the driver's tests: the user chains and
// the lines of the built-in INPUT and OUTPUT (by their words after the chain, in the order the
// driver gives them), changed by the calls the runner records and listed by "-S" as iptables
// lists a table. Calls iptables would refuse fail with iptables' own answer (a chain created
// twice or still jumped to; a missing line or chain, which iptables says does not exist), and
// every call the test refuses, or every call at all during an outage, fails with an answer that
// is no such word. One thread.

#include "RecordingHelperUtils.h"

#include <functional>
#include <set>
#include <string>

namespace TestSupport {

class FakeFilterTable {
public:
    using Answer = RecordingHelperUtils::Answer;

    // The runner answers every call as this table; the table outlives the runner's use.
    void attach(RecordingHelperUtils& runner);
    // Runs one command line (the words after the program) and answers as iptables would.
    Answer respond(const std::string& line);
    // Whether iptables would run the line (its answer's status is 0).
    bool run(const std::string& line) { return respond(line).status == 0; }
    // "-N <chain>" lines, then "-A <chain> <words>" lines, each set in sorted order.
    std::string listing() const;
    // What "-S" answers: the three policy lines, then the listing, passed through cut when set
    // (a listing iptables cuts short).
    std::string answer() const;

    std::set<std::string> chains;
    std::multiset<std::string> lines; // "INPUT <words>"
    bool outage = false;              // every call fails
    std::function<bool(const std::string&)> refuse; // lines the test makes fail
    std::function<std::string(const std::string&)> cut;
};

} // namespace TestSupport
