#pragma once

// Turns match values into the texts the iptables command lines carry: dotted addresses, CIDR
// texts, and chain and rule names reduced to what iptables accepts in a chain name or a LOG
// prefix. No state: create one on the stack where needed; safe from any thread.

#include "SFTypes.h"

#include <list>
#include <string>

namespace StatefulFirewall {

class SFMatch;

class SFIptablesUtils {
public:
    // Dotted text of the start (end) slot; the address is held in network order.
    std::string getStartIp4Address(MatchIpAddressValue value) const;
    std::string getEndIp4Address(MatchIpAddressValue value) const;
    // Start address as stored (not masked to its network), "/", prefix length in decimal.
    std::string getCidrIPAddress(MatchIpAddressValue value) const;

    // The first 13 bytes, every byte other than an ASCII letter or digit turned into "_".
    // 13 leaves room for "_OUT" and an id text of up to 11 bytes within iptables' 28.
    std::string sanitizeChainName(std::string name) const;
    // The same with the first 20 bytes, for LOG prefixes.
    std::string sanitizeRuleName(std::string name) const;

    // The direction of a group: the value of its last direction match, 3 (either) without one.
    // Group chains and the rules added to them must agree on it, so both take it from here.
    int getGroupDirection(const std::list<SFMatch*>& matches) const;
};

} // namespace StatefulFirewall
