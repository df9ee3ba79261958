#include "CommonFunc.h"

#include <boost/lexical_cast.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <sys/time.h>

namespace StatefulFirewall {

namespace {

// The protocol texts go into fixed 30-byte fields of the tool's and the event library's records.
constexpr size_t kProtoTextSize = 30;

// Data1 may hold 64 bits, so the longest text is 16 + 1 + 4 + 1 + 4 + 1 + 4 + 12 characters.
constexpr size_t kGuidTextBuffer = 64;

// The IPv4-mapped IPv6 prefix as the address helpers print it (29 characters).
constexpr char kMappedPrefix[] = "0000:0000:0000:0000:0000:ffff";
constexpr size_t kMappedPrefixLength = sizeof(kMappedPrefix) - 1;

std::string formatGUID(const GUID& id)
{
    char text[kGuidTextBuffer];
    std::snprintf(text, sizeof(text), "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  id.Data1, unsigned{id.Data2}, unsigned{id.Data3}, unsigned{id.Data4[0]},
                  unsigned{id.Data4[1]}, unsigned{id.Data4[2]}, unsigned{id.Data4[3]},
                  unsigned{id.Data4[4]}, unsigned{id.Data4[5]}, unsigned{id.Data4[6]},
                  unsigned{id.Data4[7]});
    return text;
}

// strncpy zero-fills the rest of the field, so the caller's record never carries stale bytes.
void writeProtoText(const char* text, char* out)
{
    std::strncpy(out, text, kProtoTextSize);
}

// Seeds the C library generator from the clock. Several calls within one microsecond reseed
// identically; callers needing distinct values use getUUID.
void seedFromClock()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    std::srand(static_cast<unsigned>(now.tv_usec) * 1000u);
}

bool isHexDigits(const std::string& text, size_t first, size_t count)
{
    return std::all_of(text.begin() + first, text.begin() + first + count,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

} // namespace

bool CommonFunc::isGUIDNull(const GUID& id)
{
    return id.Data1 == 0 && id.Data2 == 0 && id.Data3 == 0 &&
           std::all_of(std::begin(id.Data4), std::end(id.Data4), [](uint8_t b) { return b == 0; });
}

std::string CommonFunc::textGUID(const GUID& id)
{
    // Identifiers are compared by this text throughout the rule model, so every null
    // identifier must print the same.
    if (isGUIDNull(id))
        return "EMPTY";
    return formatGUID(id);
}

std::wstring CommonFunc::textWGUID(const GUID& id)
{
    const std::string text = formatGUID(id);
    return std::wstring(text.begin(), text.end());
}

GUID CommonFunc::getGUIDFromString(std::string text)
{
    // textGUID prints the null identifier as "EMPTY", whose leading 'E' would otherwise read
    // as the hex Data1 0xe and turn a stored null identifier into a real one.
    if (text == "EMPTY")
        return GUID{};
    // Read into unsigned int temporaries: %x stores a full unsigned int, which would overrun the
    // 16- and 8-bit fields. sscanf stores only the fields it matched, so a text that stops
    // matching leaves the remaining fields zero and junk yields the null identifier.
    unsigned int fields[11] = {};
    std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &fields[0], &fields[1],
                &fields[2], &fields[3], &fields[4], &fields[5], &fields[6], &fields[7], &fields[8],
                &fields[9], &fields[10]);
    GUID id{};
    id.Data1 = fields[0];
    id.Data2 = static_cast<uint16_t>(fields[1]);
    id.Data3 = static_cast<uint16_t>(fields[2]);
    for (size_t i = 0; i < std::size(id.Data4); ++i)
        id.Data4[i] = static_cast<uint8_t>(fields[3 + i]);
    return id;
}

GUID CommonFunc::getDefaultGroupID()
{
    return getGUIDFromString(SF_DEFAULT_GROUP_ID);
}

GUID CommonFunc::getYalAgentGroupID()
{
    return getGUIDFromString(SF_AGENT_GROUP_ID);
}

std::string CommonFunc::getUUID()
{
    // A fresh generator per call keeps this free of shared state. The plain generator draws
    // each identifier straight from the operating system's random source with one call; the
    // Mersenne Twister variant costs 624 such calls to seed, for no gain in randomness.
    try {
        boost::uuids::random_generator generator;
        return boost::lexical_cast<std::string>(generator());
    } catch (const std::runtime_error&) {
        // No entropy available (boost::uuids::entropy_error): generateGUID falls back to the
        // clock-seeded identifier on an empty text.
        return std::string();
    }
}

GUID CommonFunc::generateGUID()
{
    const std::string uuid = getUUID();
    if (!uuid.empty())
        return getGUIDFromString(uuid);

    // Recognisable fallback: Data2 2, Data3 3 and "guid" in the first Data4 bytes.
    seedFromClock();
    GUID id{};
    id.Data1 = static_cast<unsigned long>(std::rand());
    id.Data2 = 2;
    id.Data3 = 3;
    std::memcpy(id.Data4, "guid", 4);
    return id;
}

int CommonFunc::generateRuleId()
{
    seedFromClock();
    return std::rand();
}

const char* CommonFunc::getActionString(int action)
{
    static const char* const kTexts[] = {
        "NOT SET",
        "FW_ACTION_ALLOW",
        "FW_ACTION_BLOCK_PACKET",
        "FW_ACTION_BLOCK_AND_RESET_CONNECTION",
        "FW_ACTION_BLOCK_HOST",
        "FW_ACTION_CONTINUE",
        "FW_ACTION_JUMP",
        "FW_ACTION_CALL_PLUGIN",
    };
    // Values come from stores and payloads; an unknown one must still print.
    if (action < 0 || action >= static_cast<int>(std::size(kTexts)))
        return kTexts[0];
    return kTexts[action];
}

const char* CommonFunc::getScheduleDay(int day)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if (day < 0 || day >= static_cast<int>(std::size(kDays)))
        return "Invalid";
    return kDays[day];
}

