#pragma once

// Bounds on a settings file's text before a parser sees it: the parsers of the settings file
// and the agent's rule file read the whole file into memory, so its size is bounded first;
// the XML parser also descends one call per nested element, so the settings file's nesting is
// bounded too (scanXmlNesting). The agent's INI reader goes line by line without nesting.
// Also what a value of the settings file may hold, so that what is written reads back.

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

// Why text cannot stand in the settings file, or empty when it can. XML 1.0 holds no NUL, not
// even as a character reference, and no control character other than tab, LF and CR. A NUL
// written would end the text the reader parses; the others are kept out too, so the file
// stays XML and the writer may use them as stand-ins while it formats the file.
inline std::string settingsTextFault(const std::string& text)
{
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code == 0)
            return "holds a NUL";
        if (code < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            static const char digits[] = "0123456789ABCDEF";
            return std::string("holds the control character 0x") + digits[code >> 4] +
                   digits[code & 0x0F];
        }
    }
    return {};
}

// Why text cannot be the value of a setting, or empty when it can: as settingsTextFault, and
// the reader drops a space a value ends with, whether written as such or as a reference.
inline std::string settingsValueFault(const std::string& text)
{
    std::string fault = settingsTextFault(text);
    if (fault.empty() && !text.empty() && text.back() == ' ')
        fault = "ends in a space";
    return fault;
}

} // namespace StatefulFirewall
