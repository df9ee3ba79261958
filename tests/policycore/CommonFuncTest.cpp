#include "CommonFunc.h"

#include <gtest/gtest.h>

// The JSON parser still includes the old bind header, which prints a deprecation notice
// unless the global placeholders are asked for explicitly.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <climits>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

using namespace StatefulFirewall;

namespace {

GUID makeGUID(unsigned long data1, uint16_t data2, uint16_t data3,
              std::initializer_list<uint8_t> data4)
{
    GUID id{};
    id.Data1 = data1;
    id.Data2 = data2;
    id.Data3 = data3;
    std::copy(data4.begin(), data4.end(), id.Data4);
    return id;
}

::testing::AssertionResult sameGUID(const GUID& expected, const GUID& actual)
{
    if (expected.Data1 == actual.Data1 && expected.Data2 == actual.Data2 &&
        expected.Data3 == actual.Data3 &&
        std::memcmp(expected.Data4, actual.Data4, sizeof(expected.Data4)) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << CommonFunc::textGUID(expected)
                                         << ", got " << CommonFunc::textGUID(actual);
}

} // namespace

TEST(CommonFuncTest, GeneratedIdentifiersAreRandomV4AndSurviveTextRoundTrip)
{
    std::set<std::string> seen;
    for (int i = 0; i < 10000; ++i) {
        const GUID id = CommonFunc::generateGUID();
        ASSERT_FALSE(CommonFunc::isGUIDNull(id));
        // Version 4, RFC 4122 variant: made by the random generator, not the clock fallback.
        ASSERT_EQ(0x4000, id.Data3 & 0xf000);
        ASSERT_EQ(0x80, id.Data4[0] & 0xc0);
        const std::string text = CommonFunc::textGUID(id);
        ASSERT_TRUE(sameGUID(id, CommonFunc::getGUIDFromString(text)));
        ASSERT_TRUE(seen.insert(text).second) << "duplicate " << text;
    }
}

TEST(CommonFuncTest, HighFieldValuesRoundTripByteForByte)
{
    const GUID ids[] = {
        makeGUID(0xffffffffUL, 0xffff, 0xffff, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
        makeGUID(0x80000000UL, 0x8000, 0x8001, {0x80, 0x81, 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0xfe}),
        makeGUID(0, 0, 0, {0xff, 0, 0xff, 0, 0xff, 0, 0xff, 0x80}),
    };
    for (const GUID& id : ids)
        EXPECT_TRUE(sameGUID(id, CommonFunc::getGUIDFromString(CommonFunc::textGUID(id))));
    EXPECT_EQ("80000000-8000-8001-8081-90a0b0c0d0fe", CommonFunc::textGUID(ids[1]));

    // The flat record carries the same values in its own field order.
    EXPECT_TRUE(sameGUID(ids[1], fromKGUID(toKGUID(ids[1]))));
    EXPECT_EQ(0x8001, toKGUID(ids[1]).Data3);
}

TEST(CommonFuncTest, FixedGroupIdentifiersRoundTrip)
{
    EXPECT_EQ(SF_DEFAULT_GROUP_ID, CommonFunc::textGUID(CommonFunc::getDefaultGroupID()));
    EXPECT_EQ(SF_AGENT_GROUP_ID, CommonFunc::textGUID(CommonFunc::getYalAgentGroupID()));
    for (const char* text : {SF_CLIENT_GROUP_ID, SF_ADAPTIVE_GROUP_ID})
        EXPECT_EQ(text, CommonFunc::textGUID(CommonFunc::getGUIDFromString(text)));
}

TEST(CommonFuncTest, NullIdentifierPrintsEmptyButWideTextPrintsZeros)
{
    const GUID null{};
    EXPECT_EQ("EMPTY", CommonFunc::textGUID(null));
    EXPECT_EQ(L"00000000-0000-0000-0000-000000000000", CommonFunc::textWGUID(null));
    EXPECT_EQ(L"3d5b2a34-3b8b-bc62-4d63-477569447e00",
              CommonFunc::textWGUID(CommonFunc::getDefaultGroupID()));
    // Regression: "EMPTY" starts with a hex digit and must not parse as Data1 0xe.
    EXPECT_TRUE(CommonFunc::isGUIDNull(CommonFunc::getGUIDFromString("EMPTY")));
    EXPECT_FALSE(CommonFunc::isGUIDNull(makeGUID(0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1})));
}

TEST(CommonFuncTest, MalformedTextGivesNullOrExactlyTheFieldsRead)
{
    for (const char* junk : {"", "xyz", "zz5b2a34-3b8b-bc62-4d63-477569447e00"})
        EXPECT_TRUE(CommonFunc::isGUIDNull(CommonFunc::getGUIDFromString(junk))) << junk;
    EXPECT_TRUE(sameGUID(makeGUID(0x3d5b2a34UL, 0, 0, {}),
                         CommonFunc::getGUIDFromString("3d5b2a34-zzzz-bc62-4d63-477569447e00")));
    EXPECT_TRUE(sameGUID(makeGUID(0x3d5b2a34UL, 0x3b8b, 0xbc62, {0x4d, 0x63, 0x47, 0x75}),
                         CommonFunc::getGUIDFromString("3d5b2a34-3b8b-bc62-4d63-4775")));
    // Data1 never takes more than eight digits.
    EXPECT_TRUE(sameGUID(makeGUID(0x12345678UL, 0, 0, {}),
                         CommonFunc::getGUIDFromString("123456789-3b8b-bc62-4d63-477569447e00")));
}

TEST(CommonFuncTest, TextGettersNeverReturnNullNorWritePastThirtyBytes)
{
    std::vector<int> values = {INT_MIN, INT_MAX, 2048, 34958};
    for (int value = -5; value <= 300; ++value)
        values.push_back(value);
    using Writer = void (*)(int, char*);
    for (int value : values) {
        ASSERT_NE(nullptr, CommonFunc::getActionString(value)) << value;
        ASSERT_NE(nullptr, CommonFunc::getScheduleDay(value)) << value;
        for (Writer write : {Writer(&CommonFunc::getNwProtoString),
                             Writer(&CommonFunc::getTrProtoString)}) {
            char buffer[40];
            std::memset(buffer, 'X', 30);
            std::memset(buffer + 30, 0xa5, 10);
            write(value, buffer);
            const size_t length = strnlen(buffer, 30);
            ASSERT_GT(length, 0u) << value;
            for (size_t i = length; i < 40; ++i)
                ASSERT_EQ(i < 30 ? '\0' : char(0xa5), buffer[i]) << value << " byte " << i;
        }
    }
    EXPECT_STREQ("NOT SET", CommonFunc::getActionString(8));
    EXPECT_STREQ("NOT SET", CommonFunc::getActionString(-1));
    EXPECT_STREQ("Invalid", CommonFunc::getScheduleDay(7));
}

TEST(CommonFuncTest, ProtocolAndMessageTypeTexts)
{
    char buffer[30];
    CommonFunc::getTrProtoString(0, buffer);
    EXPECT_STREQ("NA", buffer);
    CommonFunc::getTrProtoString(47, buffer);
    EXPECT_STREQ("47", buffer);
    CommonFunc::getNwProtoString(2049, buffer);
    EXPECT_STREQ("NULL", buffer);

    EXPECT_EQ("NOT SET", CommonFunc::getMsgTypeString(7));
    EXPECT_EQ("", CommonFunc::getMsgTypeString(19));
    EXPECT_EQ("FW_ICMP_ANY", CommonFunc::getMsgTypeString(41));
}

TEST(CommonFuncTest, DayHelpersAcceptOnlyTheirExactSpelling)
{
    EXPECT_EQ(1, CommonFunc::getScheduleIndex("Sun"));
    EXPECT_EQ(64, CommonFunc::getScheduleIndex("Sat"));
    EXPECT_EQ(7, CommonFunc::getScheduleIndex("sun"));
    EXPECT_EQ("Wed", CommonFunc::getSanitizedDay("wed"));
    EXPECT_EQ("Invalid", CommonFunc::getSanitizedDay("Sun"));
}

TEST(CommonFuncTest, GetEachStringSplitsAtFirstDelimiter)
{
    std::string head;
    std::string rest = "a,b,c";
    EXPECT_EQ(1, CommonFunc::getEachString(rest, head, rest, ","));
    EXPECT_EQ("a", head);
    EXPECT_EQ("b,c", rest);

    head = "old";
    rest = "kept";
    EXPECT_EQ(-1, CommonFunc::getEachString("a,b", head, rest, nullptr));
    EXPECT_EQ("old", head);
    EXPECT_EQ(-1, CommonFunc::getEachString("abc", head, rest, ","));
    EXPECT_EQ("abc", head);
    EXPECT_EQ("kept", rest);

    rest = "ab";
    EXPECT_THROW(CommonFunc::getEachString("abcd,e", head, rest, ","), std::out_of_range);
}

TEST(CommonFuncTest, TrimLastCharRemovesOnlyAMatchingLastCharacter)
{
    EXPECT_EQ("a,b", CommonFunc::trimLastChar("a,b,", ","));
    EXPECT_EQ("a,b", CommonFunc::trimLastChar("a,b", ","));
    EXPECT_EQ("", CommonFunc::trimLastChar("", ","));
}

TEST(CommonFuncTest, EscapeForJSONEscapesQuoteAndBackslash)
{
    std::string text = "say \"hi\" C:\\dir";
    EXPECT_TRUE(CommonFunc::EscapeSpecialCharsForJSON(text));
    EXPECT_EQ("say \\\"hi\\\" C:\\\\dir", text);
    std::string plain = "100% plain \xc3\xa9";
    CommonFunc::EscapeSpecialCharsForJSON(plain);
    EXPECT_EQ("100% plain \xc3\xa9", plain);
}

TEST(CommonFuncTest, EscapeForJSONYieldsValidJSONForEveryControlByte)
{
    std::string original;
    for (int c = 0; c < 0x20; ++c)
        original += {'a', static_cast<char>(c)};
    std::string escaped = original;
    CommonFunc::EscapeSpecialCharsForJSON(escaped);

    std::istringstream json("{\"k\":\"" + escaped + "\"}");
    boost::property_tree::ptree tree;
    ASSERT_NO_THROW(boost::property_tree::read_json(json, tree)) << escaped;
    EXPECT_EQ(original, tree.get<std::string>("k"));
}

// Names cut for events and reports must stay UTF-8: a cut inside a two-, three- or four-byte
// character drops the whole character, a cut after one keeps it.
TEST(CommonFuncTest, CutUtf8NeverSplitsACharacter)
{
    const std::string e = "\xC3\xA9";             // é
    const std::string euro = "\xE2\x82\xAC";     // €
    const std::string clef = "\xF0\x9D\x84\x9E"; // 𝄞
    EXPECT_EQ(CommonFunc::cutUtf8("abc", 3), "abc");
    EXPECT_EQ(CommonFunc::cutUtf8("abcd", 3), "abc");
    EXPECT_EQ(CommonFunc::cutUtf8("a" + e, 2), "a");
    EXPECT_EQ(CommonFunc::cutUtf8("a" + e + "b", 3), "a" + e);
    EXPECT_EQ(CommonFunc::cutUtf8(euro + euro, 5), euro);
    EXPECT_EQ(CommonFunc::cutUtf8(clef + clef, 7), clef);
    EXPECT_EQ(CommonFunc::cutUtf8(clef, 1), "");
    std::string sixty;
    for (int i = 0; i < 60; ++i)
        sixty += e;
    const std::string cut = CommonFunc::cutUtf8(sixty, 103);
    EXPECT_EQ(cut.size(), 102u);
    EXPECT_EQ(cut, sixty.substr(0, 102));
}

TEST(CommonFuncTest, IPv4AndMappedIPv6TextConvertBothWays)
{
    EXPECT_EQ("0000:0000:0000:0000:0000:ffff:0a01:0203",
              CommonFunc::convertIPV4ToIPV6Str("10.1.2.3"));
    for (const char* bad : {"300.1.1.1", "a.b", "", "1.2.3.4 "})
        EXPECT_EQ("0000:0000:0000:0000:0000:ffff:0000:0000",
                  CommonFunc::convertIPV4ToIPV6Str(bad)) << bad;

    for (const char* address : {"10.1.2.3", "0.0.0.0", "255.255.255.255"}) {
        const std::string mapped = CommonFunc::convertIPV4ToIPV6Str(address);
        std::string out;
        EXPECT_TRUE(CommonFunc::convertIPV6ToIPV4Str(mapped, out));
        EXPECT_EQ(address, out);
    }
}

TEST(CommonFuncTest, UnmappedOrMalformedIPv6TextIsRefusedAndOutputKept)
{
    for (const char* text : {"", "0000:0000:0000:0000:0000:ffff", "0000:0000:0000:0000:0000:ffff:",
                             "fe80:0000:0000:0000:0000:ffff:0a01:0203",
                             "0000:0000:0000:0000:0000:ffff:zz01:0203",
                             "0000:0000:0000:0000:0000:ffff:0a01:02",
                             "0000:0000:0000:0000:0000:ffff:0a01:02zz",
                             "0000:0000:0000:0000:0000:ffff:-a01:0203"}) {
        std::string out = "unchanged";
        EXPECT_FALSE(CommonFunc::convertIPV6ToIPV4Str(text, out)) << text;
        EXPECT_EQ("unchanged", out) << text;
    }
}
