#pragma once

// One event for the management server: name, severity, numbered standard fields, and custom
// fields under a table name. A plain value, copied whole into batches; not thread-safe.

#include <map>
#include <string>
#include <utility>

namespace ZAV {

class MsgBusEventData {
public:
    MsgBusEventData(std::string name, int severity)
        : m_eventName(std::move(name)), m_eventSeverity(severity) {}

    const std::string& getEventName() const { return m_eventName; }
    int getEventSeverity() const { return m_eventSeverity; }

    // Sets or overwrites one standard field.
    void setStandardField(int key, std::string value) { m_standardFields[key] = std::move(value); }
    const std::map<int, std::string>& getStandardFields() const { return m_standardFields; }

    // Throws FMPException(3) for an empty name: custom fields need a table to belong to.
    void setCustomFieldTableName(std::string name);
    const std::string& getCustomFieldTableName() const { return m_customFieldTableName; }

    // Sets or overwrites one custom field. Throws FMPException(3) while no table name is set.
    void addCustomFieldToEvent(const std::string& name, std::string value);
    const std::map<std::string, std::string>& getCustomFields() const { return m_customFields; }

private:
    std::string m_eventName;
    int m_eventSeverity;
    std::map<int, std::string> m_standardFields;
    std::string m_customFieldTableName;
    std::map<std::string, std::string> m_customFields;
};

} // namespace ZAV