std::string CommonFunc::getSchedActionDesc(int action)
{
    switch (action) {
    case FW_SCHEDULE_ACTION_DISABLE:
        return "Disable";
    case FW_SCHEDULE_ACTION_REVERSE:
        return "Reverse";
    default:
        return "Invalid";
    }
}

void CommonFunc::getNwProtoString(int netProto, char* out)
{
    const char* text = "NULL";
    switch (netProto) {
    case NET_PROTO_NOT_SET: text = "NOT SET"; break;
    case NET_PROTO_ANY: text = "NET_PROTO_ANY"; break;
    case NET_PROTO_IP: text = "NET_PROTO_IP"; break;
    case NET_PROTO_ARP: text = "NET_PROTO_ARP"; break;
    case NET_PROTO_REVARP: text = "NET_PROTO_REVARP"; break;
    case NET_PROTO_IPX_PROT: text = "NET_PROTO_IPX_PROT"; break;
    case NET_PROTO_NETBIOS_PROT: text = "NET_PROTO_NETBIOS_PROT"; break;
    case NET_PROTO_ATALK: text = "NET_PROTO_ATALK"; break;
    case NET_PROTO_IPX: text = "NET_PROTO_IPX"; break;
    case NET_PROTO_MPLS: text = "NET_PROTO_MPLS"; break;
    case NET_PROTO_EAPOL: text = "NET_PROTO_EAPOL"; break;
    default: break;
    }
    writeProtoText(text, out);
}

void CommonFunc::getTrProtoString(int transport, char* out)
{
    const char* text = nullptr;
    switch (transport) {
    case FW_TRANS_PROTO_NOT_SET: text = "NA"; break;
    case FW_TRANS_PROTO_ICMP: text = "ICMP"; break;
    case FW_TRANS_PROTO_IGMP: text = "IGMP"; break;
    case FW_TRANS_PROTO_TCP: text = "TCP"; break;
    case FW_TRANS_PROTO_UDP: text = "UDP"; break;
    case FW_TRANS_PROTO_LAST: text = "LAST"; break;
    case FW_TRANS_PROTO_ANY: text = "ANY"; break;
    default: break;
    }
    if (text != nullptr) {
        writeProtoText(text, out);
        return;
    }
    // Other protocol numbers print as themselves; an int needs at most 11 characters.
    char number[16];
    std::snprintf(number, sizeof(number), "%d", transport);
    writeProtoText(number, out);
}

