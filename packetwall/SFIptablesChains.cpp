#include "SFIptables.h"

#include "IConfigController.h"
#include "IHelperUtils.h"
#include "ILogger.h"
#include "SFException.h"

#include <algorithm>

namespace StatefulFirewall {

namespace {

const char* const INPUT_TOP = "QTZ_INPUT";
const char* const OUTPUT_TOP = "QTZ_OUTPUT";

std::string failureReason(const SFException& e)
{
    return e.message;
}

} // namespace

SFIptables::SFIptables(ZAV::ILogger& logger, IConfigController& configController,
                       std::shared_ptr<IHelperUtils> helperUtils, INwIFManager& nwIfManager,
                       std::string stateFile, std::string ftpModuleDir)
    : m_logger(logger),
      m_moduleName("SFIptables"),
      m_configController(configController),
      m_helperUtils(std::move(helperUtils)),
      m_nwIfManager(nwIfManager),
      m_inputPreviousLineCount(0),
      m_outputPreviousLineCount(0),
      m_currentTopChainsMayExist(false),
      m_failedCommands(0),
      m_stateFile(std::move(stateFile)),
      m_ftpModuleDir(std::move(ftpModuleDir))
{
    loadState();
}

SFIptables::~SFIptables() = default;

void SFIptables::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_moduleName, message);
}

void SFIptables::runCommand(std::vector<std::string> argv)
{
    try {
        m_helperUtils->executeSystemCommand(std::move(argv), nullptr);
    } catch (...) {
        // Counted here, where every change runs, also for callers that log and swallow it.
        ++m_failedCommands;
        throw;
    }
}

bool SFIptables::probeIptables(std::vector<std::string> words)
{
    words.insert(words.begin(), SF_IPTABLES_PATH);
    try {
        m_helperUtils->executeSystemCommand(std::move(words), nullptr);
        return true;
    } catch (const SFException&) {
    } catch (const std::exception&) {
    }
    return false;
}

int SFIptables::takeFailedCommands()
{
    const int failed = m_failedCommands;
    m_failedCommands = 0;
    return failed;
}

void SFIptables::runIptables(std::vector<std::string> words)
{
    words.insert(words.begin(), SF_IPTABLES_PATH);
    runCommand(std::move(words));
}

bool SFIptables::tryIptables(std::vector<std::string> words, const std::string& failureText)
{
    try {
        runIptables(std::move(words));
        return true;
    } catch (const SFException& e) {
        log(6, failureText + ": " + failureReason(e));
    } catch (const std::exception& e) {
        log(6, failureText + ": " + e.what());
    }
    return false;
}

void SFIptables::setNetfilterPolicyToAccept(bool accept)
{
    const char* policy = accept ? "ACCEPT" : "DROP";
    log(6, std::string("Setting INPUT chain to ") + policy);
    runIptables({"-P", "INPUT", policy});
    log(6, std::string("Setting OUTPUT chain to ") + policy);
    runIptables({"-P", "OUTPUT", policy});
}

void SFIptables::addRelEstRuleToNetfilter(bool ownChains)
{
    if (!ownChains) {
        addFallbackPair();
        return;
    }
    const std::string uid = m_configController.getUniqueId();
    for (const std::string& chain : {INPUT_TOP + uid, OUTPUT_TOP + uid})
        runIptables({"-m", "state", "--state", "ESTABLISHED,RELATED", "-j", "ACCEPT", "-I", chain});
}

void SFIptables::addFallbackPair()
{
    // The target first, so the line fits the state file's record of a built-in line; iptables
    // takes the words in any order, and -D with the same words finds the line.
    const std::vector<std::string> words{"-j", "ACCEPT", "-m", "state", "--state",
                                         "ESTABLISHED,RELATED"};
    for (bool input : {true, false}) {
        const std::vector<SFDefaultDropLine>& lines =
            input ? m_inputDefaultDropLines : m_outputDefaultDropLines;
        const bool present = std::any_of(lines.begin(), lines.end(), [&words](const SFDefaultDropLine& l) {
            return l.kind == SFDefaultDropLine::ACTION && l.words == words;
        });
        // One pair at most: every failed push asks for it, and each one would stack another.
        if (present)
            continue;
        recordDefaultDropLine(input, SFDefaultDropLine::ACTION, words);
        std::vector<std::string> line{"-I", input ? "INPUT" : "OUTPUT"};
        line.insert(line.end(), words.begin(), words.end());
        runIptables(std::move(line));
    }
}

void SFIptables::addVarnikInputOutputChains(std::string uid)
{
    // Named in the state file before they exist, so a crash between the two never leaves a
    // top chain nobody knows about.
    m_currentTopChainsMayExist = true;
    saveState();
    runIptables({"-N", INPUT_TOP + uid});
    runIptables({"-N", OUTPUT_TOP + uid});
}

