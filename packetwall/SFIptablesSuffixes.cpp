// Command suffixes: the target words and the chain a rule line is appended to. The default-drop
// lines of the primary and the client-side group go into the built-in INPUT and OUTPUT, which
// outlive every generation, so each such placement is recorded for the next flush.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"

#include <utility>

namespace StatefulFirewall {

namespace {

constexpr const char* CLIENT_IN_CHAIN = "QTZ_Client_IN";
constexpr const char* CLIENT_OUT_CHAIN = "QTZ_Client_OUT";

constexpr int LOG_LEVEL_MIN = 0;
constexpr int LOG_LEVEL_MAX = 7;
// iptables' own default for a LOG rule given without a level.
constexpr int LOG_LEVEL_FALLBACK = 4;

// Where one line goes: a built-in chain (input or output) or the generation's chain name.
struct Placement {
    bool builtIn;
    bool input;
    std::string chain;
};

Placement builtInChain(bool input)
{
    return {true, input, input ? "INPUT" : "OUTPUT"};
}

Placement ownChain(std::string chain)
{
    return {false, false, std::move(chain)};
}

// The placement shared by the action and LOG lines; `builtInFits` is the condition under which
// a primary-group line goes into the built-in chain.
Placement placeRuleLine(bool inbound, bool primaryGroup, const std::string& chain,
                        bool isDefaultDropRule, bool builtInFits, const std::string& uid)
{
    if (!primaryGroup) {
        // A client-side chain decides by its name alone, whatever the inbound flag says.
        if (isDefaultDropRule && chain == CLIENT_IN_CHAIN)
            return builtInChain(true);
        if (isDefaultDropRule && chain == CLIENT_OUT_CHAIN)
            return builtInChain(false);
        return ownChain(chain + uid);
    }
    if (builtInFits)
        return builtInChain(inbound);
    return ownChain((inbound ? "QTZ_INPUT" : "QTZ_OUTPUT") + uid);
}

// Unlike the other two, a MARK line of a group chain follows the inbound flag: the chain name
// is made here from the base.
Placement placeMarkLine(const std::string& chainBase, bool inbound, bool primaryGroup,
                        bool isDefaultDropRule, const std::string& uid)
{
    if (primaryGroup) {
        if (isDefaultDropRule)
            return builtInChain(inbound);
        return ownChain((inbound ? "QTZ_INPUT" : "QTZ_OUTPUT") + uid);
    }
    const std::string chain = chainBase + (inbound ? "_IN" : "_OUT");
    if (isDefaultDropRule && chain == (inbound ? CLIENT_IN_CHAIN : CLIENT_OUT_CHAIN))
        return builtInChain(inbound);
    return ownChain(chain + uid);
}

} // namespace

std::vector<std::string> SFIptables::getIptablesRuleActionCmdSuffix(bool inbound,
                                                                    bool primaryGroup,
                                                                    std::string action,
                                                                    std::string chain,
                                                                    bool isDefaultDropRule)
{
    const std::string uid = m_configController.getUniqueId();
    const Placement placement =
        placeRuleLine(inbound, primaryGroup, chain, isDefaultDropRule,
                      isDefaultDropRule && action == "DROP", uid);
    std::vector<std::string> words = {"-j", action};
    if (placement.builtIn)
        recordDefaultDropLine(placement.input, SFDefaultDropLine::ACTION, words);
    words.insert(words.end(), {"-A", placement.chain});
    return words;
}

std::vector<std::string> SFIptables::getIptablesRuleLogCmdSuffix(bool inbound, bool primaryGroup,
                                                                 std::string prefix,
                                                                 std::string chain,
                                                                 bool isDefaultDropRule)
{
    const std::string uid = m_configController.getUniqueId();
    const Placement placement = placeRuleLine(inbound, primaryGroup, chain, isDefaultDropRule,
                                              isDefaultDropRule, uid);
    std::vector<std::string> words = {"-j", "LOG", "--log-level",
                                      std::to_string(getCheckedLogLevel()), "--log-prefix",
                                      prefix};
    if (placement.builtIn)
        recordDefaultDropLine(placement.input, SFDefaultDropLine::LOG, words);
    words.insert(words.end(), {"-A", placement.chain});
    return words;
}

std::vector<std::string> SFIptables::getIptablesMarkRuleCmdSuffix(std::string chainBase,
                                                                  bool inbound,
                                                                  bool primaryGroup,
                                                                  unsigned short mark,
                                                                  bool isDefaultDropRule)
{
    const std::string uid = m_configController.getUniqueId();
    const std::string markText = std::to_string(mark);
    const Placement placement =
        placeMarkLine(chainBase, inbound, primaryGroup, isDefaultDropRule, uid);
    std::vector<std::string> words = {"-j", "MARK", "--set-mark", markText};
    if (placement.builtIn)
        recordDefaultDropLine(placement.input, SFDefaultDropLine::MARK, words);
    words.insert(words.end(), {"-A", placement.chain});
    return words;
}

int SFIptables::getCheckedLogLevel()
{
    const int level = m_configController.getIptablesLogLevel();
    if (level >= LOG_LEVEL_MIN && level <= LOG_LEVEL_MAX)
        return level;
    // iptables rejects other levels, which would fail every logging rule of the push.
    m_logger.logMessage(2, m_moduleName,
                        "Iptables rule log level " + std::to_string(level) +
                            " is not between 0 and 7, using " +
                            std::to_string(LOG_LEVEL_FALLBACK));
    return LOG_LEVEL_FALLBACK;
}

} // namespace StatefulFirewall
