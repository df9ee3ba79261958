#pragma once

// The sections handle of our stand-in agents: a policy read from text, and the properties a
// property plug-in adds. Not thread-safe: it lives for one plug-in call on one thread.
//
// Policy text, one directive a line; a value runs to the end of its line; lines starting with
// '#' and blank lines are ignored; a later line for the same key replaces an earlier one:
//   software <id>                        the software the policy is for
//   section <name> <key>=<value>         a key of a named section
//   object <feature>|<category>|<type>|<policy name>
//   setting <t1>|<t2>|<t3>|<t4>|<type>|<name>   a setting of the last object
//   key <section> <key>=<value>          a key of a section of the last setting

#include "ISectionsHandle.h"

#include <map>
#include <string>
#include <vector>

namespace ZAV {

class ILogger;

class StandInSectionsHandle : public ISectionsHandle {
public:
    struct Property {
        std::string section;
        std::string name;
        std::string value;
    };

    // Reads policy text. softwareId keeps its value unless a software line sets it. Bad lines
    // are logged at level 2 under component, naming source and the line number, and skipped.
    void readPolicyText(const std::string& text, const std::string& source, ILogger& logger,
                        const std::string& component, std::string& softwareId);

    std::string getValue(const std::string& section, const std::string& key,
                         bool& found) const override;
    std::string getValue(const PolicySetting& setting, const std::string& section,
                         const std::string& key, bool& found) const override;
    PolicyInfo getPolicyInfo(const PolicyObject& object) const override;
    std::map<PolicyObject, PolicyInfo> getPolicyObjects() const override;
    void addProperty(const std::string& section, const std::string& name,
                     const std::string& value) override;

    // The properties added, in call order.
    const std::vector<Property>& properties() const { return m_properties; }

private:
    using Keys = std::map<std::string, std::string>;
    using Sections = std::map<std::string, Keys>;

    // Empty when the line was taken, else why it was not.
    std::string readLine(const std::string& line, std::string& softwareId);

    Sections m_sections;
    std::map<PolicySetting, Sections> m_settingSections;
    std::map<PolicyObject, PolicyInfo> m_objects;
    bool m_hasObject = false;
    PolicyObject m_lastObject;
    bool m_hasSetting = false;
    PolicySetting m_lastSetting;
    std::vector<Property> m_properties;
};

} // namespace ZAV
