// The driver's state file: what it created in the kernel and has not removed yet.
//
// The kernel tables outlive the daemon, the driver's memory does not. Without this file a
// daemon that died (or a driver dropped without a disable) would leave its generation's chains,
// the redirections into them and its lines in INPUT and OUTPUT behind for good, so a host whose
// firewall was later disabled would still filter. The file lives in /run: it dies with the
// kernel tables at reboot.
//
// One record per line, words separated by one blank (chain names, id texts and line words never
// hold a blank):
//   tq-netfilter-state 2
//   generation <uid or -> <chain>...     chains of a generation awaiting removal, or in force
//   INPUT|OUTPUT mark|log|action <word>...   a line placed into a built-in chain
//   policy INPUT|OUTPUT DROP             a DROP policy set and not replaced by ACCEPT since
//   unlinked <uid>                       the generation's redirections never ran
// Version 1 files have no policy records: one that names a generation may have DROP policies
// standing with it, so both are taken as set.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "SFStoreFile.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace StatefulFirewall {

namespace {

const char* const HEADER = "tq-netfilter-state 2";
const char* const HEADER_V1 = "tq-netfilter-state 1";
const size_t MAX_STATE_BYTES = 4 * 1024 * 1024;
const size_t MAX_CHAIN_NAME = 28;

const char* kindText(SFDefaultDropLine::Kind kind)
{
    switch (kind) {
    case SFDefaultDropLine::MARK: return "mark";
    case SFDefaultDropLine::LOG: return "log";
    case SFDefaultDropLine::ACTION: return "action";
    }
    return "action";
}

bool parseKind(const std::string& text, SFDefaultDropLine::Kind& kind)
{
    if (text == "mark")
        kind = SFDefaultDropLine::MARK;
    else if (text == "log")
        kind = SFDefaultDropLine::LOG;
    else if (text == "action")
        kind = SFDefaultDropLine::ACTION;
    else
        return false;
    return true;
}

// What iptables accepts as one of our chain names: letters, digits and "_", at most 28 bytes.
bool isChainName(const std::string& name)
{
    if (name.empty() || name.size() > MAX_CHAIN_NAME)
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

// Whether a chain name is of the form the driver gives its chains: a top chain, the queue chain
// or a group chain ("_IN" or "_OUT" after the group's name) followed by the generation's id text
// (uid, or any "_<digits>" for a generation whose id text is unknown). A built-in chain or
// another program's chain is never one: the removal passes flush and delete what they name.
bool isOwnChainName(const std::string& name, const std::string& uid)
{
    if (!isChainName(name))
        return false;
    size_t stem = name.size();
    if (!uid.empty()) {
        if (name.size() <= uid.size() || name.compare(name.size() - uid.size(), uid.size(), uid) != 0)
            return false;
        stem -= uid.size();
    } else {
        while (stem > 0 && name[stem - 1] >= '0' && name[stem - 1] <= '9')
            --stem;
        if (stem == name.size() || stem == 0 || name[stem - 1] != '_')
            return false;
        --stem;
    }
    const std::string base = name.substr(0, stem);
    const auto endsWith = [&base](const std::string& end) {
        return base.size() > end.size() && base.compare(base.size() - end.size(), end.size(), end) == 0;
    };
    return base == SF_INPUT_TOP || base == SF_OUTPUT_TOP || base == "QueueGroup" || endsWith("_IN") ||
           endsWith("_OUT");
}

// An id text as the driver makes them: "_" and a number.
bool isIdText(const std::string& uid)
{
    return uid.size() >= 2 && uid.size() <= MAX_CHAIN_NAME && uid[0] == '_' &&
           uid.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::vector<std::string> splitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Creates the folders above path (mode 0700) where they are missing.
bool makeParentFolders(const std::string& path, std::string& error)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

void SFIptables::loadState()
{
    SFStoreFile file(m_stateFile);
    std::string bytes;
    std::string error;
    const SFStoreFile::ReadResult read = file.read(bytes, error);
    if (read == SFStoreFile::ReadResult::Missing)
        return;

    std::list<SFIptablesGeneration> generations;
    std::vector<SFDefaultDropLine> input;
    std::vector<SFDefaultDropLine> output;
    std::set<std::string> unlinked;
    bool inputDrop = false;
    bool outputDrop = false;
    bool versionOne = false;
    std::string fault;
    if (read == SFStoreFile::ReadResult::Failed) {
        fault = error;
    } else if (bytes.size() > MAX_STATE_BYTES) {
        fault = "the file is larger than " + std::to_string(MAX_STATE_BYTES) + " bytes";
    } else {
        std::istringstream lines(bytes);
        std::string line;
        size_t number = 0;
        while (fault.empty() && std::getline(lines, line)) {
            ++number;
            const std::vector<std::string> words = splitWords(line);
            const std::string where = "line " + std::to_string(number);
            if (number == 1) {
                versionOne = line == HEADER_V1;
                if (line != HEADER && !versionOne)
                    fault = "unknown header";
                continue;
            }
            if (words.empty())
                continue;
            if (words[0] == "generation" && words.size() >= 2) {
                const std::string uid = words[1] == "-" ? std::string() : words[1];
                if (!uid.empty() && !isIdText(uid)) {
                    fault = where + ": bad id text";
                    break;
                }
                SFIptablesGeneration generation{uid, {}};
                for (size_t i = 2; i < words.size(); ++i) {
                    if (!isOwnChainName(words[i], uid)) {
                        fault = where + ": " + words[i] + " is no chain of the firewall";
                        break;
                    }
                    generation.chains.push_back(words[i]);
                }
                generations.push_back(std::move(generation));
            } else if ((words[0] == "INPUT" || words[0] == "OUTPUT") && words.size() >= 4 &&
                       words[2] == "-j") {
                SFDefaultDropLine dropLine{SFDefaultDropLine::ACTION, {words.begin() + 2, words.end()}};
                if (!parseKind(words[1], dropLine.kind)) {
                    fault = where + ": unknown line kind";
                    break;
                }
                (words[0] == "INPUT" ? input : output).push_back(std::move(dropLine));
            } else if (words[0] == "policy" && !versionOne && words.size() == 3 && words[2] == "DROP" &&
                       (words[1] == "INPUT" || words[1] == "OUTPUT")) {
                (words[1] == "INPUT" ? inputDrop : outputDrop) = true;
            } else if (words[0] == "unlinked" && !versionOne && words.size() == 2) {
                unlinked.insert(words[1]);
            } else {
                fault = where + ": unknown record";
            }
        }
        if (fault.empty() && number == 0)
            fault = "the file is empty";
    }

    if (!fault.empty()) {
        std::string kept;
        std::string keepError;
        const std::string keptText = file.keepAsCorrupt(kept, keepError)
                                         ? ", kept as " + kept
                                         : (keepError.empty() ? std::string() : ", not kept: " + keepError);
        m_logger.logMessage(2, m_moduleName,
                            "Netfilter state file " + m_stateFile + " is unreadable (" + fault +
                                ")" + keptText +
                                "; chains and lines of an earlier run may stay in the kernel");
        return;
    }

    if (versionOne && !generations.empty())
        inputDrop = outputDrop = true;
    // Everything an earlier driver left waits for the next removal pass; its lines in the
    // built-in chains for the next default-drop flush.
    for (SFIptablesGeneration& generation : generations) {
        generation.redirected = unlinked.count(generation.uid.empty() ? "-" : generation.uid) == 0;
        m_previousPolicyChains.push_back(std::move(generation));
    }
    for (SFDefaultDropLine& line : input)
        m_inputDefaultDropLines.push_back(std::move(line));
    for (SFDefaultDropLine& line : output)
        m_outputDefaultDropLines.push_back(std::move(line));
    m_inputDropPolicy = inputDrop;
    m_outputDropPolicy = outputDrop;
    m_logger.logMessage(5, m_moduleName,
                        "Loaded netfilter state of an earlier run: " +
                            std::to_string(m_previousPolicyChains.size()) +
                            " generations to remove, " +
                            std::to_string(m_inputDefaultDropLines.size() + m_outputDefaultDropLines.size()) +
                            " lines in the built-in chains" +
                            (inputDrop || outputDrop ? ", DROP policies" : ""));
}

void SFIptables::saveState()
{
    std::string text = std::string(HEADER) + "\n";
    bool anything = false;
    std::string unlinked;
    auto addGeneration = [&](const std::string& uid, const std::list<std::string>& chains, bool redirected) {
        const std::string name = uid.empty() ? "-" : uid;
        text += "generation " + name;
        for (const std::string& chain : chains) {
            text += ' ';
            text += chain;
        }
        text += '\n';
        if (!redirected)
            unlinked += "unlinked " + name + "\n";
        anything = true;
    };
    for (const SFIptablesGeneration& generation : m_previousPolicyChains)
        addGeneration(generation.uid, generation.chains, generation.redirected);
    if (m_currentTopChainsMayExist || !m_currentPolicyChains.empty())
        addGeneration(m_configController.getUniqueId(), m_currentPolicyChains, m_currentRedirected);
    text += unlinked;
    for (bool isInput : {true, false}) {
        for (const SFDefaultDropLine& line : isInput ? m_inputDefaultDropLines : m_outputDefaultDropLines) {
            text += isInput ? "INPUT " : "OUTPUT ";
            text += kindText(line.kind);
            for (const std::string& word : line.words) {
                text += ' ';
                text += word;
            }
            text += '\n';
            anything = true;
        }
    }

    for (bool isInput : {true, false}) {
        if (isInput ? m_inputDropPolicy : m_outputDropPolicy) {
            text += isInput ? "policy INPUT DROP\n" : "policy OUTPUT DROP\n";
            anything = true;
        }
    }

    std::string error;
    if (!anything) {
        // Nothing of ours stands in the kernel: leave no file behind.
        if (::unlink(m_stateFile.c_str()) != 0 && errno != ENOENT)
            m_logger.logMessage(3, m_moduleName,
                                "Cannot remove netfilter state file " + m_stateFile + ": " + std::strerror(errno));
        return;
    }
    SFStoreFile file(m_stateFile);
    if (!makeParentFolders(m_stateFile, error) || !file.replace(text, error))
        m_logger.logMessage(3, m_moduleName, "Cannot write netfilter state file " + m_stateFile + ": " + error);
}

} // namespace StatefulFirewall
