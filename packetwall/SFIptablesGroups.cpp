// Group chains: one chain per direction for every group the default group jumps to, reached from
// the generation's top chains by jump lines that carry the group's own criteria.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFMatch.h"

#include <exception>
#include <sstream>
#include <utility>

namespace StatefulFirewall {

namespace {

using Lines = std::vector<std::vector<std::string>>;

constexpr int INFO_LEVEL = 5;
constexpr int DEBUG_LEVEL = 6;

// The words built here have no negated form; enforcing a negated match as an equal one would
// turn its meaning around, so a group or rule holding one is refused instead.
bool isNegated(int matchOp)
{
    return matchOp == FW_MATCH_OP_EQUAL_NOT || matchOp == FW_MATCH_OP_IN_RANGE_NOT ||
           matchOp == FW_MATCH_OP_BITMASK_NOT;
}

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

    for (const SFMatch* match : groupMatches) {
        if (match != nullptr && isNegated(match->matchOp)) {
            m_logger.logMessage(INFO_LEVEL, m_moduleName,
                                "Not creating netfilter group - " + group +
                                    " as match operator " + std::to_string(match->matchOp) +
                                    " is not supported");
            return false;
        }
    }

    if (netProtocol != NET_PROTO_ANY && netProtocol != NET_PROTO_IP) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Exception NETWORK PROTOCOL - Unsupported Network protocol. Not "
                            "creating netfilter group - " +
                                group + " as Network protocol for this group is unsupported");
        return false;
    }

    std::vector<std::string> baseLine = {SF_IPTABLES_PATH};
    switch (transport) {
    case FW_TRANS_PROTO_TCP:
        baseLine.insert(baseLine.end(), {"-p", "tcp", "-m", "state", "--state", "NEW"});
        break;
    case FW_TRANS_PROTO_UDP:
        baseLine.insert(baseLine.end(), {"-p", "udp"});
        break;
    case FW_TRANS_PROTO_ICMP: {
        std::ostringstream typeText;
        typeText << static_cast<int>(icmpType);
        if (!typeText) {
            m_logger.logMessage(INFO_LEVEL, m_moduleName,
                                "Exception ICMP TYPE - Casting error. Not creating netfilter "
                                "group - " +
                                    group + " as Message type is not known");
            return false;
        }
        baseLine.insert(baseLine.end(),
                        {"-p", "icmp", "--icmp-type",
                         icmpType == FW_ICMP_ANY ? std::string("any") : typeText.str()});
        break;
    }
    case FW_TRANS_PROTO_ANY:
        break;
    default:
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Unknown Transport protocol. Creating netfilter group - " + group +
                                " even though Transport protocol for this group is unknown");
        baseLine.insert(baseLine.end(), {"-p", std::to_string(static_cast<int>(transport))});
        break;
    }

    const std::string uid = m_configController.getUniqueId();

    std::vector<std::string> localAddresses, localRanges, remoteAddresses, remoteRanges;
    std::vector<std::string> localPorts, remotePorts;
    Lines timeAlternatives;
    bool localSubnetAdded = false, remoteSubnetAdded = false, reverse = false;
    bool localPresent = false, localValid = false, remotePresent = false, remoteValid = false;

    for (SFMatch* match : groupMatches) {
        if (match == nullptr)
            continue;
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, matchLogLine(*match));
        const auto format = static_cast<SFwMatchFormat>(match->addressType);
        switch (match->matchType) {
        case FW_MATCH_LOCAL_PORT:
            addPortParams(format, match->value, &localPorts);
            break;
        case FW_MATCH_REMOTE_PORT:
            addPortParams(format, match->value, &remotePorts);
            break;
        case FW_MATCH_LOCAL_IP_ADDRESS:
            localPresent = true;
            localValid = addIpAddressParams(format, match->value, &localAddresses, &localRanges,
                                            &trusted, &localSubnetAdded) ||
                         localValid;
            break;
        case FW_MATCH_REMOTE_IP_ADDRESS:
            remotePresent = true;
            remoteValid = addIpAddressParams(format, match->value, &remoteAddresses,
                                             &remoteRanges, &trusted, &remoteSubnetAdded) ||
                          remoteValid;
            break;
        case FW_MATCH_DIRECTION:
            // Taken from the utilities below, so rules added later agree with the chains.
            break;
        case FW_MATCH_SCHEDULE:
            // Groups have no reverse lines; the flag is collected and dropped.
            addTimeParams(match->value.schedule, timeAlternatives, reverse);
            break;
        default:
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                                "Ignoring Unknown Match type in the netfilter group - " + group);
            break;
        }
    }

    if (localPresent && !localValid) {
        m_logger.logMessage(INFO_LEVEL, m_moduleName,
                            "Not creating netfilter group - " + group +
                                " as none of the local match types were valid for this group");
        return false;
    }
    if (remotePresent && !remoteValid) {
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
            {baseLine}, getIpAndPortParams(inbound, localAddresses, remoteAddresses, localPorts,
                                           remotePorts, localRanges, remoteRanges));
        lines = multiplyVectorContents(std::move(lines), timeAlternatives);
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
