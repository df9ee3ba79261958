#include "StandInSectionsHandle.h"

#include "ILogger.h"
#include "SpoolLines.h"

#include <sstream>

namespace ZAV {

namespace {

// Splits text at the first n - 1 separators, so the last field keeps any further separator.
bool splitFields(const std::string& text, size_t n, std::vector<std::string>& fields)
{
    fields.clear();
    size_t start = 0;
    while (fields.size() + 1 < n) {
        const size_t bar = text.find('|', start);
        if (bar == std::string::npos)
            return false;
        fields.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    fields.push_back(text.substr(start));
    return true;
}

// "<section> <key>=<value>": the section is one word, the key ends at the first '='.
bool splitSectionKey(const std::string& text, std::string& section, std::string& key,
                     std::string& value)
{
    const size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string::npos)
        return false;
    const size_t equals = text.find('=', blank + 1);
    if (equals == std::string::npos || equals == blank + 1)
        return false;
    section = text.substr(0, blank);
    key = text.substr(blank + 1, equals - blank - 1);
    value = text.substr(equals + 1);
    return true;
}

std::string lookUp(const std::map<std::string, std::map<std::string, std::string>>& sections,
                   const std::string& section, const std::string& key, bool& found)
{
    found = false;
    const auto s = sections.find(section);
    if (s == sections.end())
        return std::string();
    const auto k = s->second.find(key);
    if (k == s->second.end())
        return std::string();
    found = true;
    return k->second;
}

} // namespace

void StandInSectionsHandle::readPolicyText(const std::string& text, const std::string& source,
                                           ILogger& logger, const std::string& component,
                                           std::string& softwareId)
{
    forEachLine(text, [&](int number, const std::string& line) {
        const std::string problem = readLine(line.substr(line.find_first_not_of(" \t")), softwareId);
        if (!problem.empty())
            logger.logMessage(2, component, "Skipped line " + std::to_string(number) + " of " +
                                                source + ": " + problem);
    });
}

std::string StandInSectionsHandle::readLine(const std::string& line, std::string& softwareId)
{
    const size_t blank = line.find(' ');
    const std::string directive = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    std::vector<std::string> fields;
    std::string section, key, value;

    if (directive == "software") {
        if (rest.empty())
            return "no software id";
        softwareId = rest;
    } else if (directive == "section") {
        if (!splitSectionKey(rest, section, key, value))
            return "expected section <name> <key>=<value>";
        m_sections[section][key] = value;
    } else if (directive == "object") {
        if (!splitFields(rest, 4, fields))
            return "expected object <feature>|<category>|<type>|<policy name>";
        PolicyObject object{fields[0], fields[1], fields[2]};
        PolicyInfo& info = m_objects[object];
        info.featureId = fields[0];
        info.categoryId = fields[1];
        info.typeId = fields[2];
        info.policyName = fields[3];
        m_lastObject = object;
        m_hasObject = true;
        m_hasSetting = false;
    } else if (directive == "setting") {
        if (!m_hasObject)
            return "a setting before any object";
        if (!splitFields(rest, 6, fields))
            return "expected setting with six texts separated by '|'";
        m_lastSetting = PolicySetting{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
        m_objects[m_lastObject].settings.push_back(m_lastSetting);
        m_settingSections[m_lastSetting]; // a setting without keys is still known
        m_hasSetting = true;
    } else if (directive == "key") {
        if (!m_hasSetting)
            return "a key before any setting";
        if (!splitSectionKey(rest, section, key, value))
            return "expected key <section> <key>=<value>";
        m_settingSections[m_lastSetting][section][key] = value;
    } else {
        return "unknown directive '" + directive + "'";
    }
    return std::string();
}

std::string StandInSectionsHandle::getValue(const std::string& section, const std::string& key,
                                            bool& found) const
{
    return lookUp(m_sections, section, key, found);
}

std::string StandInSectionsHandle::getValue(const PolicySetting& setting, const std::string& section,
                                            const std::string& key, bool& found) const
{
    found = false;
    const auto s = m_settingSections.find(setting);
    if (s == m_settingSections.end())
        return std::string();
    return lookUp(s->second, section, key, found);
}

PolicyInfo StandInSectionsHandle::getPolicyInfo(const PolicyObject& object) const
{
    const auto it = m_objects.find(object);
    return it == m_objects.end() ? PolicyInfo() : it->second;
}

std::map<PolicyObject, PolicyInfo> StandInSectionsHandle::getPolicyObjects() const
{
    return m_objects;
}

void StandInSectionsHandle::addProperty(const std::string& section, const std::string& name,
                                        const std::string& value)
{
    m_properties.push_back({section, name, value});
}

} // namespace ZAV