std::string CommonFunc::getMsgTypeString(int msgType)
{
    switch (msgType) {
    case FW_ICMP_ECHO_REPLY: return "FW_ICMP_ECHO_REPLY";
    case FW_ICMP_DEST_UNREACH: return "FW_ICMP_DEST_UNREACH";
    case FW_ICMP_SOURCE_QUENCH: return "FW_ICMP_SOURCE_QUENCH";
    case FW_ICMP_REDIRECT: return "FW_ICMP_REDIRECT";
    case FW_ICMP_ALT_HOST: return "FW_ICMP_ALT_HOST";
    // 7 is the default of rules without an ICMP type; users see it as unset.
    case FW_MSG_TYPE_UNKNOWN: return "NOT SET";
    case FW_ICMP_ECHO_REQUEST: return "FW_ICMP_ECHO_REQUEST";
    case FW_ICMP_ROUTER_ADVT: return "FW_ICMP_ROUTER_ADVT";
    case FW_ICMP_ROUTER_SELECT: return "FW_ICMP_ROUTER_SELECT";
    case FW_ICMP_TIME_EXCD: return "FW_ICMP_TIME_EXCD";
    case FW_ICMP_PARAM_PROB: return "FW_ICMP_PARAM_PROB";
    case FW_ICMP_TIMESTAMP_REQ: return "FW_ICMP_TIMESTAMP_REQ";
    case FW_ICMP_TIMESTAMP_REP: return "FW_ICMP_TIMESTAMP_REP";
    case FW_ICMP_INFO_REQ: return "FW_ICMP_INFO_REQ";
    case FW_ICMP_INFO_REP: return "FW_ICMP_INFO_REP";
    case FW_ICMP_ADDR_MASK_REQ: return "FW_ICMP_ADDR_MASK_REQ";
    case FW_ICMP_ADDR_MASK_REP: return "FW_ICMP_ADDR_MASK_REP";
    case FW_ICMP_TRACEROUTE: return "FW_ICMP_TRACEROUTE";
    case FW_ICMP_DATAGRAM_CONV_ERR: return "FW_ICMP_DATAGRAM_CONV_ERR";
    case FW_ICMP_MOBILE_HOST_REDIR: return "FW_ICMP_MOBILE_HOST_REDIR";
    case FW_ICMP_IPV6_WHERE_ARE_YOU: return "FW_ICMP_IPV6_WHERE_ARE_YOU";
    case FW_ICMP_IPV6_I_AM_HERE: return "FW_ICMP_IPV6_I_AM_HERE";
    case FW_ICMP_MOBILE_REG_REQ: return "FW_ICMP_MOBILE_REG_REQ";
    case FW_ICMP_MOBILE_REG_REP: return "FW_ICMP_MOBILE_REG_REP";
    case FW_ICMP_DOMAIN_NAME_REQ: return "FW_ICMP_DOMAIN_NAME_REQ";
    case FW_ICMP_DOMAIN_NAME_REP: return "FW_ICMP_DOMAIN_NAME_REP";
    case FW_ICMP_SKIP: return "FW_ICMP_SKIP";
    case FW_ICMP_PHOTURIS: return "FW_ICMP_PHOTURIS";
    case FW_ICMP_ANY: return "FW_ICMP_ANY";
    default: return std::string();
    }
}

int CommonFunc::getScheduleIndex(std::string day)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    for (size_t i = 0; i < std::size(kDays); ++i) {
        if (day == kDays[i])
            return 1 << i;
    }
    // 7 is not a single day's bit, so an unknown name never passes for a real day.
    return 7;
}

