#pragma once

// Line reading shared by the spool files of the agent stand-in.

#include <sstream>
#include <string>

namespace ZAV {

// Calls take(number, line) for every line that is neither blank nor a '#' comment; a trailing
// carriage return is dropped, so files edited elsewhere read the same.
template <typename Take>
void forEachLine(const std::string& text, Take take)
{
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        take(number, line);
    }
}

} // namespace ZAV
