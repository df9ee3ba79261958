// The bytes of the two stores and of single archived objects: golden files, the tokens of each
// class's field order, and round trips through every archive kind.

#include "CommonFunc.h"
#include "SFCheckedRead.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/archive/text_woarchive.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

using namespace StatefulFirewall;

namespace {

GUID guid(const char* text)
{
    return CommonFunc::getGUIDFromString(text);
}

std::vector<std::string> tokens(const std::string& text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::vector<std::string> numbers(std::initializer_list<long long> values)
{
    std::vector<std::string> out;
    for (long long v : values)
        out.push_back(std::to_string(v));
    return out;
}

bool containsRun(const std::vector<std::string>& haystack, const std::vector<std::string>& run)
{
    return std::search(haystack.begin(), haystack.end(), run.begin(), run.end()) != haystack.end();
}

// Narrow text of one object archived as the root, without the archive header; skipFraming
// drops boost's per-object framing in front of the fields (tracking, version and, for tracked
// classes, the object id).
template <class T> std::vector<std::string> fieldTokens(const T& object, std::size_t skipFraming)
{
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out, boost::archive::no_header);
        archive << object;
    }
    std::vector<std::string> all = tokens(out.str());
    EXPECT_GE(all.size(), skipFraming);
    return {all.begin() + std::min(skipFraming, all.size()), all.end()};
}

template <class OArchive, class IArchive, class Stream, class T> void roundTrip(const T& in, T& out)
{
    std::basic_stringstream<typename Stream::char_type> text;
    {
        OArchive archive(text);
        archive << in;
    }
    IArchive archive(text);
    archive >> out;
}

// ---- model builders -------------------------------------------------------------------------

SFMatch* portMatch(int kind, int format, uint16_t port, uint16_t lastPort = 0)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->addressType = format;
    match->matchOp = format == FW_ADDRESS_TYPE_PORT_RANGE ? FW_MATCH_OP_IN_RANGE : FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, lastPort);
    return match;
}

SFMatch* addressMatch(int kind, int format, const char* start = nullptr, const char* end = nullptr,
                      uint8_t prefix = 0)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->addressType = format;
    match->matchOp = FW_MATCH_OP_EQUAL;
    if (format == FW_ADDRESS_TYPE_CIDR)
        match->setCidrIPAddress(prefix, start);
    else if (format == FW_ADDRESS_TYPE_DOMAIN_NAME)
        match->setFQDNString(start);
    else if (start != nullptr)
        match->setStartIp4Address(start);
    if (end != nullptr)
        match->setEndIp4Address(end);
    return match;
}

SFMatch* intMatch(int kind, int value)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = value;
    return match;
}

SFMatch* scheduleMatch()
{
    MatchSchedule schedule{};
    std::strcpy(schedule.startTime, "08:00");
    std::strcpy(schedule.endTime, "18:30");
    std::strcpy(schedule.days, "Mon,Tue,Wed,Thu,Fri");
    schedule.daysMask = 62;
    schedule.scheduleAction = FW_SCHEDULE_ACTION_REVERSE;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_SCHEDULE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setSchedule(schedule);
    return match;
}

SFRule* makeRule(const char* id, const GUID& group, const char* name, int action)
{
    auto* rule = new SFRule();
    rule->ruleId = guid(id);
    rule->groupId = group;
    rule->name = name;
    rule->action = action;
    rule->enabled = true;
    return rule;
}

SFRule* jumpRule(const char* id, const GUID& from, const GUID& to, const char* name)
{
    SFRule* rule = makeRule(id, from, name, FW_ACTION_JUMP);
    rule->jumpTarget = to;
    rule->keep = true;
    return rule;
}

SFRuleGroup* makeGroup(const GUID& id, const char* name, const char* chain)
{
    auto* group = new SFRuleGroup();
    group->groupId = id;
    group->name = name;
    group->chainName = chain;
    group->enabled = true;
    group->transport = FW_TRANS_PROTO_ANY;
    group->msgType = FW_ICMP_ANY;
    group->matches.push_back(intMatch(FW_MATCH_DIRECTION, FW_DIRECTION_EITHER));
    group->matches.push_back(intMatch(FW_MATCH_PHYSICAL_MEDIUM, IF_ALL));
    return group;
}

