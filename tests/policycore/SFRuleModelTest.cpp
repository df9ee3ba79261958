#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFTrustedGroupIP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

GUID makeId(unsigned long data1, uint16_t data3)
{
    GUID id{};
    id.Data1 = data1;
    id.Data2 = 0x4a1f;
    id.Data3 = data3;
    for (size_t i = 0; i < sizeof(id.Data4); ++i)
        id.Data4[i] = static_cast<uint8_t>(0x10 * (i + 1) + data3);
    return id;
}

// Bytes of a match value, to show that a refused setter left it alone.
std::vector<unsigned char> valueBytes(const SFMatch& match)
{
    const auto* first = reinterpret_cast<const unsigned char*>(&match.value);
    return std::vector<unsigned char>(first, first + sizeof(match.value));
}

SFMatch* portMatch(int kind, int format, uint16_t port, uint16_t lastPort)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->addressType = format;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, lastPort);
    return match;
}

SFMatch* addressMatch(int kind, const char* start)
{
    auto* match = new SFMatch();
    match->matchType = kind;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setStartIp4Address(start);
    return match;
}

template <size_t N>
void copyText(char (&out)[N], const char* text)
{
    std::memset(out, 0, N);
    std::memcpy(out, text, std::min(std::strlen(text), N - 1));
}

MatchSchedule schedule(const char* start, const char* end, const char* days, uint16_t mask,
                       int action)
{
    MatchSchedule s{};
    copyText(s.startTime, start);
    copyText(s.endTime, end);
    copyText(s.days, days);
    s.daysMask = mask;
    s.scheduleAction = action;
    return s;
}

} // namespace

// ---- SFMatch: setters ----

