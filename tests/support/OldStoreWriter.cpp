#include "OldStoreWriter.h"

#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "SFTrustedGroupIP.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_woarchive.hpp>
// boost 1.74's list.hpp uses library_version_type without including it.
#include <boost/serialization/library_version_type.hpp>
#include <boost/serialization/list.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/tracking.hpp>
#include <boost/serialization/version.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

BOOST_CLASS_TRACKING(OldStore::GUID, boost::serialization::track_never)
BOOST_CLASS_VERSION(OldStore::RuleT<0>, 0)
BOOST_CLASS_VERSION(OldStore::RuleT<1>, 1)
BOOST_CLASS_VERSION(OldStore::RuleT<2>, 2)

namespace OldStore {

namespace {

static_assert(sizeof(wchar_t) == 4, "the old stores hold 4 bytes per wide character");

bool isPortKind(int kind)
{
    return kind == 1 || kind == 3 || kind == 8 || kind == 9;
}

bool isAddressKind(int kind)
{
    return kind == 2 || kind == 4 || kind == 6 || kind == 7;
}

template <class T> void freeAll(std::list<T*>& list)
{
    for (T* item : list)
        delete item;
}

} // namespace

// ---- the old field orders -------------------------------------------------------------------

template <class Archive> void serialize(Archive& ar, GUID& id, unsigned int)
{
    char data4[8];
    std::memcpy(data4, id.Data4, sizeof(data4)); // as char: bytes above 0x7f go out negative
    ar & id.Data1 & id.Data2 & id.Data3 & data4;
}

template <class Archive> void serialize(Archive& ar, Match& m, unsigned int)
{
    ar & m.matchType & m.addressType & m.matchOp;
    if (isPortKind(m.matchType)) {
        if (m.addressType == 1)
            ar & m.port;
        else if (m.addressType == 3)
            ar & m.port & m.lastPort;
    } else if (isAddressKind(m.matchType)) {
        if (m.addressType == 1)
            ar & m.startAddress & m.startFamily;
        else if (m.addressType == 2)
            ar & m.startAddress & m.startFamily & m.endAddress & m.endFamily;
        else if (m.addressType == 4)
            ar & m.startFamily & m.startAddress & m.prefix & m.mask;
        else if (m.addressType == 5)
            ar & m.domainName;
    } else if (m.matchType == 5 || m.matchType == 10) {
        ar & m.intValue;
    } else if (m.matchType == 11) {
        ar & m.startTime & m.endTime & m.days & m.daysMask & m.scheduleAction;
    }
}

template <class Archive, unsigned V> void serialize(Archive& ar, RuleT<V>& r, unsigned int version)
{
    ar & r.ruleId & r.groupId & r.enabled & r.name & r.description & r.enforced & r.action;
    ar & r.jumpTarget & r.transport & r.netProto & r.msgType & r.matches & r.logEnabled;
    ar & r.position & r.keep & r.adaptiveKey;
    if (version >= 1)
        ar & r.treatAsIntrusion;
}

template <class Archive, unsigned V> void serialize(Archive& ar, GroupT<V>& g, unsigned int)
{
    ar & g.groupId & g.name & g.chainName & g.description & g.enforced & g.enabled & g.auxFlag;
    ar & g.transport & g.netProto & g.msgType & g.matches & g.rules;
}

template <class Archive, unsigned V> void serialize(Archive& ar, TableT<V>& t, unsigned int)
{
    ar & t.groups & t.agentGroupId & t.clientGroupId & t.adaptiveGroupId & t.defaultGroupId;
}

template <class Archive> void serialize(Archive& ar, Trusted& e, unsigned int)
{
    ar & e.type;
    if (e.type == 1)
        ar & e.startAddress & e.startFamily;
    else if (e.type == 2)
        ar & e.startAddress & e.startFamily & e.endAddress & e.endFamily;
    else if (e.type == 4)
        ar & e.startFamily & e.startAddress & e.prefix & e.mask;
}

// ---- owners ---------------------------------------------------------------------------------

template <unsigned V> RuleT<V>::~RuleT()
{
    freeAll(matches);
}

template <unsigned V> GroupT<V>::~GroupT()
{
    freeAll(matches);
    freeAll(rules);
}

template <unsigned V> TableT<V>::~TableT()
{
    freeAll(groups);
}

TrustedList::~TrustedList()
{
    freeAll(entries);
}

// ---- from the model -------------------------------------------------------------------------

namespace {

GUID guidOf(const StatefulFirewall::GUID& id)
{
    GUID out;
    out.Data1 = id.Data1;
    out.Data2 = id.Data2;
    out.Data3 = id.Data3;
    std::memcpy(out.Data4, id.Data4, sizeof(out.Data4));
    return out;
}

Match* matchOf(const StatefulFirewall::SFMatch& in)
{
    auto* m = new Match;
    m->matchType = in.matchType;
    m->addressType = in.addressType;
    m->matchOp = in.matchOp;
    const StatefulFirewall::MatchDataType& v = in.value;
    m->port = v.ports.port;
    m->lastPort = v.ports.lastPort;
    m->startAddress = v.ipValue.start.address;
    m->startFamily = v.ipValue.start.family;
    if (in.addressType == StatefulFirewall::FW_ADDRESS_TYPE_CIDR) {
        m->prefix = v.ipValue.subnet.prefix;
        m->mask = v.ipValue.subnet.mask;
    } else {
        m->endAddress = v.ipValue.end.address;
        m->endFamily = v.ipValue.end.family;
    }
    std::memcpy(m->domainName, v.domainName, sizeof(m->domainName));
    m->intValue = v.intValue;
    std::memcpy(m->startTime, v.schedule.startTime, sizeof(m->startTime));
    std::memcpy(m->endTime, v.schedule.endTime, sizeof(m->endTime));
    std::memcpy(m->days, v.schedule.days, sizeof(m->days));
    m->daysMask = v.schedule.daysMask;
    m->scheduleAction = v.schedule.scheduleAction;
    return m;
}

void matchesOf(const std::list<StatefulFirewall::SFMatch*>& in, std::list<Match*>& out)
{
    for (const StatefulFirewall::SFMatch* match : in)
        out.push_back(matchOf(*match));
}

} // namespace

template <unsigned V> void fromModel(const StatefulFirewall::SFRuleTable& model, TableT<V>& table)
{
    for (const StatefulFirewall::SFRuleGroup* in : model.groups) {
        auto* g = new GroupT<V>;
        table.groups.push_back(g);
        g->groupId = guidOf(in->groupId);
        g->name = in->name;
        g->chainName = in->chainName;
        g->description = in->description;
        g->enforced = in->enforced;
        g->enabled = in->enabled;
        g->auxFlag = in->auxFlag;
        g->transport = in->transport;
        g->netProto = in->netProto;
        g->msgType = in->msgType;
        matchesOf(in->matches, g->matches);
        for (const StatefulFirewall::SFRule* rin : in->rules) {
            auto* r = new RuleT<V>;
            g->rules.push_back(r);
            r->ruleId = guidOf(rin->ruleId);
            r->groupId = guidOf(rin->groupId);
            r->enabled = rin->enabled;
            r->name = rin->name;
            r->description = rin->description;
            r->enforced = rin->enforced;
            r->action = rin->action;
            r->jumpTarget = guidOf(rin->jumpTarget);
            r->transport = rin->transport;
            r->netProto = rin->netProto;
            r->msgType = rin->msgType;
            matchesOf(rin->matches, r->matches);
            r->logEnabled = rin->logEnabled;
            r->position = rin->position;
            r->keep = rin->keep;
            r->adaptiveKey = rin->adaptiveKey;
            r->treatAsIntrusion = rin->treatAsIntrusion;
        }
    }
    table.agentGroupId = guidOf(model.agentGroupId);
    table.clientGroupId = guidOf(model.clientGroupId);
    table.adaptiveGroupId = guidOf(model.adaptiveGroupId);
    table.defaultGroupId = guidOf(model.defaultGroupId);
}

void fromModel(const std::list<StatefulFirewall::SFTrustedGroupIP*>& model, TrustedList& list)
{
    for (const StatefulFirewall::SFTrustedGroupIP* in : model) {
        auto* e = new Trusted;
        list.entries.push_back(e);
        e->type = in->type;
        e->startAddress = in->value.start.address;
        e->startFamily = in->value.start.family;
        if (in->type == StatefulFirewall::FW_TRUSTED_ADDRESS_TYPE_CIDR) {
            e->prefix = in->value.subnet.prefix;
            e->mask = in->value.subnet.mask;
        } else {
            e->endAddress = in->value.end.address;
            e->endFamily = in->value.end.family;
        }
    }
}

// ---- the files ------------------------------------------------------------------------------

namespace {

// boost 1.74 writes its own library version, 18; the old release's boost wrote 9. The text of
// these classes is the same in both. A character the wide stream cannot take (a byte of 0x80
// or more in a name) fails the stream, and boost refuses the next value: the text ends there,
// as the old release's file did.
template <class T> std::wstring oldArchiveText(const T& root)
{
    std::wostringstream out;
    try {
        boost::archive::text_woarchive archive(out); // flags 0: header, boost's own codecvt
        archive << root;
    } catch (const boost::archive::archive_exception&) {
    }
    return edited(out.str(), L"22 serialization::archive 18 ", L"22 serialization::archive 9 ");
}

} // namespace

template <unsigned V> std::wstring ruleStoreText(const TableT<V>& table)
{
    return oldArchiveText(table);
}

std::wstring trustedStoreText(const TrustedList& list)
{
    return oldArchiveText(list.entries);
}

std::string fileBytes(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t c : text) {
        const auto code = static_cast<uint32_t>(c);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
    return bytes;
}

std::wstring edited(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    const auto at = text.find(from);
    EXPECT_NE(at, std::wstring::npos) << "sample lacks the text to edit";
    if (at != std::wstring::npos)
        text.replace(at, from.size(), to);
    return text;
}

template struct RuleT<0>;
template struct RuleT<1>;
template struct RuleT<2>;
template struct GroupT<0>;
template struct GroupT<1>;
template struct GroupT<2>;
template struct TableT<0>;
template struct TableT<1>;
template struct TableT<2>;
template void fromModel<0>(const StatefulFirewall::SFRuleTable&, TableT<0>&);
template void fromModel<1>(const StatefulFirewall::SFRuleTable&, TableT<1>&);
template void fromModel<2>(const StatefulFirewall::SFRuleTable&, TableT<2>&);
template std::wstring ruleStoreText<0>(const TableT<0>&);
template std::wstring ruleStoreText<1>(const TableT<1>&);
template std::wstring ruleStoreText<2>(const TableT<2>&);

} // namespace OldStore