// The table of the golden rule store: the four fixed groups, a user group whose rules use every
// match kind and every format, jump rules, identifiers with bytes above 0x7f, adaptive keys and
// the intrusion flag.
void buildGoldenTable(SFRuleTable& table)
{
    table.defaultGroupId = guid(SF_DEFAULT_GROUP_ID);
    table.agentGroupId = guid(SF_AGENT_GROUP_ID);
    table.clientGroupId = guid(SF_CLIENT_GROUP_ID);
    table.adaptiveGroupId = guid(SF_ADAPTIVE_GROUP_ID);
    const GUID userGroupId = guid("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");

    SFRuleGroup* primary = makeGroup(table.defaultGroupId, "Primary group", "");
    primary->rules.push_back(jumpRule("00000001-0000-0000-0000-000000000001", table.defaultGroupId,
                                      table.agentGroupId, "Jump to agent"));
    primary->rules.push_back(jumpRule("00000002-0000-0000-0000-000000000002", table.defaultGroupId,
                                      userGroupId, "Jump to user group"));
    primary->rules.push_back(jumpRule("00000003-0000-0000-0000-000000000003", table.defaultGroupId,
                                      table.clientGroupId, "Jump to client"));
    primary->rules.push_back(jumpRule("00000004-0000-0000-0000-000000000004", table.defaultGroupId,
                                      table.adaptiveGroupId, "Jump to adaptive"));

    SFRuleGroup* agent = makeGroup(table.agentGroupId, "QTZ WZ", "QTZ_WZ");
    agent->msgType = FW_MSG_TYPE_UNKNOWN;
    SFRule* allowAgent = makeRule("9bdf80ff-fe01-a0b0-9b9c-fdfeff80817f", table.agentGroupId,
                                  "Allow agent traffic", FW_ACTION_ALLOW);
    allowAgent->transport = FW_TRANS_PROTO_TCP;
    allowAgent->addMatch(portMatch(FW_MATCH_REMOTE_PORT, FW_ADDRESS_TYPE_SINGLE, 443));
    agent->rules.push_back(allowAgent);

    SFRuleGroup* client = makeGroup(table.clientGroupId, "QTZ Client", "QTZ_Client");
    SFRule* clientRule = makeRule("11111111-2222-3333-4444-555555555555", table.clientGroupId,
                                  "Client block", FW_ACTION_BLOCK_PACKET);
    clientRule->position = 1;
    clientRule->logEnabled = true;
    clientRule->enforced = true;
    clientRule->description = "added by the client";
    client->rules.push_back(clientRule);

    SFRuleGroup* adaptive = makeGroup(table.adaptiveGroupId, "QTZ Adaptive", "QTZ_Adaptive");
    SFRule* learned = makeRule("66666666-7777-8888-9999-aaaaaaaaaaaa", table.adaptiveGroupId,
                               "Learned", FW_ACTION_ALLOW);
    learned->adaptiveKey = 3232235786u;
    learned->treatAsIntrusion = true;
    learned->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE, "192.168.1.10"));
    adaptive->rules.push_back(learned);

    SFRuleGroup* user = makeGroup(userGroupId, "Office", "Office_chain");
    user->description = "user group";
    user->auxFlag = true;
    user->enforced = true;
    user->netProto = NET_PROTO_IP;
    user->transport = FW_TRANS_PROTO_UDP;
    user->msgType = FW_ICMP_ECHO_REQUEST;

    SFRule* ports = makeRule("a0000001-0000-0000-0000-000000000001", userGroupId, "Ports",
                             FW_ACTION_BLOCK_AND_RESET_CONNECTION);
    ports->addMatch(portMatch(FW_MATCH_LOCAL_PORT, FW_ADDRESS_TYPE_SINGLE, 22));
    ports->addMatch(portMatch(FW_MATCH_REMOTE_PORT, FW_ADDRESS_TYPE_PORT_RANGE, 1000, 2000));
    ports->addMatch(portMatch(FW_MATCH_LOCAL_PORT_2, FW_ADDRESS_TYPE_SINGLE, 8080));
    ports->addMatch(portMatch(FW_MATCH_REMOTE_PORT_2, FW_ADDRESS_TYPE_PORT_RANGE, 5000, 5100));
    ports->addMatch(portMatch(FW_MATCH_LOCAL_PORT, FW_ADDRESS_TYPE_ANY_IPV4_ADD, 0));
    user->rules.push_back(ports);

    SFRule* addresses = makeRule("a0000002-0000-0000-0000-000000000002", userGroupId,
                                 "Addresses", FW_ACTION_BLOCK_HOST);
    addresses->treatAsIntrusion = true;
    addresses->adaptiveKey = 7;
    addresses->addMatch(addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE, "192.168.1.10"));
    addresses->addMatch(
        addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_IP_RANGE, "10.0.0.1", "10.0.0.254"));
    addresses->addMatch(
        addressMatch(FW_MATCH_LOCAL_IP_ADDRESS_2, FW_ADDRESS_TYPE_CIDR, "192.168.1.0", nullptr, 24));
    addresses->addMatch(
        addressMatch(FW_MATCH_REMOTE_IP_ADDRESS_2, FW_ADDRESS_TYPE_DOMAIN_NAME, "updates.example.com"));
    addresses->addMatch(addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_TRUSTED));
    addresses->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_ANY_LOCAL_IP));
    addresses->addMatch(addressMatch(FW_MATCH_LOCAL_IP_ADDRESS_2, FW_ADDRESS_TYPE_LOCAL_SUBNET));
    addresses->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS_2, FW_ADDRESS_TYPE_ANY_IPV4_ADD));
    user->rules.push_back(addresses);

    SFRule* other = makeRule("a0000003-0000-0000-0000-000000000003", userGroupId, "Direction and time",
                             FW_ACTION_CONTINUE);
    other->transport = FW_TRANS_PROTO_ICMP;
    other->msgType = FW_ICMP_ECHO_REPLY;
    other->netProto = NET_PROTO_ARP;
    other->position = 3;
    other->addMatch(intMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND));
    other->addMatch(intMatch(FW_MATCH_PHYSICAL_MEDIUM, FW_PHYSICAL_MEDIUM_WIRELESS));
    other->addMatch(scheduleMatch());
    other->addMatch(new SFMatch()); // kind 0: the three header numbers only
    user->rules.push_back(other);

    table.groups = {primary, agent, client, adaptive, user};
}

