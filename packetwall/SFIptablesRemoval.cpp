// Removal passes: the chains of generations no longer in force, the lines placed into the
// built-in chains, and the evidence that something is gone.
//
// Nothing the driver put into iptables is forgotten because a command failed: iptables may be
// failing as a whole (a package upgrade replacing the program, a process or memory limit,
// another program holding the table), or refusing some calls and answering others, and then
// deletions, checks and listings fail while the chains still filter. A chain, jump or line is
// forgotten once a deletion of it succeeded or iptables answered that the one chain or line does
// not exist, which is also how what another program removed (iptables -F, a restore) is learned.
// A listing's silence proves nothing: a listing may be cut short where nothing tells. Listings
// only count copies of identical lines, so that a deletion by words, which takes the first copy,
// never takes one that stays.

#include "SFIptables.h"

#include "IConfigController.h"
#include "IHelperUtils.h"
#include "ILogger.h"
#include "SFException.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/tokenizer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <set>

#include <sys/mman.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

// The listing is read in pieces of this size. A longer line than this is no line the
// listing looks for (chain definitions and jumps are short): it is skipped.
constexpr size_t LISTING_CHUNK = 64 * 1024;

// Splits a line of "iptables -S" into words as iptables quotes them: a word in double quotes
// may hold blanks, and a backslash takes the next character as it is. A line that does not
// split so is split at its blanks, as no quote were there.
std::vector<std::string> listingWords(const std::string& line)
{
    std::vector<std::string> words;
    try {
        using Separator = boost::escaped_list_separator<char>;
        for (const std::string& word : boost::tokenizer<Separator>(line, Separator('\\', ' ', '"')))
            if (!word.empty())
                words.push_back(word);
    } catch (const boost::escaped_list_error&) {
        words.clear();
        boost::algorithm::split(words, line, boost::algorithm::is_any_of(" "), boost::algorithm::token_compress_on);
        words.erase(std::remove(words.begin(), words.end(), std::string()), words.end());
    }
    return words;
}

constexpr int POLICY_INPUT = 1, POLICY_FORWARD = 2, POLICY_OUTPUT = 4;
constexpr int ALL_POLICIES = POLICY_INPUT | POLICY_FORWARD | POLICY_OUTPUT;

// What iptables says, with exit status 1, when the line or chain a command names does not
// exist; the one-line help hint it adds to a refused jump target.
constexpr const char* NO_SUCH_LINE = "iptables: Bad rule (does a matching rule exist in that chain?).";
constexpr const char* NO_SUCH_CHAIN = "iptables: No chain/target/match by that name.";
constexpr const char* HELP_HINT = "Try `iptables -h' or 'iptables --help' for more information.";

// Takes one line of "iptables -S": "-P <chain> <policy>" of a built-in chain, "-A INPUT ..."
// and "-A OUTPUT ..." are lines of the built-in chains.
void parseListingLine(const std::string& line, SFTableListing& listing)
{
    const std::vector<std::string> words = listingWords(line);
    if (words.size() == 3 && words[0] == "-P") {
        listing.policies |= words[1] == "INPUT"     ? POLICY_INPUT
                            : words[1] == "FORWARD" ? POLICY_FORWARD
                            : words[1] == "OUTPUT"  ? POLICY_OUTPUT
                                                    : 0;
        return;
    }
    if (words.size() < 3 || words[0] != "-A" || (words[1] != "INPUT" && words[1] != "OUTPUT"))
        return;
    (words[1] == "INPUT" ? listing.inputLines : listing.outputLines)
        .insert(SFIptables::lineKey({words.begin() + 2, words.end()}));
}

// A number as iptables may list it (decimal or 0x hexadecimal), as decimal text; the text as it
// is when it is no number.
std::string numberText(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || errno != 0 || end == nullptr || *end != '\0')
        return text;
    return std::to_string(value);
}

bool isDroppingLine(const SFDefaultDropLine& line)
{
    return line.kind == SFDefaultDropLine::ACTION && line.words.size() >= 2 && line.words[0] == "-j" &&
           (line.words[1] == "DROP" || line.words[1] == "REJECT");
}