TEST(SFMatchTest, CidrPrefixIsClampedTo32AndMaskIsBuiltInNetworkOrder)
{
    struct Case {
        int prefix;
        uint8_t storedPrefix;
        const char* mask;
    };
    const Case cases[] = {
        {40, 32, "255.255.255.255"}, {255, 32, "255.255.255.255"}, {32, 32, "255.255.255.255"},
        {24, 24, "255.255.255.0"},   {20, 20, "255.255.240.0"},    {1, 1, "128.0.0.0"},
        {0, 0, "0.0.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("prefix " + std::to_string(c.prefix));
        SFMatch match;
        // Leftovers in the slot must not survive into the mask record.
        std::memset(&match.value.ipValue.subnet, 0xAB, sizeof(match.value.ipValue.subnet));
        ASSERT_TRUE(match.setCidrIPAddress(static_cast<uint8_t>(c.prefix), "10.20.30.40"));
        EXPECT_EQ(4, match.value.ipValue.start.family);
        EXPECT_EQ("10.20.30.40", match.getStartIp4Address());
        EXPECT_EQ(c.storedPrefix, match.value.ipValue.subnet.prefix);
        EXPECT_EQ(c.mask, ip4Text(match.value.ipValue.subnet.mask));
        EXPECT_EQ("10.20.30.40/" + std::to_string(c.storedPrefix), match.getCidrIPAddress());

        FwIpMask freeMask;
        CreateSubnetMask(&freeMask, static_cast<uint8_t>(c.prefix));
        EXPECT_EQ(c.storedPrefix, freeMask.prefix);
        EXPECT_EQ(c.mask, ip4Text(freeMask.mask));
    }
}

TEST(SFMatchTest, AddressTextThatDoesNotParseIsRefusedAndChangesNothing)
{
    SFMatch match;
    match.matchType = FW_MATCH_REMOTE_IP_ADDRESS;
    match.addressType = FW_ADDRESS_TYPE_IP_RANGE;
    ASSERT_TRUE(match.setStartIp4Address("192.168.1.10"));
    ASSERT_TRUE(match.setEndIp4Address("192.168.1.20"));
    EXPECT_EQ("192.168.1.10-192.168.1.20", match.getMatchValueString());
    const std::vector<unsigned char> before = valueBytes(match);

    const char* const bad[] = {nullptr, "", "10.0.0", "256.1.1.1", "abc", "::1", "1.2.3.4/24",
                               " 1.2.3.4"};
    for (const char* text : bad) {
        SCOPED_TRACE(text == nullptr ? "null" : text);
        EXPECT_FALSE(match.setStartIp4Address(text));
        EXPECT_FALSE(match.setEndIp4Address(text));
        EXPECT_FALSE(match.setCidrIPAddress(24, text));
        EXPECT_EQ(before, valueBytes(match));
    }
}

TEST(SFMatchTest, EndPortZeroKeepsThePreviousEndPort)
{
    SFMatch match;
    match.matchType = FW_MATCH_LOCAL_PORT;
    match.addressType = FW_ADDRESS_TYPE_PORT_RANGE;
    match.setPortNumber(1000, 2000);
    EXPECT_EQ("1000-2000", match.getMatchValueString());
    match.setPortNumber(1500, 0);
    EXPECT_EQ("1500-2000", match.getMatchValueString());
    match.setPortNumber(65535, 65535);
    EXPECT_EQ("65535-65535", match.getMatchValueString());
}

TEST(SFMatchTest, DomainNameIsCutTo255CharactersAndNullIsRefused)
{
    SFMatch match;
    EXPECT_FALSE(match.setFQDNString(nullptr));
    EXPECT_EQ("", match.getDomainName());

    ASSERT_TRUE(match.setFQDNString("a-much-longer-name.example.org"));
    ASSERT_TRUE(match.setFQDNString("short.org"));
    // The shorter name replaces the longer one completely.
    EXPECT_EQ("short.org", match.getDomainName());

    const std::string longName(300, 'q');
    ASSERT_TRUE(match.setFQDNString(longName.c_str()));
    EXPECT_EQ(std::string(255, 'q'), match.getDomainName());
    EXPECT_EQ('\0', match.value.domainName[255]);
}

TEST(SFMatchTest, EveryConstructorCarriesAllValueBytes)
{
    SFMatch fresh;
    EXPECT_EQ(0, fresh.matchType);
    EXPECT_EQ(0, fresh.addressType);
    EXPECT_EQ(0, fresh.matchOp);
    EXPECT_EQ(std::vector<unsigned char>(sizeof(fresh.value), 0), valueBytes(fresh));

    KSFMatch flat;
    std::memset(&flat, 0, sizeof(flat));
    flat.matchType = FW_MATCH_SCHEDULE;
    flat.addressType = FW_ADDRESS_TYPE_SINGLE;
    flat.matchOp = FW_MATCH_OP_IN_RANGE;
    for (size_t i = 0; i < sizeof(flat.value); ++i)
        reinterpret_cast<unsigned char*>(&flat.value)[i] = static_cast<unsigned char>(i * 7 + 1);

    const SFMatch fromFlat(flat);
    EXPECT_EQ(FW_MATCH_SCHEDULE, fromFlat.matchType);
    EXPECT_EQ(FW_ADDRESS_TYPE_SINGLE, fromFlat.addressType);
    EXPECT_EQ(FW_MATCH_OP_IN_RANGE, fromFlat.matchOp);
    EXPECT_EQ(0, std::memcmp(&flat.value, &fromFlat.value, sizeof(flat.value)));

    const SFMatch copy(fromFlat);
    EXPECT_EQ(fromFlat.matchOp, copy.matchOp);
    EXPECT_EQ(valueBytes(fromFlat), valueBytes(copy));
    SFMatch assigned;
    assigned = fromFlat;
    EXPECT_EQ(valueBytes(fromFlat), valueBytes(assigned));
}

// ---- SFMatch: texts ----

TEST(SFMatchTest, EnumerationTextsAreNotSetOutsideTheirRange)
{
    struct Case {
        std::function<const char*(SFMatch&, int)> text;
        std::vector<std::pair<int, const char*>> expected;
    };
    const Case cases[] = {
        {[](SFMatch& m, int v) { m.matchType = v; return m.getMatchTypeString(); },
         {{0, "NOT SET"}, {1, "FW_MATCH_LOCAL_PORT"}, {2, "FW_MATCH_LOCAL_IP_ADDRESS"},
          {3, "FW_MATCH_REMOTE_PORT"}, {4, "FW_MATCH_REMOTE_IP_ADDRESS"},
          {5, "FW_MATCH_DIRECTION"}, {6, "FW_MATCH_LOCAL_IP_ADDRESS"},
          {7, "FW_MATCH_REMOTE_IP_ADDRESS"}, {8, "FW_MATCH_LOCAL_PORT"},
          {9, "FW_MATCH_REMOTE_PORT"}, {10, "FW_MATCH_PHYSICAL_MEDIUM"},
          {11, "FW_MATCH_SCHEDULE"}, {12, "NOT SET"}, {-1, "NOT SET"}, {1 << 30, "NOT SET"}}},
        {[](SFMatch& m, int v) { m.addressType = v; return m.getAddressTypeString(); },
         {{0, "NOT SET"}, {1, "FW_ADDRESS_TYPE_SINGLE"}, {2, "FW_ADDRESS_TYPE_IP_RANGE"},
          {3, "FW_ADDRESS_TYPE_PORT_RANGE"}, {4, "FW_ADDRESS_TYPE_CIDR"},
          {5, "FW_ADDRESS_TYPE_DOMAIN_NAME"}, {6, "FW_ADDRESS_TYPE_TRUSTED"},
          {7, "FW_ADDRESS_TYPE_ANY_LOCAL_IP"}, {8, "FW_ADDRESS_TYPE_LOCAL_SUBNET"},
          {9, "FW_ADDRESS_TYPE_ANY_IPV4_ADD"}, {10, "NOT SET"}, {-3, "NOT SET"}}},
        {[](SFMatch& m, int v) { m.matchOp = v; return m.getMatchOpString(); },
         {{0, "NOT SET"}, {1, "FW_MATCH_OP_EQUAL"}, {2, "FW_MATCH_OP_EQUAL_NOT"},
          {3, "FW_MATCH_OP_GEQ"}, {4, "FW_MATCH_OP_LEQ"}, {5, "FW_MATCH_OP_IN_RANGE"},
          {6, "FW_MATCH_OP_IN_RANGE_NOT"}, {7, "FW_MATCH_OP_BITMASK"},
          {8, "FW_MATCH_OP_BITMASK_NOT"}, {9, "NOT SET"}, {-1, "NOT SET"}}},
        {[](SFMatch& m, int v) { m.value.intValue = v; return m.getSFwDirectionString(); },
         {{0, "NOT SET"}, {1, "FW_DIRECTION_INBOUND"}, {2, "FW_DIRECTION_OUTBOUND"},
          {3, "FW_DIRECTION_EITHER"}, {4, "NOT SET"}, {-1, "NOT SET"}}},
        {[](SFMatch& m, int v) { m.value.intValue = v; return m.getNwIFString(); },
         {{0, "NOT SET"}, {1, "FW_PHYSICAL_MEDIUM_WIRED"}, {2, "FW_PHYSICAL_MEDIUM_VIRTUAL"},
          {3, "FW_PHYSICAL_MEDIUM_WIRELESS"}, {4, "IF_ALL"}, {5, "NOT SET"}, {-1, "NOT SET"}}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const auto& [value, expected] : cases[i].expected) {
            SCOPED_TRACE("getter " + std::to_string(i) + ", value " + std::to_string(value));
            SFMatch match;
            const char* text = cases[i].text(match, value);
            ASSERT_NE(nullptr, text);
            EXPECT_STREQ(expected, text);
        }
    }
}

TEST(SFMatchTest, ValueTextForEveryKindAndFormat)
{
    using Fill = void (*)(SFMatch&);
    const Fill none = [](SFMatch&) {};
    const Fill range = [](SFMatch& m) {
        m.setStartIp4Address("10.0.0.1");
        m.setEndIp4Address("10.0.0.9");
    };
    const Fill single = [](SFMatch& m) { m.setStartIp4Address("192.0.2.7"); };
    const Fill cidr = [](SFMatch& m) { m.setCidrIPAddress(16, "172.16.0.0"); };
    const Fill name = [](SFMatch& m) { m.setFQDNString("Mail.Example.ORG"); };
    const Fill ports = [](SFMatch& m) { m.setPortNumber(80, 90); };

    struct Row {
        std::vector<int> kinds;
        int format;
        Fill fill;
        const char* expected;
    };
    const std::vector<int> addressKinds = {2, 4, 6, 7};
    const std::vector<int> portKinds = {1, 3, 8, 9};
    const std::vector<Row> rows = {
        // Unset and unknown kinds, whatever the format and value.
        {{0, 12, 99, -1}, FW_ADDRESS_TYPE_SINGLE, single, "NOT SET"},
        {{0, 12}, FW_ADDRESS_TYPE_PORT_RANGE, ports, "NOT SET"},
        // Address kinds by format.
        {addressKinds, FW_ADDRESS_TYPE_SINGLE, single, "192.0.2.7"},
        {addressKinds, FW_ADDRESS_TYPE_IP_RANGE, range, "10.0.0.1-10.0.0.9"},
        {addressKinds, FW_ADDRESS_TYPE_CIDR, cidr, "172.16.0.0/16"},
        {addressKinds, FW_ADDRESS_TYPE_DOMAIN_NAME, name, "Mail.Example.ORG"},
        {addressKinds, FW_ADDRESS_TYPE_TRUSTED, range, "[Trusted]"},
        {addressKinds, FW_ADDRESS_TYPE_ANY_LOCAL_IP, range, "[Any Local Ip Addr]"},
        {addressKinds, FW_ADDRESS_TYPE_LOCAL_SUBNET, range, "[Local Subnet]"},
        {addressKinds, FW_ADDRESS_TYPE_ANY_IPV4_ADD, none, "0.0.0.0-255.255.255.255"},
        {addressKinds, FW_ADDRESS_TYPE_PORT_RANGE, ports, "NOT SET"},
        {addressKinds, FW_ADDRESS_TYPE_INVALID, single, "NOT SET"},
        {addressKinds, FW_ADDRESS_TYPE_LAST, single, "NOT SET"},
        {addressKinds, -1, single, "NOT SET"},
        // Port kinds by format.
        {portKinds, FW_ADDRESS_TYPE_SINGLE, ports, "80"},
        {portKinds, FW_ADDRESS_TYPE_PORT_RANGE, ports, "80-90"},
        {portKinds, FW_ADDRESS_TYPE_IP_RANGE, ports, "80-90"},
        {portKinds, FW_ADDRESS_TYPE_CIDR, ports, "NOT SET"},
        {portKinds, FW_ADDRESS_TYPE_DOMAIN_NAME, ports, "NOT SET"},
        {portKinds, FW_ADDRESS_TYPE_INVALID, ports, "NOT SET"},
        {portKinds, 42, ports, "NOT SET"},
    };
    for (const Row& row : rows) {
        for (int kind : row.kinds) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", format " + std::to_string(row.format));
            SFMatch match;
            match.matchType = kind;
            match.addressType = row.format;
            row.fill(match);
            EXPECT_EQ(row.expected, match.getMatchValueString());
        }
    }

    struct IntRow {
        int kind;
        int value;
        const char* expected;
    };
    const IntRow intRows[] = {
        {FW_MATCH_DIRECTION, FW_DIRECTION_INBOUND, "FW_DIRECTION_INBOUND"},
        {FW_MATCH_DIRECTION, FW_DIRECTION_EITHER, "FW_DIRECTION_EITHER"},
        {FW_MATCH_DIRECTION, 0, "NOT SET"},
        {FW_MATCH_DIRECTION, 9, "NOT SET"},
        {FW_MATCH_PHYSICAL_MEDIUM, FW_PHYSICAL_MEDIUM_WIRELESS, "FW_PHYSICAL_MEDIUM_WIRELESS"},
        {FW_MATCH_PHYSICAL_MEDIUM, IF_ALL, "IF_ALL"},
        {FW_MATCH_PHYSICAL_MEDIUM, 5, "NOT SET"},
        {FW_MATCH_PHYSICAL_MEDIUM, -2, "NOT SET"},
    };
    for (const IntRow& row : intRows) {
        SCOPED_TRACE("kind " + std::to_string(row.kind) + ", value " + std::to_string(row.value));
        SFMatch match;
        match.matchType = row.kind;
        match.addressType = FW_ADDRESS_TYPE_SINGLE; // the format plays no part for these kinds
        match.value.intValue = row.value;
        EXPECT_EQ(row.expected, match.getMatchValueString());
    }

    SFMatch timed;
    timed.matchType = FW_MATCH_SCHEDULE;
    timed.setSchedule(schedule("08:00", "17:30", "Mon,Tue", 6, FW_SCHEDULE_ACTION_REVERSE));
    const std::string expected =
        "startTime: 08:00endTime: 17:30days: Mon,TuedaysMask:6Action: 1";
    EXPECT_EQ(expected, timed.getSFwScheduleString());
    EXPECT_EQ(expected, timed.getMatchValueString());
}

