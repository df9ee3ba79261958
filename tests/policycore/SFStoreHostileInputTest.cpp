// Store bytes that this system did not write: other archive versions, older and newer class
// versions, truncation, oversized counts, lengths and arrays, back-references. Each case must
// either load as boost would or fail with an exception, without crashing, hanging, leaking or
// over-allocating (the sanitizer build checks leaks; MemoryCeiling.h caps memory).

#include "ArchiveTexts.h"
#include "MemoryCeiling.h"
#include "SFCheckedRead.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_woarchive.hpp>
#include <boost/serialization/vector.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <random>
#include <sstream>
#include <vector>

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

using namespace StatefulFirewall;
using boost::archive::archive_exception;

namespace {

using Tokens = std::vector<std::string>;

Tokens split(const std::string& text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Strings in the stores below hold no spaces, so single spaces rebuild an equivalent archive.
std::string join(const Tokens& tokens)
{
    std::string text;
    for (const std::string& token : tokens)
        text += (text.empty() ? "" : " ") + token;
    return text;
}

std::size_t indexOf(const Tokens& tokens, const std::string& token)
{
    auto it = std::find(tokens.begin(), tokens.end(), token);
    EXPECT_NE(it, tokens.end()) << token;
    EXPECT_EQ(std::count(tokens.begin(), tokens.end(), token), 1) << token << " is not unique";
    return static_cast<std::size_t>(it - tokens.begin());
}

GUID numbered(unsigned long data1)
{
    GUID id{};
    id.Data1 = data1;
    id.Data4[7] = 0x42;
    return id;
}

// Two groups; the first holds a group match and one rule with a domain-name and a schedule
// match. Distinct numbers mark the places the tests edit: group Data1 271000 (msgType 37) and
// 314159 (msgType 39), rule Data1 271828 (msgType 38, adaptive key 987654). The store ends with
// the default group's identifier, whose last number is the single digit 0.
void buildTable(SFRuleTable& table)
{
    table.agentGroupId = numbered(11);
    table.clientGroupId = numbered(12);
    table.adaptiveGroupId = numbered(13);
    table.defaultGroupId = numbered(14);
    table.defaultGroupId.Data4[7] = 0;

    auto* first = new SFRuleGroup();
    first->groupId = numbered(271000);
    first->name = "first";
    first->msgType = 37;
    auto* direction = new SFMatch();
    direction->matchType = FW_MATCH_DIRECTION;
    direction->value.intValue = FW_DIRECTION_INBOUND;
    first->matches.push_back(direction);

    auto* rule = new SFRule();
    rule->ruleId = numbered(271828);
    rule->groupId = first->groupId;
    rule->name = "R";
    rule->msgType = 38;
    rule->adaptiveKey = 987654;
    rule->treatAsIntrusion = true;
    auto* domain = new SFMatch();
    domain->matchType = FW_MATCH_REMOTE_IP_ADDRESS_2;
    domain->addressType = FW_ADDRESS_TYPE_DOMAIN_NAME;
    domain->setFQDNString("a.example");
    rule->matches.push_back(domain);
    MatchSchedule schedule{};
    std::strcpy(schedule.startTime, "08:00");
    std::strcpy(schedule.endTime, "17:00");
    std::strcpy(schedule.days, "Sat,Sun");
    auto* when = new SFMatch();
    when->matchType = FW_MATCH_SCHEDULE;
    when->setSchedule(schedule);
    rule->matches.push_back(when);
    first->rules.push_back(rule);

    auto* second = new SFRuleGroup();
    second->groupId = numbered(314159);
    second->name = "second";
    second->msgType = 39;
    table.groups = {first, second};
}

std::string ruleStore()
{
    SFRuleTable table;
    buildTable(table);
    return encodeRuleStore(table);
}

// Decodes into a fresh table; the table frees whatever was loaded before a failure.
void decodeRules(const std::string& bytes)
{
    SFRuleTable table;
    decodeRuleStore(bytes, table);
}

SFRule* onlyRule(const SFRuleTable& table)
{
    return table.groups.front()->rules.front();
}

struct TrustedList {
    std::list<SFTrustedGroupIP*> entries;
    ~TrustedList()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
};

std::string trustedStore()
{
    TrustedList list;
    // The local subnet last: the store ends with its single-digit type.
    for (int type : {FW_TRUSTED_ADDRESS_TYPE_SINGLE, FW_TRUSTED_ADDRESS_TYPE_CIDR,
                     FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET}) {
        auto* entry = new SFTrustedGroupIP();
        entry->type = type;
        list.entries.push_back(entry);
    }
    list.entries.front()->setStartIp4Address("10.1.2.3");
    (*std::next(list.entries.begin()))->setCidrIPAddress(19, "172.16.0.0");
    return encodeTrustedStore(list.entries);
}

std::string narrowOfWide(const std::string& bytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 4)
        text.push_back(bytes[i]);
    return text;
}

std::string wideOfNarrow(const std::string& text)
{
    std::string bytes;
    for (char c : text)
        bytes += std::string(1, c) + std::string(3, '\0');
    return bytes;
}

void decodeTrusted(const std::string& bytes)
{
    TrustedList list;
    decodeTrustedStore(bytes, list.entries);
}

// The archive exception code a decode ends with; no_exception when it loads.
template <class Decode> archive_exception::exception_code failureOf(Decode decode)
{
    try {
        decode();
    } catch (const archive_exception& e) {
        return e.code;
    }
    return archive_exception::no_exception;
}

// The refusal a decode ends with: the exception's text; empty when it loads.
template <class Decode> std::string refusalOf(Decode decode)
{
    try {
        decode();
    } catch (const std::bad_alloc&) {
        return "over-allocation";
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

TEST(SFStoreHostileInputTest, ArchiveVersionsUpTo18LoadAndNewerAreRefused)
{
    const std::string rules = ruleStore();
    const std::string trusted = trustedStore();
    for (const char* version : {"9", "13", "18", "19"}) {
        Tokens edited = split(rules);
        ASSERT_EQ(edited[2], "13");
        edited[2] = version;
        SFRuleTable table;
        Tokens wide = split(narrowOfWide(trusted));
        wide[2] = version;
        TrustedList list;
        if (std::string(version) == "19") {
            EXPECT_EQ(failureOf([&] { decodeRuleStore(join(edited), table); }),
                      archive_exception::unsupported_version);
            EXPECT_EQ(failureOf([&] { decodeTrustedStore(wideOfNarrow(join(wide)), list.entries); }),
                      archive_exception::unsupported_version);
            continue;
        }
        decodeRuleStore(join(edited), table);
        EXPECT_EQ(encodeRuleStore(table), rules) << "version " << version;
        decodeTrustedStore(wideOfNarrow(join(wide)), list.entries);
        EXPECT_EQ(encodeTrustedStore(list.entries), trusted) << "version " << version;
    }
}

TEST(SFStoreHostileInputTest, RuleOfClassVersionZeroLoadsWithoutIntrusionFlag)
{
    Tokens tokens = split(ruleStore());
    const std::size_t id = indexOf(tokens, "271828");
    ASSERT_EQ(tokens[id - 2], "1"); // the rule class version, before the object id
    tokens[id - 2] = "0";
    const std::size_t key = indexOf(tokens, "987654");
    ASSERT_EQ(tokens[key + 1], "1");
    tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(key + 1));

    SFRuleTable table;
    decodeRuleStore(join(tokens), table);
    EXPECT_FALSE(onlyRule(table)->treatAsIntrusion);
    EXPECT_EQ(onlyRule(table)->adaptiveKey, 987654u);
    EXPECT_EQ(table.groups.size(), 2u) << "fields after the rule are read in step";
}

TEST(SFStoreHostileInputTest, NewerClassVersionsAreRefused)
{
    Tokens rules = split(ruleStore());
    rules[indexOf(rules, "271828") - 2] = "2";
    EXPECT_EQ(failureOf([&] { decodeRules(join(rules)); }),
              archive_exception::unsupported_class_version);

    Tokens trusted = split(narrowOfWide(trustedStore()));
    // list framing 2, count, item version, then the first entry's class id, tracking, version
    ASSERT_EQ(trusted[9], "0");
    trusted[9] = "1";
    EXPECT_EQ(failureOf([&] { decodeTrusted(wideOfNarrow(join(trusted))); }),
              archive_exception::unsupported_class_version);
}

TEST(SFStoreHostileInputTest, IdentifierBytesAreCheckedAndReadEitherSigned)
{
    const Tokens tokens = split(ruleStore());
    const std::size_t count = tokens.size() - 9; // the default group's Data4 count
    ASSERT_EQ(tokens[count], "8");
    ASSERT_EQ(tokens[count + 8], "0");

    Tokens tooMany = tokens;
    tooMany[count] = "9";
    tooMany.push_back("0");
    EXPECT_EQ(failureOf([&] { decodeRules(join(tooMany)); }), archive_exception::array_size_too_short);

    // Fewer bytes fill the first ones; the byte 0x9b may be stored as 155 or as -101.
    Tokens fewer(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(count));
    for (const char* token : {"3", "155", "-101", "1"})
        fewer.push_back(token);
    SFRuleTable table;
    decodeRuleStore(join(fewer), table);
    const uint8_t expected[8] = {0x9b, 0x9b, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(table.defaultGroupId.Data4, expected, 8), 0);
}

TEST(SFStoreHostileInputTest, ValuesWiderThanTheirFieldsAreRefused)
{
    Tokens tokens = split(ruleStore());
    tokens[indexOf(tokens, "987654")] = "4294967295";
    SFRuleTable table;
    decodeRuleStore(join(tokens), table);
    EXPECT_EQ(onlyRule(table)->adaptiveKey, 4294967295u);

    tokens[indexOf(tokens, "4294967295")] = "4294967296";
    EXPECT_THROW(decodeRules(join(tokens)), archive_exception);

    Tokens trusted = split(narrowOfWide(trustedStore()));
    trusted[indexOf(trusted, "19")] = "255";
    TrustedList list;
    decodeTrustedStore(wideOfNarrow(join(trusted)), list.entries);
    EXPECT_EQ((*std::next(list.entries.begin()))->value.subnet.prefix, 255);

    trusted[indexOf(trusted, "255")] = "275"; // would be 19 again if cut to 8 bits
    EXPECT_THROW(decodeTrusted(wideOfNarrow(join(trusted))), archive_exception);
}

TEST(SFStoreHostileInputTest, EveryTruncatedStoreFails)
{
    const std::string rules = ruleStore();
    for (std::size_t length = 0; length < rules.size(); ++length)
        EXPECT_THROW(decodeRules(rules.substr(0, length)), std::exception) << length;

    const std::string trusted = trustedStore();
    for (std::size_t length = 0; length < trusted.size(); ++length)
        EXPECT_THROW(decodeTrusted(trusted.substr(0, length)), std::exception) << length;
}

// A count taken at its word would loop or allocate for billions of entries; the hang guard
// tells that apart from the refusal on a loaded machine.
TEST(SFStoreHostileInputTest, HugeListCountsFailAtOnce)
{
    const Tokens rules = split(ruleStore());
    // The counts of the four pointer lists: the groups (after the header, the table's and the
    // list class's framing), the first group's matches (after its message type and the list
    // class's framing) and rules (before the rule's class id, tracking, version and object
    // id), the rule's matches (after its message type).
    const std::size_t counts[] = {7, indexOf(rules, "37") + 3, indexOf(rules, "271828") - 6,
                                  indexOf(rules, "38") + 1};
    const char* const stored[] = {"2", "1", "1", "2"};
    for (std::size_t i = 0; i < 4; ++i)
        ASSERT_EQ(rules[counts[i]], stored[i]) << i;
    // Refused as a count, before any element is read (no time or memory spent on them).
    for (std::size_t at : counts) {
        Tokens edited = rules;
        edited[at] = "4000000000";
        EXPECT_EQ(refusalOf([&] { decodeRules(join(edited)); }), "list count larger than the input")
            << at;
    }

    Tokens trusted = split(narrowOfWide(trustedStore()));
    ASSERT_EQ(trusted[5], "3");
    trusted[5] = "4000000000";
    EXPECT_EQ(refusalOf([&] { decodeTrusted(wideOfNarrow(join(trusted))); }),
              "list count larger than the input");
}

TEST(SFStoreHostileInputTest, UnterminatedTextsStayInsideTheirArrays)
{
    Tokens tokens = split(ruleStore());
    const Tokens domainHead = {"7", "5", "0", "256"};
    auto domain = std::search(tokens.begin(), tokens.end(), domainHead.begin(), domainHead.end());
    ASSERT_NE(domain, tokens.end());
    std::fill_n(domain + 4, 256, "65");
    const Tokens scheduleHead = {"11", "0", "0", "6"};
    auto schedule = std::search(tokens.begin(), tokens.end(), scheduleHead.begin(), scheduleHead.end());
    ASSERT_NE(schedule, tokens.end());
    std::fill_n(schedule + 4, 6, "66");
    std::fill_n(schedule + 11, 6, "67");
    ASSERT_EQ(*(schedule + 17), "29");
    std::fill_n(schedule + 18, 29, "68");

    SFRuleTable table;
    decodeRuleStore(join(tokens), table);
    const MatchDataType& name = onlyRule(table)->matches.front()->value;
    EXPECT_EQ(std::strlen(name.domainName), 255u);
    const MatchSchedule& times = onlyRule(table)->matches.back()->value.schedule;
    EXPECT_EQ(std::string(times.startTime), "BBBBB");
    EXPECT_EQ(std::string(times.endTime), "CCCCC");
    EXPECT_EQ(std::string(times.days), std::string(28, 'D'));
}

TEST(SFStoreHostileInputTest, NonAsciiTextInAWideArchiveFails)
{
    auto* rule = new SFRule();
    rule->name = "caf\xe9";
    std::list<SFRule*> rules{rule};
    const std::list<SFRule*>& saved = rules;
    std::wostringstream out;
    EXPECT_THROW(
        {
            boost::archive::text_woarchive archive(out, boost::archive::no_header);
            archive << saved;
        },
        archive_exception);
    delete rule;
}

TEST(SFStoreHostileInputTest, TrailingNewlineIsAcceptedAndPartialCharactersAreNot)
{
    const std::string rules = ruleStore();
    SFRuleTable table;
    decodeRuleStore(rules + "\n", table);
    EXPECT_EQ(encodeRuleStore(table), rules);

    const std::string trusted = trustedStore();
    TrustedList list;
    decodeTrustedStore(trusted + wideOfNarrow("\n"), list.entries);
    EXPECT_EQ(encodeTrustedStore(list.entries), trusted);

    EXPECT_THROW(decodeTrusted(trusted + "\n"), archive_exception);
}

TEST(SFStoreHostileInputTest, ListElementsMustBeNewObjectsOfTheListsClass)
{
    const Tokens tokens = split(ruleStore());
    // The second group: class id, object id, fields, up to the table's four identifiers.
    const std::size_t second = indexOf(tokens, "314159") - 2;
    const auto secondEnd = tokens.end() - 48;
    const std::string groupClass = tokens[second];
    // A reference to object 0 (the first group), and a null pointer.
    for (const Tokens& pointer : {Tokens{groupClass, "0"}, Tokens{"-1"}}) {
        Tokens edited(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(second));
        edited.insert(edited.end(), pointer.begin(), pointer.end());
        edited.insert(edited.end(), secondEnd, tokens.end());
        SFRuleTable table;
        EXPECT_THROW(decodeRuleStore(join(edited), table), archive_exception) << pointer[0];
        EXPECT_EQ(table.groups.size(), 1u) << "the first group stays, owned once";
    }

    // A group stored where the rule belongs: refused before its fields (and its group lock,
    // which the enclosing group holds) are touched.
    Tokens edited = tokens;
    const std::size_t rule = indexOf(tokens, "271828") - 4; // class id, tracking, version
    ASSERT_NE(edited[rule], groupClass);
    edited[rule] = groupClass;
    edited.erase(edited.begin() + static_cast<std::ptrdiff_t>(rule + 1),
                 edited.begin() + static_cast<std::ptrdiff_t>(rule + 3));
    EXPECT_EQ(failureOf([&] { decodeRules(join(edited)); }), archive_exception::unregistered_class);
}

// Regression: one changed number (a name's length of 3000000000) made every start allocate
// and zero-fill gigabytes. Stored lengths and counts beyond the store are refused first.
TEST(SFStoreHostileInputTest, StoredLengthsAndCountsBeyondTheStoreAreRefusedWithinTheMemoryCeiling)
{
    TestSupport::limitAddressSpace(512);
    const std::string rules = ruleStore();
    auto edited = [&rules](const std::string& from, const std::string& to) {
        const std::size_t at = rules.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        EXPECT_EQ(rules.find(from, at + 1), std::string::npos) << from << " is not unique";
        std::string text = rules;
        if (at != std::string::npos)
            text.replace(at, from.size(), to);
        return text;
    };
    const std::string length = "string length larger than the input";
    const std::string count = "list count larger than the input";
    const std::string trusted = narrowOfWide(trustedStore());
    const struct {
        const char* what;
        std::string bytes;
        bool wide;
        std::string refusal;
    } cases[] = {
        {"group name length", edited(" 5 first ", " 3000000000 first "), false, length},
        {"second group name length", edited(" 6 second ", " 18446744073709551615 second "), false,
         length},
        {"rule name length", edited(" 1 R ", " 3000000000 R "), false, length},
        {"group count", edited("archive 13 0 0 0 0 2 0 ", "archive 13 0 0 0 0 4000000000 0 "), false, count},
        {"trusted count", wideOfNarrow(trusted.substr(0, trusted.find(" 3 0 ")) + " 4000000000 0 " +
                                       trusted.substr(trusted.find(" 3 0 ") + 5)),
         true, count},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.wide)
            EXPECT_EQ(refusalOf([&] { decodeTrusted(c.bytes); }), c.refusal);
        else
            EXPECT_EQ(refusalOf([&] { decodeRules(c.bytes); }), c.refusal);
    }
}

// Every single deleted token (which slides identifier words into length and count positions)
// and a few thousand seeded edits (numbers made huge, small or negative, tokens doubled) must
// each load or fail with an exception: never crash, hang or over-allocate.
TEST(SFStoreHostileInputTest, DeletedTokensAndSeededEditsOnlyLoadOrFailWithinTheMemoryCeiling)
{
    TestSupport::limitAddressSpace(512);
    const Tokens rules = split(ruleStore());
    const Tokens trusted = split(narrowOfWide(trustedStore()));
    auto decode = [](const Tokens& tokens, bool wide) {
        return refusalOf([&] {
            if (wide)
                decodeTrusted(wideOfNarrow(join(tokens)));
            else
                decodeRules(join(tokens));
        });
    };
    std::size_t loaded = 0;
    for (const bool wide : {false, true}) {
        const Tokens& tokens = wide ? trusted : rules;
        for (std::size_t at = 3; at < tokens.size(); ++at) {
            Tokens edited = tokens;
            edited.erase(edited.begin() + static_cast<std::ptrdiff_t>(at));
            const std::string refusal = decode(edited, wide);
            EXPECT_NE(refusal, "over-allocation") << join(edited);
            loaded += refusal.empty();
        }
    }
    const char* const numbers[] = {"0", "1", "2", "-1", "8", "255", "65536", "2147483647",
                                   "3000000000", "18446744073709551615"};
    std::mt19937 random(20261209);
    for (int round = 0; round < 3000; ++round) {
        const bool wide = round % 4 == 3;
        Tokens edited = wide ? trusted : rules;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            const std::size_t at = 3 + random() % (edited.size() - 3);
            if (random() % 2 == 0)
                edited[at] = numbers[random() % std::size(numbers)];
            else
                edited.insert(edited.begin() + static_cast<std::ptrdiff_t>(at), edited[at]);
        }
        const std::string refusal = decode(edited, wide);
        EXPECT_NE(refusal, "over-allocation") << join(edited);
        loaded += refusal.empty();
    }
    EXPECT_GT(loaded, 0u); // edits of plain values still load
}