void SFIptables::deleteVarnikInputOutputChains(std::string uid)
{
    runIptables({"-D", "INPUT", "-j", INPUT_TOP + uid});
    runIptables({"-D", "OUTPUT", "-j", OUTPUT_TOP + uid});
    runIptables({"-F", OUTPUT_TOP + uid});
    runIptables({"-X", OUTPUT_TOP + uid});
    runIptables({"-F", INPUT_TOP + uid});
    runIptables({"-X", INPUT_TOP + uid});
}

void SFIptables::addRedirectionRulesToInputOutputChains()
{
    const std::string uid = m_configController.getUniqueId();
    runIptables({"-I", "INPUT", "-j", INPUT_TOP + uid});
    runIptables({"-I", "OUTPUT", "-j", OUTPUT_TOP + uid});
}

bool SFIptables::checkChainExists(std::string chain)
{
    if (probeIptables({"-n", "-L", chain})) {
        log(6, "Successfully checked existence of chain - " + chain +
                   ". Chain probably already exists");
        return true;
    }
    log(6, "Exception occurred while checking existence of chain - " + chain +
               ". Chain probably does not exist");
    return false;
}

void SFIptables::addOrDeleteIptablesChain(bool add, std::string chain)
{
    const bool exists = checkChainExists(chain);
    if (add) {
        m_currentPolicyChains.push_back(chain);
        if (exists)
            return;
        saveState();
        log(6, "Adding chain - " + chain);
        runIptables({"-N", chain});
        log(6, "Result of adding chain - 0");
        return;
    }

    m_currentPolicyChains.sort();
    m_currentPolicyChains.unique();
    m_currentPolicyChains.remove(chain);
    if (!exists)
        return;
    log(6, "Deleting chain - " + chain);
    try {
        runIptables({"-X", chain});
    } catch (...) {
        // The chain is still there: keep it recorded so its generation's removal retries.
        m_currentPolicyChains.push_back(chain);
        throw;
    }
    saveState();
    log(6, "Result of deleting chain - 0");
}

std::vector<std::string> SFIptables::getJumpRuleInInputOrOutputToGroup(bool inbound,
                                                                        std::string chain)
{
    const std::string uid = m_configController.getUniqueId();
    return {"-A", (inbound ? INPUT_TOP : OUTPUT_TOP) + uid, "-j", chain + uid};
}

void SFIptables::deleteJumpRuleInInputOrOutputToGroup(bool inbound, std::string chain)
{
    const std::string uid = m_configController.getUniqueId();
    runIptables({"-D", (inbound ? INPUT_TOP : OUTPUT_TOP) + uid, "-j", chain + uid});
}

void SFIptables::deleteAllRulesFromGroup(std::string chain)
{
    try {
        runIptables({"-F", chain});
    } catch (...) {
        log(5, "Failed to delete all rules from the netfilter group - " + chain +
                   "due to exception");
    }
}

std::string SFIptables::vectorToString(std::vector<std::string> v)
{
    std::string joined = v.at(0);
    for (size_t i = 1; i < v.size(); ++i) {
        joined += ',';
        joined += v[i];
    }
    return joined;
}

void SFIptables::saveIptablesChainsToPreviousPolicy()
{
    const std::string uid = m_configController.getUniqueId();
    if (!m_previousPolicyChains.empty() && m_previousPolicyChains.back().uid == uid) {
        m_previousPolicyChains.back().chains.splice(m_previousPolicyChains.back().chains.end(),
                                                    m_currentPolicyChains);
    } else {
        m_previousPolicyChains.push_back({uid, std::move(m_currentPolicyChains)});
    }
    m_currentPolicyChains.clear();
    m_currentTopChainsMayExist = false;
    saveState();
}

std::list<std::string> SFIptables::removeGeneration(const std::string& uid,
                                                    const std::list<std::string>& chains,
                                                    const char* failureText)
{
    // A listing that fails may also be iptables failing beside another program: a chain is
    // taken for gone, and forgotten, only when a second listing fails as well.
    auto mayExist = [this](const std::string& chain) {
        return checkChainExists(chain) || checkChainExists(chain);
    };
    const std::string inputTop = INPUT_TOP + uid;
    const std::string outputTop = OUTPUT_TOP + uid;
    bool inputLeft = mayExist(inputTop);
    bool outputLeft = mayExist(outputTop);
    if (inputLeft && outputLeft) {
        try {
            deleteVarnikInputOutputChains(uid);
            inputLeft = outputLeft = false;
        } catch (const SFException& e) {
            log(6, std::string(failureText) + ": " + failureReason(e));
        }
        if (inputLeft) {
            inputLeft = mayExist(inputTop);
            outputLeft = mayExist(outputTop);
        }
    }

    // A top chain left on its own (a push that stopped before its twin or its redirection, or
    // a removal that stopped half-way) is taken apart like any other chain.
    std::list<std::string> names;
    if (inputLeft) {
        tryIptables({"-D", "INPUT", "-j", inputTop}, failureText);
        names.push_back(inputTop);
    }
    if (outputLeft) {
        tryIptables({"-D", "OUTPUT", "-j", outputTop}, failureText);
        names.push_back(outputTop);
    }
    for (const std::string& chain : chains) {
        if (std::find(names.begin(), names.end(), chain) == names.end())
            names.push_back(chain);
    }

    // Everything is flushed before anything is deleted: a chain cannot be deleted while another
    // one still jumps to it, and group chains jump to the block-event chains created before them.
    for (const std::string& chain : names)
        tryIptables({"-F", chain}, failureText);
    std::list<std::string> left;
    for (const std::string& chain : names) {
        if (tryIptables({"-X", chain}, failureText))
            continue;
        if (mayExist(chain))
            left.push_back(chain);
    }
    return left;
}

