// Match translation: address, port and schedule criteria into iptables words, the multiport
// split, the combination of one direction's alternatives and the trusted-network texts.
// Nothing here runs a command.

#include "SFIptables.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "INwIFManager.h"
#include "SFMatch.h"
#include "SFTrustedGroupIP.h"

#include <cstring>
#include <map>
#include <sstream>
#include <utility>

namespace StatefulFirewall {

namespace {

// iptables' multiport match takes at most 15 ports, a range taking two of them.
constexpr int MULTIPORT_MAX_SLOTS = 15;

constexpr int DEBUG_LEVEL = 6;

// A fixed character array as text, never reading past its end even without a terminator.
template <size_t N>
std::string boundedText(const char (&chars)[N])
{
    return std::string(chars, strnlen(chars, N));
}

} // namespace

bool SFIptables::addIpAddressParams(SFwMatchFormat format, MatchDataType& value,
                                    std::vector<std::string>* addresses,
                                    std::vector<std::string>* ranges,
                                    std::vector<std::string>* trusted, bool* localSubnetAdded)
{
    const std::map<std::string, std::string> subnets = m_nwIfManager.getUniqueSubnets();
    const std::map<std::string, std::string> localAddresses = m_nwIfManager.getUniqueIpAddresses();
    const bool trustLocalSubnet = m_configController.getShouldTrustLocalSubnet();

    auto log = [this](const std::string& message) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, message);
    };

    bool valid = false;
    switch (format) {
    case FW_ADDRESS_TYPE_SINGLE: {
        const std::string text = m_utils.getStartIp4Address(value.ipValue);
        addresses->push_back(text);
        log("Adding Ip Address - " + text);
        valid = true;
        break;
    }
    case FW_ADDRESS_TYPE_IP_RANGE: {
        const std::string text = m_utils.getStartIp4Address(value.ipValue) + "-" +
                                 m_utils.getEndIp4Address(value.ipValue);
        ranges->push_back(text);
        log("Adding Ip Address Range - " + text);
        valid = true;
        break;
    }
    case FW_ADDRESS_TYPE_CIDR: {
        const std::string text = m_utils.getCidrIPAddress(value.ipValue);
        addresses->push_back(text);
        log("Adding Ip CIDR - " + text);
        valid = true;
        break;
    }
    case FW_ADDRESS_TYPE_DOMAIN_NAME: {
        const std::string name = boundedText(value.domainName);
        addresses->push_back(name);
        log("Adding Domain Name - " + name);
        valid = true;
        break;
    }
    case FW_ADDRESS_TYPE_TRUSTED: {
        log("Adding Trusted Ip List");
        if (trusted == nullptr || trusted->empty()) {
            log("Trusted Ip Address List is empty, this match type may get ignored");
        } else {
            for (const std::string& text : *trusted) {
                if (text.find('-') == std::string::npos) {
                    addresses->push_back(text);
                    log("Adding Trusted Single Ip / CIDR - " + text);
                } else {
                    ranges->push_back(text);
                    log("Adding Trusted Ip Address Range - " + text);
                }
            }
            valid = true;
        }
        // The flag keeps a side from carrying the subnets twice when it holds a trusted and a
        // local-subnet match.
        if (trustLocalSubnet && !*localSubnetAdded && !subnets.empty()) {
            log("Loal subnet is enabled for Trusted Ip List. This is a valid match type and will "
                "not get ignored");
            *localSubnetAdded = true;
            for (const auto& subnet : subnets) {
                addresses->push_back(subnet.first);
                log("Adding Local Subnet inside trusted network match type - " + subnet.first);
            }
            valid = true;
        }
        break;
    }
    case FW_ADDRESS_TYPE_ANY_LOCAL_IP:
        if (localAddresses.empty()) {
            log("Local Ip Address list is empty, this match type will get ignored");
            break;
        }
        for (const auto& address : localAddresses) {
            addresses->push_back(address.first);
            log("Adding Local Ip Address - " + address.first);
        }
        valid = true;
        break;
    case FW_ADDRESS_TYPE_LOCAL_SUBNET:
        if (*localSubnetAdded)
            break;
        if (subnets.empty()) {
            log("Local Subnet list is empty, this match type will get ignored");
            break;
        }
        *localSubnetAdded = true;
        for (const auto& subnet : subnets) {
            addresses->push_back(subnet.first);
            log("Adding Local Subnet - " + subnet.first);
        }
        valid = true;
        break;
    case FW_ADDRESS_TYPE_ANY_IPV4_ADD:
        addresses->push_back("0.0.0.0/0");
        log("Adding specifically 0.0.0.0/0 for Any match type");
        valid = true;
        break;
    default:
        log("Unknown Ip Address Type - " + std::to_string(static_cast<int>(format)));
        break;
    }
    log(std::string("Result of match type addition is - ") + (valid ? "1" : "0"));
    return valid;
}

