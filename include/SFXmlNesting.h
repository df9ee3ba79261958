#pragma once

// How deep the settings file's XML parser descends into a text, found without descending.
//
// The parser (boost property_tree's XML reader) calls itself once per nested element, so a
// file nested a hundred thousand deep overflows the stack. What counts as markup for it is
// not what XML says: a processing instruction or declaration runs to "?>", a DOCTYPE's
// internal subset to its matching ']' whatever it holds, an element name to the first blank,
// '/', '>' or '?' (quotes and '<' included), and the text ends at its first NUL. A check with
// rules of its own can be made to see a shallow file where the parser builds a deep one. So
// this scan walks the text by the parser's own rules, in one pass without recursion, and
// follows it as far as the parser would go. Where the parser stops with an error the scan
// stops too and says so; the caller then refuses the text without parsing it, so a point
// where the two might disagree is never handed to the parser.
//
// The rules are those of the reader with comments kept (no declaration, DOCTYPE or
// processing-instruction nodes), whatever its whitespace flags. Entity references never
// consume a '<', a quote or a NUL, so they need no rule here; a malformed one only makes the
// parser stop earlier than the scan, never read further.

#include <algorithm>
#include <cstddef>
#include <string>

namespace StatefulFirewall {

struct SFXmlNesting {
    // The most elements open at once while the parser reads the text, an empty element
    // ("<a/>") counted while it stands; limit + 1 when the scan stopped past the limit.
    std::size_t depth = 0;
    // True when the parser reads the whole text without an error.
    bool wellFormed = false;
    // Where the parser stops with an error (an offset into the text) when not wellFormed.
    std::size_t stoppedAt = 0;
};

namespace XmlNestingDetail {

inline bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What the parser takes into an element name: anything but a blank, '/', '>', '?' or NUL.
inline bool isNameChar(char c)
{
    return c != '\0' && !isBlank(c) && c != '/' && c != '>' && c != '?';
}

// What it takes into an attribute name: also neither '<', '=' nor '!'.
inline bool isAttributeNameChar(char c)
{
    return isNameChar(c) && c != '<' && c != '=' && c != '!';
}

} // namespace XmlNestingDetail

// Walks text as the parser would, stopping once more than limit elements are open.
inline SFXmlNesting scanXmlNesting(const std::string& text, std::size_t limit)
{
    using namespace XmlNestingDetail;
    // The parser reads up to the first NUL: that is where its text ends.
    const std::size_t end = std::min(text.find('\0'), text.size());
    const auto at = [&](std::size_t i) { return i < end ? text[i] : '\0'; };
    const auto startsWith = [&](std::size_t i, const char* word) {
        for (; *word != '\0'; ++word, ++i)
            if (at(i) != *word)
                return false;
        return true;
    };

    SFXmlNesting result;
    std::size_t open = 0; // elements whose content is being read
    std::size_t i = startsWith(0, "\xEF\xBB\xBF") ? 3 : 0;
    const auto stop = [&](std::size_t where) {
        result.stoppedAt = where;
        return result;
    };
    const auto skipBlanks = [&] {
        while (isBlank(at(i)))
            ++i;
    };
    // Moves i past the next occurrence of marker; false when there is none before the end.
    const auto skipPast = [&](const char* marker) {
        const std::size_t found = text.find(marker, i);
        if (found == std::string::npos || found >= end)
            return false;
        i = found + std::char_traits<char>::length(marker);
        return true;
    };
    const auto reach = [&](std::size_t depth) {
        if (depth > result.depth)
            result.depth = depth;
        return depth <= limit;
    };

    for (;;) {
        skipBlanks();
        if (open == 0) {
            // Between top-level nodes: only markup, and the end of the text is the end.
            if (i >= end) {
                result.wellFormed = true;
                return result;
            }
            if (at(i) != '<')
                return stop(i);
        } else if (at(i) != '<') {
            // Character data runs to the next '<'; the end of the text inside an element is
            // an error.
            while (i < end && at(i) != '<')
                ++i;
            if (i >= end)
                return stop(i);
        }
        if (open > 0 && at(i + 1) == '/') {
            // A closing tag: its name is not compared with the opening one.
            for (i += 2; isNameChar(at(i)); ++i) {
            }
            skipBlanks();
            if (at(i) != '>')
                return stop(i);
            ++i;
            --open;
            continue;
        }
        ++i; // past '<'

        if (at(i) == '?') {
            // Declaration or processing instruction, both skipped to "?>".
            ++i;
            if (!skipPast("?>"))
                return stop(end);
        } else if (at(i) == '!') {
            if (startsWith(i + 1, "--")) {
                i += 3;
                if (!skipPast("-->"))
                    return stop(end);
            } else if (startsWith(i + 1, "[CDATA[")) {
                i += 8;
                if (!skipPast("]]>"))
                    return stop(end);
            } else if (startsWith(i + 1, "DOCTYPE") && isBlank(at(i + 8))) {
                // Up to '>', passing over each '[' ... ']' with brackets counted and
                // nothing else looked at (quotes and comments included).
                for (i += 9; at(i) != '>'; ++i) {
                    if (at(i) == '\0')
                        return stop(i);
                    if (at(i) != '[')
                        continue;
                    for (std::size_t brackets = 1; brackets > 0;) {
                        ++i;
                        if (at(i) == '\0')
                            return stop(i);
                        if (at(i) == '[')
                            ++brackets;
                        else if (at(i) == ']')
                            --brackets;
                    }
                }
                ++i;
            } else {
                // Any other "<!": skipped to the next '>'.
                ++i;
                if (!skipPast(">"))
                    return stop(end);
            }
        } else {
            // An element: name, blanks, attributes, then '>' or "/>".
            const std::size_t name = i;
            while (isNameChar(at(i)))
                ++i;
            if (i == name)
                return stop(i);
            skipBlanks();
            while (isAttributeNameChar(at(i))) {
                while (isAttributeNameChar(at(i)))
                    ++i;
                skipBlanks();
                if (at(i) != '=')
                    return stop(i);
                ++i;
                skipBlanks();
                const char quote = at(i);
                if (quote != '"' && quote != '\'')
                    return stop(i);
                for (++i; at(i) != quote; ++i)
                    if (at(i) == '\0')
                        return stop(i);
                ++i;
                skipBlanks();
            }
            if (at(i) == '>') {
                ++i;
                if (!reach(++open))
                    return stop(i);
            } else if (at(i) == '/' && at(i + 1) == '>') {
                i += 2;
                if (!reach(open + 1))
                    return stop(i);
            } else {
                return stop(i);
            }
        }
    }
}

} // namespace StatefulFirewall
