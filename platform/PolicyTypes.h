#pragma once

// The policy records the agent hands to its policy plug-in through ISectionsHandle: the
// identifier of one policy object, its content, and one setting of it.

#include <list>
#include <string>

namespace ZAV {

// How a plug-in's key reader hands a value back: as a 32-bit integer or as text.
enum VALUETYPE {
    VALUETYPE_INT = 0,
    VALUETYPE_STRING = 1,
};

// Identifier of one policy object. Ordered by its three texts, in this order, byte-wise.
struct PolicyObject {
    std::string featureId;
    std::string categoryId;
    std::string typeId;

    bool operator<(const PolicyObject& other) const;
    bool operator==(const PolicyObject& other) const;
};

// One setting of a policy object: six texts, the fifth the setting type, the sixth its name.
// Ordered by the six texts joined into one text, compared byte-wise (a proper prefix first):
// plug-ins key maps by this order, so two settings whose joined texts are equal are one setting.
struct PolicySetting {
    std::string featureId;
    std::string categoryId;
    std::string typeId;
    std::string settingId;
    std::string settingType;
    std::string settingName;

    std::string joined() const;
    bool operator<(const PolicySetting& other) const;
};

// One policy object's content. The first three texts repeat the object's identifier; plug-ins
// read only the policy name and the settings.
struct PolicyInfo {
    std::string featureId;
    std::string categoryId;
    std::string typeId;
    std::string policyName;
    std::list<PolicySetting> settings;
};

} // namespace ZAV
