#include "SFTypes.h"

#include <algorithm>
#include <iterator>

namespace StatefulFirewall {

// Field by field rather than memcpy: the two records order their fields differently.
KGUID toKGUID(const GUID& id)
{
    KGUID flat{};
    flat.Data1 = id.Data1;
    std::copy(std::begin(id.Data4), std::end(id.Data4), std::begin(flat.Data4));
    flat.Data2 = id.Data2;
    flat.Data3 = id.Data3;
    return flat;
}

GUID fromKGUID(const KGUID& id)
{
    GUID guid{};
    guid.Data1 = static_cast<unsigned long>(id.Data1);
    guid.Data2 = id.Data2;
    guid.Data3 = id.Data3;
    std::copy(std::begin(id.Data4), std::end(id.Data4), std::begin(guid.Data4));
    return guid;
}

} // namespace StatefulFirewall
