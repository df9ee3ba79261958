#pragma once

// One match criterion of a rule or group: what is tested (matchType), how the value is given
// (addressType), the operator and the 256-byte value. Plain data: no lock, no ownership.

#include "SFTypes.h"

#include <string>

namespace StatefulFirewall {

class SFMatch {
public:
    SFMatch();
    SFMatch(const SFMatch& other);
    explicit SFMatch(const KSFMatch& flat);
    SFMatch& operator=(const SFMatch& other);

    // Stores port; lastPort only when it is not 0.
    void setPortNumber(uint16_t port, uint16_t lastPort);
    // Parse dotted IPv4 text into the start (end) slot; false, changing nothing, when the text
    // is null or does not parse.
    bool setStartIp4Address(const char* dotted);
    bool setEndIp4Address(const char* dotted);
    bool setCidrIPAddress(uint8_t prefix, const char* dotted);
    // Zeroes the mask, stores min(prefix, 32) and the matching netmask in network order.
    static void CreateSubnetMask(FwIpMask* mask, uint8_t prefix);
    // Copies at most 255 characters; false for null.
    bool setFQDNString(const char* name);
    void setSchedule(MatchSchedule schedule);

    std::string getStartIp4Address() const;
    std::string getEndIp4Address() const;
    std::string getCidrIPAddress() const; // "a.b.c.d/prefix"
    std::string getDomainName() const;

    const char* getMatchTypeString() const;
    const char* getAddressTypeString() const;
    const char* getMatchOpString() const;
    const char* getSFwDirectionString() const;
    const char* getNwIFString() const;
    std::string getSFwScheduleString() const;
    std::string getMatchValueString() const;

    bool operator==(const SFMatch& other) const;
    void logMatchDetails() const {}

    // True for the kinds that carry ports (1, 3, 8, 9) or addresses (2, 4, 6, 7).
    static bool isPortKind(int matchType);
    static bool isAddressKind(int matchType);

    int matchType;
    int addressType;
    int matchOp;
    MatchDataType value;
};

// Same as SFMatch::CreateSubnetMask; used for trusted networks.
void CreateSubnetMask(FwIpMask* mask, uint8_t prefix);

// Parses dotted IPv4 text into network order; false for null or unparsable text.
bool parseIp4Text(const char* dotted, uint32_t& address);
// Store dotted IPv4 text into an address slot (family 4), or into a value's start address and
// mask; false, changing nothing, for null or unparsable text. Shared by matches and trusted
// networks, which hold the same value record.
bool setIp4Address(FwIpAddress& slot, const char* dotted);
bool setCidrValue(MatchIpAddressValue& value, uint8_t prefix, const char* dotted);
// Dotted text of an IPv4 address held in network order.
std::string ip4Text(uint32_t address);

} // namespace StatefulFirewall
