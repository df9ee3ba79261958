#pragma once

// Model objects for the store-migration tests: a rule table that uses every match kind and
// format the stores know, and a trusted-network list with every entry type.

#include "SFRuleTable.h"
#include "SFTrustedGroupIP.h"

#include <list>
#include <memory>

namespace TestSupport {
namespace migration {

// The four fixed identifiers; a default group with a kept jump rule; group "Office"
// (identifier 0a0a0a0a-1111-2222-83f4-ffeeddccbbaa, Data4 bytes of 0x80 and more) with group
// matches and three rules: ports of every kind (single, range and a format that carries no
// value), addresses (single, range, CIDR, domain name and the four formats without a value),
// and direction, medium and schedule. Some rules have the treat-as-intrusion flag set, adaptive
// keys 4294967295 and 77.
std::unique_ptr<StatefulFirewall::SFRuleTable> sampleTable();
// The same identifier as sampleTable's "Office" group.
StatefulFirewall::GUID officeGroupId();

// Owns its entries.
struct TrustedSample {
    TrustedSample();
    ~TrustedSample();
    TrustedSample(const TrustedSample&) = delete;
    TrustedSample& operator=(const TrustedSample&) = delete;
    // 10.1.2.3, 10.0.0.1-10.0.0.9, 192.168.0.0/24 and the local-subnet entry.
    std::list<StatefulFirewall::SFTrustedGroupIP*> entries;
};

} // namespace migration
} // namespace TestSupport