SFTrustedGroupIP* trusted(int type, const char* start = nullptr, const char* end = nullptr,
                          uint8_t prefix = 0)
{
    auto* entry = new SFTrustedGroupIP();
    entry->type = type;
    if (type == FW_TRUSTED_ADDRESS_TYPE_CIDR)
        entry->setCidrIPAddress(prefix, start);
    else if (start != nullptr)
        entry->setStartIp4Address(start);
    if (end != nullptr)
        entry->setEndIp4Address(end);
    return entry;
}

struct TrustedList {
    std::list<SFTrustedGroupIP*> entries;
    ~TrustedList()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
};

void buildGoldenTrusted(TrustedList& list)
{
    list.entries = {trusted(FW_TRUSTED_ADDRESS_TYPE_SINGLE, "192.168.1.10"),
                    trusted(FW_TRUSTED_ADDRESS_TYPE_IP_RANGE, "10.0.0.1", "10.0.0.254"),
                    trusted(FW_TRUSTED_ADDRESS_TYPE_CIDR, "192.168.1.0", nullptr, 24),
                    trusted(FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET)};
}

// ---- comparison of every archived field ------------------------------------------------------

void expectSameMatch(const SFMatch& a, const SFMatch& b)
{
    EXPECT_EQ(a.matchType, b.matchType);
    EXPECT_EQ(a.addressType, b.addressType);
    EXPECT_EQ(a.matchOp, b.matchOp);
    // Builders leave unarchived bytes zero and loading zeroes them, so the whole value compares.
    EXPECT_EQ(std::memcmp(&a.value, &b.value, sizeof(a.value)), 0) << a.getMatchValueString();
}

template <class T> void expectSameMatches(const std::list<T*>& a, const std::list<T*>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        expectSameMatch(**i, **j);
}

void expectSameRule(const SFRule& a, const SFRule& b)
{
    EXPECT_TRUE(a == b) << a.name;
    EXPECT_TRUE(sameGuidBytes(a.ruleId, b.ruleId));
    EXPECT_TRUE(sameGuidBytes(a.groupId, b.groupId));
    EXPECT_TRUE(sameGuidBytes(a.jumpTarget, b.jumpTarget));
    EXPECT_EQ(a.enabled, b.enabled);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.enforced, b.enforced);
    EXPECT_EQ(a.action, b.action);
    EXPECT_EQ(a.transport, b.transport);
    EXPECT_EQ(a.netProto, b.netProto);
    EXPECT_EQ(a.msgType, b.msgType);
    EXPECT_EQ(a.logEnabled, b.logEnabled);
    EXPECT_EQ(a.position, b.position);
    EXPECT_EQ(a.keep, b.keep);
    EXPECT_EQ(a.adaptiveKey, b.adaptiveKey);
    EXPECT_EQ(a.treatAsIntrusion, b.treatAsIntrusion);
    expectSameMatches(a.matches, b.matches);
}

void expectSameGroup(const SFRuleGroup& a, const SFRuleGroup& b)
{
    EXPECT_TRUE(a == b) << a.name;
    EXPECT_TRUE(sameGuidBytes(a.groupId, b.groupId));
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.chainName, b.chainName);
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.enforced, b.enforced);
    EXPECT_EQ(a.enabled, b.enabled);
    EXPECT_EQ(a.auxFlag, b.auxFlag);
    EXPECT_EQ(a.transport, b.transport);
    EXPECT_EQ(a.netProto, b.netProto);
    EXPECT_EQ(a.msgType, b.msgType);
    expectSameMatches(a.matches, b.matches);
    ASSERT_EQ(a.rules.size(), b.rules.size());
    for (auto i = a.rules.begin(), j = b.rules.begin(); i != a.rules.end(); ++i, ++j)
        expectSameRule(**i, **j);
}

void expectSameTable(const SFRuleTable& a, const SFRuleTable& b)
{
    EXPECT_TRUE(sameGuidBytes(a.agentGroupId, b.agentGroupId));
    EXPECT_TRUE(sameGuidBytes(a.clientGroupId, b.clientGroupId));
    EXPECT_TRUE(sameGuidBytes(a.adaptiveGroupId, b.adaptiveGroupId));
    EXPECT_TRUE(sameGuidBytes(a.defaultGroupId, b.defaultGroupId));
    ASSERT_EQ(a.groups.size(), b.groups.size());
    for (auto i = a.groups.begin(), j = b.groups.begin(); i != a.groups.end(); ++i, ++j)
        expectSameGroup(**i, **j);
}