// Stores and payloads may hand over arrays without a terminator: the texts and comparisons stop
// at the end of each array (run under ASan, an overread of the last one is a failure too).
TEST(SFMatchTest, UnterminatedArraysAreReadOnlyToTheirEnd)
{
    auto full = std::make_unique<SFMatch>();
    full->matchType = FW_MATCH_REMOTE_IP_ADDRESS;
    full->addressType = FW_ADDRESS_TYPE_DOMAIN_NAME;
    std::memset(full->value.domainName, 'd', sizeof(full->value.domainName));
    EXPECT_EQ(std::string(256, 'd'), full->getDomainName());
    EXPECT_EQ(std::string(256, 'd'), full->getMatchValueString());

    auto shouted = std::make_unique<SFMatch>(*full);
    std::memset(shouted->value.domainName, 'D', sizeof(shouted->value.domainName));
    EXPECT_TRUE(*full == *shouted);
    shouted->value.domainName[255] = 'e';
    EXPECT_FALSE(*full == *shouted);

    auto timed = std::make_unique<SFMatch>();
    timed->matchType = FW_MATCH_SCHEDULE;
    std::memset(&timed->value, 'z', sizeof(timed->value));
    MatchSchedule& s = timed->value.schedule;
    std::memset(s.startTime, 'S', sizeof(s.startTime));
    std::memset(s.endTime, 'E', sizeof(s.endTime));
    std::memset(s.days, 'x', sizeof(s.days));
    s.daysMask = 127;
    s.scheduleAction = 0;
    EXPECT_EQ("startTime: SSSSSSendTime: EEEEEEdays: " + std::string(29, 'x') +
                  "daysMask:127Action: 0",
              timed->getSFwScheduleString());

    // Days are not compared: if the times were compared past their end they would run into the
    // differing days and the matches would look different.
    auto otherDays = std::make_unique<SFMatch>(*timed);
    std::memset(otherDays->value.schedule.days, 'y', sizeof(otherDays->value.schedule.days));
    EXPECT_TRUE(*timed == *otherDays);
    otherDays->value.schedule.endTime[5] = 'F';
    EXPECT_FALSE(*timed == *otherDays);
}

