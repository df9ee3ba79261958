#include "SFIptablesUtils.h"

#include "SFMatch.h"

#include <utility>

namespace StatefulFirewall {

namespace {

constexpr std::string::size_type CHAIN_BASE_MAX = 13;
constexpr std::string::size_type RULE_NAME_MAX = 20;

// Byte by byte, so a multi-byte character becomes one "_" per byte and the length is kept;
// the locale must not decide what counts as a letter.
std::string cutAndReplace(std::string name, std::string::size_type maxBytes)
{
    if (name.size() > maxBytes)
        name.resize(maxBytes);
    for (char& c : name) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                   (c >= '0' && c <= '9');
        if (!letterOrDigit)
            c = '_';
    }
    return name;
}

} // namespace

std::string SFIptablesUtils::getStartIp4Address(MatchIpAddressValue value) const
{
    return ip4Text(value.start.address);
}

std::string SFIptablesUtils::getEndIp4Address(MatchIpAddressValue value) const
{
    return ip4Text(value.end.address);
}

std::string SFIptablesUtils::getCidrIPAddress(MatchIpAddressValue value) const
{
    // prefix is a byte: widen it so it prints as a number, not as a character.
    return ip4Text(value.start.address) + "/" +
           std::to_string(static_cast<unsigned>(value.subnet.prefix));
}

std::string SFIptablesUtils::sanitizeChainName(std::string name) const
{
    return cutAndReplace(std::move(name), CHAIN_BASE_MAX);
}

std::string SFIptablesUtils::sanitizeRuleName(std::string name) const
{
    return cutAndReplace(std::move(name), RULE_NAME_MAX);
}

int SFIptablesUtils::getGroupDirection(const std::list<SFMatch*>& matches) const
{
    int direction = FW_DIRECTION_EITHER;
    for (const SFMatch* match : matches) {
        if (match != nullptr && match->matchType == FW_MATCH_DIRECTION)
            direction = match->value.intValue;
    }
    return direction;
}

} // namespace StatefulFirewall
