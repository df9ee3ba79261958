#include "PolicyTypes.h"

#include <tuple>

namespace ZAV {

bool PolicyObject::operator<(const PolicyObject& other) const
{
    // std::string compares through char_traits<char>, which orders bytes as unsigned char.
    return std::tie(featureId, categoryId, typeId) <
           std::tie(other.featureId, other.categoryId, other.typeId);
}

bool PolicyObject::operator==(const PolicyObject& other) const
{
    return featureId == other.featureId && categoryId == other.categoryId && typeId == other.typeId;
}

std::string PolicySetting::joined() const
{
    return featureId + categoryId + typeId + settingId + settingType + settingName;
}

bool PolicySetting::operator<(const PolicySetting& other) const
{
    return joined() < other.joined();
}

} // namespace ZAV