void expectSameTrusted(const SFTrustedGroupIP& a, const SFTrustedGroupIP& b)
{
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(std::memcmp(&a.value, &b.value, sizeof(a.value)), 0) << a.getTrustedIPValueString();
}

// ---- random models ---------------------------------------------------------------------------

class RandomModel {
public:
    explicit RandomModel(uint32_t seed) : m_random(seed) {}

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    uint32_t u32() { return std::uniform_int_distribution<uint32_t>()(m_random); }
    bool flag() { return pick(0, 1) == 1; }

    GUID id()
    {
        GUID g{};
        g.Data1 = std::uniform_int_distribution<unsigned long>()(m_random);
        g.Data2 = static_cast<uint16_t>(pick(0, 0xFFFF));
        g.Data3 = static_cast<uint16_t>(pick(0, 0xFFFF));
        for (uint8_t& b : g.Data4)
            b = static_cast<uint8_t>(pick(0, 0xFF));
        return g;
    }

    // Printable ASCII, spaces included: the text forms every archive kind can carry.
    std::string text()
    {
        std::string s(static_cast<std::size_t>(pick(0, 40)), ' ');
        for (char& c : s)
            c = static_cast<char>(pick(0x20, 0x7E));
        return s;
    }

    // Any byte values but the last, which loading forces to 0.
    template <std::size_t N> void bytes(char (&array)[N])
    {
        for (std::size_t i = 0; i + 1 < N; ++i)
            array[i] = static_cast<char>(pick(-128, 127));
    }

    void address(FwIpAddress& a)
    {
        a.family = pick(0, 1) * 4;
        a.address = u32();
    }

    // Only the fields the kind and format archive are set; kinds and formats go one past the
    // defined ranges so "store nothing" paths are covered too.
    SFMatch* match()
    {
        auto* m = new SFMatch();
        m->matchType = pick(0, 12);
        m->addressType = pick(0, 10);
        m->matchOp = pick(0, 9);
        MatchDataType& v = m->value;
        if (SFMatch::isPortKind(m->matchType)) {
            if (m->addressType == FW_ADDRESS_TYPE_SINGLE || m->addressType == FW_ADDRESS_TYPE_PORT_RANGE)
                v.ports.port = static_cast<uint16_t>(pick(0, 0xFFFF));
            if (m->addressType == FW_ADDRESS_TYPE_PORT_RANGE)
                v.ports.lastPort = static_cast<uint16_t>(pick(0, 0xFFFF));
        } else if (SFMatch::isAddressKind(m->matchType)) {
            switch (m->addressType) {
            case FW_ADDRESS_TYPE_IP_RANGE:
                address(v.ipValue.end);
                [[fallthrough]];
            case FW_ADDRESS_TYPE_SINGLE:
                address(v.ipValue.start);
                break;
            case FW_ADDRESS_TYPE_CIDR:
                address(v.ipValue.start);
                v.ipValue.subnet.prefix = static_cast<uint8_t>(pick(0, 255));
                v.ipValue.subnet.mask = u32();
                break;
            case FW_ADDRESS_TYPE_DOMAIN_NAME:
                bytes(v.domainName);
                break;
            default:
                break;
            }
        } else if (m->matchType == FW_MATCH_DIRECTION || m->matchType == FW_MATCH_PHYSICAL_MEDIUM) {
            v.intValue = pick(-5, 5);
        } else if (m->matchType == FW_MATCH_SCHEDULE) {
            bytes(v.schedule.startTime);
            bytes(v.schedule.endTime);
            bytes(v.schedule.days);
            v.schedule.daysMask = static_cast<uint16_t>(pick(0, 0xFFFF));
            v.schedule.scheduleAction = pick(0, 1);
        }
        return m;
    }

    SFRule* rule()
    {
        auto* r = new SFRule();
        r->ruleId = id();
        r->groupId = id();
        r->jumpTarget = id();
        r->enabled = flag();
        r->name = text();
        r->description = text();
        r->enforced = flag();
        r->action = pick(0, 8);
        r->transport = pick(0, 1024);
        r->netProto = pick(0, 40000);
        r->msgType = pick(0, 41);
        for (int n = pick(0, 5); n > 0; --n)
            r->matches.push_back(match());
        r->logEnabled = flag();
        r->position = pick(-1, 50);
        r->keep = flag();
        r->adaptiveKey = u32();
        r->treatAsIntrusion = flag();
        return r;
    }

    SFRuleGroup* group()
    {
        auto* g = new SFRuleGroup();
        g->groupId = id();
        g->name = text();
        g->chainName = text();
        g->description = text();
        g->enforced = flag();
        g->enabled = flag();
        g->auxFlag = flag();
        g->transport = pick(0, 1024);
        g->netProto = pick(0, 40000);
        g->msgType = pick(0, 41);
        for (int n = pick(0, 3); n > 0; --n)
            g->matches.push_back(match());
        for (int n = pick(0, 6); n > 0; --n)
            g->rules.push_back(rule());
        return g;
    }