TEST(SFStoreHostileInputTest, GarbageInPlaceOfTheHeaderIsRefused)
{
    EXPECT_EQ(failureOf([] { decodeRules("4000000000 serialization::archive 13 0 0"); }),
              archive_exception::invalid_signature);
    EXPECT_EQ(failureOf([] { decodeTrusted(wideOfNarrow("4000000000 x")); }),
              archive_exception::invalid_signature);
    EXPECT_EQ(failureOf([] { decodeRules(""); }), archive_exception::invalid_signature);
}

} // namespace

// Regression: a format field edited so that data slid into a class-id position made boost read
// its class table out of bounds and crash. Every single-token edit must now either load or
// throw.
TEST(SFStoreHostileInputTest, NoSingleTokenEditCrashesTheReader)
{
    const Tokens tokens = split(ruleStore());
    size_t loaded = 0;
    for (size_t at = 3; at < tokens.size(); ++at) {
        for (const char* value : {"0", "2", "5", "999"}) {
            Tokens edited = tokens;
            edited[at] = value;
            try {
                SFRuleTable table;
                decodeRuleStore(join(edited), table);
                ++loaded;
            } catch (const std::exception&) {
            }
        }
    }
    EXPECT_GT(loaded, 0u); // edits of plain values still load
}

// ---- memory per list element ------------------------------------------------------------------

