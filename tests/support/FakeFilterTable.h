#pragma once

// A small filter table behind a recording runner, for the driver's tests: the user chains and
// the lines of the built-in INPUT and OUTPUT (by their words after the chain, in the order the
// driver gives them), changed by the calls the runner records and listed by "-S" as iptables
// lists a table. Calls iptables would refuse fail (a chain created twice, a missing line or
// chain, a chain still jumped to), and so does every call the test refuses, or every call at
// all during an outage. One thread.

#include "RecordingHelperUtils.h"

#include <functional>
#include <set>
#include <string>

namespace TestSupport {

class FakeFilterTable {
public:
    // The runner answers every call as this table; the table outlives the runner's use.
    void attach(RecordingHelperUtils& runner);
    // Runs one command line (the words after the program); false when iptables or the test
    // would refuse it.
    bool run(const std::string& line);
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