    void table(SFRuleTable& t)
    {
        for (int n = pick(0, 5); n > 0; --n)
            t.groups.push_back(group());
        t.agentGroupId = id();
        t.clientGroupId = id();
        t.adaptiveGroupId = id();
        t.defaultGroupId = id();
    }

    SFTrustedGroupIP* trustedEntry()
    {
        auto* e = new SFTrustedGroupIP();
        e->type = pick(0, 5);
        switch (e->type) {
        case FW_TRUSTED_ADDRESS_TYPE_IP_RANGE:
            address(e->value.end);
            [[fallthrough]];
        case FW_TRUSTED_ADDRESS_TYPE_SINGLE:
            address(e->value.start);
            break;
        case FW_TRUSTED_ADDRESS_TYPE_CIDR:
            address(e->value.start);
            e->value.subnet.prefix = static_cast<uint8_t>(pick(0, 255));
            e->value.subnet.mask = u32();
            break;
        default:
            break;
        }
        return e;
    }

private:
    std::mt19937 m_random;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Compares with the checked-in file; on a difference writes what was produced next to the
// build so the change can be reviewed (and, when intended, copied over the golden file).
void expectGolden(const std::string& bytes, const std::string& name)
{
    const std::string golden = readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/" + name);
    if (bytes != golden) {
        const std::string actual = std::string(TQ_BINARY_DIR) + "/" + name + ".actual";
        std::ofstream(actual, std::ios::binary) << bytes;
        ADD_FAILURE() << name << " differs from the golden file; produced bytes are in " << actual;
    }
}

std::string narrowOfWide(const std::string& bytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        EXPECT_EQ(bytes.substr(i + 1, 3), std::string(3, '\0')) << "at byte " << i;
        text.push_back(bytes[i]);
    }
    return text;
}

// ---- golden stores ---------------------------------------------------------------------------

TEST(SFStoreFormatTest, RuleStoreMatchesGoldenFile)
{
    SFRuleTable table;
    buildGoldenTable(table);
    const std::string bytes = encodeRuleStore(table);
    expectGolden(bytes, "rule-store.data");

    EXPECT_EQ(bytes.rfind("22 serialization::archive 13 ", 0), 0u);
    EXPECT_NE(bytes.back(), '\n') << "ends right after the last value";
    const std::vector<std::string> all = tokens(bytes);
    // The table ends with the default group's identifier.
    const std::vector<std::string> defaultId =
        numbers({1029384756, 15243, 48226, 8, 77, 99, 71, 117, 105, 68, 126, 0});
    EXPECT_TRUE(std::equal(defaultId.rbegin(), defaultId.rend(), all.rbegin()));
    EXPECT_TRUE(containsRun(all, numbers({2, 1, 1, 167880896, 4})));         // single address
    EXPECT_TRUE(containsRun(all, numbers({6, 4, 1, 4, 108736, 24, 16777215}))); // CIDR
    EXPECT_TRUE(containsRun(all, numbers({4294967295})));
    EXPECT_TRUE(containsRun(all, numbers({3232235786})));
    // Data4 bytes above 0x7f are written as signed numbers.
    EXPECT_TRUE(containsRun(all, numbers({2615116031, 65025, 41136, 8, -101, -100, -3, -2, -1, -128,
                                         -127, 127})));
}

TEST(SFStoreFormatTest, TrustedStoreMatchesGoldenFileAtFourBytesPerCharacter)
{
    TrustedList list;
    buildGoldenTrusted(list);
    const std::string bytes = encodeTrustedStore(list.entries);
    expectGolden(bytes, "trustedip-store.data");

    ASSERT_EQ(bytes.size() % 4, 0u);
    const std::string text = narrowOfWide(bytes);
    EXPECT_EQ(text.rfind("22 serialization::archive 13 ", 0), 0u);
    const std::vector<std::string> all = tokens(text);
    EXPECT_TRUE(containsRun(all, numbers({1, 167880896, 4})));
    EXPECT_TRUE(containsRun(all, numbers({2, 16777226, 4, 4261412874, 4})));
    EXPECT_TRUE(containsRun(all, numbers({4, 4, 108736, 24, 16777215})));
    EXPECT_EQ(all.back(), "3") << "a local-subnet entry is its type alone";
}

TEST(SFStoreFormatTest, GoldenStoresDecodeToTheirModels)
{
    SFRuleTable expected;
    buildGoldenTable(expected);
    SFRuleTable table;
    decodeRuleStore(readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/rule-store.data"),
                    table);
    expectSameTable(expected, table);

    TrustedList expectedList, list;
    buildGoldenTrusted(expectedList);
    decodeTrustedStore(
        readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/trustedip-store.data"),
        list.entries);
    ASSERT_EQ(list.entries.size(), expectedList.entries.size());
    for (auto i = list.entries.begin(), j = expectedList.entries.begin(); i != list.entries.end(); ++i, ++j)
        expectSameTrusted(**i, **j);
}

// ---- field order of each class ---------------------------------------------------------------