// ---- SFMatch: equality ----

TEST(SFMatchTest, EqualityComparesWhatTheKindAndFormatUse)
{
    struct Case {
        const char* what;
        std::function<void(SFMatch&)> setup;
        std::function<void(SFMatch&)> change;
        bool equal;
    };
    auto ports = [](int kind, int format, uint16_t port, uint16_t last) {
        return [=](SFMatch& m) {
            m.matchType = kind;
            m.addressType = format;
            m.matchOp = FW_MATCH_OP_EQUAL;
            m.setPortNumber(port, last);
        };
    };
    auto address = [](int kind, int format) {
        return [=](SFMatch& m) {
            m.matchType = kind;
            m.addressType = format;
            m.matchOp = FW_MATCH_OP_EQUAL_NOT;
            m.setStartIp4Address("10.1.1.1");
            if (format == FW_ADDRESS_TYPE_IP_RANGE)
                m.setEndIp4Address("10.1.1.50");
            if (format == FW_ADDRESS_TYPE_CIDR)
                m.setCidrIPAddress(24, "10.1.1.0");
            if (format == FW_ADDRESS_TYPE_DOMAIN_NAME)
                m.setFQDNString("www.example.com");
        };
    };
    auto timed = [](SFMatch& m) {
        m.matchType = FW_MATCH_SCHEDULE;
        m.matchOp = FW_MATCH_OP_IN_RANGE;
        m.setSchedule(schedule("09:00", "18:00", "Mon,Fri", 34, FW_SCHEDULE_ACTION_DISABLE));
    };
    auto withSchedule = [](const char* start, const char* end, const char* days, uint16_t mask,
                           int action) {
        return [=](SFMatch& m) { m.setSchedule(schedule(start, end, days, mask, action)); };
    };
    const auto nothing = [](SFMatch&) {};

    const Case cases[] = {
        {"identical port range", ports(1, 3, 1000, 2000), nothing, true},
        {"different kind", ports(1, 3, 1000, 2000), [](SFMatch& m) { m.matchType = 3; }, false},
        {"different format", ports(1, 3, 1000, 2000), [](SFMatch& m) { m.addressType = 1; },
         false},
        {"different operator", ports(1, 3, 1000, 2000), [](SFMatch& m) { m.matchOp = 2; },
         false},
        {"port range end", ports(1, 3, 1000, 2000), [](SFMatch& m) { m.setPortNumber(1000, 3000); },
         false},
        {"port range start", ports(9, 3, 1000, 2000), [](SFMatch& m) { m.setPortNumber(999, 0); },
         false},
        {"single port ignores end", ports(3, 1, 80, 90), [](SFMatch& m) { m.setPortNumber(80, 99); },
         true},
        {"single port", ports(8, 1, 80, 0), [](SFMatch& m) { m.setPortNumber(81, 0); }, false},
        {"port kind, unused format", ports(1, 4, 80, 90), [](SFMatch& m) { m.setPortNumber(1, 2); },
         true},
        {"unset kind", ports(0, 3, 1, 2), [](SFMatch& m) { m.setPortNumber(5, 6); }, true},
        {"unknown kind", ports(12, 3, 1, 2), [](SFMatch& m) { m.setPortNumber(5, 6); }, true},
        {"single address", address(2, 1), [](SFMatch& m) { m.setStartIp4Address("10.1.1.2"); },
         false},
        {"second address kind", address(7, 1),
         [](SFMatch& m) { m.setStartIp4Address("10.1.1.2"); }, false},
        {"range end", address(4, 2), [](SFMatch& m) { m.setEndIp4Address("10.1.1.51"); }, false},
        {"range start", address(6, 2), [](SFMatch& m) { m.setStartIp4Address("10.1.1.0"); },
         false},
        {"cidr prefix", address(2, 4), [](SFMatch& m) { m.setCidrIPAddress(25, "10.1.1.0"); },
         false},
        {"cidr same text", address(2, 4), [](SFMatch& m) { m.setCidrIPAddress(24, "10.1.1.0"); },
         true},
        {"domain name case", address(4, 5), [](SFMatch& m) { m.setFQDNString("WWW.Example.COM"); },
         true},
        {"domain name", address(4, 5), [](SFMatch& m) { m.setFQDNString("www.example.net"); },
         false},
        {"trusted ignores value", address(2, 6),
         [](SFMatch& m) { m.setStartIp4Address("8.8.8.8"); }, true},
        {"direction",
         [](SFMatch& m) {
             m.matchType = FW_MATCH_DIRECTION;
             m.value.intValue = FW_DIRECTION_INBOUND;
         },
         [](SFMatch& m) { m.value.intValue = FW_DIRECTION_OUTBOUND; }, false},
        {"medium",
         [](SFMatch& m) {
             m.matchType = FW_MATCH_PHYSICAL_MEDIUM;
             m.value.intValue = IF_ALL;
         },
         [](SFMatch& m) { m.value.intValue = FW_PHYSICAL_MEDIUM_WIRED; }, false},
        {"schedule days text", timed, withSchedule("09:00", "18:00", "Sun", 34, 0), true},
        {"schedule start", timed, withSchedule("09:01", "18:00", "Mon,Fri", 34, 0), false},
        {"schedule end", timed, withSchedule("09:00", "18:30", "Mon,Fri", 34, 0), false},
        {"schedule mask", timed, withSchedule("09:00", "18:00", "Mon,Fri", 35, 0), false},
        {"schedule action", timed, withSchedule("09:00", "18:00", "Mon,Fri", 34, 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SFMatch a;
        c.setup(a);
        SFMatch b(a);
        c.change(b);
        EXPECT_EQ(c.equal, a == b);
        EXPECT_EQ(c.equal, b == a);
    }
}

// ---- SFRule ----

namespace {

SFRule* makeRule()
{
    auto* rule = new SFRule();
    rule->groupId = makeId(0x51, 1);
    rule->ruleId = makeId(0x1234, 2);
    rule->name = "Allow web";
    rule->description = "outbound web traffic";
    rule->enabled = true;
    rule->action = FW_ACTION_ALLOW;
    rule->transport = FW_TRANS_PROTO_TCP;
    rule->netProto = NET_PROTO_IP;
    rule->msgType = FW_MSG_TYPE_UNKNOWN;
    rule->logEnabled = true;
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, FW_ADDRESS_TYPE_PORT_RANGE, 80, 443));
    rule->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, "203.0.113.5"));
    return rule;
}

} // namespace

