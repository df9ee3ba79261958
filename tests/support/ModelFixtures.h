#pragma once

// Identifiers and store readers shared by the rule-model tests.

#include "CommonFunc.h"
#include "SFStoreCodec.h"
#include "SFTrustedGroupIP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

namespace TestSupport {
namespace model {

inline StatefulFirewall::GUID idOf(const char* text)
{
    return StatefulFirewall::CommonFunc::getGUIDFromString(text);
}

inline const StatefulFirewall::GUID kDefault = idOf(StatefulFirewall::SF_DEFAULT_GROUP_ID);
inline const StatefulFirewall::GUID kClient = idOf(StatefulFirewall::SF_CLIENT_GROUP_ID);
inline const StatefulFirewall::GUID kAdaptive = idOf(StatefulFirewall::SF_ADAPTIVE_GROUP_ID);
inline const StatefulFirewall::GUID kAgent = idOf(StatefulFirewall::SF_AGENT_GROUP_ID);

// Value texts of the entries a trusted-network store file holds; a failure to decode fails
// the test.
inline std::vector<std::string> storedValues(const std::string& path)
{
    std::list<StatefulFirewall::SFTrustedGroupIP*> list;
    std::vector<std::string> values;
    try {
        StatefulFirewall::decodeTrustedStore(readFile(path), list);
        for (const StatefulFirewall::SFTrustedGroupIP* entry : list)
            values.push_back(entry->getTrustedIPValueString());
    } catch (const std::exception& e) {
        ADD_FAILURE() << path << " does not decode: " << e.what();
    }
    for (StatefulFirewall::SFTrustedGroupIP* entry : list)
        delete entry;
    return values;
}

} // namespace model
} // namespace TestSupport