// boost's text of a pointer list of count copies of sample.
template <class T> std::string copiesText(const T& sample, std::size_t count)
{
    std::list<T*> copies;
    for (std::size_t i = 0; i < count; ++i)
        copies.push_back(new T(sample));
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out);
        archive << static_cast<const std::list<T*>&>(copies);
    }
    for (T* copy : copies)
        delete copy;
    return out.str();
}

// Archive text of a pointer list of copies of sample, object ids counting up, as long as fits
// in size characters; count is set to the number of elements. Built from boost's own text of
// two: the header and first element as written, then the body every later element has (its
// object id and fields, after the class id that ends the element before).
template <class T> std::string pointerListText(const T& sample, std::size_t size, std::size_t& count)
{
    std::istringstream lines(copiesText(sample, 2));
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    // Reserved, and grown once, so no step of the building is an allocation past the
    // sanitizer's ceiling.
    std::string elements;
    elements.reserve(size);
    elements.append(first, 0, first.rfind(' '));
    const std::string body = second.substr(second.find(' '));
    for (count = 1;; ++count) {
        const std::string next = " 1\n" + std::to_string(count) + body;
        if (header.size() + elements.size() + next.size() + 8 > size)
            break;
        elements += next;
    }
    Tokens head = split(header);
    EXPECT_EQ(head.at(5), "2") << header;
    head.at(5) = std::to_string(count);
    std::string text;
    text.reserve(size);
    text += join(head) + "\n";
    text += elements;
    text += "\n";
    return text;
}

