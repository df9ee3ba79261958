#include "SFSerialization.h"

#include "SFTextArchive.h"
#include "SFTextOArchive.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/archive/text_woarchive.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <boost/serialization/item_version_type.hpp>
#include <boost/serialization/nvp.hpp>

#include <cstring>
#include <memory>
#include <typeinfo>
#include <unordered_map>

namespace StatefulFirewall {

namespace {

using boost::archive::archive_exception;
using boost::serialization::make_nvp;

// Objects constructed by pointer loads of one archive that no list has taken yet.
//
// boost 1.74 neither frees an object whose load fails part-way nor checks that a pointer it
// reads is a new object: a stored back-reference yields the address of an object loaded
// earlier (of any class), which a second list would then own too. So every pointer load of a
// model class registers its object here, a list takes it only if it is registered under the
// element's class, and whatever is left when the archive is destroyed (objects whose load
// failed, or that boost refused after loading) is freed with it. Lives in the archive's helper
// collection; used by the thread that runs the archive.
//
// It also records which class the list being loaded holds. boost builds and loads whatever
// class the stored class id names and refuses a mismatch only afterwards, so a group stored
// where a rule belongs would be loaded inside its parent group, whose lock is already held
// (the mutexes are not recursive). Pointer loads are refused before the object is read unless
// they are for the class the current list expects.
class PendingObjects {
public:
    PendingObjects() = default;
    PendingObjects(const PendingObjects&) = delete;
    PendingObjects& operator=(const PendingObjects&) = delete;
    ~PendingObjects()
    {
        // Only unclaimed objects are here; each owns the children it had taken, and a child
        // still loading is here on its own, so nothing is freed twice.
        for (auto& entry : m_objects)
            entry.second.destroy(entry.first);
    }

    template <class T> void add(T* object)
    {
        m_objects.emplace(object, Entry{&typeid(T), [](void* p) { delete static_cast<T*>(p); }});
    }

    // Sets the class the pointer loads inside a list must have; the scope restores the
    // enclosing list's class.
    class ExpectedScope {
    public:
        ExpectedScope(PendingObjects& pending, const std::type_info& type)
            : m_pending(pending), m_previous(pending.m_expected)
        {
            m_pending.m_expected = &type;
        }
        ~ExpectedScope() { m_pending.m_expected = m_previous; }
        ExpectedScope(const ExpectedScope&) = delete;
        ExpectedScope& operator=(const ExpectedScope&) = delete;

    private:
        PendingObjects& m_pending;
        const std::type_info* m_previous;
    };

    // Upper bound of the elements any one list of this archive can hold, from the size of the
    // input (every element takes at least two characters). Unbounded until told.
    void setInputSize(std::size_t characters) { m_maxElements = characters / 2; }
    std::size_t maxElements() const { return m_maxElements; }

    bool expects(const std::type_info& type) const
    {
        return m_expected != nullptr && *m_expected == type;
    }

