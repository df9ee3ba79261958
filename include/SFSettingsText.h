#pragma once

// Bounds on a settings file's text before a parser sees it: the parsers of the settings file
// and the agent's rule file read the whole file into memory, so its size is bounded first;
// the XML parser also descends one call per nested element, so the settings file's nesting is
// bounded too (scanXmlNesting). The agent's INI reader goes line by line without nesting.

#include "SFWholeFile.h"
#include "SFXmlNesting.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace StatefulFirewall {

// The shipped settings file is about 2 KiB and three elements deep; the agent's rule file
// holds one line per rule. Far above any real file, far below what hurts: at this depth the
// parser and every walk of the tree it builds stay a few kilobytes of stack.
inline constexpr std::size_t kMaxSettingsFileBytes = 1024 * 1024;
inline constexpr std::size_t kMaxSettingsDepth = 32;

// Reads the whole file into text. False with the reason in error when it cannot be read or
// holds more than maxBytes (then nothing beyond maxBytes + 1 bytes is read).
inline bool readBoundedFile(const std::string& path, std::size_t maxBytes, std::string& text,
                            std::string& error)
{
    int failure = 0;
    switch (readWholeFile(path, maxBytes, text, failure)) {
    case WholeFileRead::Read:
        return true;
    case WholeFileRead::OpenFailed:
        error = "cannot open " + path + ": " + std::strerror(failure);
        return false;
    case WholeFileRead::ReadFailed:
        error = "cannot read " + path + ": " + std::strerror(failure);
        return false;
    case WholeFileRead::TooLarge:
        break;
    }
    error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
    return false;
}

} // namespace StatefulFirewall
