#pragma once

// Checks on a settings file's text before a parser sees it: the parsers of the settings file
// and the agent's rule file read the whole file into memory and descend one call per nested
// element, so the size and the nesting are bounded first.

#include "SFWholeFile.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace StatefulFirewall {

// The shipped settings file is about 2 KiB and three elements deep; the agent's rule file
// holds one line per rule. Far above any real file, far below what hurts.
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

// True when no element of the XML text is nested deeper than maxDepth. Comments, CDATA,
// processing instructions and declarations are skipped, quoted attribute values may hold '>'.
// Text that is not well-formed may be counted deeper than a parser would see it, never less
// deep, so the answer is safe to act on before parsing.
inline bool xmlNestingWithin(const std::string& text, std::size_t maxDepth)
{
    std::size_t depth = 0;
    std::size_t at = 0;
    const auto skipPast = [&](const char* end) {
        const std::size_t found = text.find(end, at);
        at = found == std::string::npos ? text.size() : found + std::strlen(end);
    };
    while ((at = text.find('<', at)) != std::string::npos) {
        if (text.compare(at, 4, "<!--") == 0) {
            at += 4;
            skipPast("-->");
        } else if (text.compare(at, 9, "<![CDATA[") == 0) {
            at += 9;
            skipPast("]]>");
        } else if (text.compare(at, 2, "<?") == 0 || text.compare(at, 2, "<!") == 0) {
            at += 2;
            skipPast(">");
        } else if (text.compare(at, 2, "</") == 0) {
            at += 2;
            if (depth > 0)
                --depth;
            skipPast(">");
        } else {
            // A start tag: up to its '>' outside quotes; "/>" closes it at once.
            char quote = 0;
            char last = 0;
            for (++at; at < text.size(); ++at) {
                const char c = text[at];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
                last = c;
            }
            ++at;
            if (last != '/' && ++depth > maxDepth)
                return false;
        }
    }
    return true;
}

} // namespace StatefulFirewall