    // True when object was constructed by this archive as a T and not taken before; the
    // caller owns it from then on.
    template <class T> bool take(T* object)
    {
        auto it = m_objects.find(object);
        if (it == m_objects.end() || *it->second.type != typeid(T))
            return false;
        m_objects.erase(it);
        return true;
    }

private:
    struct Entry {
        const std::type_info* type;
        void (*destroy)(void*);
    };
    std::unordered_map<void*, Entry> m_objects;
    const std::type_info* m_expected = nullptr; // element class of the innermost list loading
    std::size_t m_maxElements = static_cast<std::size_t>(-1);
};

char s_pendingObjectsKey; // identifies our helper among the archive's helpers

template <class Archive> PendingObjects& pendingObjects(Archive& ar)
{
    return ar.template get_helper<PendingObjects>(&s_pendingObjectsKey);
}

// boost does not compare the stored class version with ours; an archive from a newer writer
// would otherwise be read with the wrong field order.
void refuseNewerVersion(unsigned int stored, unsigned int ours)
{
    if (stored > ours)
        throw archive_exception(archive_exception::unsupported_class_version);
}

// Counted character arrays come from outside; their readers expect a terminator in the array.
template <std::size_t N> void forceTerminator(char (&text)[N])
{
    text[N - 1] = '\0';
}

// Every model pointer list loads this way: the length, the item version (libraries after 3
// write one), then the pointers one at a time. Never sized from the stored count, so a hostile count
// fails at the first missing element instead of allocating.
// Reads a list's length and item version; a count the input cannot hold is refused before
// reading on: past the real elements boost would take whatever follows for class ids (an id it
// never saw crashes boost 1.74), and a list by value would be sized to it.
template <class Archive> std::size_t loadListCount(Archive& ar)
{
    boost::serialization::collection_size_type count;
    ar >> make_nvp("count", count);
    if (boost::serialization::library_version_type(3) < ar.get_library_version()) {
        boost::serialization::item_version_type itemVersion(0);
        ar >> make_nvp("item_version", itemVersion);
    }
    if (count > pendingObjects(ar).maxElements())
        throw archive_exception(archive_exception::input_stream_error,
                                "list count larger than the input");
    return count;
}

template <class Archive, class T> void loadPointerList(Archive& ar, std::list<T*>& list)
{
    const std::size_t count = loadListCount(ar);
    PendingObjects& pending = pendingObjects(ar);
    PendingObjects::ExpectedScope scope(pending, typeid(T));
    for (std::size_t i = 0; i < count; ++i) {
        T* element = nullptr;
        ar >> make_nvp("item", element);
        if (element == nullptr || !pending.take(element))
            throw archive_exception(archive_exception::input_stream_error,
                                    "list element is not a new object");
        list.push_back(element);
    }
}

// Elements are loaded in place, so the list never holds more than was read.
template <class Archive, class T> void loadValueList(Archive& ar, std::list<T>& list)
{
    const std::size_t count = loadListCount(ar);
    for (std::size_t i = 0; i < count; ++i) {
        list.emplace_back();
        ar >> make_nvp("item", list.back());
    }
}

template <class Archive> void archiveIpv4(Archive& ar, FwIpAddress& address, bool familyFirst)
{
    if (familyFirst) {
        ar & make_nvp("family", address.family);
        ar & make_nvp("address", address.address);
    } else {
        ar & make_nvp("address", address.address);
        ar & make_nvp("family", address.family);
    }
}

// The CIDR form shared by matches and trusted networks: family, address, prefix, mask. The
// prefix is written as its number (as boost writes an 8-bit value) and read through an
// unsigned int, because boost would silently cut a stored value above 255 to 8 bits.
template <class Archive> void archiveCidr(Archive& ar, MatchIpAddressValue& value)
{
    archiveIpv4(ar, value.start, true);
    unsigned int prefix = value.subnet.prefix;
    ar & make_nvp("prefix", prefix);
    if (Archive::is_loading::value) {
        if (prefix > UINT8_MAX)
            throw archive_exception(archive_exception::input_stream_error,
                                    "CIDR prefix out of range");
        value.subnet.prefix = static_cast<uint8_t>(prefix);
    }
    ar & make_nvp("mask", value.subnet.mask);
}

template <class Archive> void archiveAddressValue(Archive& ar, int format, MatchIpAddressValue& value)
{
    switch (format) {
    case FW_ADDRESS_TYPE_SINGLE:
        archiveIpv4(ar, value.start, false);
        break;
    case FW_ADDRESS_TYPE_IP_RANGE:
        archiveIpv4(ar, value.start, false);
        archiveIpv4(ar, value.end, false);
        break;
    case FW_ADDRESS_TYPE_CIDR:
        archiveCidr(ar, value);
        break;
    default:
        break;
    }
}

template <class Archive, class T> void constructPending(Archive& ar, T* object)
{
    // boost allocated the memory with operator new(sizeof(T)), so delete frees it correctly
    // if registering fails. An object of the wrong class is registered before it is refused,
    // so the archive frees it (boost does not free memory it allocated for a failed load).
    PendingObjects& pending = pendingObjects(ar);
    std::unique_ptr<T> guard(::new (object) T());
    pending.add(object);
    guard.release();
    if (!pending.expects(typeid(T)))
        throw archive_exception(archive_exception::unregistered_class,
                                "stored class differs from the list's element class");
}

} // namespace

template <class Archive> void load_construct_data(Archive& ar, SFMatch* match, unsigned int)
{
    constructPending(ar, match);
}

template <class Archive> void load_construct_data(Archive& ar, SFRule* rule, unsigned int)
{
    constructPending(ar, rule);
}

template <class Archive> void load_construct_data(Archive& ar, SFRuleGroup* group, unsigned int)
{
    constructPending(ar, group);
}

template <class Archive>
void load_construct_data(Archive& ar, SFTrustedGroupIP* entry, unsigned int)
{
    constructPending(ar, entry);
}

template <class Archive> void serialize(Archive& ar, GUID& id, unsigned int version)
{
    if (Archive::is_loading::value)
        refuseNewerVersion(version, 0);
    ar & make_nvp("Data1", id.Data1);
    ar & make_nvp("Data2", id.Data2);
    ar & make_nvp("Data3", id.Data3);
    // Archived as char, so bytes above 0x7f are written as negative numbers; the store format
    // has always been that way. Loading accepts either sign.
    char data4[sizeof(id.Data4)] = {};
    if (Archive::is_saving::value)
        std::memcpy(data4, id.Data4, sizeof(data4));
    ar & make_nvp("Data4", data4);
    if (Archive::is_loading::value)
        std::memcpy(id.Data4, data4, sizeof(data4));
}

template <class Archive> void serialize(Archive& ar, SFMatch& match, unsigned int version)
{
    if (Archive::is_loading::value) {
        refuseNewerVersion(version, 0);
        // Only the part the kind uses is stored; the rest of a loaded value is zero, as in a
        // newly built match.
        std::memset(&match.value, 0, sizeof(match.value));
    }
    ar & make_nvp("matchType", match.matchType);
    ar & make_nvp("addressType", match.addressType);
    ar & make_nvp("matchOp", match.matchOp);

    MatchDataType& value = match.value;
    if (SFMatch::isPortKind(match.matchType)) {
        if (match.addressType == FW_ADDRESS_TYPE_SINGLE) {
            ar & make_nvp("port", value.ports.port);
        } else if (match.addressType == FW_ADDRESS_TYPE_PORT_RANGE) {
            ar & make_nvp("port", value.ports.port);
            ar & make_nvp("lastPort", value.ports.lastPort);
        }
    } else if (SFMatch::isAddressKind(match.matchType)) {
        if (match.addressType == FW_ADDRESS_TYPE_DOMAIN_NAME)
            ar & make_nvp("domainName", value.domainName);
        else
            archiveAddressValue(ar, match.addressType, value.ipValue);
    } else if (match.matchType == FW_MATCH_DIRECTION || match.matchType == FW_MATCH_PHYSICAL_MEDIUM) {
        ar & make_nvp("value", value.intValue);
    } else if (match.matchType == FW_MATCH_SCHEDULE) {
        ar & make_nvp("startTime", value.schedule.startTime);
        ar & make_nvp("endTime", value.schedule.endTime);
        ar & make_nvp("days", value.schedule.days);
        ar & make_nvp("daysMask", value.schedule.daysMask);
        ar & make_nvp("scheduleAction", value.schedule.scheduleAction);
    }

    if (Archive::is_loading::value) {
        if (match.matchType == FW_MATCH_SCHEDULE) {
            forceTerminator(value.schedule.startTime);
            forceTerminator(value.schedule.endTime);
            forceTerminator(value.schedule.days);
        } else if (SFMatch::isAddressKind(match.matchType)
                   && match.addressType == FW_ADDRESS_TYPE_DOMAIN_NAME) {
            forceTerminator(value.domainName);
        }
    }
}

template <class Archive> void serialize(Archive& ar, SFRule& rule, unsigned int version)
{
    if (Archive::is_loading::value)
        refuseNewerVersion(version, 1);
    boost::mutex::scoped_lock lock(SFRule::m_guardMatchList);
    ar & make_nvp("ruleId", rule.ruleId);
    ar & make_nvp("groupId", rule.groupId);
    ar & make_nvp("enabled", rule.enabled);
    ar & make_nvp("name", rule.name);
    ar & make_nvp("description", rule.description);
    ar & make_nvp("enforced", rule.enforced);
    ar & make_nvp("action", rule.action);
    ar & make_nvp("jumpTarget", rule.jumpTarget);
    ar & make_nvp("transport", rule.transport);
    ar & make_nvp("netProto", rule.netProto);
    ar & make_nvp("msgType", rule.msgType);
    ar & make_nvp("matches", rule.matches);
    ar & make_nvp("logEnabled", rule.logEnabled);
    ar & make_nvp("position", rule.position);
    ar & make_nvp("keep", rule.keep);
    // Written as 64 bits; the key itself is 32 bits wide.
    uint64_t adaptiveKey = rule.adaptiveKey;
    ar & make_nvp("adaptiveKey", adaptiveKey);
    if (Archive::is_loading::value) {
        if (adaptiveKey > UINT32_MAX)
            throw archive_exception(archive_exception::input_stream_error,
                                    "adaptive key out of range");
        rule.adaptiveKey = static_cast<uint32_t>(adaptiveKey);
    }
    if (version >= 1)
        ar & make_nvp("treatAsIntrusion", rule.treatAsIntrusion);
    else
        rule.treatAsIntrusion = false; // written before the flag existed
}

template <class Archive> void serialize(Archive& ar, SFRuleGroup& group, unsigned int version)
{
    if (Archive::is_loading::value)
        refuseNewerVersion(version, 0);
    boost::mutex::scoped_lock lock(SFRuleGroup::m_guardRuleAndMatchList);
    ar & make_nvp("groupId", group.groupId);
    ar & make_nvp("name", group.name);
    ar & make_nvp("chainName", group.chainName);
    ar & make_nvp("description", group.description);
    ar & make_nvp("enforced", group.enforced);
    ar & make_nvp("enabled", group.enabled);
    ar & make_nvp("auxFlag", group.auxFlag);
    ar & make_nvp("transport", group.transport);
    ar & make_nvp("netProto", group.netProto);
    ar & make_nvp("msgType", group.msgType);
    ar & make_nvp("matches", group.matches);
    ar & make_nvp("rules", group.rules);
}

template <class Archive> void serialize(Archive& ar, SFRuleTable& table, unsigned int version)
{
    if (Archive::is_loading::value)
        refuseNewerVersion(version, 0);
    // Held for the whole table so a store is written from one consistent state.
    boost::mutex::scoped_lock lock(SFRuleTable::m_guardRuleGroupList);
    ar & make_nvp("groups", table.groups);
    ar & make_nvp("agentGroupId", table.agentGroupId);
    ar & make_nvp("clientGroupId", table.clientGroupId);
    ar & make_nvp("adaptiveGroupId", table.adaptiveGroupId);
    ar & make_nvp("defaultGroupId", table.defaultGroupId);
}

template <class Archive> void serialize(Archive& ar, SFTrustedGroupIP& entry, unsigned int version)
{
    if (Archive::is_loading::value) {
        refuseNewerVersion(version, 0);
        std::memset(&entry.value, 0, sizeof(entry.value));
    }
    ar & make_nvp("type", entry.type);
    switch (entry.type) {
    case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
        archiveAddressValue(ar, FW_ADDRESS_TYPE_SINGLE, entry.value);
        break;
    case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
        archiveAddressValue(ar, FW_ADDRESS_TYPE_IP_RANGE, entry.value);
        break;
    case FW_TRUSTED_ADDRESS_TYPE_CIDR:
        archiveAddressValue(ar, FW_ADDRESS_TYPE_CIDR, entry.value);
        break;
    default:
        break;
    }
}

template <class Archive> void load(Archive& ar, std::list<SFMatch*>& list, unsigned int)
{
    loadPointerList(ar, list);
}

template <class Archive> void load(Archive& ar, std::list<SFRule*>& list, unsigned int)
{
    loadPointerList(ar, list);
}

template <class Archive> void load(Archive& ar, std::list<SFRuleGroup*>& list, unsigned int)
{
    loadPointerList(ar, list);
}

template <class Archive> void load(Archive& ar, std::list<SFTrustedGroupIP*>& list, unsigned int)
{
    loadPointerList(ar, list);
}

template <class Archive> void load(Archive& ar, std::list<SFRuleGroup>& list, unsigned int)
{
    loadValueList(ar, list);
}

template <class Archive> void load(Archive& ar, std::list<SFTrustedGroupIP>& list, unsigned int)
{
    loadValueList(ar, list);
}

template <class Archive> void limitListCountsToInput(Archive& ar, std::size_t inputCharacters)
{
    pendingObjects(ar).setInputSize(inputCharacters);
}

#define SF_INSTANTIATE_SERIALIZE(Archive)                                                    \
    template void serialize<Archive>(Archive&, GUID&, unsigned int);                         \
    template void serialize<Archive>(Archive&, SFMatch&, unsigned int);                      \
    template void serialize<Archive>(Archive&, SFRule&, unsigned int);                       \
    template void serialize<Archive>(Archive&, SFRuleGroup&, unsigned int);                  \
    template void serialize<Archive>(Archive&, SFRuleTable&, unsigned int);                  \
    template void serialize<Archive>(Archive&, SFTrustedGroupIP&, unsigned int);

#define SF_INSTANTIATE_LOAD(Archive)                                                         \
    template void load<Archive>(Archive&, std::list<SFMatch*>&, unsigned int);               \
    template void load<Archive>(Archive&, std::list<SFRule*>&, unsigned int);                \
    template void load<Archive>(Archive&, std::list<SFRuleGroup*>&, unsigned int);           \
    template void load<Archive>(Archive&, std::list<SFTrustedGroupIP*>&, unsigned int);      \
    template void load<Archive>(Archive&, std::list<SFRuleGroup>&, unsigned int);            \
    template void load<Archive>(Archive&, std::list<SFTrustedGroupIP>&, unsigned int);       \
    template void load_construct_data<Archive>(Archive&, SFMatch*, unsigned int);            \
    template void load_construct_data<Archive>(Archive&, SFRule*, unsigned int);             \
    template void load_construct_data<Archive>(Archive&, SFRuleGroup*, unsigned int);        \
    template void load_construct_data<Archive>(Archive&, SFTrustedGroupIP*, unsigned int);      \
    template void limitListCountsToInput<Archive>(Archive&, std::size_t);

SF_INSTANTIATE_SERIALIZE(boost::archive::text_oarchive)
SF_INSTANTIATE_SERIALIZE(boost::archive::text_iarchive)
SF_INSTANTIATE_SERIALIZE(boost::archive::text_woarchive)
SF_INSTANTIATE_SERIALIZE(boost::archive::text_wiarchive)
SF_INSTANTIATE_LOAD(boost::archive::text_iarchive)
SF_INSTANTIATE_LOAD(boost::archive::text_wiarchive)
SF_INSTANTIATE_SERIALIZE(SFTextIArchive)
SF_INSTANTIATE_SERIALIZE(SFTextWIArchive)
SF_INSTANTIATE_SERIALIZE(SFTextOArchive)
SF_INSTANTIATE_SERIALIZE(SFTextWOArchive)
SF_INSTANTIATE_LOAD(SFTextIArchive)
SF_INSTANTIATE_LOAD(SFTextWIArchive)

} // namespace StatefulFirewall