void SFIptables::removePendingGenerations(const char* failureText, const std::string& inForce)
{
    try {
        std::list<SFIptablesGeneration> remaining;
        for (const SFIptablesGeneration& generation : m_previousPolicyChains) {
            // Only an earlier process can have left a generation under today's id text; its
            // names are the ones in force now, so they must not be removed.
            if (!inForce.empty() && generation.uid == inForce) {
                log(6, "Not removing the chains of the generation in force - " + inForce);
                continue;
            }
            std::list<std::string> left = removeGeneration(generation.uid, generation.chains,
                                                           failureText);
            if (!left.empty())
                remaining.push_back({generation.uid, std::move(left)});
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
    m_previousPolicyChains.push_back({m_configController.getUniqueId(), std::move(m_currentPolicyChains)});
    m_currentPolicyChains.clear();
    m_currentTopChainsMayExist = false;
    removePendingGenerations("Exception occurred while flushing iptables rules in current policy", "");
}

bool SFIptables::hasRecordedLeftovers()
{
    return m_currentTopChainsMayExist || !m_currentPolicyChains.empty() ||
           !m_previousPolicyChains.empty() || !m_inputDefaultDropLines.empty() ||
           !m_outputDefaultDropLines.empty();
}

bool SFIptables::recordedLeftoversLinked()
{
    if (m_currentTopChainsMayExist || !m_currentPolicyChains.empty() ||
        !m_inputDefaultDropLines.empty() || !m_outputDefaultDropLines.empty())
        return true;
    // Only INPUT and OUTPUT lead to the top chains, and only top chains to the others.
    for (const SFIptablesGeneration& generation : m_previousPolicyChains) {
        for (const std::string& chain : generation.chains) {
            const bool input = chain.rfind(INPUT_TOP, 0) == 0;
            if (!input && chain.rfind(OUTPUT_TOP, 0) != 0)
                continue;
            if (probeIptables({"-C", input ? "INPUT" : "OUTPUT", "-j", chain}))
                return true;
            // A check that failed says "no such jump" only from an iptables that works.
            if (!checkChainExists(chain))
                return true;
        }
    }
    return false;
}

void SFIptables::recordDefaultDropLine(bool input, SFDefaultDropLine::Kind kind,
                                       std::vector<std::string> words)
{
    (input ? m_inputDefaultDropLines : m_outputDefaultDropLines)
        .push_back({kind, std::move(words)});
    // Recorded before the line runs, so the state file never misses a line that stands.
    saveState();
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

    // Each recorded line is deleted by its own words, whatever its action or log level, so a
    // line never outlives the generation that placed it. The MARK and LOG lines go before the
    // actions, as a packet meets them.
    std::vector<SFDefaultDropLine> kept;
    for (SFDefaultDropLine::Kind kind :
         {SFDefaultDropLine::MARK, SFDefaultDropLine::LOG, SFDefaultDropLine::ACTION}) {
        for (size_t i = from; i < to; ++i) {
            const SFDefaultDropLine& line = all[i];
            if (line.kind != kind)
                continue;
            std::vector<std::string> words{"-D", chain};
            words.insert(words.end(), line.words.begin(), line.words.end());
            if (tryIptables(words, failureText))
                continue;
            // A line that is gone already needs nothing more; one that stands is removed again
            // at the next removal pass.
            words[0] = "-C";
            if (probeIptables(std::move(words)))
                kept.push_back(line);
        }
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
        log(6, std::string("Exception occurred while flushing default drop rule in  iptables "
                           "rules of previous policy: ") + e.what());
        m_inputDefaultDropLines.clear();
        m_outputDefaultDropLines.clear();
        m_inputPreviousLineCount = m_outputPreviousLineCount = 0;
    }
    saveState();
}

void SFIptables::abandonCurrentGeneration(std::string previousUid)
{
    const std::string uid = m_configController.getUniqueId();
    const char* failureText = "Exception occurred while removing the chains of a generation that was not put in force";
    try {
        std::list<std::string> left = removeGeneration(uid, m_currentPolicyChains, failureText);
        m_currentPolicyChains.clear();
        m_currentTopChainsMayExist = false;
        if (!left.empty())
            m_previousPolicyChains.push_back({uid, std::move(left)});
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
