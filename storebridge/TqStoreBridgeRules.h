#pragma once

// Writes a rule table as the current rule store (see TqStoreBridgeOutput.h for how the file is
// written and failures reported).
//
// Ownership: the table stays the caller's and is only read. Thread safety: encoding takes the
// model's class-wide mutexes (table, group, rule), so never call it holding one of them.

#include <string>

namespace StatefulFirewall {

class SFRuleTable;

class TqStoreBridgeRules {
public:
    TqStoreBridgeRules();
    ~TqStoreBridgeRules();

    // 0 when path now holds the table, 1 after a failure (reported on standard error).
    int saveRuleStore(SFRuleTable& table, std::string& path);
};

} // namespace StatefulFirewall