TEST(SFStoreFormatTest, GuidIsThreeNumbersThenACountedSignedArray)
{
    EXPECT_EQ(fieldTokens(guid(SF_DEFAULT_GROUP_ID), 2),
              numbers({1029384756, 15243, 48226, 8, 77, 99, 71, 117, 105, 68, 126, 0}));
    EXPECT_EQ(fieldTokens(guid("ffffffff-0001-fffe-9b00-ff7f80010203"), 2),
              numbers({4294967295, 1, 65534, 8, -101, 0, -1, 127, -128, 1, 2, 3}));
}

TEST(SFStoreFormatTest, MatchFieldsFollowKindAndFormat)
{
    struct Case {
        SFMatch* match;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {new SFMatch(), numbers({0, 0, 0})},
        {addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE, "192.168.1.10"),
         numbers({2, 1, 1, 167880896, 4})},
        {addressMatch(FW_MATCH_REMOTE_IP_ADDRESS_2, FW_ADDRESS_TYPE_IP_RANGE, "10.0.0.1", "10.0.0.254"),
         numbers({7, 2, 1, 16777226, 4, 4261412874, 4})},
        {addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_CIDR, "192.168.1.0", nullptr, 24),
         numbers({4, 4, 1, 4, 108736, 24, 16777215})},
        {addressMatch(FW_MATCH_LOCAL_IP_ADDRESS_2, FW_ADDRESS_TYPE_LOCAL_SUBNET), numbers({6, 8, 1})},
        {addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_PORT_RANGE), numbers({2, 3, 1})},
        {portMatch(FW_MATCH_REMOTE_PORT_2, FW_ADDRESS_TYPE_SINGLE, 443), numbers({9, 1, 1, 443})},
        {portMatch(FW_MATCH_LOCAL_PORT, FW_ADDRESS_TYPE_PORT_RANGE, 1000, 65535),
         numbers({1, 3, 5, 1000, 65535})},
        {portMatch(FW_MATCH_LOCAL_PORT_2, FW_ADDRESS_TYPE_CIDR, 80), numbers({8, 4, 1})},
        {intMatch(FW_MATCH_DIRECTION, FW_DIRECTION_OUTBOUND), numbers({5, 0, 1, 2})},
        {intMatch(FW_MATCH_PHYSICAL_MEDIUM, IF_ALL), numbers({10, 0, 1, 4})},
        {intMatch(12, 9), numbers({12, 0, 1})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fieldTokens(*c.match, 3), c.fields) << c.match->getMatchTypeString();
        delete c.match;
    }
}

TEST(SFStoreFormatTest, DomainNameAndScheduleWriteWholeArrays)
{
    std::unique_ptr<SFMatch> domain(
        addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_DOMAIN_NAME, "ab.c"));
    std::vector<std::string> expected = numbers({4, 5, 1, 256, 97, 98, 46, 99});
    expected.resize(expected.size() + 252, "0");
    EXPECT_EQ(fieldTokens(*domain, 3), expected);

    std::unique_ptr<SFMatch> schedule(scheduleMatch());
    expected = numbers({11, 0, 1, 6, '0', '8', ':', '0', '0', 0, 6, '1', '8', ':', '3', '0', 0, 29});
    for (char c : std::string("Mon,Tue,Wed,Thu,Fri"))
        expected.push_back(std::to_string(c));
    expected.resize(expected.size() + 29 - 19, "0");
    expected.push_back("62");
    expected.push_back("1");
    EXPECT_EQ(fieldTokens(*schedule, 3), expected);
}

TEST(SFStoreFormatTest, RuleFieldsInStoreOrderWithAdaptiveKeyAndIntrusionFlag)
{
    std::unique_ptr<SFRule> rule(makeRule("00000005-0006-0007-0809-0a0b0c0d0e0f",
                                          guid("00000001-0000-0000-0000-000000000000"), "r",
                                          FW_ACTION_JUMP));
    rule->description = "d e";
    rule->jumpTarget = guid("00000002-0000-0000-0000-000000000000");
    rule->enforced = true;
    rule->transport = 6;
    rule->netProto = 2048;
    rule->msgType = 8;
    rule->logEnabled = true;
    rule->position = 4;
    rule->keep = true;
    rule->treatAsIntrusion = true;
    const std::vector<std::string> fields = fieldTokens(*rule, 3);
    // ruleId (with the GUID class framing "0 0" on first use), groupId, enabled, name, ...
    const std::vector<std::string> expected = {
        "0", "0", "5", "6", "7", "8", "8", "9", "10", "11", "12", "13", "14", "15", // ruleId
        "1", "0", "0", "8", "0", "0", "0", "0", "0", "0", "0", "0",              // groupId
        "1", "1", "r", "3", "d", "e", "1", "6",                                 // .. action
        "2", "0", "0", "8", "0", "0", "0", "0", "0", "0", "0", "0",              // jumpTarget
        "6", "2048", "8", "0", "0", "0", "0", // .. matches: list class framing, count, item version
        "1", "4", "1", "4294967295", "1"};
    EXPECT_EQ(fields, expected);
}