void SFIptables::addPortParams(SFwMatchFormat format, MatchDataType& value,
                               std::vector<std::string>* ports)
{
    if (format == FW_ADDRESS_TYPE_SINGLE) {
        const std::string text = std::to_string(value.ports.port);
        ports->push_back(text);
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding Port - " + text);
    } else if (format == FW_ADDRESS_TYPE_PORT_RANGE) {
        const std::string text =
            std::to_string(value.ports.port) + ":" + std::to_string(value.ports.lastPort);
        ports->push_back(text);
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding Port Range - " + text);
    } else {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Unknown Port Type - " + std::to_string(static_cast<int>(format)));
    }
}

void SFIptables::addTimeParams(const MatchSchedule& schedule,
                               std::vector<std::vector<std::string>>& timeAlternatives,
                               bool& reverse)
{
    std::vector<std::string> run = {"-m", "time"};
    if (schedule.scheduleAction == FW_SCHEDULE_ACTION_REVERSE) {
        reverse = true;
    } else if (schedule.scheduleAction != FW_SCHEDULE_ACTION_DISABLE) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Unknown action -" + std::to_string(schedule.scheduleAction));
        return;
    }
    const std::string start = boundedText(schedule.startTime);
    const std::string end = boundedText(schedule.endTime);
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding Start Time - " + start);
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Adding End Time - " + end);
    // The stop second 59 keeps the whole last minute inside the schedule.
    run.insert(run.end(), {"--timestart", start + ":00", "--timestop", end + ":59", "--weekdays",
                           boundedText(schedule.days)});
    // Both spellings ask for the kernel's time zone instead of UTC; time modules without
    // --kerneltz know only the older --localtz.
    run.push_back(m_configController.getKerneltzSupportStatus() ? "--kerneltz" : "--localtz");
    timeAlternatives.push_back(std::move(run));
}

std::vector<std::vector<std::string>> SFIptables::splitMultiPortData(bool sourcePorts,
                                                                     std::vector<std::string> ports)
{
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Splitting ports for multiport module");
    std::vector<std::vector<std::string>> groups;
    std::vector<std::string> group;
    int slots = 0;
    size_t placed = 0;

    auto close = [&]() {
        groups.push_back(
            {"-m", "multiport", sourcePorts ? "--sport" : "--dport", vectorToString(group)});
        group.clear();
        slots = 0;
    };

    for (const std::string& port : ports) {
        const int width = port.find(':') == std::string::npos ? 1 : 2;
        if (!group.empty() && slots + width > MULTIPORT_MAX_SLOTS) {
            close();
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                                "Completed splitting only " + std::to_string(placed) +
                                    "ports after reaching maximum in multiport module. "
                                    "Continuing splitting");
        }
        group.push_back(port);
        slots += width;
        ++placed;
    }
    if (!group.empty())
        close();
    m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                        "Completed splitting all ports.ported in multiport module");
    return groups;
}

std::vector<std::vector<std::string>>
SFIptables::getIpAndPortParams(bool inbound, std::vector<std::string> localAddresses,
                               std::vector<std::string> remoteAddresses,
                               std::vector<std::string> localPorts,
                               std::vector<std::string> remotePorts,
                               std::vector<std::string> localRanges,
                               std::vector<std::string> remoteRanges)
{
    // Inbound traffic arrives at the local side, so the local side is the destination.
    const std::string localAddressFlag = inbound ? "-d" : "-s";
    const std::string remoteAddressFlag = inbound ? "-s" : "-d";
    const std::string localRangeFlag = inbound ? "--dst-range" : "--src-range";
    const std::string remoteRangeFlag = inbound ? "--src-range" : "--dst-range";

    std::vector<std::vector<std::string>> local;
    std::vector<std::vector<std::string>> remote;

    if (!localAddresses.empty()) {
        const std::string joined = vectorToString(localAddresses);
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Processing Local Ip Address - " + joined);
        local.push_back({localAddressFlag, joined});
    }
    if (!remoteAddresses.empty()) {
        const std::string joined = vectorToString(remoteAddresses);
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Processing Remote Ip Address - " + joined);
        remote.push_back({remoteAddressFlag, joined});
    }
    // One iprange match takes one range, so every range is an alternative of its own.
    if (!localRanges.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Processing Local Ip Range - " + vectorToString(localRanges));
        for (const std::string& range : localRanges)
            local.push_back({"-m", "iprange", localRangeFlag, range});
    }
    if (!remoteRanges.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Processing Remote Ip Range - " + vectorToString(remoteRanges));
        for (const std::string& range : remoteRanges)
            remote.push_back({"-m", "iprange", remoteRangeFlag, range});
    }

    std::vector<std::vector<std::string>> result;
    if (!local.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Saved Local Ip Address information");
        result = multiplyVectorContents(std::move(result), std::move(local));
    }
    if (!remote.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Saved Remote Ip Address information");
        result = multiplyVectorContents(std::move(result), std::move(remote));
    }
    if (!localPorts.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Processing Local Ports for multiple ports");
        result = multiplyVectorContents(std::move(result),
                                        splitMultiPortData(!inbound, std::move(localPorts)));
    }
    if (!remotePorts.empty()) {
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                            "Processing Remote Ports for multiple ports");
        result = multiplyVectorContents(std::move(result),
                                        splitMultiPortData(inbound, std::move(remotePorts)));
    }
    return result;
}

