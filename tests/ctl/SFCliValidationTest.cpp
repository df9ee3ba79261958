// The checks of option values: what passes, what fails and the log line that says why, plus
// the number reader they share.

#include "RecordingLogger.h"
#include "SFCli.h"
#include "SFCliNumber.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

using StatefulFirewall::parseCliNumber;
using StatefulFirewall::SFCli;
using StatefulFirewall::SFCliNumberStatus;
using StatefulFirewall::SFMsgType;

namespace {

class SFCliValidationTest : public testing::Test {
protected:
    TestSupport::RecordingLogger m_log;
    SFCli m_cli{m_log};

    // True when some warning line holds the text.
    bool warned(const std::string& text) const
    {
        for (const auto& line : m_log.lines()) {
            if (line.level == 4 && line.message.find(text) != std::string::npos)
                return true;
        }
        return false;
    }
};

} // namespace

TEST_F(SFCliValidationTest, NumberReaderTakesWhatStrtolTakesAndNothingAfterIt)
{
    EXPECT_EQ(parseCliNumber(" 90").status, SFCliNumberStatus::OK);
    EXPECT_EQ(parseCliNumber(" 90").value, 90);
    EXPECT_EQ(parseCliNumber("+80").value, 80);
    EXPECT_EQ(parseCliNumber("-5").value, -5);
    EXPECT_EQ(parseCliNumber("").status, SFCliNumberStatus::NO_DIGITS);
    EXPECT_EQ(parseCliNumber("abc").status, SFCliNumberStatus::NO_DIGITS);
    EXPECT_EQ(parseCliNumber("80a").status, SFCliNumberStatus::EXTRA_CHARACTERS);
    EXPECT_EQ(parseCliNumber("80 ").status, SFCliNumberStatus::EXTRA_CHARACTERS);
    EXPECT_EQ(parseCliNumber(std::string("80\0", 3)).status, SFCliNumberStatus::EXTRA_CHARACTERS);
    EXPECT_EQ(parseCliNumber("99999999999999999999").status, SFCliNumberStatus::OUT_OF_RANGE);
    EXPECT_EQ(parseCliNumber(std::to_string(LONG_MAX)).value, LONG_MAX);
}

TEST_F(SFCliValidationTest, NamesAndDescriptions)
{
    EXPECT_TRUE(m_cli.isRuleNameValid(std::string(100, 'n')));
    EXPECT_FALSE(m_cli.isRuleNameValid(std::string(101, 'n')));
    EXPECT_FALSE(m_cli.isRuleNameValid(""));
    EXPECT_TRUE(warned("Validation of Rule name failed as it was not within the acceptable limits"));

    EXPECT_TRUE(m_cli.isRuleDescValid("  a  "));
    const std::vector<std::string> badDescriptions = {"", "   ", "\t\n", std::string(3001, 'd')};
    for (const std::string& bad : badDescriptions)
        EXPECT_FALSE(m_cli.isRuleDescValid(bad)) << bad.size();
    EXPECT_TRUE(m_cli.isRuleDescValid(" " + std::string(3000, 'd') + "\r\n"));
    EXPECT_TRUE(warned("Validation of Rule description failed"));

    EXPECT_EQ(m_cli.sanitizeRuleNameOrDesc("Rule #1 (web)"), "Rule _1 _web_");
    EXPECT_EQ(m_cli.sanitizeRuleNameOrDesc("caf\xc3\xa9"), "caf__");
}

