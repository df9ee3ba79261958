#pragma once

// Archive texts of lists with very many elements, made from boost's own text of the same value
// with one and with two elements, so a test can feed a reader millions of elements without
// building (and holding) them first.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

namespace TestSupport {

// one: archive text of a value whose list holds one element; two: the same value with a second
// element equal to the first, the list's count being the first thing the texts differ in. The
// text of the value with count elements: the second element's text repeated, the count set.
// Every tracked object starts a line with its number, and boost takes a number below the count
// of objects read so far for a reference to an earlier one: the repeated objects are all
// numbered 4294967295, which stands for a new object wherever it is.
inline std::string withElementRepeated(const std::string& one, const std::string& two,
                                       std::size_t count)
{
    std::size_t at = 0;
    while (at < one.size() && one[at] == two[at])
        ++at;
    EXPECT_TRUE(at + 1 < one.size() && one[at] == '1' && two[at] == '2' && two[at + 1] == ' ')
        << "the texts do not differ in their count first";
    // Where the second element's text starts (or a place in the same run of repeated text, which
    // is as good): the first difference after the count.
    std::size_t from = at + 1;
    while (from < one.size() && one[from] == two[from])
        ++from;
    // One pass into a new text: replacing in place would move the rest of a text of millions of
    // lines once per line.
    auto renumbered = [](const std::string& text) {
        std::string out;
        out.reserve(text.size() + text.size() / 2);
        std::size_t copied = 0;
        for (std::size_t line = text.find('\n'); line != std::string::npos;
             line = text.find('\n', line + 1)) {
            const std::size_t end =
                std::min(text.find_first_not_of("0123456789", line + 1), text.size());
            if (end > line + 1) {
                out.append(text, copied, line + 1 - copied);
                out += "4294967295";
                copied = end;
            }
        }
        out.append(text, copied, std::string::npos);
        return out;
    };
    const std::string element = renumbered(two.substr(from, two.size() - one.size()));
    const std::string rest = renumbered(two.substr(from));
    std::string text;
    text.reserve(from + 16 + element.size() * (count - 2) + rest.size());
    text.append(two, 0, at);
    text += std::to_string(count);
    text.append(two, at + 1, from - at - 1);
    for (std::size_t i = 2; i < count; ++i)
        text += element;
    text += rest;
    return text;
}

// The text with a run of blanks characters more after its header's version number.
inline std::string paddedWithBlanks(const std::string& text, std::size_t blanks)
{
    const std::size_t header = text.find("archive ") + 11; // "archive", its version, a blank
    std::string padded;
    padded.reserve(text.size() + blanks);
    padded.append(text, 0, header);
    padded.append(blanks, ' ');
    padded.append(text, header, std::string::npos);
    return padded;
}

} // namespace TestSupport