TEST(SFRuleTest, NewRuleHasTheDocumentedDefaults)
{
    const SFRule rule;
    EXPECT_TRUE(CommonFunc::isGUIDNull(rule.groupId));
    EXPECT_TRUE(CommonFunc::isGUIDNull(rule.ruleId));
    EXPECT_TRUE(CommonFunc::isGUIDNull(rule.jumpTarget));
    EXPECT_FALSE(rule.keep);
    EXPECT_EQ(-1, rule.position);
    EXPECT_FALSE(rule.enabled);
    EXPECT_EQ(FW_ACTION_INVALID, rule.action);
    EXPECT_EQ(FW_TRANS_PROTO_NOT_SET, rule.transport);
    EXPECT_EQ(NET_PROTO_ANY, rule.netProto);
    EXPECT_EQ(FW_MSG_TYPE_UNKNOWN, rule.msgType);
    EXPECT_TRUE(rule.matches.empty());
    EXPECT_FALSE(rule.logEnabled || rule.enforced || rule.treatAsIntrusion);
    EXPECT_EQ(SF_NO_ADAPTIVE_KEY, rule.adaptiveKey);
}

TEST(SFRuleTest, AddMatchOwnsTheMatchAndRefusesNull)
{
    SFRule rule;
    EXPECT_EQ(SF_NO_MATCH_FOR_RULE, rule.addMatch(nullptr));
    EXPECT_TRUE(rule.matches.empty());
    SFMatch* first = portMatch(1, 1, 22, 0);
    SFMatch* second = portMatch(3, 1, 53, 0);
    EXPECT_EQ(SF_SUCCESS, rule.addMatch(first));
    EXPECT_EQ(SF_SUCCESS, rule.addMatch(second));
    ASSERT_EQ(2u, rule.matches.size());
    EXPECT_EQ(first, rule.matches.front());
    EXPECT_EQ(second, rule.matches.back());
    rule.removeAllMatches();
    EXPECT_TRUE(rule.matches.empty());
    // The rule frees what it still holds (LSan reports it otherwise).
    rule.addMatch(portMatch(1, 1, 25, 0));
}

