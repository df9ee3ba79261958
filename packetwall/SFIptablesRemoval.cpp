// Removal passes: the chains of generations no longer in force, the lines placed into the
// built-in chains, and the evidence that something is gone.
//
// Nothing the driver put into iptables is forgotten because a command failed: iptables may be
// failing as a whole (a package upgrade replacing the program, a process or memory limit,
// another program holding the table), and then every deletion, check and listing fails while
// the chains still filter. A chain or jump is forgotten once a deletion of it succeeded or a
// listing that iptables answered does not show it; a line once its deletion succeeded or two
// failed checks have a listing iptables answered between them.

#include "SFIptables.h"

#include "IConfigController.h"
#include "IHelperUtils.h"
#include "ILogger.h"
#include "SFException.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include <sys/mman.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

// The listing is read in pieces of this size. A longer line than this is no line the
// listing looks for (chain definitions and jumps are short): it is skipped.
constexpr size_t LISTING_CHUNK = 64 * 1024;

// Takes one line of "iptables -S": "-N <chain>" defines a chain, "-A INPUT ... -j <chain>" jumps.
void parseListingLine(const std::string& line, SFTableListing& listing)
{
    std::vector<std::string> words;
    for (size_t start = 0; start < line.size();) {
        const size_t end = std::min(line.find(' ', start), line.size());
        if (end > start)
            words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    if (words.size() == 2 && words[0] == "-N") {
        listing.chains.insert(words[1]);
        return;
    }
    if (words.size() < 4 || words[0] != "-A" || (words[1] != "INPUT" && words[1] != "OUTPUT"))
        return;
    // Any line with a jump counts, matches or not: a jump taken for one that is not ours keeps
    // a chain recorded a pass longer, never the other way round.
    for (size_t i = 2; i + 1 < words.size(); ++i) {
        if (words[i] == "-j" || words[i] == "-g")
            (words[1] == "INPUT" ? listing.inputJumps : listing.outputJumps).insert(words[i + 1]);
    }
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
        if (listed && !skipping && !pending.empty())
            parseListingLine(pending, listing);
    } catch (const SFException& e) {
        log(6, "Listing the filter table failed: " + e.message);
    } catch (const std::exception& e) {
        log(6, std::string("Listing the filter table failed: ") + e.what());
    }
    ::close(file);
    if (!listed)
        listing = SFTableListing();
    return listed;
}

std::list<std::string> SFIptables::removeGeneration(const SFIptablesGeneration& generation,
                                                    const SFTableListing* listing,
                                                    const char* failureText)
{
    std::list<std::string> names;
    for (const std::string& top : topChainsOf(generation))
        names.push_back(top);
    for (const std::string& chain : generation.chains) {
        if (std::find(names.begin(), names.end(), chain) == names.end())
            names.push_back(chain);
    }
    // What the listing does not show is gone: nothing to run for it.
    if (listing != nullptr)
        names.remove_if([listing](const std::string& chain) { return listing->chains.count(chain) == 0; });

    // A top chain left on its own (a push that stopped before its twin or its redirection, or
    // a removal that stopped half-way) is taken apart like any other chain, its redirection
    // first: a chain cannot be deleted while a line jumps to it.
    for (const std::string& chain : names) {
        const bool input = chain.rfind(SF_INPUT_TOP, 0) == 0;
        if (!input && chain.rfind(SF_OUTPUT_TOP, 0) != 0)
            continue;
        const std::set<std::string>* jumps =
            listing == nullptr ? nullptr : input ? &listing->inputJumps : &listing->outputJumps;
        if (jumps == nullptr ? generation.redirected : jumps->count(chain) != 0)
            tryIptables({"-D", input ? "INPUT" : "OUTPUT", "-j", chain}, failureText);
    }

    // Everything is flushed before anything is deleted: a chain cannot be deleted while another
    // one still jumps to it, and group chains jump to the block-event chains created before them.
    for (const std::string& chain : names)
        tryIptables({"-F", chain}, failureText);
    std::list<std::string> left;
    for (const std::string& chain : names) {
        if (!tryIptables({"-X", chain}, failureText))
            left.push_back(chain);
    }
    return left;
}

