#pragma once

// The handle through which the agent hands a policy to its policy plug-in and collects the
// properties of its property plug-in. Valid only during the plug-in call it is passed to.

#include "PolicyTypes.h"

#include <map>
#include <string>

namespace ZAV {

class ISectionsHandle {
public:
    virtual ~ISectionsHandle() = default;

    // The value of a key in a named section; found tells whether the key exists at all.
    virtual std::string getValue(const std::string& section, const std::string& key,
                                 bool& found) const = 0;
    // The value of a key in a named section of one setting.
    virtual std::string getValue(const PolicySetting& setting, const std::string& section,
                                 const std::string& key, bool& found) const = 0;
    // The content of one policy object; an unknown object gives an empty record.
    virtual PolicyInfo getPolicyInfo(const PolicyObject& object) const = 0;
    // Every policy object of the policy.
    virtual std::map<PolicyObject, PolicyInfo> getPolicyObjects() const = 0;

    // Adds one reported property.
    virtual void addProperty(const std::string& section, const std::string& name,
                             const std::string& value) = 0;
};

} // namespace ZAV