TEST_F(SFCliValidationTest, Addresses)
{
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "01.2.3.4", " 1.2.3.4",
                            "1.2.3.4\n", "::1"}) {
        EXPECT_FALSE(m_cli.isValidSingleIpv4(bad)) << bad;
    }
    EXPECT_FALSE(m_cli.isValidSingleIpv4(std::string("1.2.3.4\0x", 9)));
    EXPECT_TRUE(warned("Validation of Ip Address 1.2.3 failed due to conversion error"));
    EXPECT_TRUE(m_cli.isValidSingleIpv4("10.0.0.1"));

    // Ranges compare in host order: 9.255.255.255 is below 10.0.0.0 although its bytes in
    // network order, read as a little-endian number, are not.
    EXPECT_TRUE(m_cli.isValidIpRangev4("9.255.255.255", "10.0.0.0"));
    EXPECT_FALSE(m_cli.isValidIpRangev4("10.0.0.5", "10.0.0.5"));
    EXPECT_FALSE(m_cli.isValidIpRangev4("10.0.0.6", "10.0.0.5"));
    EXPECT_TRUE(warned("as start address was not less than end address"));
    m_log.clear();
    EXPECT_FALSE(m_cli.isValidIpRangev4("10.0.0", "bad-end"));
    EXPECT_TRUE(warned("Validation of Ip Address 10.0.0 failed"));
    EXPECT_FALSE(warned("Validation of Ip Address bad-end")); // the end is not tested
    EXPECT_TRUE(warned(" Validation of Ip Address range failed 10.0.0 - bad-end"));

    for (const char* good : {"32", "0", " 24", "+24"})
        EXPECT_TRUE(m_cli.isValidCidr("10.0.0.0", good)) << good;
    const std::vector<std::pair<std::string, std::string>> badPrefixes = {
        {"33", "Out of netmask prefix range"},
        {"-1", "Out of netmask prefix range"},
        {"24x", "Contains extra characters at end of input"},
        {"", "Contains non-numerical data"},
        {"99999999999999999999", "Out of range of long type"},
    };
    for (const auto& [prefix, reason] : badPrefixes) {
        m_log.clear();
        EXPECT_FALSE(m_cli.isValidCidr("10.0.0.0", prefix)) << prefix;
        EXPECT_TRUE(warned(" Validation of CIDR failed due to invalid prefix " + prefix +
                           " in cidr data. " + reason))
            << prefix;
    }
    EXPECT_FALSE(m_cli.isValidCidr("10.0.0", "8"));
    EXPECT_TRUE(warned("conversion error for ip string 10.0.0 in cidr data"));
}

TEST_F(SFCliValidationTest, DomainNames)
{
    for (const char* good : {"example.com", "ab.example.com.", "a.b.cd."})
        EXPECT_TRUE(m_cli.isValidFqdn(good)) << good;
    std::string longName;
    while (longName.size() < 256)
        longName += "abcdefg.";
    longName = longName.substr(0, 252) + "a.bc"; // 256 characters, labels well formed
    const std::vector<std::string> badNames = {
        longName, "localhost", "1.2.3.4", "-a.com",        "a.b.c.",
        "x.c",    "a..com",    "a_b.com", "example.com\n", std::string(64, 'a') + ".com"};
    for (const std::string& bad : badNames) {
        EXPECT_FALSE(m_cli.isValidFqdn(bad)) << bad;
    }
    EXPECT_TRUE(m_cli.isValidFqdn(std::string(63, 'a') + ".com"));
}

TEST_F(SFCliValidationTest, PortsAndIcmpTypes)
{
    EXPECT_TRUE(m_cli.isValidService("+80"));
    EXPECT_TRUE(m_cli.isValidService("65535"));
    const std::vector<std::pair<std::string, std::string>> badPorts = {
        {"0", " Validation of port 0 failed, it should be within range of 1 - 65535"},
        {"65536", " Validation of port 65536 failed, it should be within range of 1 - 65535"},
        {"-5", " Validation of port -5 failed, it should be within range of 1 - 65535"},
        {"80a", " Validation of port 80a failed. Contains extra characters at end of input"},
        {"abc", " Validation of port abc failed. Contains non-numerical data"},
        {"99999999999999999999",
         " Validation of port 99999999999999999999 failed. Out of range of long type"},
    };
    for (const auto& [port, line] : badPorts) {
        EXPECT_FALSE(m_cli.isValidService(port)) << port;
        EXPECT_TRUE(m_log.has(4, line)) << line;
    }
    EXPECT_FALSE(m_cli.isValidServiceRange("80", "80"));
    EXPECT_TRUE(m_log.has(4, " Validation of range 80 - 80 failed  as start port was not less than end port"));
    EXPECT_FALSE(m_cli.isValidServiceRange("90", "80"));
    EXPECT_FALSE(m_cli.isValidServiceRange("x", "80"));
    EXPECT_TRUE(m_log.has(4, " Validation of range x - 80 as it was invalid"));
    EXPECT_TRUE(m_cli.isValidServiceRange(" 80", "+90"));

    for (int type : {0, 3, 18, 30, 40})
        EXPECT_TRUE(m_cli.isIcmpMsgTypeValid(static_cast<SFMsgType>(type))) << type;
    for (int type : {1, 2, 19, 29, 41, -1, 255})
        EXPECT_FALSE(m_cli.isIcmpMsgTypeValid(static_cast<SFMsgType>(type))) << type;
    EXPECT_TRUE(warned("Validation of ICMP message type failed as it is an unknown type"));
}

