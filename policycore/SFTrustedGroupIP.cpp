#include "SFTrustedGroupIP.h"

#include "SFMatch.h"

#include <cstring>

namespace StatefulFirewall {

SFTrustedGroupIP::SFTrustedGroupIP() : type(FW_TRUSTED_ADDRESS_TYPE_INVALID)
{
    std::memset(&value, 0, sizeof(value));
}

SFTrustedGroupIP::SFTrustedGroupIP(TrustedIPData data) : type(data.type)
{
    std::memcpy(&value, &data.value, sizeof(value));
}

bool SFTrustedGroupIP::setStartIp4Address(const char* dotted)
{
    return setIp4Address(value.start, dotted);
}

bool SFTrustedGroupIP::setEndIp4Address(const char* dotted)
{
    return setIp4Address(value.end, dotted);
}

bool SFTrustedGroupIP::setCidrIPAddress(uint8_t prefix, const char* dotted)
{
    return setCidrValue(value, prefix, dotted);
}

std::string SFTrustedGroupIP::getStartIp4Address() const
{
    return ip4Text(value.start.address);
}

std::string SFTrustedGroupIP::getEndIp4Address() const
{
    return ip4Text(value.end.address);
}

std::string SFTrustedGroupIP::getCidrIPAddress() const
{
    return getStartIp4Address() + "/" + std::to_string(value.subnet.prefix);
}

const char* SFTrustedGroupIP::getAddressTypeString() const
{
    switch (type) {
    case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
        return "FW_TRUSTED_ADDRESS_TYPE_SINGLE";
    case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
        return "FW_TRUSTED_ADDRESS_TYPE_IP_RANGE";
    case FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET:
        return "FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET";
    case FW_TRUSTED_ADDRESS_TYPE_CIDR:
        return "FW_TRUSTED_ADDRESS_TYPE_CIDR";
    default:
        // Out-of-range types come from stores; a null pointer would crash a std::string caller.
        return "NOT SET";
    }
}

std::string SFTrustedGroupIP::getTrustedIPValueString() const
{
    switch (type) {
    case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
        return getStartIp4Address();
    case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
        return getStartIp4Address() + "-" + getEndIp4Address();
    case FW_TRUSTED_ADDRESS_TYPE_CIDR:
        return getCidrIPAddress();
    default:
        return "NOT SET";
    }
}

bool SFTrustedGroupIP::operator==(const SFTrustedGroupIP& other) const
{
    if (type != other.type)
        return false;
    switch (type) {
    case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
        return getStartIp4Address() == other.getStartIp4Address();
    case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
        return getStartIp4Address() == other.getStartIp4Address() &&
               getEndIp4Address() == other.getEndIp4Address();
    case FW_TRUSTED_ADDRESS_TYPE_CIDR:
        return getCidrIPAddress() == other.getCidrIPAddress();
    default:
        // Local-subnet entries stand for whatever the local networks are at the time; the
        // trusted-network manager decides about duplicates of them itself.
        return false;
    }
}

} // namespace StatefulFirewall