bool isActionLine(const SFDefaultDropLine& line)
{
    return line.kind == SFDefaultDropLine::ACTION;
}

// The top chains of a generation: named by its id text, and any left by name in its records.
std::vector<std::string> topChainsOf(const SFIptablesGeneration& generation)
{
    std::vector<std::string> tops;
    if (!generation.uid.empty()) {
        tops.push_back(SF_INPUT_TOP + generation.uid);
        tops.push_back(SF_OUTPUT_TOP + generation.uid);
    }
    for (const std::string& chain : generation.chains) {
        const bool top = chain.rfind(SF_INPUT_TOP, 0) == 0 || chain.rfind(SF_OUTPUT_TOP, 0) == 0;
        if (top && std::find(tops.begin(), tops.end(), chain) == tops.end())
            tops.push_back(chain);
    }
    return tops;
}

} // namespace

std::string SFIptables::lineKey(const std::vector<std::string>& words)
{
    // Each option with the words that follow it up to the next option; "!" goes with the
    // option after it.
    std::vector<std::string> options;
    std::string target;
    bool logLevel = false;
    for (size_t i = 0; i < words.size();) {
        std::string option = words[i++];
        if (option == "!" && i < words.size())
            option += " " + words[i++];
        std::vector<std::string> values;
        while (i < words.size() && words[i] != "!" && !(words[i].size() > 1 && words[i][0] == '-'))
            values.push_back(words[i++]);
        const std::string first = values.empty() ? std::string() : values[0];
        if (option == "-m" && values.size() == 1)
            continue; // the module is named by its options
        if (option == "-j" && values.size() == 1) {
            target = first;
            continue;
        }
        if ((option == "--set-mark" || option == "--set-xmark") && values.size() == 1) {
            // "--set-mark N" is listed as "--set-xmark 0xN/0xffffffff".
            const size_t slash = first.find('/');
            const std::string mask = slash == std::string::npos ? "0xffffffff" : first.substr(slash + 1);
            if (numberText(mask) == "4294967295") {
                options.push_back("--set-mark " + numberText(first.substr(0, slash)));
                continue;
            }
        }
        if (option == "--log-level" && values.size() == 1) {
            logLevel = true;
            options.push_back(option + " " + numberText(first));
            continue;
        }
        if ((option == "--state" || option == "--ctstate") && values.size() == 1) {
            std::vector<std::string> states;
            boost::algorithm::split(states, first, boost::algorithm::is_any_of(","));
            std::sort(states.begin(), states.end());
            options.push_back("--state " + boost::algorithm::join(states, ","));
            continue;
        }
        // iptables lists a REJECT line's default answer, which the driver never gives.
        if (option == "--reject-with" && first == "icmp-port-unreachable")
            continue;
        for (const std::string& value : values)
            option += " " + value;
        options.push_back(option);
    }
    // A LOG line without a level logs at level 4 (warning), and iptables lists it without one.
    if (target == "LOG" && !logLevel)
        options.push_back("--log-level 4");
    std::sort(options.begin(), options.end());
    options.insert(options.begin(), "-j " + target);
    return boost::algorithm::join(options, " ");
}