TEST(SFRuleTest, EqualityIgnoresBookkeepingFieldsOnly)
{
    struct Case {
        const char* what;
        std::function<void(SFRule&)> change;
        bool equal;
    };
    const Case cases[] = {
        {"nothing", [](SFRule&) {}, true},
        {"description", [](SFRule& r) { r.description = "other"; }, true},
        {"position", [](SFRule& r) { r.position = 7; }, true},
        {"keep", [](SFRule& r) { r.keep = true; }, true},
        {"enforced", [](SFRule& r) { r.enforced = true; }, true},
        {"adaptive key", [](SFRule& r) { r.adaptiveKey = 17; }, true},
        {"jump target of a non-jump rule", [](SFRule& r) { r.jumpTarget = makeId(9, 9); }, true},
        {"rule id", [](SFRule& r) { r.ruleId.Data4[7] ^= 1; }, false},
        {"group id", [](SFRule& r) { r.groupId = makeId(0x52, 1); }, false},
        {"enabled", [](SFRule& r) { r.enabled = false; }, false},
        {"name", [](SFRule& r) { r.name = "allow web"; }, false},
        {"action", [](SFRule& r) { r.action = FW_ACTION_BLOCK_PACKET; }, false},
        {"transport", [](SFRule& r) { r.transport = FW_TRANS_PROTO_UDP; }, false},
        {"net protocol", [](SFRule& r) { r.netProto = NET_PROTO_ARP; }, false},
        {"message type", [](SFRule& r) { r.msgType = FW_ICMP_ANY; }, false},
        {"logging", [](SFRule& r) { r.logEnabled = false; }, false},
        {"treat as intrusion", [](SFRule& r) { r.treatAsIntrusion = true; }, false},
        {"one match fewer", [](SFRule& r) { delete r.matches.back(); r.matches.pop_back(); },
         false},
        {"match value", [](SFRule& r) { r.matches.front()->setPortNumber(80, 444); }, false},
        {"match order",
         [](SFRule& r) {
             r.matches.push_back(r.matches.front());
             r.matches.pop_front();
         },
         false},
    };
    const std::unique_ptr<SFRule> original(makeRule());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SFRule changed(*original);
        c.change(changed);
        EXPECT_EQ(c.equal, *original == changed);
        EXPECT_EQ(c.equal, changed == *original);
    }

    // Jump rules are also compared by where they jump.
    SFRule jump(*original);
    jump.action = FW_ACTION_JUMP;
    jump.jumpTarget = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    SFRule sameTarget(jump);
    EXPECT_TRUE(jump == sameTarget);
    SFRule otherTarget(jump);
    otherTarget.jumpTarget = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    EXPECT_FALSE(jump == otherTarget);
}

TEST(SFRuleTest, CopyIsIndependentOfTheOriginal)
{
    auto* original = makeRule();
    original->keep = true;
    original->position = 4;
    original->enforced = true;
    original->treatAsIntrusion = true;
    original->adaptiveKey = 99;
    original->jumpTarget = makeId(0x77, 7);
    const SFRule copy(*original);
    const SFRule reference(*original);

    EXPECT_TRUE(copy == *original);
    EXPECT_TRUE(copy.keep);
    EXPECT_EQ(4, copy.position);
    EXPECT_TRUE(copy.enforced);
    EXPECT_EQ(99u, copy.adaptiveKey);
    EXPECT_EQ("outbound web traffic", copy.description);
    ASSERT_EQ(original->matches.size(), copy.matches.size());
    auto theirs = original->matches.begin();
    for (const SFMatch* mine : copy.matches)
        EXPECT_NE(*theirs++, mine) << "the copy shares a match object";

    original->matches.front()->setPortNumber(1, 2);
    original->name = "changed";
    original->addMatch(portMatch(1, 1, 7, 0));
    delete original;
    EXPECT_TRUE(copy == reference);
    EXPECT_EQ("80-443", copy.matches.front()->getMatchValueString());
}

