#pragma once

// Kinds of preference change: the argument of the configuration controller's change callback
// and the selector of the get-one and set-one preference commands. The values travel between
// the tool and the daemon, so they never change.

#include <cstdint>

namespace StatefulFirewall {

enum SFPrefType : int32_t {
    SF_PREF_FW_STATUS = 0,
    SF_PREF_TCP_CON_TIMEOUT = 1,
    SF_PREF_UDP_ICMP_CON_TIMEOUT = 2,
    SF_PREF_FW_LOG_LEVEL = 3,
    SF_PREF_FTP_INSPECTION = 4,
    SF_PREF_UNUSED_5 = 5,
    SF_PREF_FW_MODE = 6,
    SF_PREF_RETAIN_CLIENT_RULES = 7,
    SF_PREF_UNUSED_8 = 8,
    SF_PREF_UNSUPPORTED_PROTOCOL = 9,
    SF_PREF_TRUST_LOCAL_SUBNET = 10,
    SF_PREF_NONE = 11, // a default-built preference record names no preference
};

// The firewall mode, stored under GlobalConfiguration.IsRegularOrAdaptive.
enum FW_MODE : int32_t {
    FW_MODE_REGULAR = 0,
    FW_MODE_ADAPTIVE = 1,
};

} // namespace StatefulFirewall
