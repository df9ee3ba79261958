#pragma once

// Archive texts of lists with very many elements, made from boost's own text of the same value
// with one and with two elements, so a test can feed a reader millions of elements without
// building (and holding) them first.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// Writes the pieces, each as often as it says, to write (called with each run of characters),
// with every object numbered in the order it is read, as boost's writer does: a tracked object
// starts a line with its number, and boost takes a number below the count of objects read so
// far for a reference to an earlier one.
template <class Write>
void writeNumbered(const std::vector<std::pair<std::string, std::size_t>>& pieces, Write write)
{
    std::size_t next = 0;
    bool first = true;
    bool lineStart = false;
    std::string digits;
    auto number = [&] {
        if (first)
            next = std::stoul(digits);
        first = false;
        write(std::to_string(next++));
        digits.clear();
    };
    for (const auto& [piece, times] : pieces) {
        for (std::size_t i = 0; i < times; ++i) {
            std::size_t run = 0; // characters of piece not yet written
            for (std::size_t at = 0; at < piece.size(); ++at) {
                const char c = piece[at];
                if (lineStart && c >= '0' && c <= '9') {
                    digits += c;
                    run = at + 1;
                    continue;
                }
                if (!digits.empty())
                    number();
                lineStart = c == '\n';
                if (lineStart) {
                    write(piece.substr(run, at + 1 - run));
                    run = at + 1;
                }
            }
            if (run < piece.size())
                write(piece.substr(run));
        }
    }
    if (!digits.empty())
        number();
}

// one: archive text of a value whose list holds one element; two: the same value with a second
// element equal to the first, the list's count being the first thing the texts differ in. The
// text of the value with count elements: the second element's text repeated, the count set,
// the objects numbered in order. Sized before it is filled, so no step is an allocation past
// the sanitizer's ceiling.
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
    const std::vector<std::pair<std::string, std::size_t>> pieces = {
        {two.substr(0, at) + std::to_string(count) + two.substr(at + 1, from - at - 1), 1},
        {two.substr(from, two.size() - one.size()), count - 2},
        {two.substr(from), 1},
    };
    std::size_t size = 0;
    writeNumbered(pieces, [&size](const std::string& run) { size += run.size(); });
    std::string text;
    text.reserve(size);
    writeNumbered(pieces, [&text](const std::string& run) { text += run; });
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
