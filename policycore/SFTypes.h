#pragma once

// Identifiers, enumerations and plain records of the rule model. The records are copied byte
// for byte between libraries, into stores and into netlink-side records, so their layouts are
// pinned below.

#include <cstdint>

namespace StatefulFirewall {

// A 128-bit identifier of a rule or group. All zero is the null identifier. Identifiers made
// by this system use only the low 32 bits of Data1.
struct GUID {
    unsigned long Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// The same identifier inside flat records: the eight bytes come before the two 16-bit parts.
struct KGUID {
    uint64_t Data1;
    uint8_t Data4[8];
    uint16_t Data2;
    uint16_t Data3;
};
static_assert(sizeof(KGUID) == 24, "KGUID is copied into fixed-size records");

KGUID toKGUID(const GUID& id);
GUID fromKGUID(const KGUID& id);

enum SFwActionType {
    FW_ACTION_INVALID = 0,
    FW_ACTION_ALLOW = 1,
    FW_ACTION_BLOCK_PACKET = 2,
    FW_ACTION_BLOCK_AND_RESET_CONNECTION = 3,
    FW_ACTION_BLOCK_HOST = 4,
    FW_ACTION_CONTINUE = 5,
    FW_ACTION_JUMP = 6,
    FW_ACTION_CALL_PLUGIN = 7,
    FW_ACTION_LAST = 8,
};

// IP protocol numbers.
enum SFwTransProtocol {
    FW_TRANS_PROTO_NOT_SET = 0,
    FW_TRANS_PROTO_ICMP = 1,
    FW_TRANS_PROTO_IGMP = 2,
    FW_TRANS_PROTO_TCP = 6,
    FW_TRANS_PROTO_UDP = 17,
    FW_TRANS_PROTO_LAST = 256,
    FW_TRANS_PROTO_ANY = 1024,
};

// EtherType values.
enum SFwNetProtocol {
    NET_PROTO_NOT_SET = 0,
    NET_PROTO_ANY = 1,
    NET_PROTO_IP = 2048,
    NET_PROTO_ARP = 2054,
    NET_PROTO_REVARP = 32821,
    NET_PROTO_IPX_PROT = 32823,
    NET_PROTO_NETBIOS_PROT = 32832,
    NET_PROTO_ATALK = 32923,
    NET_PROTO_IPX = 33079,
    NET_PROTO_MPLS = 34887,
    NET_PROTO_EAPOL = 34958,
};

// ICMP types by their type numbers; 7 means "no ICMP type", 41 any.
enum SFMsgType {
    FW_ICMP_ECHO_REPLY = 0,
    FW_ICMP_DEST_UNREACH = 3,
    FW_ICMP_SOURCE_QUENCH = 4,
    FW_ICMP_REDIRECT = 5,
    FW_ICMP_ALT_HOST = 6,
    FW_MSG_TYPE_UNKNOWN = 7,
    FW_ICMP_ECHO_REQUEST = 8,
    FW_ICMP_ROUTER_ADVT = 9,
    FW_ICMP_ROUTER_SELECT = 10,
    FW_ICMP_TIME_EXCD = 11,
    FW_ICMP_PARAM_PROB = 12,
    FW_ICMP_TIMESTAMP_REQ = 13,
    FW_ICMP_TIMESTAMP_REP = 14,
    FW_ICMP_INFO_REQ = 15,
    FW_ICMP_INFO_REP = 16,
    FW_ICMP_ADDR_MASK_REQ = 17,
    FW_ICMP_ADDR_MASK_REP = 18,
    FW_ICMP_TRACEROUTE = 30,
    FW_ICMP_DATAGRAM_CONV_ERR = 31,
    FW_ICMP_MOBILE_HOST_REDIR = 32,
    FW_ICMP_IPV6_WHERE_ARE_YOU = 33,
    FW_ICMP_IPV6_I_AM_HERE = 34,
    FW_ICMP_MOBILE_REG_REQ = 35,
    FW_ICMP_MOBILE_REG_REP = 36,
    FW_ICMP_DOMAIN_NAME_REQ = 37,
    FW_ICMP_DOMAIN_NAME_REP = 38,
    FW_ICMP_SKIP = 39,
    FW_ICMP_PHOTURIS = 40,
    FW_ICMP_ANY = 41,
};

enum SFwDirection {
    FW_DIRECTION_NOT_SET = 0,
    FW_DIRECTION_INBOUND = 1,
    FW_DIRECTION_OUTBOUND = 2,
    FW_DIRECTION_EITHER = 3,
};

enum SFwPhysicalMedium {
    FW_PHYSICAL_MEDIUM_NOT_SET = 0,
    FW_PHYSICAL_MEDIUM_WIRED = 1,
    FW_PHYSICAL_MEDIUM_VIRTUAL = 2,
    FW_PHYSICAL_MEDIUM_WIRELESS = 3,
    IF_ALL = 4,
};

// What a match tests. 6 and 7 are a second family of local and remote address kinds, 8 and 9
// of local and remote port kinds: every operation treats them like 2, 4, 1 and 3.
enum SFwMatchType {
    FW_MATCH_INVALID = 0,
    FW_MATCH_LOCAL_PORT = 1,
    FW_MATCH_LOCAL_IP_ADDRESS = 2,
    FW_MATCH_REMOTE_PORT = 3,
    FW_MATCH_REMOTE_IP_ADDRESS = 4,
    FW_MATCH_DIRECTION = 5,
    FW_MATCH_LOCAL_IP_ADDRESS_2 = 6,
    FW_MATCH_REMOTE_IP_ADDRESS_2 = 7,
    FW_MATCH_LOCAL_PORT_2 = 8,
    FW_MATCH_REMOTE_PORT_2 = 9,
    FW_MATCH_PHYSICAL_MEDIUM = 10,
    FW_MATCH_SCHEDULE = 11,
};

enum SFwMatchFormat {
    FW_ADDRESS_TYPE_INVALID = 0,
    FW_ADDRESS_TYPE_SINGLE = 1,
    FW_ADDRESS_TYPE_IP_RANGE = 2,
    FW_ADDRESS_TYPE_PORT_RANGE = 3,
    FW_ADDRESS_TYPE_CIDR = 4,
    FW_ADDRESS_TYPE_DOMAIN_NAME = 5,
    FW_ADDRESS_TYPE_TRUSTED = 6,
    FW_ADDRESS_TYPE_ANY_LOCAL_IP = 7,
    FW_ADDRESS_TYPE_LOCAL_SUBNET = 8,
    FW_ADDRESS_TYPE_ANY_IPV4_ADD = 9,
    FW_ADDRESS_TYPE_LAST = 10,
};

enum SFwMatchOp {
    FW_MATCH_OP_INVALID = 0,
    FW_MATCH_OP_EQUAL = 1,
    FW_MATCH_OP_EQUAL_NOT = 2,
    FW_MATCH_OP_GEQ = 3,
    FW_MATCH_OP_LEQ = 4,
    FW_MATCH_OP_IN_RANGE = 5,
    FW_MATCH_OP_IN_RANGE_NOT = 6,
    FW_MATCH_OP_BITMASK = 7,
    FW_MATCH_OP_BITMASK_NOT = 8,
    FW_MATCH_OP_LAST = 9,
};

enum SFwScheduleDay { SUN = 0, MON = 1, TUE = 2, WED = 3, THU = 4, FRI = 5, SAT = 6 };

// What a schedule match does outside its hours.
enum SFwScheduleAction { FW_SCHEDULE_ACTION_DISABLE = 0, FW_SCHEDULE_ACTION_REVERSE = 1 };

enum SFwTrustedAddressType {
    FW_TRUSTED_ADDRESS_TYPE_INVALID = 0,
    FW_TRUSTED_ADDRESS_TYPE_SINGLE = 1,
    FW_TRUSTED_ADDRESS_TYPE_IP_RANGE = 2,
    FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET = 3,
    FW_TRUSTED_ADDRESS_TYPE_CIDR = 4,
    FW_TRUSTED_ADDRESS_TYPE_LAST = 5,
};

// An IPv4 address; address is in network byte order, family 4 (0 when unset).
struct FwIpAddress {
    int family;
    uint32_t address;
};

// prefix 0..32; mask is the netmask in network byte order.
struct FwIpMask {
    uint8_t prefix;
    uint32_t mask;
};

struct MatchIpAddressValue {
    FwIpAddress start;
    union {
        FwIpAddress end; // IP_RANGE
        FwIpMask subnet; // CIDR
    };
};

struct MatchPorts {
    uint16_t port;
    uint16_t lastPort;
};

struct MatchSchedule {
    char startTime[6]; // "HH:MM"
    char endTime[6];
    char days[29];     // "Mon,Tue,...", the form the iptables time match takes
    uint16_t daysMask; // Sun 1, Mon 2 ... Sat 64
    int scheduleAction; // SFwScheduleAction
};

// The value of a match. Constructors zero all 256 bytes, so bytes outside the member in use
// are zero.
union MatchDataType {
    int intValue; // SFwDirection or SFwPhysicalMedium
    MatchPorts ports;
    MatchIpAddressValue ipValue;
    char domainName[256];
    MatchSchedule schedule;
};
static_assert(sizeof(MatchDataType) == 256, "the match value is copied as 256 bytes");

// The flat form of a trusted network.
struct TrustedIPData {
    MatchIpAddressValue value;
    int type;
};

// The flat form of a match.
struct KSFMatch {
    int matchType;
    int addressType;
    MatchDataType value;
    int matchOp;
};

// The flat form of a rule handed to the iptables driver with the rule's matches.
struct KSFRule {
    KGUID ruleId;
    KGUID jumpTarget;
    int position;
    uint32_t adaptiveKey;
    char name[104]; // at most 103 characters, NUL-terminated
    int action;
    int transport;
    int netProto;
    int msgType;
    uint16_t enabled;
    uint16_t logEnabled;
    uint8_t treatAsIntrusion;
    int matchCount;
};
static_assert(sizeof(KSFRule) == 192, "KSFRule layout is shared between libraries");

// Identifier texts of the fixed groups.
inline constexpr const char* SF_DEFAULT_GROUP_ID = "3d5b2a34-3b8b-bc62-4d63-477569447e00";
inline constexpr const char* SF_AGENT_GROUP_ID = "275be69b-3bc2-bc72-4d64-477569447e00";
inline constexpr const char* SF_CLIENT_GROUP_ID = "7eece6a4-5ac2-9dfb-6374-477569447e00";
inline constexpr const char* SF_ADAPTIVE_GROUP_ID = "ba869d9b-5ea5-9d72-6164-477569447e00";

// adaptiveKey of a rule that was not learned.
inline constexpr uint32_t SF_NO_ADAPTIVE_KEY = 0xFFFFFFFFu;

} // namespace StatefulFirewall
