#include "FakeFilterTable.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <vector>

namespace TestSupport {

void FakeFilterTable::attach(RecordingHelperUtils& runner)
{
    using Argv = RecordingHelperUtils::Argv;
    runner.failWhen([this](const Argv& argv) { return !run(RecordingHelperUtils::line(argv)); });
    runner.outputFrom([this](const Argv& argv) { return RecordingHelperUtils::line(argv) == "-S" ? answer() : ""; });
}

bool FakeFilterTable::run(const std::string& line)
{
    if (outage || (refuse && refuse(line)))
        return false;
    std::istringstream in(line);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    const auto verb = std::find_if(words.begin(), words.end(), [](const std::string& word) {
        return word.size() == 2 && word[0] == '-' && std::string("NXFLIADC").find(word[1]) != std::string::npos;
    });
    if (verb == words.end() || verb + 1 == words.end())
        return true;
    const char op = (*verb)[1];
    const std::string& chain = verb[1];
    if (op == 'N')
        return chains.insert(chain).second;
    const auto jumpsTo = [&chain](const std::string& kept) { return boost::ends_with(kept, " -j " + chain); };
    if (op == 'X')
        return std::none_of(lines.begin(), lines.end(), jumpsTo) && chains.erase(chain) == 1;
    // Lines of the generation's own chains are not kept: only that their chain exists.
    if (op == 'F' || op == 'L' || (chain != "INPUT" && chain != "OUTPUT"))
        return chains.count(chain) != 0;
    std::string rule = chain;
    for (auto word = words.begin(); word != words.end(); ++word)
        if (word != verb && word != verb + 1)
            rule += " " + *word;
    if (op == 'A' || op == 'I') {
        lines.insert(rule);
        return true;
    }
    const auto standing = lines.find(rule);
    if (standing == lines.end())
        return false;
    if (op == 'D')
        lines.erase(standing);
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

std::string FakeFilterTable::answer() const
{
    const std::string whole = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n" + listing();
    return cut ? cut(whole) : whole;
}

} // namespace TestSupport
