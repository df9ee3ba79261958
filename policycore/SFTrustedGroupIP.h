#pragma once

// One trusted network: a single address, a range, a CIDR network or the local subnet.
// Plain data: no lock, no ownership.

#include "SFTypes.h"

#include <string>

namespace StatefulFirewall {

class SFTrustedGroupIP {
public:
    SFTrustedGroupIP();
    SFTrustedGroupIP(const SFTrustedGroupIP& other) = default;
    explicit SFTrustedGroupIP(TrustedIPData data);
    SFTrustedGroupIP& operator=(const SFTrustedGroupIP& other) = default;

    bool setStartIp4Address(const char* dotted);
    bool setEndIp4Address(const char* dotted);
    bool setCidrIPAddress(uint8_t prefix, const char* dotted);
    std::string getStartIp4Address() const;
    std::string getEndIp4Address() const;
    std::string getCidrIPAddress() const;

    const char* getAddressTypeString() const;
    // The address text by type; "NOT SET" for the local subnet and any other type.
    std::string getTrustedIPValueString() const;

    // Two local-subnet (or invalid) entries are never equal.
    bool operator==(const SFTrustedGroupIP& other) const;
    void logTrustedIPDetails() const {}

    int type; // SFwTrustedAddressType
    MatchIpAddressValue value;
};

} // namespace StatefulFirewall