TEST(SFStoreFormatTest, GroupFieldsInStoreOrder)
{
    std::unique_ptr<SFRuleGroup> group(new SFRuleGroup());
    group->groupId = guid("00000009-0000-0000-0000-000000000000");
    group->name = "n";
    group->chainName = "c";
    group->description = "d";
    group->enforced = true;
    group->enabled = false;
    group->auxFlag = true;
    group->transport = 17;
    group->netProto = 2054;
    group->msgType = 3;
    const std::vector<std::string> expected = {
        "0", "0", "9", "0", "0", "8", "0", "0", "0", "0", "0", "0", "0", "0",
        "1", "n", "1", "c", "1", "d", "1", "0", "1", "17", "2054", "3",
        "0", "0", "0", "0", "0", "0", "0", "0"}; // two empty lists: framing, count, item version
    EXPECT_EQ(fieldTokens(*group, 3), expected);
}

TEST(SFStoreFormatTest, TrustedEntriesWriteOnlyWhatTheirTypeUses)
{
    const std::pair<SFTrustedGroupIP*, std::vector<std::string>> cases[] = {
        {trusted(FW_TRUSTED_ADDRESS_TYPE_SINGLE, "192.168.1.10"), numbers({1, 167880896, 4})},
        {trusted(FW_TRUSTED_ADDRESS_TYPE_IP_RANGE, "10.0.0.1", "10.0.0.254"),
         numbers({2, 16777226, 4, 4261412874, 4})},
        {trusted(FW_TRUSTED_ADDRESS_TYPE_CIDR, "192.168.1.0", nullptr, 24),
         numbers({4, 4, 108736, 24, 16777215})},
        {trusted(FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET), numbers({3})},
        {trusted(FW_TRUSTED_ADDRESS_TYPE_INVALID), numbers({0})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fieldTokens(*c.first, 3), c.second) << c.first->type;
        delete c.first;
    }
}

// ---- round trips -----------------------------------------------------------------------------

TEST(SFStoreFormatTest, RandomTablesRoundTripThroughTheRuleStore)
{
    RandomModel random(20240611);
    for (int n = 0; n < 40; ++n) {
        SFRuleTable table;
        random.table(table);
        const std::string bytes = encodeRuleStore(table);
        SFRuleTable loaded;
        decodeRuleStore(bytes, loaded);
        expectSameTable(table, loaded);
        EXPECT_EQ(encodeRuleStore(loaded), bytes);
        if (HasFailure())
            break;
    }
}

TEST(SFStoreFormatTest, RandomTrustedListsRoundTripThroughTheTrustedStore)
{
    RandomModel random(77);
    for (int n = 0; n < 40; ++n) {
        TrustedList list, loaded;
        for (int i = random.pick(0, 8); i > 0; --i)
            list.entries.push_back(random.trustedEntry());
        const std::string bytes = encodeTrustedStore(list.entries);
        decodeTrustedStore(bytes, loaded.entries);
        ASSERT_EQ(loaded.entries.size(), list.entries.size());
        for (auto i = list.entries.begin(), j = loaded.entries.begin(); i != list.entries.end(); ++i, ++j)
            expectSameTrusted(**i, **j);
        EXPECT_EQ(encodeTrustedStore(loaded.entries), bytes);
    }
}

using boost::archive::text_iarchive;
using boost::archive::text_oarchive;
using boost::archive::text_wiarchive;
using boost::archive::text_woarchive;

template <class T, class Compare> void expectRoundTripsInBothWidths(const T& object, Compare same)
{
    T narrow;
    roundTrip<text_oarchive, text_iarchive, std::stringstream>(object, narrow);
    same(object, narrow);
    T wide;
    roundTrip<text_woarchive, text_wiarchive, std::wstringstream>(object, wide);
    same(object, wide);
}

TEST(SFStoreFormatTest, EveryClassRoundTripsThroughNarrowAndWideArchives)
{
    RandomModel random(4242);
    for (int n = 0; n < 10; ++n) {
        const GUID id = random.id();
        expectRoundTripsInBothWidths(id, [](const GUID& a, const GUID& b) {
            EXPECT_TRUE(sameGuidBytes(a, b));
        });

        std::unique_ptr<SFMatch> match(random.match());
        expectRoundTripsInBothWidths(*match, expectSameMatch);

        std::unique_ptr<SFTrustedGroupIP> entry(random.trustedEntry());
        expectRoundTripsInBothWidths(*entry, expectSameTrusted);

        // Loaded in place like a command payload: a rule and a group by value.
        std::unique_ptr<SFRule> rule(random.rule());
        expectRoundTripsInBothWidths(*rule, expectSameRule);
        std::unique_ptr<SFRuleGroup> group(random.group());
        expectRoundTripsInBothWidths(*group, expectSameGroup);

        SFRuleTable table, narrow, wide;
        random.table(table);
        roundTrip<text_oarchive, text_iarchive, std::stringstream>(table, narrow);
        expectSameTable(table, narrow);
        roundTrip<text_woarchive, text_wiarchive, std::wstringstream>(table, wide);
        expectSameTable(table, wide);

        TrustedList list, narrowList, wideList;
        for (int i = random.pick(0, 4); i > 0; --i)
            list.entries.push_back(random.trustedEntry());
        const std::list<SFTrustedGroupIP*>& entries = list.entries;
        roundTrip<text_oarchive, text_iarchive, std::stringstream>(entries, narrowList.entries);
        roundTrip<text_woarchive, text_wiarchive, std::wstringstream>(entries, wideList.entries);
        ASSERT_EQ(narrowList.entries.size(), list.entries.size());
        ASSERT_EQ(wideList.entries.size(), list.entries.size());
    }
}

