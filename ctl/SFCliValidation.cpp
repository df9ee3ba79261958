// The checks of option values that run before a rule or trusted network is built.

#include "SFCli.h"

#include "CommonFunc.h"
#include "ILogger.h"
#include "SFCliNumber.h"
#include "SFCliStringConstants.h"

#include <arpa/inet.h>
#include <boost/regex.hpp>

#include <cctype>
#include <cstdint>

namespace StatefulFirewall {

namespace {

constexpr size_t kMaxRuleNameLength = 100;
constexpr size_t kMaxRuleDescLength = 3000;
constexpr size_t kMaxFqdnLength = 255;
constexpr long kMaxPort = 65535;
constexpr long kMaxPrefix = 32;
constexpr size_t kMaxTimeLength = 5;
constexpr size_t kMaxMinuteDigits = 2;

bool isCSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trim(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isCSpace(text[begin]))
        ++begin;
    while (end > begin && isCSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// A part of a time: decimal digits only, so blanks, signs and empty parts are refused.
bool readTimePart(const std::string& text, int& value)
{
    if (text.empty() || text.size() > kMaxMinuteDigits + 1)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool toIpv4(const std::string& text, uint32_t& hostOrder)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1 || text.find('\0') != std::string::npos)
        return false;
    hostOrder = ntohl(address.s_addr);
    return true;
}

} // namespace

bool SFCli::isRuleNameValid(std::string name)
{
    if (!name.empty() && name.size() <= kMaxRuleNameLength)
        return true;
    log(4, " Validation of Rule name failed as it was not within the acceptable limits");
    return false;
}

bool SFCli::isRuleDescValid(std::string description)
{
    const std::string trimmed = trim(description);
    if (!trimmed.empty() && trimmed.size() <= kMaxRuleDescLength)
        return true;
    log(4, " Validation of Rule description failed as it was not within the acceptable limits");
    return false;
}

bool SFCli::isValidSingleIpv4(std::string address)
{
    uint32_t value = 0;
    if (toIpv4(address, value))
        return true;
    log(4, "Validation of Ip Address " + address + " failed due to conversion error");
    return false;
}

bool SFCli::isValidIpRangev4(std::string start, std::string end)
{
    if (!isValidSingleIpv4(start) || !isValidSingleIpv4(end)) {
        log(4, " Validation of Ip Address range failed " + start + " - " + end);
        return false;
    }
    uint32_t first = 0;
    uint32_t last = 0;
    toIpv4(start, first);
    toIpv4(end, last);
    if (first < last)
        return true;
    log(4, " Validation of Ip Address Range validation failed " + start + " - " + end +
               " as start address was not less than end address");
    return false;
}

bool SFCli::isValidCidr(std::string address, std::string prefix)
{
    uint32_t value = 0;
    if (!toIpv4(address, value)) {
        log(4, " Validation of CIDR failed due to conversion error for ip string " + address +
                   " in cidr data");
        return false;
    }
    log(6, "Successfully validated ip string " + address + " in cidr data");

    const std::string head = " Validation of CIDR failed due to invalid prefix " + prefix;
    const SFCliNumber number = parseCliNumber(prefix);
    switch (number.status) {
    case SFCliNumberStatus::NO_DIGITS:
        log(4, head + " in cidr data. Contains non-numerical data");
        return false;
    case SFCliNumberStatus::EXTRA_CHARACTERS:
        log(4, head + " in cidr data. Contains extra characters at end of input");
        return false;
    case SFCliNumberStatus::OUT_OF_RANGE:
        log(4, head + " in cidr data. Out of range of long type");
        return false;
    case SFCliNumberStatus::OK:
        break;
    }
    if (number.value < 0 || number.value > kMaxPrefix) {
        log(4, head + " in cidr data. Out of netmask prefix range");
        return false;
    }
    return true;
}

bool SFCli::isValidFqdn(std::string name)
{
    if (name.size() > kMaxFqdnLength)
        return false;
    static const boost::regex pattern(
        "^(?:[a-zA-Z0-9](?:[-a-zA-Z0-9]{0,61}[a-zA-Z0-9])?\\.){1,255}"
        "(?:[a-zA-Z0-9][-a-zA-Z0-9]{0,61}[a-zA-Z])\\.?$",
        boost::regex::perl);
    // A match of the whole text: a search would accept "example.com\n", because "$" also
    // matches before a final line feed.
    return boost::regex_match(name, pattern);
}

bool SFCli::isValidService(std::string port)
{
    const SFCliNumber number = parseCliNumber(port);
    switch (number.status) {
    case SFCliNumberStatus::NO_DIGITS:
        log(4, " Validation of port " + port + " failed. Contains non-numerical data");
        return false;
    case SFCliNumberStatus::EXTRA_CHARACTERS:
        log(4, " Validation of port " + port + " failed. Contains extra characters at end of input");
        return false;
    case SFCliNumberStatus::OUT_OF_RANGE:
        log(4, " Validation of port " + port + " failed. Out of range of long type");
        return false;
    case SFCliNumberStatus::OK:
        break;
    }
    if (number.value >= 1 && number.value <= kMaxPort)
        return true;
    log(4, " Validation of port " + std::to_string(number.value) +
               " failed, it should be within range of 1 - 65535");
    return false;
}

bool SFCli::isValidServiceRange(std::string start, std::string end)
{
    if (!isValidService(start) || !isValidService(end)) {
        log(4, " Validation of range " + start + " - " + end + " as it was invalid");
        return false;
    }
    // Both read as the checks above read them, so the comparison sees the checked values.
    const long first = parseCliNumber(start).value;
    const long last = parseCliNumber(end).value;
    if (first < last)
        return true;
    log(4, " Validation of range " + std::to_string(first) + " - " + std::to_string(last) +
               " failed  as start port was not less than end port");
    return false;
}

bool SFCli::isIcmpMsgTypeValid(SFMsgType type)
{
    const int value = static_cast<int>(type);
    if (value == 0 || (value >= 3 && value <= 18) || (value >= 30 && value <= 40))
        return true;
    log(4, " Validation of ICMP message type failed as it is an unknown type");
    return false;
}

bool SFCli::splitTime(const std::string& time, std::string& hours, std::string& minutes)
{
    const size_t colon = time.find(':');
    if (colon == std::string::npos)
        return false;
    hours = time.substr(0, colon);
    minutes = time.substr(colon + 1, kMaxMinuteDigits);
    return true;
}

bool SFCli::isTimeIntervalValid(std::string start, std::string end)
{
    const char* badParameter = " Validation of time interval failed due to bad parameter";
    if (start.size() > kMaxTimeLength || end.size() > kMaxTimeLength) {
        log(4, badParameter);
        return false;
    }
    std::string startHours;
    std::string startMinutes;
    std::string endHours;
    std::string endMinutes;
    if (!splitTime(start, startHours, startMinutes)) {
        log(4, "Validation of start time = " + start + " failed");
        return false;
    }
    if (!splitTime(end, endHours, endMinutes)) {
        log(4, "Validation of end time = " + end + " failed");
        return false;
    }
    // splitTime drops minute characters past the second, but the rule keeps the typed text,
    // so "1:300" would be stored as a time the daemon cannot read: refuse it here.
    if (start.size() - start.find(':') - 1 > kMaxMinuteDigits ||
        end.size() - end.find(':') - 1 > kMaxMinuteDigits) {
        log(4, badParameter);
        return false;
    }
    int h1 = 0;
    int h2 = 0;
    int m1 = 0;
    int m2 = 0;
    if (!readTimePart(startHours, h1) || !readTimePart(endHours, h2) ||
        !readTimePart(startMinutes, m1) || !readTimePart(endMinutes, m2)) {
        log(4, " Validation of time interval failed due to bad casting");
        return false;
    }
    if (h1 > 23 || h2 > 23 || m1 > 59 || m2 > 59) {
        log(4, badParameter);
        return false;
    }
    if (h1 < h2 || (h1 == h2 && m1 < m2))
        return true;
    log(4, " Validation of time interval failed");
    return false;
}

bool SFCli::generateDaysMask(const std::string& days, int& mask, std::string& dayList)
{
    log(6, "Entering SFCli::generateDaysMask");
    mask = 0;
    if (days.empty())
        return false;
    dayList.clear();
    const std::string& delimiter = SFCliStringConstants::CLI_LIST_DELIMITER;
    size_t begin = 0;
    while (begin <= days.size()) {
        size_t end = days.find(delimiter, begin);
        if (end == std::string::npos)
            end = days.size();
        std::string piece = trim(days.substr(begin, end - begin));
        begin = end + delimiter.size();
        if (piece.empty())
            continue;
        for (char& c : piece)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::string day = CommonFunc::getSanitizedDay(piece);
        const int bit = CommonFunc::getScheduleIndex(day);
        if (bit == 7)
            return false;
        mask |= bit;
        dayList += day + delimiter;
    }
    return true;
}

std::string SFCli::sanitizeRuleNameOrDesc(std::string text)
{
    for (char& c : text) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == ' ';
        if (!kept)
            c = '_';
    }
    return text;
}

} // namespace StatefulFirewall