void SFIptables::removePendingGenerations(const char* failureText, const std::string& inForce)
{
    try {
        if (!m_previousPolicyChains.empty()) {
            // One listing for the pass: it decides what is there to remove, and a failed one
            // leaves every record in place whatever the commands then do.
            SFTableListing listing;
            const bool listed = listTable(listing);
            std::list<SFIptablesGeneration> remaining;
            for (SFIptablesGeneration& generation : m_previousPolicyChains) {
                // Only an earlier process can have left a generation under today's id text; its
                // names are the ones in force now, recorded as such, so they must not be removed.
                if (!inForce.empty() && generation.uid == inForce) {
                    log(6, "Not removing the chains of the generation in force - " + inForce);
                    continue;
                }
                std::list<std::string> left =
                    removeGeneration(generation, listed ? &listing : nullptr, failureText);
                if (!left.empty())
                    remaining.push_back({generation.uid, std::move(left), generation.redirected});
            }
            m_previousPolicyChains = std::move(remaining);
        }
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
    removePendingGenerations("Exception occurred while flushing iptables rules in current policy", "");
}

bool SFIptables::hasRecordedLeftovers()
{
    return m_currentTopChainsMayExist || !m_currentPolicyChains.empty() ||
           !m_previousPolicyChains.empty() || !m_inputDefaultDropLines.empty() ||
           !m_outputDefaultDropLines.empty() || dropPoliciesMayStand();
}

bool SFIptables::pendingTopChainsLinked()
{
    std::vector<std::string> tops;
    for (const SFIptablesGeneration& generation : m_previousPolicyChains) {
        if (!generation.redirected)
            continue;
        for (const std::string& top : topChainsOf(generation))
            tops.push_back(top);
    }
    if (tops.empty())
        return false;
    SFTableListing listing;
    if (!listTable(listing))
        return true;
    return std::any_of(tops.begin(), tops.end(), [&listing](const std::string& top) {
        return listing.inputJumps.count(top) != 0 || listing.outputJumps.count(top) != 0;
    });
}

bool SFIptables::recordedLeftoversLinked()
{
    if (m_currentTopChainsMayExist || !m_currentPolicyChains.empty() ||
        !m_inputDefaultDropLines.empty() || !m_outputDefaultDropLines.empty())
        return true;
    return pendingTopChainsLinked();
}

bool SFIptables::earlierGenerationsLinked()
{
    if (m_inputPreviousLineCount != 0 || m_outputPreviousLineCount != 0)
        return true;
    return pendingTopChainsLinked();
}

size_t SFIptables::deleteDefaultDropLines(bool input, size_t from, size_t to)
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

    // Each recorded line is deleted by its own words, whatever its action or log level, so a
    // line never outlives the generation that placed it. The MARK and LOG lines go before the
    // actions, as a packet meets them.
    std::vector<SFDefaultDropLine> kept;
    std::vector<SFDefaultDropLine> unproved; // deletion and check failed: missing, or iptables fails
    for (SFDefaultDropLine::Kind kind :
         {SFDefaultDropLine::MARK, SFDefaultDropLine::LOG, SFDefaultDropLine::ACTION}) {
        for (size_t i = from; i < to; ++i) {
            const SFDefaultDropLine& line = all[i];
            if (line.kind != kind)
                continue;
            if (tryIptables(withVerb("-D", line), failureText))
                continue;
            // One that stands is removed again at the next removal pass.
            (probeIptables(withVerb("-C", line)) ? kept : unproved).push_back(line);
        }
    }
    // A line never placed (its command failed) fails both, as every command does while iptables
    // fails: it is forgotten only when iptables answers a listing and the check still fails.
    SFTableListing listing;
    if (!unproved.empty() && listTable(listing)) {
        for (const SFDefaultDropLine& line : unproved) {
            if (probeIptables(withVerb("-C", line)))
                kept.push_back(line);
        }
    } else {
        kept.insert(kept.end(), unproved.begin(), unproved.end());
    }
    all.erase(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(to));
    all.insert(all.begin(), kept.begin(), kept.end());
    return kept.size();
}

void SFIptables::saveDefaultDropRulesToPreviousPolicy()
{
    m_inputPreviousLineCount = m_inputDefaultDropLines.size();
    m_outputPreviousLineCount = m_outputDefaultDropLines.size();
}

void SFIptables::flushDefaultDropRulesOfPreviousPolicy()
{
    try {
        m_inputPreviousLineCount = deleteDefaultDropLines(true, 0, m_inputPreviousLineCount);
        m_outputPreviousLineCount = deleteDefaultDropLines(false, 0, m_outputPreviousLineCount);
    } catch (const std::exception& e) {
        log(6, std::string("Exception occurred while flushing the default drop rules of the "
                           "previous policy: ") + e.what());
    }
    saveState();
}

void SFIptables::flushIptablesDefaultDropRule()
{
    try {
        m_inputPreviousLineCount = deleteDefaultDropLines(true, 0, m_inputDefaultDropLines.size());
        m_outputPreviousLineCount = deleteDefaultDropLines(false, 0, m_outputDefaultDropLines.size());
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
        if (m_currentTopChainsMayExist || !m_currentPolicyChains.empty()) {
            SFTableListing listing;
            const bool listed = listTable(listing);
            left = removeGeneration({uid, m_currentPolicyChains, m_currentRedirected},
                                    listed ? &listing : nullptr, failureText);
        }
        m_currentPolicyChains.clear();
        m_currentTopChainsMayExist = false;
        if (!left.empty())
            m_previousPolicyChains.push_back({uid, std::move(left), m_currentRedirected});
        m_currentRedirected = false;
        // The lines this try placed; those that stay wait in front as lines of an earlier
        // generation, and the lines of the generation in force are its own again.
        const size_t inputKept =
            deleteDefaultDropLines(true, m_inputPreviousLineCount, m_inputDefaultDropLines.size());
        const size_t outputKept =
            deleteDefaultDropLines(false, m_outputPreviousLineCount, m_outputDefaultDropLines.size());
        m_inputPreviousLineCount = inputKept;
        m_outputPreviousLineCount = outputKept;
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