bool SFIptables::listTable(SFTableListing& listing)
{
    listing = SFTableListing();
    // A memory file rather than a pipe: the runner reads the program's output only after it
    // ended, and a pipe holds 64 KiB, far less than the listing of a large table.
    const int file = ::memfd_create("tq-iptables-listing", MFD_CLOEXEC);
    if (file < 0) {
        log(3, std::string("Cannot list the filter table: no memory file: ") + std::strerror(errno));
        return false;
    }
    int fds[2] = {file, file};
    bool listed = false;
    try {
        m_helperUtils->readSystemCommandOutput({SF_IPTABLES_PATH, "-S"}, nullptr, fds);
        listed = ::lseek(file, 0, SEEK_SET) == 0;
        std::string pending;
        bool skipping = false;
        std::vector<char> buffer(LISTING_CHUNK);
        while (listed) {
            const ssize_t got = ::read(file, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                listed = false;
            if (got <= 0)
                break;
            for (ssize_t i = 0; i < got; ++i) {
                const char c = buffer[static_cast<size_t>(i)];
                if (c == '\n') {
                    if (!skipping)
                        parseListingLine(pending, listing);
                    pending.clear();
                    skipping = false;
                } else if (!skipping) {
                    pending.push_back(c);
                    if (pending.size() > LISTING_CHUNK) {
                        pending.clear();
                        skipping = true;
                    }
                }
            }
        }
        // iptables ends every line it lists; a listing that ends inside one was cut short.
        if (listed && (!pending.empty() || skipping)) {
            log(5, "The listing of the filter table ends inside a line: taken as cut short");
            listed = false;
        }
    } catch (const SFException& e) {
        log(6, "Listing the filter table failed: " + e.message);
    } catch (const std::exception& e) {
        log(6, std::string("Listing the filter table failed: ") + e.what());
    }
    ::close(file);
    if (listed && (listing.policies & ALL_POLICIES) != ALL_POLICIES) {
        log(5, "The listing of the filter table lacks a built-in chain's policy: taken as cut short");
        listed = false;
    }
    if (!listed)
        listing = SFTableListing();
    return listed;
}

bool SFIptables::answersAbsent(const std::vector<std::string>& words, int status, const std::string& errorText)
{
    if (status == 1)
        return errorText == NO_SUCH_LINE || errorText == NO_SUCH_CHAIN;
    // A jump to a chain iptables does not hold is refused before any line is looked for: no
    // line can jump to a chain that does not exist. The nft and legacy back ends say so apart.
    const auto jump = std::find(words.begin(), words.end(), "-j");
    if (status != 2 || jump == words.end() || jump + 1 == words.end())
        return false;
    const std::string& target = jump[1];
    std::vector<std::string> lines;
    boost::algorithm::split(lines, errorText, boost::algorithm::is_any_of("\n"));
    const size_t said = lines[0].find("): ");
    if (lines[0].rfind("iptables v", 0) != 0 || said == std::string::npos)
        return false;
    const std::string message = lines[0].substr(said + 3);
    if (message != "Chain '" + target + "' does not exist" &&
        message != "Couldn't load target `" + target + "':No such file or directory")
        return false;
    return std::all_of(lines.begin() + 1, lines.end(),
                       [](const std::string& line) { return line.empty() || line == HELP_HINT; });
}

std::list<std::string> SFIptables::removeGeneration(const SFIptablesGeneration& generation,
                                                    const char* failureText, bool& stillLinked)
{
    stillLinked = false;
    std::list<std::string> names;
    for (const std::string& top : topChainsOf(generation))
        names.push_back(top);
    for (const std::string& chain : generation.chains) {
        if (std::find(names.begin(), names.end(), chain) == names.end())
            names.push_back(chain);
    }

    // A top chain left on its own (a push that stopped before its twin or its redirection, or
    // a removal that stopped half-way) is taken apart like any other chain, its redirection
    // first: a chain cannot be deleted while a line jumps to it.
    if (generation.redirected) {
        for (const std::string& chain : names) {
            const bool input = chain.rfind(SF_INPUT_TOP, 0) == 0;
            if ((input || chain.rfind(SF_OUTPUT_TOP, 0) == 0) &&
                removeIptables({"-D", input ? "INPUT" : "OUTPUT", "-j", chain}, failureText) == Answer::Failed)
                stillLinked = true;
        }
    }

    // Everything is flushed before anything is deleted: a chain cannot be deleted while another
    // one still jumps to it, and group chains jump to the block-event chains created before them.
    // A chain iptables says it does not hold is gone already.
    std::list<std::string> standing;
    for (const std::string& chain : names) {
        if (removeIptables({"-F", chain}, failureText) != Answer::Absent)
            standing.push_back(chain);
    }
    std::list<std::string> left;
    for (const std::string& chain : standing) {
        if (removeIptables({"-X", chain}, failureText) == Answer::Failed)
            left.push_back(chain);
    }
    return left;
}

void SFIptables::removePendingGenerations(const char* failureText, const std::string& inForce,
                                          bool keepLinked)
{
    try {
        std::list<SFIptablesGeneration> remaining;
        for (SFIptablesGeneration& generation : m_previousPolicyChains) {
            // Only an earlier process can have left a generation under today's id text; its
            // names are the ones in force now, recorded as such, so they must not be removed.
            if (!inForce.empty() && generation.uid == inForce) {
                log(6, "Not removing the chains of the generation in force - " + inForce);
                continue;
            }
            if (keepLinked && generation.redirected) {
                log(5, "Keeping the chains of generation " + generation.uid +
                           " while a DROP line of the firewall stays in INPUT or OUTPUT: "
                           "they are all that lets anything in");
                remaining.push_back(std::move(generation));
                continue;
            }
            bool linked = false;
            std::list<std::string> left = removeGeneration(generation, failureText, linked);
            if (!left.empty())
                remaining.push_back({generation.uid, std::move(left), generation.redirected && linked});
        }
        m_previousPolicyChains = std::move(remaining);
    } catch (const std::exception& e) {
        log(6, std::string(failureText) + ": " + e.what());
    }
    saveState();
}

void SFIptables::flushIptablesInPreviousPolicy()
{
    removePendingGenerations("Exception occurred while flushing previous policy iptables chains",
                             m_currentTopChainsMayExist ? m_configController.getUniqueId()
                                                        : std::string());
}

void SFIptables::flushIptablesInCurrentPolicy()
{
    saveIptablesChainsToPreviousPolicy();
    // Nothing is in force after this: a DROP line that stays would drop everything its chains
    // let in, SSH included, so they stay with it until it is gone.
    removePendingGenerations("Exception occurred while flushing iptables rules in current policy", "",
                             droppingLineStays());
}

bool SFIptables::droppingLineStays() const
{
    return std::any_of(m_inputDefaultDropLines.begin(), m_inputDefaultDropLines.end(), isDroppingLine) ||
           std::any_of(m_outputDefaultDropLines.begin(), m_outputDefaultDropLines.end(), isDroppingLine);
}

bool SFIptables::hasRecordedLeftovers()
{
    return m_currentTopChainsMayExist || !m_currentPolicyChains.empty() ||
           !m_previousPolicyChains.empty() || !m_inputDefaultDropLines.empty() ||
           !m_outputDefaultDropLines.empty() || dropPoliciesMayStand();
}

bool SFIptables::pendingTopChainsLinked() const
{
    // A generation is unlinked once the deletion of each of its redirections ran or iptables
    // answered that it does not exist (see removeGeneration).
    return std::any_of(m_previousPolicyChains.begin(), m_previousPolicyChains.end(),
                       [](const SFIptablesGeneration& generation) { return generation.redirected; });
}

INetfilter::LeftoverEffect SFIptables::leftoverEffect()
{
    if (droppingLineStays())
        return LeftoverEffect::Drops;
    const bool currentChains = m_currentTopChainsMayExist || !m_currentPolicyChains.empty();
    if (std::any_of(m_inputDefaultDropLines.begin(), m_inputDefaultDropLines.end(), isActionLine) ||
        std::any_of(m_outputDefaultDropLines.begin(), m_outputDefaultDropLines.end(), isActionLine) ||
        (currentChains && m_currentRedirected) || pendingTopChainsLinked())
        return LeftoverEffect::Filters;
    if (!m_inputDefaultDropLines.empty() || !m_outputDefaultDropLines.empty())
        return LeftoverEffect::LogsOrMarks;
    if (currentChains || !m_previousPolicyChains.empty())
        return LeftoverEffect::Unlinked;
    return LeftoverEffect::None;
}

bool SFIptables::earlierGenerationsLinked()
{
    return m_inputPreviousLineCount != 0 || m_outputPreviousLineCount != 0 || pendingTopChainsLinked();
}

size_t SFIptables::deleteDefaultDropLines(bool input, size_t from, size_t to, SFPassListing& pass)
{
    std::vector<SFDefaultDropLine>& all = input ? m_inputDefaultDropLines : m_outputDefaultDropLines;
    to = std::min(to, all.size());
    from = std::min(from, to);
    if (from == to)
        return 0;
    const std::string chain = input ? "INPUT" : "OUTPUT";
    const std::string failureText = std::string("Exception occurred, probably no default rules are present in ") +
                                    (input ? "input" : "output") + " chain";
    const auto withVerb = [&chain](const char* verb, const SFDefaultDropLine& line) {
        std::vector<std::string> words{verb, chain};
        words.insert(words.end(), line.words.begin(), line.words.end());
        return words;
    };

    // The copies the records outside [from, to) stand for, by key: they stay, and iptables
    // deletes the first copy with the words given, which may be one of theirs.
    std::map<std::string, size_t> staying;
    for (size_t i = 0; i < all.size(); ++i) {
        if (i < from || i >= to)
            ++staying[lineKey(all[i].words)];
    }
    // Per key with copies that stay: how many more copies the listing shows, which may be
    // deleted, whether it shows all that stay, and whether iptables was asked about the key.
    // Listed once, at the first such key.
    struct Shown {
        size_t beyond;
        bool staying;
        bool asked = false;
    };
    std::map<std::string, Shown> shown;
    std::set<std::string> absent; // keys iptables answered no line exists for
    std::vector<SFDefaultDropLine> failed;
    std::vector<SFDefaultDropLine> kept; // records with those that stay

    // Each recorded line is deleted by its own words, whatever its action or log level, so a
    // line never outlives the generation that placed it. The MARK and LOG lines go before the
    // actions, as a packet meets them.
    for (SFDefaultDropLine::Kind kind :
         {SFDefaultDropLine::MARK, SFDefaultDropLine::LOG, SFDefaultDropLine::ACTION}) {
        for (size_t i = from; i < to; ++i) {
            const SFDefaultDropLine& line = all[i];
            if (line.kind != kind)
                continue;
            const std::string key = lineKey(line.words);
            if (absent.count(key) != 0)
                continue;
            const auto stays = staying.find(key);
            if (stays != staying.end()) {
                if (!pass.taken) {
                    pass.listed = listTable(pass.table);
                    pass.taken = true;
                }
                if (!pass.listed) {
                    failed.push_back(line); // which copy is whose is unknown: none is deleted
                    continue;
                }
                auto count = shown.find(key);
                if (count == shown.end()) {
                    const size_t copies = (input ? pass.table.inputLines : pass.table.outputLines).count(key);
                    count = shown.emplace(key, Shown{copies > stays->second ? copies - stays->second : 0,
                                                     copies >= stays->second}).first;
                }
                Shown& seen = count->second;
                if (seen.beyond == 0) {
                    // Beyond what the listing shows. With every copy that stays shown, this record
                    // goes with theirs: its line, if the listing was cut before it, is one of the
                    // same words, and the next removal of theirs takes it. A listing that lacks
                    // one of theirs shows too little to tell: iptables is asked whether any
                    // line with the words stands.
                    std::string reason;
                    if (seen.staying) {
                        log(6, "The line " + vectorToString(withVerb("-A", line)) +
                                   " is not shown beyond the lines with the same words that stay: "
                                   "kept with them");
                        kept.push_back(line);
                    } else if (!seen.asked && askIptables(withVerb("-C", line), reason) == Answer::Absent) {
                        absent.insert(key);
                    } else {
                        failed.push_back(line);
                    }
                    seen.asked = true;
                    continue;
                }
                --seen.beyond;
            }
            switch (removeIptables(withVerb("-D", line), failureText)) {
            case Answer::Ran:
                break;
            case Answer::Absent:
                absent.insert(key);
                break;
            case Answer::Failed:
                failed.push_back(line);
                break;
            }
        }
    }
    // No line with those words stands: every record of them is forgotten.
    const auto gone = [&absent](const SFDefaultDropLine& line) { return absent.count(lineKey(line.words)) != 0; };
    for (const std::string& key : absent)
        log(6, "Forgetting the lines of " + chain + " with the words " + key + ": iptables answers that none exists");
    failed.erase(std::remove_if(failed.begin(), failed.end(), gone), failed.end());
    kept.erase(std::remove_if(kept.begin(), kept.end(), gone), kept.end());
    all.erase(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(to));
    all.insert(all.begin(), failed.begin(), failed.end());
    all.insert(all.end(), kept.begin(), kept.end());
    return failed.size();
}

void SFIptables::saveDefaultDropRulesToPreviousPolicy()
{
    m_inputStaleLineCount = m_inputPreviousLineCount;
    m_outputStaleLineCount = m_outputPreviousLineCount;
    m_inputPreviousLineCount = m_inputDefaultDropLines.size();
    m_outputPreviousLineCount = m_outputDefaultDropLines.size();
}

void SFIptables::flushDefaultDropRulesOfPreviousPolicy()
{
    // What a try taken back would hand back as leftovers is counted below from here on.
    m_inputStaleLineCount = m_outputStaleLineCount = 0;
    try {
        SFPassListing pass;
        m_inputPreviousLineCount = deleteDefaultDropLines(true, 0, m_inputPreviousLineCount, pass);
        m_outputPreviousLineCount = deleteDefaultDropLines(false, 0, m_outputPreviousLineCount, pass);
    } catch (const std::exception& e) {
        log(6, std::string("Exception occurred while flushing the default drop rules of the "
                           "previous policy: ") + e.what());
    }
    saveState();
}

void SFIptables::flushIptablesDefaultDropRule()
{
    // What a try taken back would hand back as leftovers is counted below from here on.
    m_inputStaleLineCount = m_outputStaleLineCount = 0;
    try {
        SFPassListing pass;
        m_inputPreviousLineCount = deleteDefaultDropLines(true, 0, m_inputDefaultDropLines.size(), pass);
        m_outputPreviousLineCount = deleteDefaultDropLines(false, 0, m_outputDefaultDropLines.size(), pass);
    } catch (const std::exception& e) {
        // Nothing is forgotten: the records stay for the next pass.
        log(6, std::string("Exception occurred while flushing default drop rule in  iptables "
                           "rules of previous policy: ") + e.what());
        m_inputPreviousLineCount = m_inputDefaultDropLines.size();
        m_outputPreviousLineCount = m_outputDefaultDropLines.size();
    }
    saveState();
}

void SFIptables::abandonCurrentGeneration(std::string previousUid)
{
    const std::string uid = m_configController.getUniqueId();
    const char* failureText = "Exception occurred while removing the chains of a generation that was not put in force";
    try {
        std::list<std::string> left;
        bool linked = false;
        if (m_currentTopChainsMayExist || !m_currentPolicyChains.empty())
            left = removeGeneration({uid, m_currentPolicyChains, m_currentRedirected}, failureText, linked);
        m_currentPolicyChains.clear();
        m_currentTopChainsMayExist = false;
        if (!left.empty())
            m_previousPolicyChains.push_back({uid, std::move(left), m_currentRedirected && linked});
        m_currentRedirected = false;
        // The lines this try placed; those that stay wait in front as lines of an earlier
        // generation, with what earlier generations left, and the lines of the generation in
        // force are its own again, with the try's records that only lines of the same words
        // could stand for.
        SFPassListing pass;
        const size_t inputKept =
            deleteDefaultDropLines(true, m_inputPreviousLineCount, m_inputDefaultDropLines.size(), pass);
        const size_t outputKept =
            deleteDefaultDropLines(false, m_outputPreviousLineCount, m_outputDefaultDropLines.size(), pass);
        m_inputPreviousLineCount =
            std::min(inputKept + m_inputStaleLineCount, m_inputDefaultDropLines.size());
        m_outputPreviousLineCount =
            std::min(outputKept + m_outputStaleLineCount, m_outputDefaultDropLines.size());
    } catch (const std::exception& e) {
        log(6, std::string(failureText) + ": " + e.what());
    }
    // The generation in force was saved last under its id text.
    for (auto generation = m_previousPolicyChains.rbegin(); generation != m_previousPolicyChains.rend();
         ++generation) {
        if (generation->uid != previousUid)
            continue;
        m_currentPolicyChains = std::move(generation->chains);
        m_currentRedirected = generation->redirected;
        m_previousPolicyChains.erase(std::next(generation).base());
        m_currentTopChainsMayExist = true;
        // Id texts are "_" and the number setUniqueId takes.
        m_configController.setUniqueId(previousUid.substr(1));
        break;
    }
    saveState();
}

bool SFIptables::hasPendingRemovals()
{
    return !m_previousPolicyChains.empty() || m_inputPreviousLineCount != 0 ||
           m_outputPreviousLineCount != 0;
}

} // namespace StatefulFirewall
