#pragma once

// Result codes of the whole system. 150000 is success; every failure has a code above it.
// Operations return one of these, or throw SFException carrying one.

#include <cstdint>

namespace StatefulFirewall {

inline constexpr int32_t SF_SUCCESS = 150000;
inline constexpr int32_t SF_STORE_WRITE_FAILED = 150001;
inline constexpr int32_t SF_INVALID_ARGUMENT = 150003;
inline constexpr int32_t SF_PREF_WRITE_FAILED = 150016;
inline constexpr int32_t SF_NO_MATCH_FOR_RULE = 150019;
inline constexpr int32_t SF_NO_MATCH_FOR_GROUP = 150020;
inline constexpr int32_t SF_RULE_REFUSED = 150021;
inline constexpr int32_t SF_RULE_POSITION_CHANGED = 150022;
inline constexpr int32_t SF_RULE_TO_DELETE_NOT_FOUND = 150023;
inline constexpr int32_t SF_RULE_TO_UPDATE_NOT_FOUND = 150025;
inline constexpr int32_t SF_GROUP_REFUSED = 150026;
inline constexpr int32_t SF_GROUP_TO_DELETE_NOT_FOUND = 150027;
inline constexpr int32_t SF_GROUP_TO_UPDATE_NOT_FOUND = 150028;
inline constexpr int32_t SF_RULE_UPDATE_GROUP_MISSING = 150029;
inline constexpr int32_t SF_GROUP_ALREADY_PRESENT = 150030;
inline constexpr int32_t SF_REINIT_AFTER_DELETE_FAILED = 150032;
inline constexpr int32_t SF_DEFAULT_GROUP_NOT_REPLACEABLE = 150033;
inline constexpr int32_t SF_TRUSTED_IP_REFUSED = 150056;
inline constexpr int32_t SF_TRUSTED_LIST_UNCHANGED = 150057;
inline constexpr int32_t SF_SYSTEM_COMMAND_FAILED = 150077;
inline constexpr int32_t SF_NO_TRUSTED_NETWORKS = 150079;
inline constexpr int32_t SF_PREF_ALREADY_SET = 150080;

} // namespace StatefulFirewall
