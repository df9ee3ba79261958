#pragma once

// Archive forms of the rule model. One field order per class, the same in narrow and wide text
// archives, in the stores and in command payloads. The bodies live in SFSerialization.cpp and
// are instantiated there for text_oarchive, text_iarchive, text_woarchive and text_wiarchive,
// for the checking readers SFTextIArchive and SFTextWIArchive (SFTextArchive.h), which every
// reader of outside input should use, and for the weighing writers SFTextOArchive and
// SFTextWOArchive (SFTextOArchive.h);
// include this header (never boost's list.hpp alone) wherever a model object is archived, so
// the class versions, tracking and list loading below are the same everywhere.
//
// Locks: archiving a table holds SFRuleTable::m_guardRuleGroupList, a group holds
// SFRuleGroup::m_guardRuleAndMatchList, a rule SFRule::m_guardMatchList, nested in that order.
// Never archive while holding one of them.

#include "SFArchiveWeight.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "SFTrustedGroupIP.h"

// boost 1.74's list.hpp uses library_version_type without including it.
#include <boost/serialization/library_version_type.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <boost/serialization/item_version_type.hpp>
#include <boost/serialization/list.hpp>
#include <boost/serialization/nvp.hpp>
#include <boost/serialization/tracking.hpp>
#include <boost/serialization/version.hpp>

#include <cstddef>
#include <list>
#include <type_traits>

namespace StatefulFirewall {

template <class Archive> void serialize(Archive& ar, GUID& id, unsigned int version);
template <class Archive> void serialize(Archive& ar, SFMatch& match, unsigned int version);
template <class Archive> void serialize(Archive& ar, SFRule& rule, unsigned int version);
template <class Archive> void serialize(Archive& ar, SFRuleGroup& group, unsigned int version);
template <class Archive> void serialize(Archive& ar, SFRuleTable& table, unsigned int version);
template <class Archive> void serialize(Archive& ar, SFTrustedGroupIP& entry, unsigned int version);

// Lists of model pointers load one element at a time (never resizing to the stored count, so a
// hostile count fails at the first missing element instead of allocating); elements read before
// a failure stay in the list for the caller to free. Found by argument-dependent lookup from
// boost's list serialisation, and preferred to its generic load as the more specialised match.
template <class Archive> void load(Archive& ar, std::list<SFMatch*>& list, unsigned int version);
template <class Archive> void load(Archive& ar, std::list<SFRule*>& list, unsigned int version);
template <class Archive> void load(Archive& ar, std::list<SFRuleGroup*>& list, unsigned int version);
template <class Archive>
void load(Archive& ar, std::list<SFTrustedGroupIP*>& list, unsigned int version);
// Lists of groups and trusted networks by value, as command replies carry them: the same
// refusal of a count the input cannot hold, then one element at a time.
template <class Archive> void load(Archive& ar, std::list<SFRuleGroup>& list, unsigned int version);
template <class Archive>
void load(Archive& ar, std::list<SFTrustedGroupIP>& list, unsigned int version);

// Tells the list loads of an input archive how many characters its input holds, so a stored
// count that cannot fit is refused before any element is read. Call it right after creating
// the archive, for every archive whose input comes from outside.
template <class Archive> void limitListCountsToInput(Archive& ar, std::size_t inputCharacters);

// Construct the objects of pointer loads. An object built here belongs to the archive until one
// of the list loads above takes it: the archive frees what no list took when it is destroyed
// (objects whose load failed), a list refuses a pointer it did not get this way (a stored
// reference to an earlier object), and a pointer load outside a list of its own class is
// refused before its fields are read. So load model objects through pointers only as elements
// of those lists, never as a single pointer.
template <class Archive> void load_construct_data(Archive& ar, SFMatch* match, unsigned int version);
template <class Archive> void load_construct_data(Archive& ar, SFRule* rule, unsigned int version);
template <class Archive>
void load_construct_data(Archive& ar, SFRuleGroup* group, unsigned int version);
template <class Archive>
void load_construct_data(Archive& ar, SFTrustedGroupIP* entry, unsigned int version);

// Objects held by pointer (raw or owning), written as boost writes a std::list of the objects
// themselves: the list's framing, its count and item version, then each object by value. So a
// reply, or the weighing of one, carries a table's groups or a list's entries without copying
// them; read the text back as that std::list. Writing only.
template <class Pointers> struct SFListOfValues {
    using value_type = std::remove_cv_t<
        std::remove_reference_t<decltype(*std::declval<typename Pointers::value_type>())>>;
    const Pointers& pointers;
};

template <class Archive, class Pointers>
void serialize(Archive& ar, SFListOfValues<Pointers>& list, unsigned int)
{
    static_assert(Archive::is_saving::value, "read the text back as a std::list");
    using T = typename SFListOfValues<Pointers>::value_type;
    const boost::serialization::collection_size_type count(list.pointers.size());
    ar << boost::serialization::make_nvp("count", count);
    const boost::serialization::item_version_type itemVersion(
        boost::serialization::version<T>::value);
    ar << boost::serialization::make_nvp("item_version", itemVersion);
    for (const auto& pointer : list.pointers) {
        const T& object = *pointer;
        ar << boost::serialization::make_nvp("item", object);
    }
}

// Weighed as the list it is read back as.
template <class Pointers>
struct SFCollectionCost<SFListOfValues<Pointers>>
    : SFCollectionCost<std::list<typename SFListOfValues<Pointers>::value_type>> {
};

} // namespace StatefulFirewall

BOOST_CLASS_TRACKING(StatefulFirewall::GUID, boost::serialization::track_never)
BOOST_CLASS_VERSION(StatefulFirewall::SFRule, 1)