std::string CommonFunc::getSanitizedDay(std::string day)
{
    static const struct {
        const char* key;
        const char* name;
    } kDays[] = {{"sun", "Sun"}, {"mon", "Mon"}, {"tue", "Tue"}, {"wed", "Wed"},
                 {"thu", "Thu"}, {"fri", "Fri"}, {"sat", "Sat"}};
    for (const auto& entry : kDays) {
        if (day == entry.key)
            return entry.name;
    }
    return "Invalid";
}

int CommonFunc::getEachString(std::string src, std::string& head, std::string& rest,
                              const char* delimiters)
{
    if (delimiters == nullptr)
        return -1;
    const size_t pos = src.find_first_of(delimiters);
    if (pos == std::string::npos) {
        head = src;
        return -1;
    }
    head = src.substr(0, pos);
    // The position is taken in src and applied to rest: callers pass the same text as both and
    // walk a list by calling again on the remainder. substr throws std::out_of_range when rest
    // is shorter than pos + 1.
    rest = rest.substr(pos + 1);
    return static_cast<int>(pos);
}

std::string CommonFunc::trimLastChar(const std::string& s, const std::string& c)
{
    if (!s.empty() && c.size() == 1 && s.back() == c[0])
        return s.substr(0, s.size() - 1);
    return s;
}

std::string CommonFunc::cutUtf8(const std::string& text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    // Step back over continuation bytes to the lead byte of the sequence the cut falls into.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

bool CommonFunc::EscapeSpecialCharsForJSON(std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\b': escaped += "\\b"; break;
        case '\t': escaped += "\\t"; break;
        case '\n': escaped += "\\n"; break;
        case '\f': escaped += "\\f"; break;
        case '\r': escaped += "\\r"; break;
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        default:
            // JSON forbids every raw control character in a string, not only the named ones.
            if (static_cast<unsigned char>(c) < 0x20) {
                char code[7];
                std::snprintf(code, sizeof(code), "\\u%04x", static_cast<unsigned>(c));
                escaped += code;
            } else {
                escaped += c;
            }
            break;
        }
    }
    text.swap(escaped);
    return true;
}

std::string CommonFunc::convertIPV4ToIPV6Str(std::string dotted)
{
    // inet_pton rejects out-of-range octets and trailing text; such input maps 0.0.0.0 so
    // the result keeps its fixed width.
    unsigned char bytes[4] = {};
    if (inet_pton(AF_INET, dotted.c_str(), bytes) != 1)
        std::memset(bytes, 0, sizeof(bytes));
    char text[48];
    std::snprintf(text, sizeof(text), "%s:%02x%02x:%02x%02x", kMappedPrefix, unsigned{bytes[0]},
                  unsigned{bytes[1]}, unsigned{bytes[2]}, unsigned{bytes[3]});
    return text;
}

bool CommonFunc::convertIPV6ToIPV4Str(std::string ipv6, std::string& out)
{
    // The mapped prefix, its separator at 29, then "hhhh:hhhh" from position 30.
    constexpr size_t kGroupsStart = kMappedPrefixLength + 1;
    constexpr size_t kGroupsLength = 9;
    if (ipv6.size() < kGroupsStart + kGroupsLength ||
        ipv6.compare(0, kMappedPrefixLength, kMappedPrefix) != 0)
        return false;
    // sscanf's %x would also take signs, blanks, "0x" and short groups; only two full groups
    // of hex digits are an address. Anything else is refused and out left unchanged.
    if (!isHexDigits(ipv6, kGroupsStart, 4) || ipv6[kGroupsStart + 4] != ':' ||
        !isHexDigits(ipv6, kGroupsStart + 5, 4))
        return false;
    unsigned int high = 0;
    unsigned int low = 0;
    if (std::sscanf(ipv6.c_str() + kGroupsStart, "%4x:%4x", &high, &low) != 2)
        return false;
    out = std::to_string(high >> 8) + '.' + std::to_string(high & 0xffu) + '.' +
          std::to_string(low >> 8) + '.' + std::to_string(low & 0xffu);
    return true;
}

} // namespace StatefulFirewall
