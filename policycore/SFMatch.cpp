#include "SFMatch.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace StatefulFirewall {

namespace {

const char* const kNotSet = "NOT SET";

// Texts of a small enumeration; values outside it (they come from stores and payloads) give
// "NOT SET" rather than a null pointer that would crash a std::string caller.
template <size_t N>
const char* textOf(const char* const (&texts)[N], int value)
{
    return value >= 0 && static_cast<size_t>(value) < N ? texts[value] : kNotSet;
}

// A fixed character array as text, never reading past its end.
template <size_t N>
std::string boundedText(const char (&chars)[N])
{
    return std::string(chars, strnlen(chars, N));
}

} // namespace

bool parseIp4Text(const char* dotted, uint32_t& address)
{
    if (dotted == nullptr)
        return false;
    in_addr parsed {};
    if (inet_pton(AF_INET, dotted, &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

bool setIp4Address(FwIpAddress& slot, const char* dotted)
{
    uint32_t address = 0;
    if (!parseIp4Text(dotted, address))
        return false;
    slot.family = 4;
    slot.address = address;
    return true;
}

bool setCidrValue(MatchIpAddressValue& value, uint8_t prefix, const char* dotted)
{
    if (!setIp4Address(value.start, dotted))
        return false;
    CreateSubnetMask(&value.subnet, prefix);
    return true;
}

std::string ip4Text(uint32_t address)
{
    in_addr value {};
    value.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof(text));
    return text;
}

void CreateSubnetMask(FwIpMask* mask, uint8_t prefix)
{
    std::memset(mask, 0, sizeof(*mask));
    mask->prefix = prefix > 32 ? 32 : prefix;
    if (mask->prefix != 0)
        mask->mask = htonl(static_cast<uint32_t>(0xFFFFFFFFull << (32 - mask->prefix)));
}

SFMatch::SFMatch() : matchType(0), addressType(0), matchOp(0)
{
    std::memset(&value, 0, sizeof(value));
}

SFMatch::SFMatch(const SFMatch& other)
    : matchType(other.matchType), addressType(other.addressType), matchOp(other.matchOp)
{
    std::memcpy(&value, &other.value, sizeof(value));
}

SFMatch::SFMatch(const KSFMatch& flat)
    : matchType(flat.matchType), addressType(flat.addressType), matchOp(flat.matchOp)
{
    std::memcpy(&value, &flat.value, sizeof(value));
}

SFMatch& SFMatch::operator=(const SFMatch& other)
{
    matchType = other.matchType;
    addressType = other.addressType;
    matchOp = other.matchOp;
    std::memcpy(&value, &other.value, sizeof(value));
    return *this;
}

bool SFMatch::isPortKind(int type)
{
    return type == FW_MATCH_LOCAL_PORT || type == FW_MATCH_REMOTE_PORT ||
           type == FW_MATCH_LOCAL_PORT_2 || type == FW_MATCH_REMOTE_PORT_2;
}

bool SFMatch::isAddressKind(int type)
{
    return type == FW_MATCH_LOCAL_IP_ADDRESS || type == FW_MATCH_REMOTE_IP_ADDRESS ||
           type == FW_MATCH_LOCAL_IP_ADDRESS_2 || type == FW_MATCH_REMOTE_IP_ADDRESS_2;
}

void SFMatch::setPortNumber(uint16_t port, uint16_t lastPort)
{
    value.ports.port = port;
    if (lastPort != 0)
        value.ports.lastPort = lastPort;
}

bool SFMatch::setStartIp4Address(const char* dotted)
{
    return setIp4Address(value.ipValue.start, dotted);
}

bool SFMatch::setEndIp4Address(const char* dotted)
{
    return setIp4Address(value.ipValue.end, dotted);
}

bool SFMatch::setCidrIPAddress(uint8_t prefix, const char* dotted)
{
    return setCidrValue(value.ipValue, prefix, dotted);
}

void SFMatch::CreateSubnetMask(FwIpMask* mask, uint8_t prefix)
{
    StatefulFirewall::CreateSubnetMask(mask, prefix);
}

bool SFMatch::setFQDNString(const char* name)
{
    if (name == nullptr)
        return false;
    std::memset(value.domainName, 0, sizeof(value.domainName));
    std::strncpy(value.domainName, name, sizeof(value.domainName) - 1);
    return true;
}

void SFMatch::setSchedule(MatchSchedule schedule)
{
    value.schedule = schedule;
}

std::string SFMatch::getStartIp4Address() const
{
    return ip4Text(value.ipValue.start.address);
}

std::string SFMatch::getEndIp4Address() const
{
    return ip4Text(value.ipValue.end.address);
}

std::string SFMatch::getCidrIPAddress() const
{
    return getStartIp4Address() + "/" + std::to_string(value.ipValue.subnet.prefix);
}

std::string SFMatch::getDomainName() const
{
    return boundedText(value.domainName);
}

const char* SFMatch::getMatchTypeString() const
{
    static const char* const texts[] = {
        kNotSet,
        "FW_MATCH_LOCAL_PORT",
        "FW_MATCH_LOCAL_IP_ADDRESS",
        "FW_MATCH_REMOTE_PORT",
        "FW_MATCH_REMOTE_IP_ADDRESS",
        "FW_MATCH_DIRECTION",
        "FW_MATCH_LOCAL_IP_ADDRESS",
        "FW_MATCH_REMOTE_IP_ADDRESS",
        "FW_MATCH_LOCAL_PORT",
        "FW_MATCH_REMOTE_PORT",
        "FW_MATCH_PHYSICAL_MEDIUM",
        "FW_MATCH_SCHEDULE",
    };
    return textOf(texts, matchType);
}

const char* SFMatch::getAddressTypeString() const
{
    static const char* const texts[] = {
        kNotSet,
        "FW_ADDRESS_TYPE_SINGLE",
        "FW_ADDRESS_TYPE_IP_RANGE",
        "FW_ADDRESS_TYPE_PORT_RANGE",
        "FW_ADDRESS_TYPE_CIDR",
        "FW_ADDRESS_TYPE_DOMAIN_NAME",
        "FW_ADDRESS_TYPE_TRUSTED",
        "FW_ADDRESS_TYPE_ANY_LOCAL_IP",
        "FW_ADDRESS_TYPE_LOCAL_SUBNET",
        "FW_ADDRESS_TYPE_ANY_IPV4_ADD",
    };
    return textOf(texts, addressType);
}

const char* SFMatch::getMatchOpString() const
{
    static const char* const texts[] = {
        kNotSet,
        "FW_MATCH_OP_EQUAL",
        "FW_MATCH_OP_EQUAL_NOT",
        "FW_MATCH_OP_GEQ",
        "FW_MATCH_OP_LEQ",
        "FW_MATCH_OP_IN_RANGE",
        "FW_MATCH_OP_IN_RANGE_NOT",
        "FW_MATCH_OP_BITMASK",
        "FW_MATCH_OP_BITMASK_NOT",
    };
    return textOf(texts, matchOp);
}

const char* SFMatch::getSFwDirectionString() const
{
    static const char* const texts[] = {
        kNotSet,
        "FW_DIRECTION_INBOUND",
        "FW_DIRECTION_OUTBOUND",
        "FW_DIRECTION_EITHER",
    };
    return textOf(texts, value.intValue);
}

const char* SFMatch::getNwIFString() const
{
    static const char* const texts[] = {
        kNotSet,
        "FW_PHYSICAL_MEDIUM_WIRED",
        "FW_PHYSICAL_MEDIUM_VIRTUAL",
        "FW_PHYSICAL_MEDIUM_WIRELESS",
        "IF_ALL",
    };
    return textOf(texts, value.intValue);
}

std::string SFMatch::getSFwScheduleString() const
{
    const MatchSchedule& s = value.schedule;
    return "startTime: " + boundedText(s.startTime) + "endTime: " + boundedText(s.endTime) +
           "days: " + boundedText(s.days) + "daysMask:" + std::to_string(s.daysMask) +
           "Action: " + std::to_string(s.scheduleAction);
}

std::string SFMatch::getMatchValueString() const
{
    if (isAddressKind(matchType)) {
        switch (addressType) {
        case FW_ADDRESS_TYPE_SINGLE:
            return getStartIp4Address();
        case FW_ADDRESS_TYPE_IP_RANGE:
            return getStartIp4Address() + "-" + getEndIp4Address();
        case FW_ADDRESS_TYPE_CIDR:
            return getCidrIPAddress();
        case FW_ADDRESS_TYPE_DOMAIN_NAME:
            return getDomainName();
        case FW_ADDRESS_TYPE_TRUSTED:
            return "[Trusted]";
        case FW_ADDRESS_TYPE_ANY_LOCAL_IP:
            return "[Any Local Ip Addr]";
        case FW_ADDRESS_TYPE_LOCAL_SUBNET:
            return "[Local Subnet]";
        case FW_ADDRESS_TYPE_ANY_IPV4_ADD:
            return "0.0.0.0-255.255.255.255";
        default:
            return kNotSet;
        }
    }
    if (isPortKind(matchType)) {
        if (addressType == FW_ADDRESS_TYPE_SINGLE)
            return std::to_string(value.ports.port);
        if (addressType == FW_ADDRESS_TYPE_IP_RANGE || addressType == FW_ADDRESS_TYPE_PORT_RANGE)
            return std::to_string(value.ports.port) + "-" + std::to_string(value.ports.lastPort);
        return kNotSet;
    }
    switch (matchType) {
    case FW_MATCH_DIRECTION:
        return getSFwDirectionString();
    case FW_MATCH_PHYSICAL_MEDIUM:
        return getNwIFString();
    case FW_MATCH_SCHEDULE:
        return getSFwScheduleString();
    default:
        return kNotSet;
    }
}

bool SFMatch::operator==(const SFMatch& other) const
{
    if (matchType != other.matchType || addressType != other.addressType ||
        matchOp != other.matchOp)
        return false;
    if (isPortKind(matchType)) {
        if (addressType == FW_ADDRESS_TYPE_SINGLE)
            return value.ports.port == other.value.ports.port;
        if (addressType == FW_ADDRESS_TYPE_PORT_RANGE)
            return value.ports.port == other.value.ports.port &&
                   value.ports.lastPort == other.value.ports.lastPort;
        return true;
    }
    if (isAddressKind(matchType)) {
        switch (addressType) {
        case FW_ADDRESS_TYPE_SINGLE:
            return getStartIp4Address() == other.getStartIp4Address();
        case FW_ADDRESS_TYPE_IP_RANGE:
            return getStartIp4Address() == other.getStartIp4Address() &&
                   getEndIp4Address() == other.getEndIp4Address();
        case FW_ADDRESS_TYPE_CIDR:
            return getCidrIPAddress() == other.getCidrIPAddress();
        case FW_ADDRESS_TYPE_DOMAIN_NAME:
            return strcasecmp(getDomainName().c_str(), other.getDomainName().c_str()) == 0;
        default:
            return true;
        }
    }
    switch (matchType) {
    case FW_MATCH_DIRECTION:
    case FW_MATCH_PHYSICAL_MEDIUM:
        return value.intValue == other.value.intValue;
    case FW_MATCH_SCHEDULE: {
        const MatchSchedule& a = value.schedule;
        const MatchSchedule& b = other.value.schedule;
        return boundedText(a.startTime) == boundedText(b.startTime) &&
               boundedText(a.endTime) == boundedText(b.endTime) && a.daysMask == b.daysMask &&
               a.scheduleAction == b.scheduleAction;
    }
    default:
        return true;
    }
}

} // namespace StatefulFirewall
