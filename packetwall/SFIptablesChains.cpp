#include "SFIptables.h"

#include "IConfigController.h"
#include "IHelperUtils.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFResultCodes.h"

#include <algorithm>

namespace StatefulFirewall {

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
      m_inputStaleLineCount(0),
      m_outputStaleLineCount(0),
      m_inputDropPolicy(false),
      m_outputDropPolicy(false),
      m_currentTopChainsMayExist(false),
      m_currentRedirected(false),
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

SFIptables::Answer SFIptables::askIptables(std::vector<std::string> words, std::string& reason)
{
    std::vector<std::string> argv = words;
    argv.insert(argv.begin(), SF_IPTABLES_PATH);
    try {
        std::string errorText;
        const int status = m_helperUtils->runSystemCommandForAnswer(std::move(argv), errorText);
        if (status == 0)
            return Answer::Ran;
        if (answersAbsent(words, status, errorText))
            return Answer::Absent;
        reason = "exit status " + std::to_string(status) + (errorText.empty() ? "" : ": " + errorText);
    } catch (const SFException& e) {
        reason = e.message;
    } catch (const std::exception& e) {
        reason = e.what();
    }
    return Answer::Failed;
}

SFIptables::Answer SFIptables::removeIptables(std::vector<std::string> words, const std::string& failureText)
{
    std::string reason;
    const Answer answer = askIptables(std::move(words), reason);
    if (answer == Answer::Failed) {
        // Counted like every failed change, also when the caller goes on.
        ++m_failedCommands;
        log(6, failureText + ": " + reason);
    }
    return answer;
}

void SFIptables::setNetfilterPolicyToAccept(bool accept)
{
    const char* policy = accept ? "ACCEPT" : "DROP";
    if (!accept && !(m_inputDropPolicy && m_outputDropPolicy)) {
        // Recorded before they run, like every line of ours: a DROP policy is forgotten only
        // once an ACCEPT has been set in its place.
        m_inputDropPolicy = m_outputDropPolicy = true;
        saveState();
    }
    // An ACCEPT that ran reaches the state file, also when the next one fails; the file is
    // written only when a record changed.
    const bool inputBefore = m_inputDropPolicy;
    const bool outputBefore = m_outputDropPolicy;
    const auto saveChanged = [&] {
        if (m_inputDropPolicy != inputBefore || m_outputDropPolicy != outputBefore)
            saveState();
    };
    try {
        for (bool input : {true, false}) {
            const char* chain = input ? "INPUT" : "OUTPUT";
            log(6, std::string("Setting ") + chain + " chain to " + policy);
            runIptables({"-P", chain, policy});
            if (accept)
                (input ? m_inputDropPolicy : m_outputDropPolicy) = false;
        }
    } catch (...) {
        saveChanged();
        throw;
    }
    saveChanged();
}

bool SFIptables::dropPoliciesMayStand()
{
    return m_inputDropPolicy || m_outputDropPolicy;
}

void SFIptables::addRelEstRuleToNetfilter(bool ownChains)
{
    if (!ownChains) {
        addFallbackPair();
        return;
    }
    const std::string uid = m_configController.getUniqueId();
    for (const std::string& chain : {SF_INPUT_TOP + uid, SF_OUTPUT_TOP + uid})
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
    for (const char* top : {SF_INPUT_TOP, SF_OUTPUT_TOP})
        runIptables({"-N", top + uid});
}

void SFIptables::deleteVarnikInputOutputChains(std::string uid)
{
    runIptables({"-D", "INPUT", "-j", SF_INPUT_TOP + uid});
    runIptables({"-D", "OUTPUT", "-j", SF_OUTPUT_TOP + uid});
    for (const char* top : {SF_OUTPUT_TOP, SF_INPUT_TOP}) {
        runIptables({"-F", top + uid});
        runIptables({"-X", top + uid});
    }
}

void SFIptables::addRedirectionRulesToInputOutputChains()
{
    const std::string uid = m_configController.getUniqueId();
    // Recorded before they run: from here on INPUT and OUTPUT may lead to this generation.
    m_currentRedirected = true;
    saveState();
    runIptables({"-I", "INPUT", "-j", SF_INPUT_TOP + uid});
    runIptables({"-I", "OUTPUT", "-j", SF_OUTPUT_TOP + uid});
}

bool SFIptables::checkChainExists(std::string chain)
{
    // A failure is an answer here, not a failed command: it is not counted.
    std::string reason;
    if (askIptables({"-n", "-L", chain}, reason) == Answer::Ran) {
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
    if (add) {
        m_currentPolicyChains.push_back(chain);
        if (checkChainExists(chain))
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
    // A failure proves nothing: the chain is forgotten once its deletion ran or iptables
    // answered that it does not exist, else it stays recorded so its generation's removal
    // retries.
    log(6, "Deleting chain - " + chain);
    if (removeIptables({"-X", chain}, "Deleting chain - " + chain + " failed") == Answer::Failed) {
        m_currentPolicyChains.push_back(chain);
        throw SFException(SF_SYSTEM_COMMAND_FAILED, "Failed to execute system command");
    }
    saveState();
    log(6, "Result of deleting chain - 0");
}

std::vector<std::string> SFIptables::getJumpRuleInInputOrOutputToGroup(bool inbound,
                                                                        std::string chain)
{
    const std::string uid = m_configController.getUniqueId();
    return {"-A", (inbound ? SF_INPUT_TOP : SF_OUTPUT_TOP) + uid, "-j", chain + uid};
}

void SFIptables::deleteJumpRuleInInputOrOutputToGroup(bool inbound, std::string chain)
{
    const std::string uid = m_configController.getUniqueId();
    runIptables({"-D", (inbound ? SF_INPUT_TOP : SF_OUTPUT_TOP) + uid, "-j", chain + uid});
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
    // Nothing of the current id text was created (the first push of a run): no generation to
    // hand over, and none whose made-up names a removal pass would look for.
    if (!m_currentTopChainsMayExist && m_currentPolicyChains.empty())
        return;
    const std::string uid = m_configController.getUniqueId();
    if (!m_previousPolicyChains.empty() && m_previousPolicyChains.back().uid == uid) {
        m_previousPolicyChains.back().chains.splice(m_previousPolicyChains.back().chains.end(),
                                                    m_currentPolicyChains);
    } else {
        m_previousPolicyChains.push_back({uid, std::move(m_currentPolicyChains), m_currentRedirected});
    }
    if (m_currentRedirected)
        m_previousPolicyChains.back().redirected = true;
    m_currentPolicyChains.clear();
    m_currentTopChainsMayExist = false;
    m_currentRedirected = false;
    saveState();
}

void SFIptables::recordDefaultDropLine(bool input, SFDefaultDropLine::Kind kind,
                                       std::vector<std::string> words)
{
    (input ? m_inputDefaultDropLines : m_outputDefaultDropLines)
        .push_back({kind, std::move(words)});
    // Recorded before the line runs, so the state file never misses a line that stands.
    saveState();
}

} // namespace StatefulFirewall
