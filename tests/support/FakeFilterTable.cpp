#include "FakeFilterTable.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <vector>

namespace TestSupport {

namespace {

// What iptables writes when the chain or line a command names does not exist.
const FakeFilterTable::Answer kNoSuchLine{1, "iptables: Bad rule (does a matching rule exist in that chain?)."};
const FakeFilterTable::Answer kNoSuchChain{1, "iptables: No chain/target/match by that name."};

FakeFilterTable::Answer noSuchTarget(const std::string& chain)
{
    return {2, "iptables v1.8.9 (nf_tables): Chain '" + chain +
                   "' does not exist\nTry `iptables -h' or 'iptables --help' for more information."};
}

} // namespace

void FakeFilterTable::attach(RecordingHelperUtils& runner)
{
    using Argv = RecordingHelperUtils::Argv;
    runner.answerFrom([this](const Argv& argv) { return respond(RecordingHelperUtils::line(argv)); });
    runner.outputFrom([this](const Argv& argv) { return RecordingHelperUtils::line(argv) == "-S" ? answer() : ""; });
}

FakeFilterTable::Answer FakeFilterTable::respond(const std::string& line)
{
    if (outage)
        return {4, "iptables: unavailable (an outage the test made)"};
    if (refuse && refuse(line))
        return {1, "iptables: failed by the test"};
    std::istringstream in(line);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    const auto verb = std::find_if(words.begin(), words.end(), [](const std::string& word) {
        return word.size() == 2 && word[0] == '-' && std::string("NXFLIADC").find(word[1]) != std::string::npos;
    });
    if (verb == words.end() || verb + 1 == words.end())
        return {};
    const char op = (*verb)[1];
    const std::string& chain = verb[1];
    if (op == 'N')
        return chains.insert(chain).second ? Answer{} : Answer{1, "iptables: Chain already exists."};
    const auto jumpsTo = [&chain](const std::string& kept) { return boost::ends_with(kept, " -j " + chain); };
    if (op == 'X') {
        if (chains.count(chain) == 0)
            return kNoSuchChain;
        if (std::any_of(lines.begin(), lines.end(), jumpsTo))
            return {1, "iptables: Too many links."};
        chains.erase(chain);
        return {};
    }
    // Lines of the generation's own chains are not kept: only that their chain exists.
    if (op == 'F' || op == 'L' || (chain != "INPUT" && chain != "OUTPUT"))
        return chains.count(chain) != 0 ? Answer{} : kNoSuchChain;
    // A jump names a chain of the table: iptables refuses one to a chain it does not hold.
    const auto target = std::find(words.begin(), words.end(), "-j");
    if (target != words.end() && target + 1 != words.end() && boost::starts_with(target[1], "QTZ_") &&
        chains.count(target[1]) == 0)
        return noSuchTarget(target[1]);
    std::string rule = chain;
    for (auto word = words.begin(); word != words.end(); ++word)
        if (word != verb && word != verb + 1)
            rule += " " + *word;
    if (op == 'A' || op == 'I') {
        lines.insert(rule);
        return {};
    }
    const auto standing = lines.find(rule);
    if (standing == lines.end())
        return kNoSuchLine;
    if (op == 'D')
        lines.erase(standing);
    return {};
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
