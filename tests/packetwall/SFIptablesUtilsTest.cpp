#include "SFIptablesUtils.h"

#include "INetfilter.h"
#include "INwIFManager.h"
#include "SFMatch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

using namespace StatefulFirewall;

// The driver and the monitor are replaced by fakes in later tests through these interfaces.
static_assert(std::is_abstract_v<INetfilter> && std::has_virtual_destructor_v<INetfilter>);
static_assert(std::is_abstract_v<INwIFManager> && std::has_virtual_destructor_v<INwIFManager>);

namespace {

// An address given as its four bytes in wire order, independent of the host's byte order.
uint32_t wire(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

MatchIpAddressValue cidr(uint32_t address, uint8_t prefix)
{
    MatchIpAddressValue value{};
    value.start.family = 4;
    value.start.address = address;
    value.subnet.prefix = prefix;
    return value;
}

} // namespace

TEST(SFIptablesUtilsTest, ChainNamesAreCutTo13BytesAndRuleNamesTo20ThenReduced)
{
    const struct {
        size_t limit; // 13: a chain name, 20: a rule name
        std::string input;
        std::string expected;
    } rows[] = {
        {13, "ab-cd", "ab_cd"},
        {13, "Web Servers (DMZ)", "Web_Servers__"},
        {13, "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLM"}, // cut before the replacement
        {13, "ABCDEFGHIJKLM", "ABCDEFGHIJKLM"},         // exactly 13: kept whole
        {13, "ABCDEFGHIJKL-", "ABCDEFGHIJKL_"},         // replaced character in the last kept byte
        {13, "Group123", "Group123"},
        {13, "", ""},
        {13, "!@#", "___"},
        {13, " \t\n", "___"},
        // The neighbours of the letter and digit ranges in ASCII.
        {13, "/09:@AZ[`az{", "_09__AZ__az_"},
        {13, std::string("a\0b", 3), "a_b"},
        // Bytes above 127 never count as letters, whatever the locale says.
        {13, "caf\xE9", "caf_"},
        // UTF-8: one "_" per byte, so the length in bytes stays.
        {13, "Gr\xC3\xBC\xC3\x9F" "e", "Gr____e"},
        // A two-byte character cut in half at byte 13 leaves one "_" and no stray byte.
        {13, "ABCDEFGHIJKL\xC3\xBC", "ABCDEFGHIJKL_"},
        {20, "Allow DNS (UDP 53) out", "Allow_DNS__UDP_53__o"},
        {20, "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"}, // exactly 20
        {20, "ABCDEFGHIJKLMNOPQRSTU", "ABCDEFGHIJKLMNOPQRST"},
        {20, std::string(103, 'x'), std::string(20, 'x')},     // the longest name a rule record holds
        {20, "ABCDEFGHIJKLMNOPQRS\xC3\xBC", "ABCDEFGHIJKLMNOPQRS_"},
        {20, "", ""},
        {20, "rule.name_1", "rule_name_1"},
    };
    const SFIptablesUtils utils;
    for (const auto& row : rows) {
        const std::string result =
            row.limit == 13 ? utils.sanitizeChainName(row.input) : utils.sanitizeRuleName(row.input);
        EXPECT_EQ(row.expected, result) << "input \"" << row.input << "\", limit " << row.limit;
        EXPECT_LE(result.size(), row.limit);
    }
}

TEST(SFIptablesUtilsTest, NamesThatDifferOnlyInCutOrReplacedBytesCollide)
{
    // Two groups whose names agree in their first 13 sanitised bytes share chains; the driver
    // relies on the existence check to create them only once.
    const SFIptablesUtils utils;
    EXPECT_EQ(utils.sanitizeChainName("Production Servers A"),
              utils.sanitizeChainName("Production Servers B"));
    EXPECT_EQ(utils.sanitizeChainName("a-b"), utils.sanitizeChainName("a b"));
    EXPECT_NE(utils.sanitizeChainName("Production Se"), utils.sanitizeChainName("Production Sf"));
    // The rule limit is wider: names alike in their first 13 bytes still differ as LOG prefixes.
    EXPECT_NE(utils.sanitizeRuleName("Production Servers A"),
              utils.sanitizeRuleName("Production Servers B"));
    EXPECT_EQ(utils.sanitizeRuleName("Block all traffic now"),
              utils.sanitizeRuleName("Block all traffic no!"));
}

TEST(SFIptablesUtilsTest, AddressesAndRangeEndsAreReadInNetworkOrderFromTheirOwnSlots)
{
    struct Row {
        uint32_t address;
        const char* expected;
    };
    const Row rows[] = {
        {wire(192, 168, 1, 1), "192.168.1.1"},
        {wire(10, 0, 0, 1), "10.0.0.1"},
        {wire(1, 2, 3, 4), "1.2.3.4"}, // a byte-swapped read would give 4.3.2.1
        {wire(0, 0, 0, 0), "0.0.0.0"},
        {wire(255, 255, 255, 255), "255.255.255.255"},
    };
    const SFIptablesUtils utils;
    for (const Row& row : rows) {
        MatchIpAddressValue value{};
        value.start.address = row.address;
        EXPECT_EQ(row.expected, utils.getStartIp4Address(value));
        MatchIpAddressValue endOnly{};
        endOnly.end.address = row.address;
        EXPECT_EQ(row.expected, utils.getEndIp4Address(endOnly));
    }

    // A range's ends come from their own slots, built the way the rule model stores a range.
    SFMatch match;
    match.addressType = FW_ADDRESS_TYPE_IP_RANGE;
    ASSERT_TRUE(match.setStartIp4Address("10.1.1.1"));
    ASSERT_TRUE(match.setEndIp4Address("10.1.1.9"));
    EXPECT_EQ("10.1.1.1", utils.getStartIp4Address(match.value.ipValue));
    EXPECT_EQ("10.1.1.9", utils.getEndIp4Address(match.value.ipValue));
}

TEST(SFIptablesUtilsTest, CidrTextIsStoredAddressAndDecimalPrefix)
{
    struct Row {
        MatchIpAddressValue value;
        const char* expected;
    };
    const Row rows[] = {
        {cidr(wire(10, 0, 0, 0), 8), "10.0.0.0/8"},
        {cidr(wire(0, 0, 0, 0), 0), "0.0.0.0/0"},
        // Prefixes whose byte is a printable character must still print as numbers.
        {cidr(wire(192, 168, 7, 7), 32), "192.168.7.7/32"},
        {cidr(wire(172, 16, 0, 0), 12), "172.16.0.0/12"},
        // Host bits are kept: the address is printed as stored, not masked to its network.
        {cidr(wire(192, 168, 1, 77), 24), "192.168.1.77/24"},
    };
    const SFIptablesUtils utils;
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, utils.getCidrIPAddress(row.value));

    SFMatch match;
    match.addressType = FW_ADDRESS_TYPE_CIDR;
    ASSERT_TRUE(match.setCidrIPAddress(24, "192.168.1.77"));
    EXPECT_EQ("192.168.1.77/24", utils.getCidrIPAddress(match.value.ipValue));
}