std::vector<std::vector<std::string>>
SFIptables::multiplyVectorContents(std::vector<std::vector<std::string>> a,
                                   std::vector<std::vector<std::string>> b)
{
    // An empty side adds no dimension rather than wiping out the other one.
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    std::vector<std::vector<std::string>> product;
    product.reserve(a.size() * b.size());
    for (const std::vector<std::string>& first : a) {
        for (const std::vector<std::string>& second : b) {
            std::vector<std::string> run = first;
            run.insert(run.end(), second.begin(), second.end());
            product.push_back(std::move(run));
        }
    }
    return product;
}

std::vector<std::string>
SFIptables::getTrustedNetworkParams(std::list<SFTrustedGroupIP*> trustedNetworks)
{
    std::vector<std::string> texts;
    for (const SFTrustedGroupIP* entry : trustedNetworks) {
        if (entry == nullptr)
            continue;
        const std::string text = entry->getTrustedIPValueString();
        m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Trusted Ip String " + text);
        switch (entry->type) {
        case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
            texts.push_back(text);
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "Single Trusted Network Address type");
            break;
        case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
            texts.push_back(text);
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                                "Ip Range Trusted Network Address type");
            break;
        case FW_TRUSTED_ADDRESS_TYPE_CIDR:
            texts.push_back(text);
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName, "CIDR Trusted Network Address type");
            break;
        default:
            // Local subnets reach the rules through the trust-local-subnet setting instead.
            m_logger.logMessage(DEBUG_LEVEL, m_moduleName,
                                "Unknown Trusted Network Address type");
            break;
        }
    }
    return texts;
}

const SFMatch* SFIptables::findNegatedMatch(const std::list<SFMatch*>& matches)
{
    for (const SFMatch* match : matches) {
        if (match != nullptr &&
            (match->matchOp == FW_MATCH_OP_EQUAL_NOT || match->matchOp == FW_MATCH_OP_IN_RANGE_NOT ||
             match->matchOp == FW_MATCH_OP_BITMASK_NOT))
            return match;
    }
    return nullptr;
}

SFIptables::ProtocolWords SFIptables::appendProtocolWords(std::vector<std::string>& baseLine,
                                                          int transport, int icmpType)
{
    switch (transport) {
    case FW_TRANS_PROTO_TCP:
        baseLine.insert(baseLine.end(), {"-p", "tcp", "-m", "state", "--state", "NEW"});
        return ProtocolWords::Known;
    case FW_TRANS_PROTO_UDP:
        baseLine.insert(baseLine.end(), {"-p", "udp"});
        return ProtocolWords::Known;
    case FW_TRANS_PROTO_ICMP: {
        std::ostringstream typeText;
        typeText << icmpType;
        if (!typeText)
            return ProtocolWords::BadIcmpType;
        baseLine.insert(baseLine.end(), {"-p", "icmp", "--icmp-type",
                                         icmpType == FW_ICMP_ANY ? std::string("any") : typeText.str()});
        return ProtocolWords::Known;
    }
    case FW_TRANS_PROTO_ANY:
        return ProtocolWords::Known;
    default:
        baseLine.insert(baseLine.end(), {"-p", std::to_string(transport)});
        return ProtocolWords::Unknown;
    }
}

bool SFIptables::addMatchToCriteria(SFMatch& match, std::vector<std::string>& trusted,
                                    SFMatchCriteria& c)
{
    const auto format = static_cast<SFwMatchFormat>(match.addressType);
    switch (match.matchType) {
    case FW_MATCH_LOCAL_PORT:
        addPortParams(format, match.value, &c.localPorts);
        return true;
    case FW_MATCH_REMOTE_PORT:
        addPortParams(format, match.value, &c.remotePorts);
        return true;
    case FW_MATCH_LOCAL_IP_ADDRESS:
        c.localPresent = true;
        c.localValid = addIpAddressParams(format, match.value, &c.localAddresses, &c.localRanges,
                                          &trusted, &c.localSubnetAdded) ||
                       c.localValid;
        return true;
    case FW_MATCH_REMOTE_IP_ADDRESS:
        c.remotePresent = true;
        c.remoteValid = addIpAddressParams(format, match.value, &c.remoteAddresses,
                                           &c.remoteRanges, &trusted, &c.remoteSubnetAdded) ||
                        c.remoteValid;
        return true;
    case FW_MATCH_DIRECTION:
        c.direction = match.value.intValue;
        return true;
    case FW_MATCH_SCHEDULE:
        addTimeParams(match.value.schedule, c.timeAlternatives, c.reverse);
        return true;
    default:
        return false;
    }
}

} // namespace StatefulFirewall
