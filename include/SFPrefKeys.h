#pragma once

// The preference key table: section names, section ids, attribute paths, one full-path
// constant per key, and the default of every key. The settings library is the only reader and
// writer of the settings file; other deliverables include this header only to name keys.
//
// The paths are literals rather than strings joined at load time so that no library depends on
// another library's static initialisation order.

#include <cstddef>

namespace StatefulFirewall {

// Name of the XML attribute that tags each section with its id.
inline constexpr const char* SF_SECTION_ATTRIBUTE = "type";

// GlobalConfiguration: firewall options, timeouts, intervals, store paths, socket path.
inline constexpr const char* SF_SECTION_GLOBAL = "GlobalConfiguration";
inline constexpr const char* SF_SECTION_GLOBAL_ID = "1";
inline constexpr const char* SF_SECTION_GLOBAL_ATTR = "GlobalConfiguration.<xmlattr>.type";

// ProductInformation: names, directories, version, vendor, hot fixes; read only.
inline constexpr const char* SF_SECTION_PRODUCT = "ProductInformation";
inline constexpr const char* SF_SECTION_PRODUCT_ID = "2";
inline constexpr const char* SF_SECTION_PRODUCT_ATTR = "ProductInformation.<xmlattr>.type";

// LoggingInformation: log levels, switches and sizes, log path, the events-to-server switch.
inline constexpr const char* SF_SECTION_LOGGING = "LoggingInformation";
inline constexpr const char* SF_SECTION_LOGGING_ID = "3";
inline constexpr const char* SF_SECTION_LOGGING_ATTR = "LoggingInformation.<xmlattr>.type";

// GlobalConfiguration keys.
// ActivityLogSize, FirewallLogLevel and IptablesRuleLogLevel also exist here with the same
// defaults, but every accessor uses the LoggingInformation copies.
inline constexpr const char* SF_KEY_GLOBAL_ACTIVITY_LOG_SIZE = "GlobalConfiguration.ActivityLogSize";
inline constexpr const char* SF_KEY_AGGR_TIMEOUT_SECS = "GlobalConfiguration.AggrTimeoutSecs";
inline constexpr const char* SF_KEY_ENABLE_IP_SPOOF_PROTECTION = "GlobalConfiguration.EnableIPspoofProtection";
inline constexpr const char* SF_KEY_GLOBAL_FIREWALL_LOG_LEVEL = "GlobalConfiguration.FirewallLogLevel";
inline constexpr const char* SF_KEY_FTP_INSPECTION_PORTS = "GlobalConfiguration.FtpInspectionPorts";
inline constexpr const char* SF_KEY_HASH_LIMIT_UPTO_RATE = "GlobalConfiguration.HashLimitUptoRate";
inline constexpr const char* SF_KEY_GLOBAL_IPTABLES_RULE_LOG_LEVEL = "GlobalConfiguration.IptablesRuleLogLevel";
inline constexpr const char* SF_KEY_IS_FIREWALL_ENABLED = "GlobalConfiguration.IsFirewallEnabled";
inline constexpr const char* SF_KEY_IS_REGULAR_OR_ADAPTIVE = "GlobalConfiguration.IsRegularOrAdaptive";
inline constexpr const char* SF_KEY_REPORTING_TIMEOUT_SECS = "GlobalConfiguration.ReportingTimeoutSecs";
inline constexpr const char* SF_KEY_RETAIN_EXISTING_CLIENT_RULES = "GlobalConfiguration.RetainExistingClientRules";
inline constexpr const char* SF_KEY_RULE_STORE_PATH = "GlobalConfiguration.RuleStorePath";
inline constexpr const char* SF_KEY_SHOULD_TRUST_LOCAL_SUBNET = "GlobalConfiguration.ShouldTrustLocalSubnet";
inline constexpr const char* SF_KEY_TCP_CON_TIMEOUT = "GlobalConfiguration.TCPconTimeout";
inline constexpr const char* SF_KEY_TRUSTED_IP_STORE_PATH = "GlobalConfiguration.TrustedIPStorePath";
inline constexpr const char* SF_KEY_UDP_ICMP_CON_TIMEOUT = "GlobalConfiguration.UDPandICMPechoConTimeout";
inline constexpr const char* SF_KEY_UNSUPPORTED_PROTOCOL = "GlobalConfiguration.UnsupportedProtocol";
inline constexpr const char* SF_KEY_USE_FTP_INSPECTION = "GlobalConfiguration.UseFTPinspection";
inline constexpr const char* SF_KEY_ZAV_SOCKET_PATH = "GlobalConfiguration.ZAVSocketPath";
inline constexpr const char* SF_KEY_HEALTH_CHECK_TIMER = "GlobalConfiguration.HealthCheckTimerInSecs";

// ProductInformation keys.
inline constexpr const char* SF_KEY_PRODUCT_BIN_DIR = "ProductInformation.ProductBinDir";
inline constexpr const char* SF_KEY_PRODUCT_CLI_NAME = "ProductInformation.ProductCLIName";
inline constexpr const char* SF_KEY_PRODUCT_COPYRIGHT = "ProductInformation.ProductCopyright";
inline constexpr const char* SF_KEY_PRODUCT_INSTALL_DIR = "ProductInformation.ProductInstallDir";
inline constexpr const char* SF_KEY_PRODUCT_NAME = "ProductInformation.ProductName";
inline constexpr const char* SF_KEY_PRODUCT_NAME_FOR_EVENT = "ProductInformation.ProductNameForEvent";
inline constexpr const char* SF_KEY_PRODUCT_VAR_DIR = "ProductInformation.ProductVarDir";
inline constexpr const char* SF_KEY_PRODUCT_VERSION = "ProductInformation.ProductVersion";
inline constexpr const char* SF_KEY_VENDOR_NAME = "ProductInformation.VendorName";
inline constexpr const char* SF_KEY_HOT_FIXES = "ProductInformation.HotFixes";
inline constexpr const char* SF_KEY_HOT_FIX = "ProductInformation.HotFixes.HotFix";

// LoggingInformation keys.
inline constexpr const char* SF_KEY_ACTIVITY_LOG_SIZE = "LoggingInformation.ActivityLogSize";
inline constexpr const char* SF_KEY_FIREWALL_LOG_LEVEL = "LoggingInformation.FirewallLogLevel";
inline constexpr const char* SF_KEY_IPTABLES_RULE_LOG_LEVEL = "LoggingInformation.IptablesRuleLogLevel";
inline constexpr const char* SF_KEY_CUSTOM_LOG_ENABLE = "LoggingInformation.CustomLogEnable";
inline constexpr const char* SF_KEY_SEND_EVENTS_TO_YAL = "LoggingInformation.SendEventsToYal";
inline constexpr const char* SF_KEY_ENABLE_ACTIVITY_LOGGING = "LoggingInformation.EnableActivityLogging";
inline constexpr const char* SF_KEY_LIMIT_ACTIVITY_LOG_SIZE = "LoggingInformation.LimitActivityLogSize";
inline constexpr const char* SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW = "LoggingInformation.EnableDebugLoggingForFW";
inline constexpr const char* SF_KEY_LIMIT_DEBUG_LOG_SIZE = "LoggingInformation.LimitDebugLogSize";
inline constexpr const char* SF_KEY_DEBUG_LOG_SIZE = "LoggingInformation.DebugLogSize";
inline constexpr const char* SF_KEY_ENABLE_EVENT_LOGGING = "LoggingInformation.EnableEventLogging";
inline constexpr const char* SF_KEY_LOG_PATH = "LoggingInformation.LogPath";
inline constexpr const char* SF_KEY_YAL_LOG_LEVEL_FOR_FW = "LoggingInformation.YalLogLevelForFW";
inline constexpr const char* SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE = "LoggingInformation.ProductMaxLogFileSize";
inline constexpr const char* SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT = "LoggingInformation.ProductMaxRotatedLogFileCount";
inline constexpr const char* SF_KEY_ENABLE_DEBUG_LOGGING_FOR_MSG_BUS = "LoggingInformation.EnableDebugLoggingForMsgBus";

// The product log's bounds: its size in megabytes (what tqctl offers, the settings' setters and
// the daemon's commands and policy accept) and the rotated files kept with it. Both bounded, so
// the logger's total (size times count, in 64 bits) is never negative and never overflows.
inline constexpr int SF_MIN_LOG_SIZE_MIB = 1;
inline constexpr int SF_MAX_LOG_SIZE_MIB = 999;
inline constexpr int SF_MIN_ROTATED_LOG_FILES = 1;
inline constexpr int SF_MAX_ROTATED_LOG_FILES = 999;

constexpr bool isValidLogSizeMiB(long long sizeMiB)
{
    return sizeMiB >= SF_MIN_LOG_SIZE_MIB && sizeMiB <= SF_MAX_LOG_SIZE_MIB;
}
constexpr bool isValidRotatedLogFileCount(long long count)
{
    return count >= SF_MIN_ROTATED_LOG_FILES && count <= SF_MAX_ROTATED_LOG_FILES;
}

// Defaults. Values the code falls back on directly are named too.
inline constexpr const char* SF_DEFAULT_RULE_STORE_PATH = "/var/Varnik/kyv/fw/rule-store.data";
inline constexpr const char* SF_DEFAULT_TRUSTED_IP_STORE_PATH = "/var/Varnik/kyv/fw/trustedip-store.data";
inline constexpr const char* SF_DEFAULT_ZAV_SOCKET_PATH = "/var/Varnik/kyv/zav/zavsocket";
inline constexpr const char* SF_DEFAULT_FTP_INSPECTION_PORTS = "21";
inline constexpr const char* SF_DEFAULT_HASH_LIMIT_UPTO_RATE = "5/hour";
inline constexpr const char* SF_DEFAULT_PRODUCT_VERSION = "10.6.11";

struct SFPrefDefault {
    const char* path;
    const char* value;
};

// The default of every key, per section, attribute path first. The settings bootstrap hands
// these to the configuration store, which fills in whatever the file lacks.
inline constexpr SFPrefDefault SF_GLOBAL_DEFAULTS[] = {
    {SF_SECTION_GLOBAL_ATTR, SF_SECTION_GLOBAL_ID},
    {SF_KEY_GLOBAL_ACTIVITY_LOG_SIZE, "1"},
    {SF_KEY_AGGR_TIMEOUT_SECS, "300"},
    {SF_KEY_ENABLE_IP_SPOOF_PROTECTION, "0"},
    {SF_KEY_GLOBAL_FIREWALL_LOG_LEVEL, "5"},
    {SF_KEY_FTP_INSPECTION_PORTS, SF_DEFAULT_FTP_INSPECTION_PORTS},
    {SF_KEY_HASH_LIMIT_UPTO_RATE, SF_DEFAULT_HASH_LIMIT_UPTO_RATE},
    {SF_KEY_GLOBAL_IPTABLES_RULE_LOG_LEVEL, "4"},
    {SF_KEY_IS_FIREWALL_ENABLED, "0"},
    {SF_KEY_IS_REGULAR_OR_ADAPTIVE, "0"},
    {SF_KEY_REPORTING_TIMEOUT_SECS, "300"},
    {SF_KEY_RETAIN_EXISTING_CLIENT_RULES, "1"},
    {SF_KEY_RULE_STORE_PATH, SF_DEFAULT_RULE_STORE_PATH},
    {SF_KEY_SHOULD_TRUST_LOCAL_SUBNET, "1"},
    {SF_KEY_TCP_CON_TIMEOUT, "30"},
    {SF_KEY_TRUSTED_IP_STORE_PATH, SF_DEFAULT_TRUSTED_IP_STORE_PATH},
    {SF_KEY_UDP_ICMP_CON_TIMEOUT, "30"},
    {SF_KEY_UNSUPPORTED_PROTOCOL, "1"},
    {SF_KEY_USE_FTP_INSPECTION, "1"},
    {SF_KEY_ZAV_SOCKET_PATH, SF_DEFAULT_ZAV_SOCKET_PATH},
    {SF_KEY_HEALTH_CHECK_TIMER, "300"},
};

inline constexpr SFPrefDefault SF_PRODUCT_DEFAULTS[] = {
    {SF_SECTION_PRODUCT_ATTR, SF_SECTION_PRODUCT_ID},
    {SF_KEY_PRODUCT_BIN_DIR, "bin"},
    {SF_KEY_PRODUCT_CLI_NAME, "tqctl"},
    {SF_KEY_PRODUCT_COPYRIGHT, "Copyright (c) 2026 Varnik LLC. All rights reserved."},
    {SF_KEY_PRODUCT_INSTALL_DIR, "/opt/Varnik/kyv/fw"},
    {SF_KEY_PRODUCT_NAME, "StatefulFirewall"},
    {SF_KEY_PRODUCT_NAME_FOR_EVENT, "Varnik Brevant"},
    {SF_KEY_PRODUCT_VAR_DIR, "/var/Varnik/kyv/fw"},
    {SF_KEY_PRODUCT_VERSION, SF_DEFAULT_PRODUCT_VERSION},
    {SF_KEY_VENDOR_NAME, "Varnik LLC"},
    // The HotFixes element itself has no default; only its child does.
    {SF_KEY_HOT_FIX, ""},
};

// The log-level defaults are the decimal texts of the platform's severity enumerators
// (5 information) and of its management-server log levels (3).
inline constexpr SFPrefDefault SF_LOGGING_DEFAULTS[] = {
    {SF_SECTION_LOGGING_ATTR, SF_SECTION_LOGGING_ID},
    {SF_KEY_ACTIVITY_LOG_SIZE, "1"},
    {SF_KEY_FIREWALL_LOG_LEVEL, "5"},
    {SF_KEY_IPTABLES_RULE_LOG_LEVEL, "4"},
    {SF_KEY_CUSTOM_LOG_ENABLE, "1"},
    {SF_KEY_SEND_EVENTS_TO_YAL, "1"},
    {SF_KEY_ENABLE_ACTIVITY_LOGGING, "1"},
    {SF_KEY_LIMIT_ACTIVITY_LOG_SIZE, "1"},
    {SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, "0"},
    {SF_KEY_LIMIT_DEBUG_LOG_SIZE, "1"},
    {SF_KEY_DEBUG_LOG_SIZE, "10"},
    {SF_KEY_ENABLE_EVENT_LOGGING, "1"},
    {SF_KEY_LOG_PATH, "/var/Varnik/kyv/log/fw"},
    {SF_KEY_YAL_LOG_LEVEL_FOR_FW, "3"},
    {SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE, "10"},
    {SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT, "5"},
    {SF_KEY_ENABLE_DEBUG_LOGGING_FOR_MSG_BUS, "0"},
};

} // namespace StatefulFirewall