TEST_F(SFCliValidationTest, ScheduleTimes)
{
    EXPECT_TRUE(m_cli.isTimeIntervalValid("09:00", "17:30"));
    EXPECT_TRUE(m_cli.isTimeIntervalValid("9:5", "9:6"));
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> bad = {
        {{"17:30", "09:00"}, " Validation of time interval failed"},
        {{"10:00", "10:00"}, " Validation of time interval failed"},
        {{"23:59", "00:00"}, " Validation of time interval failed"},
        {{"24:00", "23:00"}, " Validation of time interval failed due to bad parameter"},
        {{"00:60", "23:00"}, " Validation of time interval failed due to bad parameter"},
        {{"09:00:00", "23:00"}, " Validation of time interval failed due to bad parameter"},
        {{"0900", "23:00"}, "Validation of start time = 0900 failed"},
        {{"09:00", "2300"}, "Validation of end time = 2300 failed"},
        {{":30", "23:00"}, " Validation of time interval failed due to bad casting"},
        {{"9:", "23:00"}, " Validation of time interval failed due to bad casting"},
        {{" 9:00", "23:00"}, " Validation of time interval failed due to bad casting"},
        {{"1:300", "23:00"}, " Validation of time interval failed due to bad parameter"},
    };
    for (const auto& [times, line] : bad) {
        m_log.clear();
        EXPECT_FALSE(m_cli.isTimeIntervalValid(times.first, times.second)) << times.first;
        EXPECT_TRUE(m_log.has(4, line)) << times.first << " " << line;
    }
    std::string hours = "keep";
    std::string minutes = "keep";
    EXPECT_FALSE(m_cli.splitTime("0900", hours, minutes));
    EXPECT_EQ(hours + minutes, "keepkeep");
    EXPECT_TRUE(m_cli.splitTime("1:300", hours, minutes));
    EXPECT_EQ(hours + "|" + minutes, "1|30");
}

TEST_F(SFCliValidationTest, ScheduleDays)
{
    int mask = -1;
    std::string list = "old";
    EXPECT_FALSE(m_cli.generateDaysMask("", mask, list));
    EXPECT_EQ(mask, 0);
    EXPECT_TRUE(m_cli.generateDaysMask("mon, WED", mask, list));
    EXPECT_EQ(mask, 10);
    EXPECT_EQ(list, "Mon,Wed,");
    EXPECT_TRUE(m_cli.generateDaysMask("Mon,Mon", mask, list));
    EXPECT_EQ(mask, 2);
    EXPECT_EQ(list, "Mon,Mon,");
    EXPECT_FALSE(m_cli.generateDaysMask("Mon,Fun", mask, list));
    EXPECT_EQ(mask, 2);
    EXPECT_FALSE(m_cli.generateDaysMask("monday", mask, list));
    EXPECT_TRUE(m_cli.generateDaysMask(",", mask, list));
    EXPECT_EQ(mask, 0);
    EXPECT_EQ(list, "");
    EXPECT_TRUE(m_cli.generateDaysMask("Sun,Mon,Tue,Wed,Thu,Fri,Sat", mask, list));
    EXPECT_EQ(mask, 127);
    EXPECT_EQ(list, "Sun,Mon,Tue,Wed,Thu,Fri,Sat,");
}

TEST_F(SFCliValidationTest, RandomTextNeverThrowsAndSanitisingKeepsLengthAndCharacters)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> length(0, 300);
    int mask = 0;
    std::string list;
    std::string hours;
    std::string minutes;
    for (int i = 0; i < 2000; ++i) {
        std::string text(length(random), '\0');
        for (char& c : text)
            c = static_cast<char>(byte(random));
        const std::string other = text.substr(0, text.size() / 2);
        EXPECT_NO_THROW({
            m_cli.isRuleNameValid(text);
            m_cli.isRuleDescValid(text);
            m_cli.isValidSingleIpv4(text);
            m_cli.isValidIpRangev4(text, other);
            m_cli.isValidCidr(text, other);
            m_cli.isValidFqdn(text);
            m_cli.isValidService(text);
            m_cli.isValidServiceRange(other, text);
            m_cli.isTimeIntervalValid(text, other);
            m_cli.splitTime(text, hours, minutes);
            m_cli.generateDaysMask(text, mask, list);
        });
        const std::string clean = m_cli.sanitizeRuleNameOrDesc(text);
        ASSERT_EQ(clean.size(), text.size());
        for (char c : clean)
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == ' ' || c == '_');
        m_log.clear();
    }
}
