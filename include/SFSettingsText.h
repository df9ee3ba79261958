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

// The longest log path the settings take: one longer than PATH_MAX cannot be opened anyway.
inline constexpr std::size_t kMaxLogPathBytes = 4096;

// The settings' text written without indentation is held to kMaxCompactSettingsBytes by the
// writer (it writes no larger tree) and by the reader (it takes no file whose tree would be
// larger written again): what is written reads back, and what is read can be written again.
// The bound sits 64 KiB under kMaxSettingsFileBytes, more than one change within the values'
// bounds adds: the longest log path with every character escaped (6 bytes at most, "&apos;"),
// an integer of 11 characters, the defaults and section types the daemon fills in (about
// 3 KiB, as in the shipped template). A file read within that much of the bound may still
// refuse a change that grows it past; the refusal names the key, the caller reports it and the
// file stays as it was.
inline constexpr std::size_t kSettingsHeadroomBytes = 64 * 1024;
inline constexpr std::size_t kMaxCompactSettingsBytes =
    kMaxSettingsFileBytes - kSettingsHeadroomBytes;
static_assert(6 * kMaxLogPathBytes + 16 * 1024 <= kSettingsHeadroomBytes,
              "the headroom holds the longest log path escaped and the filled-in defaults");

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

// Why path cannot be the log path, or empty when it can: too long (kMaxLogPathBytes), or a
// value the settings file cannot hold. Said after "the log path".
inline std::string logPathFault(const std::string& path)
{
    if (path.size() > kMaxLogPathBytes)
        return "is " + std::to_string(path.size()) + " bytes long, longer than the " +
               std::to_string(kMaxLogPathBytes) + " bytes a path may have";
    const std::string fault = settingsValueFault(path);
    return fault.empty() ? fault : fault + ", which the settings file cannot hold";
}

} // namespace StatefulFirewall