TEST(SFRuleTest, RuleFromFlatRecordIsEnforcedWithoutGroupOrMatches)
{
    KSFRule flat;
    std::memset(&flat, 0, sizeof(flat));
    const GUID ruleId = makeId(0xCAFE0001, 3);
    const GUID target = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    flat.ruleId = toKGUID(ruleId);
    flat.jumpTarget = toKGUID(target);
    flat.position = 12;
    flat.adaptiveKey = 0x00C0FFEE;
    std::strcpy(flat.name, "Jump to client");
    flat.action = FW_ACTION_JUMP;
    flat.transport = FW_TRANS_PROTO_ANY;
    flat.netProto = NET_PROTO_IP;
    flat.msgType = FW_ICMP_ECHO_REQUEST;
    flat.enabled = 0x100; // any non-zero value counts as set
    flat.logEnabled = 2;
    flat.treatAsIntrusion = 0x80;
    flat.matchCount = 5; // the matches travel separately

    const SFRule rule(flat);
    EXPECT_TRUE(CommonFunc::isGUIDNull(rule.groupId));
    EXPECT_EQ(CommonFunc::textGUID(ruleId), CommonFunc::textGUID(rule.ruleId));
    EXPECT_TRUE(sameGuidBytes(ruleId, rule.ruleId));
    EXPECT_TRUE(sameGuidBytes(target, rule.jumpTarget));
    EXPECT_FALSE(rule.keep);
    EXPECT_EQ(12, rule.position);
    EXPECT_EQ(0x00C0FFEEu, rule.adaptiveKey);
    EXPECT_EQ("Jump to client", rule.name);
    EXPECT_EQ("", rule.description);
    EXPECT_EQ(FW_ACTION_JUMP, rule.action);
    EXPECT_EQ(FW_TRANS_PROTO_ANY, rule.transport);
    EXPECT_EQ(NET_PROTO_IP, rule.netProto);
    EXPECT_EQ(FW_ICMP_ECHO_REQUEST, rule.msgType);
    EXPECT_TRUE(rule.enabled);
    EXPECT_TRUE(rule.logEnabled);
    EXPECT_TRUE(rule.treatAsIntrusion);
    EXPECT_TRUE(rule.enforced);
    EXPECT_TRUE(rule.matches.empty());

    flat.enabled = flat.logEnabled = 0;
    flat.treatAsIntrusion = 0;
    const SFRule cleared(flat);
    EXPECT_FALSE(cleared.enabled || cleared.logEnabled || cleared.treatAsIntrusion);
    EXPECT_TRUE(cleared.enforced);
}

TEST(SFRuleTest, RuleFromFlatRecordReadsAtMost103NameCharacters)
{
    auto flat = std::make_unique<KSFRule>();
    std::memset(flat.get(), 0, sizeof(KSFRule));
    flat->action = 0x41414141; // what follows the name array must not leak into the name
    std::memset(flat->name, 'n', sizeof(flat->name));
    const SFRule rule(*flat);
    EXPECT_EQ(std::string(103, 'n'), rule.name);
}

TEST(SFRuleTest, FlatRecordCarriesTheRuleInDriverLayout)
{
    const std::unique_ptr<SFRule> rule(makeRule());
    rule->name = std::string(150, 'L');
    rule->action = FW_ACTION_JUMP;
    rule->jumpTarget = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    rule->position = 3;
    rule->adaptiveKey = 41;
    rule->treatAsIntrusion = true;
    rule->enabled = false;

    const KSFRule flat = rule->GetData();
    EXPECT_EQ(std::string(103, 'L'), std::string(flat.name));
    EXPECT_EQ('\0', flat.name[103]);
    EXPECT_EQ(2, flat.matchCount);
    EXPECT_EQ(3, flat.position);
    EXPECT_EQ(41u, flat.adaptiveKey);
    EXPECT_EQ(FW_ACTION_JUMP, flat.action);
    EXPECT_EQ(FW_TRANS_PROTO_TCP, flat.transport);
    EXPECT_EQ(NET_PROTO_IP, flat.netProto);
    EXPECT_EQ(FW_MSG_TYPE_UNKNOWN, flat.msgType);
    EXPECT_EQ(0, flat.enabled);
    EXPECT_EQ(1, flat.logEnabled);
    EXPECT_EQ(1, flat.treatAsIntrusion);

    // The flat identifier puts the eight bytes before the two 16-bit parts.
    static_assert(offsetof(KGUID, Data4) == 8 && offsetof(KGUID, Data2) == 16 &&
                  offsetof(KGUID, Data3) == 18);
    EXPECT_EQ(rule->ruleId.Data1, flat.ruleId.Data1);
    EXPECT_EQ(0, std::memcmp(rule->ruleId.Data4, flat.ruleId.Data4, 8));
    EXPECT_EQ(rule->ruleId.Data2, flat.ruleId.Data2);
    EXPECT_EQ(rule->ruleId.Data3, flat.ruleId.Data3);
    EXPECT_EQ(SF_ADAPTIVE_GROUP_ID, CommonFunc::textGUID(fromKGUID(flat.jumpTarget)));

    // Back through the flat form: only the group (not in the record) and the matches are lost.
    SFRule back(flat);
    EXPECT_EQ(std::string(103, 'L'), back.name);
    back.groupId = rule->groupId;
    back.name = rule->name;
    for (const SFMatch* match : rule->matches)
        back.addMatch(new SFMatch(*match));
    EXPECT_TRUE(back == *rule);
}

// ---- SFTrustedGroupIP ----

