#include "FakeFilterTable.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace TestSupport {

namespace {

std::string joined(const RecordingHelperUtils::Argv& argv)
{
    std::string line;
    for (size_t i = 1; i < argv.size(); ++i)
        line += (i > 1 ? " " : "") + argv[i];
    return line;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

void FakeFilterTable::attach(RecordingHelperUtils& runner)
{
    runner.failWhen([this](const RecordingHelperUtils::Argv& argv) { return !run(joined(argv)); });
    runner.outputFrom([this](const RecordingHelperUtils::Argv& argv) {
        return joined(argv) == "-S" ? listing() : std::string();
    });
}

bool FakeFilterTable::run(const std::string& line)
{
    if (outage || (refuse && refuse(line)))
        return false;
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    const auto verb = std::find_if(words.begin(), words.end(), [](const std::string& w) {
        return w == "-N" || w == "-X" || w == "-F" || w == "-L" || w == "-I" || w == "-A" || w == "-D" || w == "-C";
    });
    if (verb == words.end() || verb + 1 == words.end())
        return true;
    const std::string chain = *(verb + 1);
    const bool exists = chains.count(chain) != 0;
    if (*verb == "-N")
        return chains.insert(chain).second;
    if (*verb == "-X") {
        const bool jumpedTo = std::any_of(lines.begin(), lines.end(),
                                          [&chain](const std::string& l) { return endsWith(l, " -j " + chain); });
        return !jumpedTo && chains.erase(chain) == 1;
    }
    if (*verb == "-F" || *verb == "-L")
        return exists;
    // Lines of the generation's own chains are not kept: only that their chain exists.
    if (chain != "INPUT" && chain != "OUTPUT")
        return exists;
    std::string rule = chain;
    for (auto word = words.begin(); word != words.end(); ++word)
        if (word != verb && word != verb + 1)
            rule += " " + *word;
    const auto standing = lines.find(rule);
    if (*verb == "-C")
        return standing != lines.end();
    if (*verb == "-D") {
        if (standing == lines.end())
            return false;
        lines.erase(standing);
        return true;
    }
    lines.insert(rule);
    return true;
}

std::string FakeFilterTable::listing() const
{
    std::string text;
    for (const std::string& chain : chains)
        text += "-N " + chain + "\n";
    for (const std::string& rule : lines)
        text += "-A " + rule + "\n";
    return text;
}

} // namespace TestSupport
