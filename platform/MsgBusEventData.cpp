#include "MsgBusEventData.h"

#include "FMPException.h"

namespace ZAV {

void MsgBusEventData::setCustomFieldTableName(std::string name)
{
    if (name.empty())
        throw FMPException(3, "Custom Field Table name cannot be empty");
    m_customFieldTableName = std::move(name);
}

void MsgBusEventData::addCustomFieldToEvent(const std::string& name, std::string value)
{
    if (m_customFieldTableName.empty())
        throw FMPException(3, "Custom Field Table name should be set first");
    m_customFields[name] = std::move(value);
}

} // namespace ZAV
