// Group chains: one chain per direction for every group the default group jumps to, reached from
// the generation's top chains by jump lines that carry the group's own criteria.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFMatch.h"

#include <exception>
#include <utility>

namespace StatefulFirewall {

namespace {

using Lines = std::vector<std::vector<std::string>>;

constexpr int INFO_LEVEL = 5;
constexpr int DEBUG_LEVEL = 6;

std::string matchLogLine(const SFMatch& match)
{
    return "Match Type - " + std::to_string(match.matchType) + ", Match Format - " +
           std::to_string(match.addressType) + ", Match Operation " +
           std::to_string(match.matchOp);
}

} // namespace

bool SFIptables::createNetfilterGroup(std::string group, SFwNetProtocol netProtocol,
                                      SFwTransProtocol transport, SFMsgType icmpType,
                                      std::list<SFMatch*> groupMatches,
                                      std::vector<std::string> trusted)
{
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Group Name " + group);

    if (const SFMatch* negated = findNegatedMatch(groupMatches)) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Not creating netfilter group - " + group + " as match operator " +
                                std::to_string(negated->matchOp) + " is not supported");
        return false;
    }

    if (netProtocol != NET_PROTO_ANY && netProtocol != NET_PROTO_IP) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Exception NETWORK PROTOCOL - Unsupported Network protocol. Not "
                            "creating netfilter group - " +
                                group + " as Network protocol for this group is unsupported");
        return false;
    }

    std::vector<std::string> baseLine = {SF_IPTABLES_PATH};
    switch (appendProtocolWords(baseLine, transport, icmpType)) {
    case ProtocolWords::BadIcmpType:
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Exception ICMP TYPE - Casting error. Not creating netfilter group - " +
                                group + " as Message type is not known");
        return false;
    case ProtocolWords::Unknown:
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Unknown Transport protocol. Creating netfilter group - " + group +
                                " even though Transport protocol for this group is unknown");
        break;
    case ProtocolWords::Known:
        break;
    }

    const std::string uid = m_configController.getUniqueId();

    // Direction matches are read through the utilities below, so rules added later agree with
    // the chains; groups have no reverse lines, so the reverse flag is dropped.
    SFMatchCriteria criteria;
    for (SFMatch* match : groupMatches) {
        if (match == nullptr)
            continue;
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, matchLogLine(*match));
        if (!addMatchToCriteria(*match, trusted, criteria))
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                                "Ignoring Unknown Match type in the netfilter group - " + group);
    }

    if (criteria.localPresent && !criteria.localValid) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Not creating netfilter group - " + group +
                                " as none of the local match types were valid for this group");
        return false;
    }
    if (criteria.remotePresent && !criteria.remoteValid) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Not creating netfilter group - " + group +
                                " as none of the remote match types were valid for this group");
        return false;
    }

    const std::string base = m_utils.sanitizeChainName(group);
    const int direction = m_utils.getGroupDirection(groupMatches);
    if (direction != FW_DIRECTION_INBOUND && direction != FW_DIRECTION_OUTBOUND &&
        direction != FW_DIRECTION_EITHER) {
        // Building nothing and reporting success would leave the group's rules without chains.
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Not creating netfilter group - " + group + " as group direction " +
                                std::to_string(direction) + " is not supported");
        return false;
    }

    auto buildJumpLines = [&](bool inbound) {
        const std::string chain = base + (inbound ? "_IN" : "_OUT");
        Lines lines = multiplyVectorContents(
            {baseLine}, getIpAndPortParams(inbound, criteria.localAddresses, criteria.remoteAddresses,
                                           criteria.localPorts, criteria.remotePorts,
                                           criteria.localRanges, criteria.remoteRanges));
        lines = multiplyVectorContents(std::move(lines), criteria.timeAlternatives);
        return multiplyVectorContents(std::move(lines),
                                      {getJumpRuleInInputOrOutputToGroup(inbound, chain)});
    };
    // One failure ends the group; what stands already belongs to the generation and goes with it.
    auto attempt = [&](const char* ending, auto&& step) {
        try {
            step();
            return true;
        } catch (const SFException&) {
        } catch (const std::exception&) {
        } catch (...) {
        }
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Disabling netfilter group - " + base + ending);
        return false;
    };
    auto runAll = [this](const Lines& lines) {
        for (const std::vector<std::string>& line : lines)
            runCommand(line);
    };

    if (direction == FW_DIRECTION_OUTBOUND) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding Output type Group " + base);
        if (!attempt(" when creating outgoing iptables group due to exception",
                     [&] { addOrDeleteIptablesChain(true, base + "_OUT" + uid); }))
            return false;
        return attempt(" when creating outgoing jump rule to it due to exception",
                       [&] { runAll(buildJumpLines(false)); });
    }

    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding Input type Group " + base);
    if (!attempt(" when creating incoming iptables group due to exception",
                 [&] { addOrDeleteIptablesChain(true, base + "_IN" + uid); }))
        return false;
    if (direction == FW_DIRECTION_INBOUND)
        return attempt(" when creating incoming jump rule to it due to exception",
                       [&] { runAll(buildJumpLines(true)); });

    // Both chains are created before any jump runs, so a failed outbound chain leaves no
    // inbound jump behind.
    Lines inLines;
    if (!attempt(" when creating bidirectional jump rule to it due to exception",
                 [&] { inLines = buildJumpLines(true); }))
        return false;
    if (!attempt(" when creating outgoing iptables group due to exception",
                 [&] { addOrDeleteIptablesChain(true, base + "_OUT" + uid); }))
        return false;
    return attempt(" when creating bidirectional jump rule to it due to exception", [&] {
        const Lines outLines = buildJumpLines(false);
        runAll(inLines);
        runAll(outLines);
    });
}

void SFIptables::deleteNetfilterGroup(std::string group, std::list<SFMatch*> groupMatches)
{
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Group Name " + group);
    const std::string uid = m_configController.getUniqueId();
    for (const SFMatch* match : groupMatches) {
        if (match != nullptr)
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName, matchLogLine(*match));
    }
    const int direction = m_utils.getGroupDirection(groupMatches);
    const std::string base = m_utils.sanitizeChainName(group);

    auto removeChain = [&](bool inbound) {
        const std::string chain = base + (inbound ? "_IN" : "_OUT");
        deleteJumpRuleInInputOrOutputToGroup(inbound, chain);
        deleteAllRulesFromGroup(chain + uid);
        addOrDeleteIptablesChain(false, chain + uid);
    };

    if (direction == FW_DIRECTION_INBOUND || direction == FW_DIRECTION_EITHER)
        removeChain(true);
    if (direction == FW_DIRECTION_EITHER)
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Deleting Output type Group " + base);
    if (direction == FW_DIRECTION_OUTBOUND || direction == FW_DIRECTION_EITHER)
        removeChain(false);
}

} // namespace StatefulFirewall