// ---- what the writer accepts -----------------------------------------------------------------

SFMatch* trustedMatch()
{
    return addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_TRUSTED);
}

// One user group of rules rules of matches matches each, made by make.
void buildManyMatchTable(SFRuleTable& table, std::size_t rules, std::size_t matches, SFMatch* (*make)())
{
    SFRuleGroup* group = makeGroup(guid("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), "Many", "Many");
    for (std::size_t r = 0; r < rules; ++r) {
        SFRule* rule = makeRule("a0000001-0000-0000-0000-000000000001", group->groupId, "R",
                                FW_ACTION_ALLOW);
        rule->ruleId.Data1 = static_cast<unsigned long>(r);
        for (std::size_t m = 0; m < matches; ++m)
            rule->matches.push_back(make());
        group->rules.push_back(rule);
    }
    table.groups.push_back(group);
}

// False when writing or reading is refused as too heavy.
template <class WriteOrRead> bool withinWeight(WriteOrRead writeOrRead)
{
    try {
        writeOrRead();
        return true;
    } catch (const SFOverweightException&) {
        return false;
    }
}

// The store and the listing of the table as boost's own writer writes them, weighing nothing.
std::string unweighedText(const SFRuleTable& table, bool listing)
{
    std::ostringstream out;
    out << (listing ? "" : SF_ARCHIVE_HEADER);
    boost::archive::text_oarchive archive(out, listing ? 0 : boost::archive::no_header);
    if (listing)
        archive << SFListOfValues<std::list<SFRuleGroup*>>{table.groups};
    else
        archive << table;
    return out.str();
}

// Writes the table with the store's writer and checks the readers agree: the store written
// reads back equal and its listing reads back; a table the writer refuses, the store's reader
// or the listing's refuses too. True when written.
bool writtenAndReadBack(const SFRuleTable& table)
{
    SFRuleTable loaded;
    const bool storeReads = withinWeight([&] { decodeRuleStore(unweighedText(table, false), loaded); });
    if (storeReads)
        expectSameTable(table, loaded);
    std::list<SFRuleGroup> groups;
    const bool listingReads = withinWeight([&] { readCheckedArchive(unweighedText(table, true), groups); });
    if (!withinWeight([&table] { EXPECT_EQ(encodeRuleStore(table), unweighedText(table, false)); })) {
        EXPECT_FALSE(storeReads && listingReads) << "the writer refused what both read";
        return false;
    }
    EXPECT_TRUE(storeReads);
    EXPECT_TRUE(listingReads);
    return true;
}

// Rows of match kind, rules and matches per rule about the bounds of a store: the most matches
// one rule may hold and one more, tables of many addresses or directions. Then the largest
// table of the densest rules (bare "remote = trusted" matches) the writer accepts, found match
// by match: it reads back, and with one match more a reader refuses it.
TEST(SFStoreFormatTest, WhatTheWriterAcceptsTheReaderReadsBackAndItRefusesTheRest)
{
    const struct {
        const char* kind;
        SFMatch* (*make)();
        std::size_t rules;
        std::size_t matches;
        bool written;
    } rows[] = {
        {"trusted", trustedMatch, 1, kMaxMatchesPerList, true},
        {"trusted", trustedMatch, 1, kMaxMatchesPerList + 1, false},
        {"address",
         [] { return addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE, "192.168.201.17"); },
         100, 100, true},
        {"direction", [] { return intMatch(FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND); }, 200, 50, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.rules) + " rules of " + std::to_string(row.matches) + " " +
                     row.kind + " matches");
        SFRuleTable table;
        buildManyMatchTable(table, row.rules, row.matches, row.make);
        EXPECT_EQ(writtenAndReadBack(table), row.written);
    }

    SFRuleTable table;
    buildManyMatchTable(table, 5, kMaxMatchesPerList, trustedMatch);
    std::list<SFMatch*>& last = table.groups.front()->rules.back()->matches;
    auto resize = [&last](std::size_t size) {
        for (; last.size() > size; last.pop_back())
            delete last.back();
        while (last.size() < size)
            last.push_back(trustedMatch());
    };
    // Four rules of the most matches fit and five do not (checked at the end by the readers).
    std::size_t low = 0, high = kMaxMatchesPerList;
    while (high - low > 1) {
        const std::size_t middle = (low + high) / 2;
        resize(middle);
        (withinWeight([&table] { encodeRuleStore(table); }) ? low : high) = middle;
    }
    resize(low);
    EXPECT_TRUE(writtenAndReadBack(table));
    resize(high);
    EXPECT_FALSE(writtenAndReadBack(table));
}

} // namespace
