#pragma once

// Stores of the previous release, made without any file of that release: plain structs with
// serialize bodies written from that release's field lists (never the model's own serialize
// code, so a mistake shared by writer and reader cannot hide), saved with boost's wide text
// archive and given the older library's header.
//
// The structs own what their lists point to. RuleT<V> carries boost class version V (0, 1 or
// 2); from version 1 on it writes the treat-as-intrusion flag, and the group and table take the
// rule's version. Non-polymorphic, unexported classes leave no names in an archive, so the
// struct names do not matter.

#include <cstdint>
#include <list>
#include <string>

namespace StatefulFirewall {
class SFRuleTable;
class SFTrustedGroupIP;
}

namespace OldStore {

struct GUID {
    uint64_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
};

struct Match {
    int matchType = 0;
    int addressType = 0;
    int matchOp = 0;
    uint16_t port = 0, lastPort = 0;
    uint32_t startAddress = 0, endAddress = 0; // network order
    int startFamily = 0, endFamily = 0;
    uint8_t prefix = 0;
    uint32_t mask = 0;
    char domainName[256] = {};
    int intValue = 0; // direction or medium
    char startTime[6] = {}, endTime[6] = {}, days[29] = {};
    uint16_t daysMask = 0;
    int scheduleAction = 0;
};

template <unsigned V> struct RuleT {
    RuleT() = default;
    RuleT(const RuleT&) = delete;
    RuleT& operator=(const RuleT&) = delete;
    ~RuleT();
    GUID ruleId, groupId;
    bool enabled = false;
    std::string name, description;
    bool enforced = false;
    int action = 0;
    GUID jumpTarget;
    int transport = 0, netProto = 1, msgType = 7;
    std::list<Match*> matches;
    bool logEnabled = false;
    int position = -1;
    bool keep = false;
    uint32_t adaptiveKey = 0xFFFFFFFFu;
    bool treatAsIntrusion = false; // written from class version 1 on
};

template <unsigned V> struct GroupT {
    GroupT() = default;
    GroupT(const GroupT&) = delete;
    GroupT& operator=(const GroupT&) = delete;
    ~GroupT();
    GUID groupId;
    std::string name, chainName, description;
    bool enforced = false, enabled = false, auxFlag = false;
    int transport = 0, netProto = 1, msgType = 7;
    std::list<Match*> matches;
    std::list<RuleT<V>*> rules;
};

template <unsigned V> struct TableT {
    TableT() = default;
    TableT(const TableT&) = delete;
    TableT& operator=(const TableT&) = delete;
    ~TableT();
    std::list<GroupT<V>*> groups;
    GUID agentGroupId, clientGroupId, adaptiveGroupId, defaultGroupId;
};

struct Trusted {
    int type = 0;
    uint32_t startAddress = 0, endAddress = 0;
    int startFamily = 0, endFamily = 0;
    uint8_t prefix = 0;
    uint32_t mask = 0;
};

struct TrustedList {
    TrustedList() = default;
    TrustedList(const TrustedList&) = delete;
    TrustedList& operator=(const TrustedList&) = delete;
    ~TrustedList();
    std::list<Trusted*> entries;
};

// The same objects as the model holds them, for writing in the old form.
template <unsigned V> void fromModel(const StatefulFirewall::SFRuleTable& model, TableT<V>& table);
void fromModel(const std::list<StatefulFirewall::SFTrustedGroupIP*>& model, TrustedList& list);

// The wide text of a store, header "22 serialization::archive 9 " (boost 1.48's library).
template <unsigned V> std::wstring ruleStoreText(const TableT<V>& table);
std::wstring trustedStoreText(const TrustedList& list);

// What the old release's wide file stream wrote for text: each wchar_t as 4 little-endian
// bytes, no byte-order mark.
std::string fileBytes(const std::wstring& text);

// text with the first occurrence of from replaced by to; fails the test when from is absent.
std::wstring edited(std::wstring text, const std::wstring& from, const std::wstring& to);

} // namespace OldStore