TEST(SFTrustedGroupIPTest, TextsFollowTheType)
{
    SFTrustedGroupIP entry;
    EXPECT_EQ(FW_TRUSTED_ADDRESS_TYPE_INVALID, entry.type);
    ASSERT_TRUE(entry.setStartIp4Address("10.9.8.7"));
    ASSERT_TRUE(entry.setEndIp4Address("10.9.8.70"));

    struct Case {
        int type;
        const char* typeText;
        const char* valueText;
    };
    const Case cases[] = {
        {0, "NOT SET", "NOT SET"},
        {1, "FW_TRUSTED_ADDRESS_TYPE_SINGLE", "10.9.8.7"},
        {2, "FW_TRUSTED_ADDRESS_TYPE_IP_RANGE", "10.9.8.7-10.9.8.70"},
        {3, "FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET", "NOT SET"},
        {5, "NOT SET", "NOT SET"},
        {-1, "NOT SET", "NOT SET"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        entry.type = c.type;
        const char* typeText = entry.getAddressTypeString();
        ASSERT_NE(nullptr, typeText);
        EXPECT_STREQ(c.typeText, typeText);
        EXPECT_EQ(c.valueText, entry.getTrustedIPValueString());
    }

    entry.type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
    ASSERT_TRUE(entry.setCidrIPAddress(40, "10.9.0.0"));
    EXPECT_STREQ("FW_TRUSTED_ADDRESS_TYPE_CIDR", entry.getAddressTypeString());
    EXPECT_EQ("10.9.0.0/32", entry.getTrustedIPValueString());
    EXPECT_EQ("255.255.255.255", ip4Text(entry.value.subnet.mask));
    ASSERT_TRUE(entry.setCidrIPAddress(12, "10.16.0.0"));
    EXPECT_EQ("10.16.0.0/12", entry.getCidrIPAddress());
    EXPECT_EQ("255.240.0.0", ip4Text(entry.value.subnet.mask));
}

TEST(SFTrustedGroupIPTest, UnparsableAddressTextChangesNothing)
{
    SFTrustedGroupIP entry;
    entry.type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
    ASSERT_TRUE(entry.setCidrIPAddress(24, "192.168.5.0"));
    const SFTrustedGroupIP before(entry);
    for (const char* text : {static_cast<const char*>(nullptr), "", "192.168.5", "x.y.z.w"}) {
        EXPECT_FALSE(entry.setStartIp4Address(text));
        EXPECT_FALSE(entry.setEndIp4Address(text));
        EXPECT_FALSE(entry.setCidrIPAddress(16, text));
    }
    EXPECT_EQ(0, std::memcmp(&before.value, &entry.value, sizeof(entry.value)));
    EXPECT_EQ("192.168.5.0/24", entry.getTrustedIPValueString());
}

TEST(SFTrustedGroupIPTest, BuiltFromFlatDataAndCopiedFieldByField)
{
    TrustedIPData data;
    std::memset(&data, 0, sizeof(data));
    data.type = FW_TRUSTED_ADDRESS_TYPE_IP_RANGE;
    parseIp4Text("172.20.0.1", data.value.start.address);
    data.value.start.family = 4;
    parseIp4Text("172.20.0.99", data.value.end.address);
    data.value.end.family = 4;

    const SFTrustedGroupIP entry(data);
    EXPECT_EQ(FW_TRUSTED_ADDRESS_TYPE_IP_RANGE, entry.type);
    EXPECT_EQ("172.20.0.1-172.20.0.99", entry.getTrustedIPValueString());
    const SFTrustedGroupIP copy(entry);
    EXPECT_EQ(entry.type, copy.type);
    EXPECT_EQ(0, std::memcmp(&entry.value, &copy.value, sizeof(copy.value)));
    EXPECT_TRUE(copy == entry);
}

TEST(SFTrustedGroupIPTest, EqualityByTypeAndAddressTextLocalSubnetsNeverEqual)
{
    auto entry = [](int type, const char* start, const char* end, int prefix) {
        SFTrustedGroupIP e;
        e.type = type;
        e.setStartIp4Address(start);
        if (end != nullptr)
            e.setEndIp4Address(end);
        if (prefix >= 0)
            e.setCidrIPAddress(static_cast<uint8_t>(prefix), start);
        return e;
    };
    struct Case {
        const char* what;
        SFTrustedGroupIP a;
        SFTrustedGroupIP b;
        bool equal;
    };
    const Case cases[] = {
        {"same single", entry(1, "1.1.1.1", nullptr, -1), entry(1, "1.1.1.1", "9.9.9.9", -1),
         true},
        {"other single", entry(1, "1.1.1.1", nullptr, -1), entry(1, "1.1.1.2", nullptr, -1),
         false},
        {"other type", entry(1, "1.1.1.1", nullptr, -1), entry(2, "1.1.1.1", nullptr, -1),
         false},
        {"same range", entry(2, "1.1.1.1", "1.1.1.9", -1), entry(2, "1.1.1.1", "1.1.1.9", -1),
         true},
        {"range end", entry(2, "1.1.1.1", "1.1.1.9", -1), entry(2, "1.1.1.1", "1.1.1.8", -1),
         false},
        {"same cidr", entry(4, "10.0.0.0", nullptr, 8), entry(4, "10.0.0.0", nullptr, 8), true},
        {"cidr prefix", entry(4, "10.0.0.0", nullptr, 8), entry(4, "10.0.0.0", nullptr, 16),
         false},
        {"local subnets", entry(3, "1.1.1.1", nullptr, -1), entry(3, "1.1.1.1", nullptr, -1),
         false},
        {"invalid", SFTrustedGroupIP(), SFTrustedGroupIP(), false},
        {"out of range", entry(9, "1.1.1.1", nullptr, -1), entry(9, "1.1.1.1", nullptr, -1),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.equal, c.a == c.b);
        EXPECT_EQ(c.equal, c.b == c.a);
    }
    const SFTrustedGroupIP subnet = entry(3, "1.1.1.1", nullptr, -1);
    EXPECT_FALSE(subnet == subnet);
}
