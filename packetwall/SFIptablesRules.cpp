// Rule translation: one rule of the model into its MARK, LOG, action and reverse lines, built
// completely before the first one runs.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFMatch.h"

#include <cstring>
#include <exception>
#include <utility>

namespace StatefulFirewall {

namespace {

using Line = std::vector<std::string>;
using Lines = std::vector<Line>;

constexpr int INFO_LEVEL = 5;
constexpr int DEBUG_LEVEL = 6;

template <size_t N>
std::string boundedText(const char (&chars)[N])
{
    return std::string(chars, strnlen(chars, N));
}

void append(Lines& to, Lines from)
{
    to.insert(to.end(), std::make_move_iterator(from.begin()),
              std::make_move_iterator(from.end()));
}

} // namespace

bool SFIptables::addRuleToNetfilterGroup(KSFRule& rule, std::list<SFMatch*> matches,
                                         std::string group, bool primaryGroup,
                                         std::vector<std::string> trusted,
                                         SFwDirection groupDirection, unsigned short mark,
                                         bool lastRuleOfGroup)
{
    const std::string name = boundedText(rule.name);
    const std::string inGroup = " in the group - " + group;
    auto debug = [this](const std::string& message) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, message);
    };
    auto info = [this](const std::string& message) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName, message);
    };

    debug("Rule Name - " + name + ", Rule Action - " + std::to_string(rule.action) +
          ", Transport Protocol - " + std::to_string(rule.transport) +
          ", Network Protocol - " + std::to_string(rule.netProto) + ", Msg Type - " +
          std::to_string(rule.msgType) + ", Rule Enable - " + std::to_string(rule.enabled) +
          ", Log Enable - " + std::to_string(rule.logEnabled) + ", matchCount - " +
          std::to_string(rule.matchCount));

    if (const SFMatch* negated = findNegatedMatch(matches)) {
        info("Not enforcing rule - " + name + inGroup + " as match operator " +
             std::to_string(negated->matchOp) + " is not supported");
        return false;
    }

    std::string actionWord = "DROP";
    std::string reverseActionWord = "ACCEPT";
    std::string prefixLetters = "B_";
    std::string reversePrefixLetters = "A_";
    const std::string ruleNameText = m_utils.sanitizeRuleName(name);
    const std::string chainBase = m_utils.sanitizeChainName(group);
    Line baseLine = {SF_IPTABLES_PATH};
    if (rule.action == FW_ACTION_ALLOW) {
        std::swap(actionWord, reverseActionWord);
        std::swap(prefixLetters, reversePrefixLetters);
    } else if (rule.action != FW_ACTION_BLOCK_PACKET) {
        debug("Detected unsupported rule action in the rule - " + name + inGroup +
              " when enforcing it. Setting default action to Block");
    }

    if (rule.netProto != NET_PROTO_ANY && rule.netProto != NET_PROTO_IP) {
        info("Exception NETWORK PROTOCOL. Not enforcing the rule - " + name + inGroup +
             " due to unsupported Network protocol");
        return false;
    }

    switch (appendProtocolWords(baseLine, rule.transport, rule.msgType)) {
    case ProtocolWords::BadIcmpType:
        info("Exception ICMP TYPE. Not enforcing the rule -" + name + inGroup +
             "due to unknown Message type");
        return false;
    case ProtocolWords::Unknown:
        // Logged before the words would be used; the line itself is already built.
        info("Enforcing the rule - " + name + inGroup + " even though Transport protocol is unknown");
        break;
    case ProtocolWords::Known:
        break;
    }

    SFMatchCriteria criteria;
    for (SFMatch* match : matches) {
        if (match == nullptr)
            continue;
        debug("Processing Match Type - " + std::to_string(match->matchType) +
              ", Match Format - " + std::to_string(match->addressType) + ", Match Operation " +
              std::to_string(match->matchOp));
        if (match->matchType == FW_MATCH_SCHEDULE)
            debug("Matching Schedule Type");
        if (!addMatchToCriteria(*match, trusted, criteria))
            debug("Ignoring Unknown Match type when enforcing the rule - " + name + inGroup);
    }
    const auto& localAddresses = criteria.localAddresses;
    const auto& localRanges = criteria.localRanges;
    const auto& remoteAddresses = criteria.remoteAddresses;
    const auto& remoteRanges = criteria.remoteRanges;
    const auto& localPorts = criteria.localPorts;
    const auto& remotePorts = criteria.remotePorts;
    const Lines& timeAlternatives = criteria.timeAlternatives;
    const bool localPresent = criteria.localPresent, localValid = criteria.localValid;
    const bool remotePresent = criteria.remotePresent, remoteValid = criteria.remoteValid;
    const bool reverse = criteria.reverse;
    int direction = criteria.direction;

    // The group's chains exist for its direction only, so the group's direction wins.
    if (groupDirection == FW_DIRECTION_INBOUND) {
        if (direction == FW_DIRECTION_OUTBOUND) {
            info("Not enforcing rule - " + name + " of outbound direction," + inGroup +
                 " of inbound direction");
            return false;
        }
        debug("Overrode rule - " + name + " with inbound direction" + inGroup +
              " of inbound direction");
        direction = FW_DIRECTION_INBOUND;
    } else if (groupDirection == FW_DIRECTION_OUTBOUND) {
        if (direction == FW_DIRECTION_INBOUND) {
            info("Not enforcing rule - " + name + " of inbound direction," + inGroup +
                 " of outbound direction");
            return false;
        }
        debug("Overrode rule - " + name + " with outbound direction" + inGroup +
              " of outbound direction");
        direction = FW_DIRECTION_OUTBOUND;
    }

    if (localPresent && !localValid) {
        info("Not enforcing rule - " + name + "," + inGroup +
             " as none of the local match types were valid for this rule");
        return false;
    }
    if (remotePresent && !remoteValid) {
        info("Not enforcing rule - " + name + "," + inGroup +
             " as none of the remote match types were valid for this rule");
        return false;
    }

    // A catch-all rule at the end of the primary or client-side group; it goes below the jump
    // into the generation's chains so that it also catches what no chain of ours matched.
    const bool isDefaultDropRule =
        localAddresses.empty() && localRanges.empty() && remoteAddresses.empty() &&
        remoteRanges.empty() && localPorts.empty() && remotePorts.empty() &&
        baseLine.size() == 1 && timeAlternatives.empty() && rule.treatAsIntrusion == 0 &&
        lastRuleOfGroup && rule.logEnabled != 0;
    if (isDefaultDropRule)
        debug("This is the default drop rule present at the end of primary group or client "
              "side group. Setting isDefaultDropRule to true");

    const std::string uid = m_configController.getUniqueId();
    bool buildInbound = false, buildOutbound = false;
    switch (direction) {
    case FW_DIRECTION_OUTBOUND:
        debug("Adding Output type Rule " + ruleNameText);
        buildOutbound = true;
        break;
    case FW_DIRECTION_INBOUND:
        debug("Adding Input type Rule  " + ruleNameText);
        buildInbound = true;
        break;
    case FW_DIRECTION_EITHER:
        debug("Adding Input and Output type Rule " + ruleNameText);
        buildInbound = buildOutbound = true;
        break;
    default:
        debug("Exception Direction - Unsupported Direction " + std::to_string(direction));
        return false;
    }

    Lines inAlternatives, outAlternatives;
    Lines lines, reverseLines;
    bool reverseLogged = false;
    auto buildDirection = [&](bool inbound) {
        const std::string chain = chainBase + (inbound ? "_IN" : "_OUT");
        Lines alternatives = getIpAndPortParams(inbound, localAddresses, remoteAddresses,
                                                localPorts, remotePorts, localRanges,
                                                remoteRanges);
        Lines directionLines = multiplyVectorContents({baseLine}, alternatives);
        // Reverse lines apply outside the schedule, so they carry no time match.
        Lines directionReverse = directionLines;
        directionLines = multiplyVectorContents(std::move(directionLines), timeAlternatives);

        Lines suffixes, reverseSuffixes;
        const std::string side = inbound ? "QTZ_I_" : "QTZ_O_";
        if (rule.logEnabled != 0) {
            suffixes.push_back(getIptablesRuleLogCmdSuffix(
                inbound, primaryGroup, side + prefixLetters + ruleNameText, chain,
                isDefaultDropRule));
            reverseSuffixes.push_back(getIptablesRuleLogCmdSuffix(
                inbound, primaryGroup, side + reversePrefixLetters + ruleNameText, chain, false));
        }
        // An intrusion rule hands its packets to the block-event chain to be reported,
        // whatever its own action says.
        const std::string target =
            rule.treatAsIntrusion != 0
                ? std::string("QTZ_BlockEven") + (inbound ? "_IN" : "_OUT") + uid
                : actionWord;
        suffixes.push_back(getIptablesRuleActionCmdSuffix(inbound, primaryGroup, target, chain,
                                                          isDefaultDropRule));
        // Every combination gets its LOG line directly before its action line.
        append(lines, multiplyVectorContents(std::move(directionLines), std::move(suffixes)));

        if (reverse) {
            if (!reverseLogged) {
                debug("Since off hour scheduled action is reverse, adding a rule for reverse "
                      "action for the Rule " +
                      ruleNameText);
                reverseLogged = true;
            }
            reverseSuffixes.push_back(getIptablesRuleActionCmdSuffix(
                inbound, primaryGroup, reverseActionWord, chain, isDefaultDropRule));
            append(reverseLines, multiplyVectorContents(std::move(directionReverse),
                                                        std::move(reverseSuffixes)));
        }
        (inbound ? inAlternatives : outAlternatives) = std::move(alternatives);
    };
    if (buildInbound)
        buildDirection(true);
    if (buildOutbound)
        buildDirection(false);

    auto markLinesOf = [&](bool inbound) {
        return multiplyVectorContents(
            multiplyVectorContents({baseLine}, inbound ? inAlternatives : outAlternatives),
            {getIptablesMarkRuleCmdSuffix(chainBase, inbound, primaryGroup, mark,
                                          isDefaultDropRule)});
    };

    try {
        // MARK lines carry no time match: a scheduled rule's packets are marked at all times.
        Lines markLines;
        if (mark != 0 && buildInbound && buildOutbound) {
            const Lines inMarks = markLinesOf(true);
            const Lines outMarks = markLinesOf(false);
            // Both sides come from the same criteria, so they hold as many alternatives.
            for (size_t i = 0; i < inMarks.size() && i < outMarks.size(); ++i) {
                markLines.push_back(inMarks[i]);
                markLines.push_back(outMarks[i]);
            }
        } else if (mark != 0) {
            markLines = markLinesOf(buildInbound);
        }
        for (const Line& line : markLines)
            runCommand(line);
        for (const Line& line : lines)
            runCommand(line);
        if (reverse) {
            for (const Line& line : reverseLines)
                runCommand(line);
        }
        return true;
    } catch (const SFException&) {
    } catch (const std::exception&) {
    } catch (...) {
    }
    // The lines that ran stay: they go with the generation's chains or, in INPUT and OUTPUT,
    // with the next default-drop flush.
    if (direction == FW_DIRECTION_OUTBOUND) {
        debug("Not adding Outbound Rule " + ruleNameText + "  as an Exception occurred");
    } else if (direction == FW_DIRECTION_INBOUND) {
        debug("Not adding Inbound Rule " + ruleNameText + "  as an Exception occurred");
        info("Exception occurred when enforcing the incoming rule - " + name + inGroup);
    } else {
        debug("Not adding Inbound and Outbound Rule " + ruleNameText +
              "  as an Exception occurred");
    }
    return false;
}

} // namespace StatefulFirewall