template <class T> struct OwnedList {
    std::list<T*> items;
    ~OwnedList()
    {
        for (T* item : items)
            delete item;
    }
};

struct Strings {
    std::vector<std::string> items;
};

// Reads text as the list of a List; the refusal's text (empty when it loads), and in loaded
// the number of elements read.
template <class List> std::string readList(const std::string& text, std::size_t& loaded)
{
    List list;
    const std::string refusal = refusalOf([&] { readCheckedArchive(text, list.items); });
    loaded = list.items.size();
    return refusal;
}

// A count bounded by the characters left bounds elements, not memory: an element of a few
// characters may take hundreds of bytes, and boost sizes a vector to its count before reading
// an element. Each collection type read from outside, at the largest count its input can back
// (elements of the fewest characters, or one count and blanks), is read or refused within a
// few times the input's size; the ceiling turns an allocation past that into a failure (a
// bad_alloc here, an abort under the sanitizer).
TEST(SFStoreHostileInputTest, ListsAtTheLargestCountTheirInputBacksStayWithinTheMemoryCeiling)
{
    TestSupport::limitAddressSpace(512);
    constexpr std::size_t input = std::size_t(60) << 20; // near the largest command data
    const std::string head = "22 serialization::archive 18 0 0 ";
    // Empty strings after the count and item version, or blanks: two characters each.
    auto strings = [&head](bool blank) {
        const std::size_t count = (input - head.size() - 16) / 2;
        std::string text = head + std::to_string(count) + " 0";
        text.reserve(input);
        for (std::size_t i = 0; i < count; ++i)
            text += blank ? "  " : " 0";
        return text;
    };
    SFMatch direction;
    direction.matchType = FW_MATCH_DIRECTION;
    direction.value.intValue = FW_DIRECTION_INBOUND;
    SFTrustedGroupIP subnet;
    subnet.type = FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
    std::size_t elements = 0; // of the pointer list made last

    const std::string count = "list count larger than the input";
    const std::string limit = "more matches in one list than a rule may hold";
    // The lists that load are a quarter of the size, so their elements fit under the ceiling
    // beside the text.
    const struct {
        const char* what;
        std::function<std::string()> text;
        std::string (*read)(const std::string&, std::size_t&);
        std::string refusal; // empty: loads, every element
    } cases[] = {
        {"strings: a count and blanks", [&] { return strings(true); }, readList<Strings>, count},
        {"strings: empty ones", [&] { return strings(false); }, readList<Strings>, count},
        {"matches", [&] { return pointerListText(direction, input, elements); },
         readList<OwnedList<SFMatch>>, limit},
        {"trusted entries", [&] { return pointerListText(subnet, input / 4, elements); },
         readList<OwnedList<SFTrustedGroupIP>>, ""},
        {"rules", [&] { return pointerListText(SFRule(), input / 4, elements); },
         readList<OwnedList<SFRule>>, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = c.text();
        ASSERT_LE(text.size(), input);
        std::size_t loaded = 0;
        EXPECT_EQ(c.read(text, loaded), c.refusal);
        if (c.refusal.empty()) {
            EXPECT_EQ(loaded, elements);
        }
    }
}

// Every list of one input is charged to the same budget, and only the characters of values earn
// it. The rows hold rules of the most matches a rule may hold (23 MiB each, far within the
// budget alone): two load; more are refused at the first list the rest of the budget cannot
// cover, before it is read, so twenty-four of them (550 MiB) never pass the ceiling; and blanks
// between values or bytes after the last one, which would pay for six, buy nothing. Under the
// sanitizer, whose ceiling is its resident size, ten stand for the twenty-four.
TEST(SFStoreHostileInputTest, ListsOfOneInputShareItsBudgetAndPaddingEarnsNone)
{
    TestSupport::limitAddressSpace(512);
    SFRule rule;
    rule.name = "many";
    for (std::size_t i = 0; i < kMaxMatchesPerList; ++i) {
        auto* trusted = new SFMatch();
        trusted->matchType = FW_MATCH_REMOTE_IP_ADDRESS;
        trusted->addressType = FW_ADDRESS_TYPE_TRUSTED;
        trusted->matchOp = FW_MATCH_OP_EQUAL;
        rule.matches.push_back(trusted);
    }
    const std::string one = copiesText(rule, 1);
    const std::string two = copiesText(rule, 2);
    rule.removeAllMatches();
    auto rules = [&](std::size_t count) { return TestSupport::withElementRepeated(one, two, count); };
    constexpr std::size_t padding = std::size_t(4) << 20;
#ifdef TQ_SANITIZED_BUILD
    constexpr std::size_t many = 10;
#else
    constexpr std::size_t many = 24;
#endif

    const std::string memory = "lists larger than the memory their input allows";
    const struct {
        const char* what;
        std::function<std::string()> text;
        std::size_t rules;
        std::string refusal; // empty: loads
        bool early;          // refused before the last rule is read
    } cases[] = {
        {"two", [&] { return rules(2); }, 2, "", false},
        {"six", [&] { return rules(6); }, 6, memory, true},
        {"many", [&] { return rules(many); }, many, memory, true},
        {"six padded with blanks",
         [&] { return TestSupport::paddedWithBlanks(rules(6), padding); }, 6, memory, false},
        {"six and bytes after the last value",
         [&] { return rules(6) + std::string(padding, '7'); }, 6, memory, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t loaded = 0;
        EXPECT_EQ(readList<OwnedList<SFRule>>(c.text(), loaded), c.refusal);
        if (c.refusal.empty()) {
            EXPECT_EQ(loaded, c.rules);
        }
        if (c.early) {
            EXPECT_LT(loaded, c.rules);
        }
    }
}
