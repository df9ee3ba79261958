#pragma once

// Every command name, option name, help text, message and delimiter of the command-line tool.
// The texts are what users and scripts see, so they are kept character for character (double
// blanks included). Built once before main runs; read-only afterwards, so any thread may read.

#include "SFTypes.h"

#include <string>

namespace SFCliStringConstants {

// Top-level commands, in the order of the "Options" group.
inline const std::string CLI_HELP_CMD = "help";
inline const std::string CLI_FW_CMD = "fw";
inline const std::string CLI_FW_MODE_CMD = "fw-mode";
inline const std::string CLI_FW_RULE_ADD_CMD = "fw-rule-add";
inline const std::string CLI_FW_RULE_DELETE_CMD = "fw-rule-delete";
inline const std::string CLI_FW_RULE_LIST_CMD = "fw-rules-list";
inline const std::string CLI_FW_TRUSTED_NETWORK_ADD_CMD = "fw-trusted-add";
inline const std::string CLI_FW_TRUSTED_NETWORK_DELETE_CMD = "fw-trusted-delete";
inline const std::string CLI_FW_TRUSTED_NETWORK_LIST_CMD = "fw-trusted-list";
inline const std::string CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD = "fw-inspect-ftp-traffic";
inline const std::string CLI_FW_OPT_SET_LOG_LEVEL_CMD = "fw-log-level";
inline const std::string CLI_VERSION = "version";
inline const std::string CLI_SHOWLOGSETTINGS_CMD = "showlogsettings";
inline const std::string CLI_PRODUCTLOG_CMD = "productlog";
inline const std::string CLI_DEBUGLOG_CMD = "debuglog";
inline const std::string CLI_USESYSLOG_CMD = "usesyslog";
inline const std::string CLI_SETMAXPRODUCTLOGSIZE_CMD = "setmaxproductlogsize";

// Value words of the commands.
inline const std::string CLI_FW_STATUS = "status";
inline const std::string CLI_OPTION_ON = "on";
inline const std::string CLI_OPTION_OFF = "off";
inline const std::string CLI_FW_MODE_REGULAR = "regular";
inline const std::string CLI_FW_MODE_ADAPTIVE = "adaptive";
inline const std::string CLI_FW_OPT_LOG_LEVEL_DISABLED = "disabled";
inline const std::string CLI_FW_OPT_LOG_LEVEL_INFORMATION = "info";
inline const std::string CLI_FW_OPT_LOG_LEVEL_DEBUG = "debug";
inline const std::string PARAM_ENABLE = "enable";
inline const std::string PARAM_DISABLE = "disable";

// Value words of the rule options.
inline const std::string CLI_OPT_RULE_ACTION_ALLOW = "allow";
inline const std::string CLI_OPT_RULE_ACTION_DENY = "deny";
inline const std::string CLI_OPT_RULE_DIRECTION_EITHER = "either";
inline const std::string CLI_OPT_RULE_DIRECTION_IN = "in";
inline const std::string CLI_OPT_RULE_DIRECTION_OUT = "out";
inline const std::string CLI_OPT_RULE_STATE_ENABLE = "enable";
inline const std::string CLI_OPT_RULE_STATE_DISABLE = "disable";
inline const std::string CLI_OPT_RULE_PROTOCOL_ANY = "any";
inline const std::string CLI_OPT_RULE_PROTOCOL_TCP = "tcp";
inline const std::string CLI_OPT_RULE_PROTOCOL_UDP = "udp";
inline const std::string CLI_OPT_RULE_PROTOCOL_ICMP = "icmp";
inline const std::string CLI_RULE_SCHEDULE_STATUS_ON = "on";
inline const std::string CLI_RULE_SCHEDULE_STATUS_OFF = "off";
inline const std::string CLI_RULE_SCHEDULE_ACTION_DISABLE = "disable";
inline const std::string CLI_RULE_SCHEDULE_ACTION_REVERSE = "reverse";

// Help texts of the commands.
inline const std::string CLI_CMD_FW_HELP_DESC =
    "Show help. For details of each option refer tqctl(8) man page";
inline const std::string CLI_CMD_FW_STATUS_DESC =
    "Enables you to control the firewall-engine\n"
    "Accepted values:\n"
    "   status: Shows current status of the firewall\n"
    "   on: Enables the firewall\n"
    "   off: Disables the firewall\n";
inline const std::string CLI_CMD_FW_MODE_DESC =
    "Configure firewall to operate in adaptive or regular mode\n"
    "Accepted values:\n"
    "   regular: Sets firewall to run in regular mode\n"
    "   adaptive: Sets firewall to run in adaptive mode\n";
inline const std::string CLI_CMD_FW_RULE_ADD_DESC = "Option to add a firewall rule";
inline const std::string CLI_CMD_FW_RULE_DELETE_DESC = "Option to delete a firewall rule";
inline const std::string CLI_CMD_FW_RULE_LIST_DESC = "Option to list firewall rules";
inline const std::string CLI_FW_TRUSTED_NETWORK_ADD_CMD_DESC =
    "Option to add an entry to trusted network list";
inline const std::string CLI_FW_TRUSTED_NETWORK_DELETE_CMD_DESC =
    "Option to delete an entry from trusted network list";
inline const std::string CLI_FW_TRUSTED_NETWORK_LIST_CMD_DESC =
    "Option to list entries in trusted network";
inline const std::string CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD_DESC =
    "Enables you to control the inspection of FTP Traffic\n"
    "Accepted values:\n"
    "   on: Enables the FTP Inspection\n"
    "   off: Disables the FTP Inspection\n";
inline const std::string CLI_FW_OPT_SET_LOG_LEVEL_CMD_DESC =
    "Enables you to set the log level of the product\n"
    "Accepted values:\n"
    "   disabled: Disables the log\n"
    "   info: Set log level to information\n"
    "   debug: Set log level to debug\n";
inline const std::string CLI_VERSION_DESC = "Shows version information";
inline const std::string CLI_SHOWLOGSETTINGS_CMD_DESC = "Show current log settings.";
inline const std::string CLI_PRODUCTLOG_CMD_DESC =
    "This enables or disables product logging. Allowed values are enable or disable.";
inline const std::string CLI_DEBUGLOG_CMD_DESC =
    "This enables or disables debug logging. Allowed values are enable or disable.";
inline const std::string CLI_USESYSLOG_CMD_DESC =
    "This enables or disables logging using syslog on the system. Allowed values are enable or "
    "disable.";
// The default named here (10) is not the product's default (1); the text is kept as users know it.
inline const std::string CLI_SETMAXPRODUCTLOGSIZE_CMD_DESC =
    "This option configures the maximum product log file size where n is an integer in "
    "megabytes. 'n' is a number between 1 and 999 and default value is 10.";

// Group titles.
inline const std::string CLI_OPTIONS_TITLE = "Options";
inline const std::string CLI_GEN_DESC_TITLE = "General description";
inline const std::string CLI_ADD_OPT_DESC_TITLE = "Additional options";
inline const std::string CLI_OPTIONAL_DESC_TITLE = "Optional";

// Sub-options other than the rule options.
inline const std::string CLI_XML = "xml";
inline const std::string CLI_XML_DESC = "Show in xml format";
inline const std::string CLI_OPT_DELETE_FORCE = "force";
inline const std::string CLI_OPT_DELETE_FORCE_DESC = "Delete without prompting";
inline const std::string CLI_OPT_FW_RULE_DELETE_ADAPTIVE_RULE = "adaptive";
inline const std::string CLI_OPT_FW_RULE_DELETE_ADAPTIVE_RULE_DESC =
    "Delete rule from adaptive group (only in regular mode)";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE = "single";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE_DESC = "Ip Address";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_CIDR = "cidr";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_CIDR_DESC = "Ip CIDR";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_RANGE = "range";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_RANGE_DESC = "Ip Range";
inline const std::string CLI_OPT_TRUSTED_NETWORK_INCLUDE_LOCAL = "include-local";
inline const std::string CLI_OPT_TRUSTED_NETWORK_INCLUDE_LOCAL_DESC =
    "Option to include local subnets as part of the trusted network list\n"
    "Accepted values:\n"
    "   on: Includes the local subnets in trusted networks\n"
    "   off: Excludes the local subnets from trusted networks\n";
inline const std::string CLI_OPT_TRUSTED_NETWORK_DELETE_INDEX = "index";
inline const std::string CLI_OPT_TRUSTED_NETWORK_DELETE_INDEX_DESC = "Trusted Network Index";

// The 32 rule options of --fw-rule-add.
inline const std::string CLI_OPT_RULE_INDEX = "index";
inline const std::string CLI_OPT_RULE_INDEX_DESC = "Rule Index";
inline const std::string CLI_OPT_RULE_NAME = "name";
inline const std::string CLI_OPT_RULE_NAME_DESC = "Rule Name";
inline const std::string CLI_OPT_RULE_ACTION = "action";
inline const std::string CLI_OPT_RULE_ACTION_DESC =
    "Rule Action\n"
    "Accepted values:\n"
    "   allow: Allows the traffic\n"
    "   deny: Blocks the traffic\n";
inline const std::string CLI_OPT_RULE_DIRECTION = "direction";
inline const std::string CLI_OPT_RULE_DIRECTION_DESC =
    "Packet Direction for Rule Match\n"
    "Accepted values:\n"
    "   either: Rule is for traffic in either direction\n"
    "   in: Rule is for inbound traffic\n"
    "   out: Rule is for outbound traffic\n";
inline const std::string CLI_OPT_RULE_LOG = "log";
inline const std::string CLI_OPT_RULE_LOG_DESC = "Enable rule logging";
inline const std::string CLI_OPT_RULE_STATE = "state";
inline const std::string CLI_OPT_RULE_STATE_DESC =
    "Rule State\n"
    "Accepted values:\n"
    "   enable (Default): Rule added is in enabled state\n"
    "   disable: Rule added is in disabled state\n";
inline const std::string CLI_OPT_RULE_DESCRIPTION = "notes";
inline const std::string CLI_OPT_RULE_DESCRIPTION_DESC = "Rule Description";
inline const std::string CLI_OPT_RULE_LOCAL_SINGLE = "local-single";
inline const std::string CLI_OPT_RULE_LOCAL_SINGLE_DESC = "Local Address";
inline const std::string CLI_OPT_RULE_LOCAL_FQDN = "local-fqdn";
inline const std::string CLI_OPT_RULE_LOCAL_FQDN_DESC = "Local Domain";
inline const std::string CLI_OPT_RULE_REMOTE_SINGLE = "remote-single";
inline const std::string CLI_OPT_RULE_REMOTE_SINGLE_DESC = "Remote Address";
inline const std::string CLI_OPT_RULE_REMOTE_FQDN = "remote-fqdn";
inline const std::string CLI_OPT_RULE_REMOTE_FQDN_DESC = "Remote Domain";
inline const std::string CLI_OPT_RULE_LOCAL_ANYV4 = "local-anyv4";
inline const std::string CLI_OPT_RULE_LOCAL_ANYV4_DESC = "Any IPv4 local Address";
inline const std::string CLI_OPT_RULE_REMOTE_ANYV4 = "remote-anyv4";
inline const std::string CLI_OPT_RULE_REMOTE_ANYV4_DESC = "Any IPv4 remote Address";
inline const std::string CLI_OPT_RULE_LOCAL_RANGE = "local-range";
inline const std::string CLI_OPT_RULE_LOCAL_RANGE_DESC = "Local Ip Range";
inline const std::string CLI_OPT_RULE_REMOTE_RANGE = "remote-range";
inline const std::string CLI_OPT_RULE_REMOTE_RANGE_DESC = "Remote Ip Range";
inline const std::string CLI_OPT_RULE_LOCAL_CIDR = "local-cidr";
inline const std::string CLI_OPT_RULE_LOCAL_CIDR_DESC = "Local Ip CIDR";
inline const std::string CLI_OPT_RULE_REMOTE_CIDR = "remote-cidr";
inline const std::string CLI_OPT_RULE_REMOTE_CIDR_DESC = "Remote Ip CIDR";
inline const std::string CLI_OPT_RULE_LOCAL_LOCAL = "local-local";
inline const std::string CLI_OPT_RULE_LOCAL_LOCAL_DESC = "Any local Ip address";
inline const std::string CLI_OPT_RULE_REMOTE_LOCAL = "remote-local";
inline const std::string CLI_OPT_RULE_REMOTE_LOCAL_DESC =
    "Local Ip address specified as remote address";
inline const std::string CLI_OPT_RULE_LOCAL_SUBNET = "local-subnet";
inline const std::string CLI_OPT_RULE_LOCAL_SUBNET_DESC = "Local subnet";
inline const std::string CLI_OPT_RULE_REMOTE_SUBNET = "remote-subnet";
inline const std::string CLI_OPT_RULE_REMOTE_SUBNET_DESC =
    "Local subnet specified as remote address";
inline const std::string CLI_OPT_RULE_LOCAL_TRUSTED = "local-trusted";
inline const std::string CLI_OPT_RULE_LOCAL_TRUSTED_DESC = "Local Trusted Networks";
inline const std::string CLI_OPT_RULE_REMOTE_TRUSTED = "remote-trusted";
inline const std::string CLI_OPT_RULE_REMOTE_TRUSTED_DESC = "Remote Trusted Networks";
inline const std::string CLI_OPT_RULE_PROTOCOL = "proto";
inline const std::string CLI_OPT_RULE_PROTOCOL_DESC =
    "Protocol\n"
    "Accepted values:\n"
    "   any (Default): Matches any protocol\n"
    "   tcp: Matches TCP protocol\n"
    "   udp: Matches UDP protocol\n"
    "   icmp: Matches ICMP protocol\n";
inline const std::string CLI_OPT_RULE_LOCAL_SERVICE = "local-service";
inline const std::string CLI_OPT_RULE_LOCAL_SERVICE_DESC = "Local Service";
inline const std::string CLI_OPT_RULE_REMOTE_SERVICE = "remote-service";
inline const std::string CLI_OPT_RULE_REMOTE_SERVICE_DESC = "Remote Service";
inline const std::string CLI_OPT_RULE_ICMP_TYPE = "icmp-type";
inline const std::string CLI_OPT_RULE_ICMP_TYPE_DESC =
    "ICMP message type\n"
    "Accepted values:\n"
    "    any: Any ICMP type\n"
    "    0: Echo Reply\n"
    "    8: Echo Request\n"
    "    Refer tqctl(8) man page for more ICMP types\n";
inline const std::string CLI_OPT_RULE_SCHEDULE_STATUS = "schedule-status";
inline const std::string CLI_OPT_RULE_SCHEDULE_STATUS_DESC = "Option to specify schedule status";
inline const std::string CLI_OPT_RULE_SCHEDULE_DAYS = "schedule-weekdays";
inline const std::string CLI_OPT_RULE_SCHEDULE_DAYS_DESC = "Option to specify schedule days";
inline const std::string CLI_OPT_RULE_SCHEDULE_START_TIME = "schedule-start-time";
inline const std::string CLI_OPT_RULE_SCHEDULE_START_TIME_DESC =
    "Option to specify schedule start time";
inline const std::string CLI_OPT_RULE_SCHEDULE_END_TIME = "schedule-end-time";
inline const std::string CLI_OPT_RULE_SCHEDULE_END_TIME_DESC =
    "Option to specify schedule end time";
inline const std::string CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION = "schedule-offhour-action";
inline const std::string CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION_DESC =
    "Option to specify schedule off hour action\n"
    "Accepted values:\n"
    "   disable\n"
    "   reverse";

// Defaults of the schedule options.
inline const std::string CLI_DEFAULT_SCHEDULE_STATUS = "off";
inline const std::string CLI_DEFAULT_SCHEDULE_DAYS = "Sun,Mon,Tue,Wed,Thu,Fri,Sat";
inline const std::string CLI_DEFAULT_SCHEDULE_START_TIME = "00:00";
inline const std::string CLI_DEFAULT_SCHEDULE_END_TIME = "23:59";
inline const std::string CLI_DEFAULT_SCHEDULE_OFF_HOURS_ACTION = "disable";

// Messages.
inline const std::string CLI_INVALID_SYNTAX = "Invalid Syntax";
inline const std::string CLI_INVALID_OPTION = "Invalid Option";
inline const std::string CLI_FMP_COMMUNICATION_EXCEPTION_MSG = "FMP communication error";
inline const std::string CLI_FMP_PARSING_EXCEPTION_MSG = "Error parsing data from FMP";
inline const std::string CLI_GENERIC_EXCEPTION_MSG = "Exception occurred";
inline const std::string PARSE_EXCEPTION_MSG = "Invalid cli options passed by user.";
inline const std::string CLI_INVALID_IPv6_PROTOCOL_ERROR = "IPv6 protocol is not supported";

// Outcomes of a change the daemon did not answer, or answered only in part.
// The request was sent and no reply came (none within the bound, or the channel closed).
inline const std::string CLI_RULE_CHANGE_UNKNOWN_MSG =
    "No reply came from the firewall daemon: the change may have been made. "
    "Run tqctl --fw-rules-list to see whether it was";
inline const std::string CLI_TRUSTED_CHANGE_UNKNOWN_MSG =
    "No reply came from the firewall daemon: the change may have been made. "
    "Run tqctl --fw-trusted-list to see whether it was";
inline const std::string CLI_SETTING_CHANGE_UNKNOWN_MSG =
    "No reply came from the firewall daemon: the setting may have been changed. "
    "Run tqctl --fw status to see whether it was";
// The change was acknowledged; the update that enforces it, or the query of its enforcement,
// failed or got no reply.
inline const std::string CLI_CHANGE_UNCONFIRMED_MSG =
    "The change was made and stored, but its enforcement could not be confirmed";
// Refusals the daemon answers with their own result code.
inline const std::string CLI_SETTING_NOT_WRITTEN_MSG =
    "The setting was not changed: the firewall could not write it to its settings file";
inline const std::string CLI_RULE_GONE_MSG = "The rule was not deleted: it no longer exists";
inline const std::string CLI_TRUSTED_GONE_MSG =
    "The trusted network was not deleted: it no longer exists";
// Said after "FMP communication error" when the daemon answered with a result of its own, so
// the failure is not taken for the channel's.
inline const std::string CLI_TRUSTED_ALREADY_LISTED_MSG =
    "The trusted network was not added: it is already in the list";
// The refusal's result code follows.
inline const std::string CLI_CHANGE_REFUSED_MSG =
    "The change was not made: the firewall refused it with result ";
inline const std::string CLI_SETTING_REFUSED_MSG =
    "The setting was not changed: the firewall refused it with result ";
// The change was stored; the update that applies it was answered with a failure.
inline const std::string CLI_CHANGE_NOT_APPLIED_MSG =
    "The change was stored, but applying it to iptables failed: the previous rules stay in "
    "force and the firewall retries";
// The push linked every rule but those whose iptables commands failed: the change is in force
// (unless it is such a rule, which the rule's own line says).
inline const std::string CLI_CHANGE_PARTLY_APPLIED_MSG =
    "The change was stored and is in force without the rules whose iptables commands failed: "
    "they are shown as not enforced, and the firewall tries them again at its health check";
// The push linked the change, but chains or lines that are not in force may still be linked.
inline const std::string CLI_CHANGE_STALE_CHAINS_LINKED_MSG =
    "The change was stored and its rules are applied, but removing chains that are not in force "
    "from iptables failed: INPUT or OUTPUT may still lead to them, so they may let in what they "
    "allowed until the health check removes them";
// The push was taken back, and what it built (or earlier chains) may still be linked.
inline const std::string CLI_CHANGE_NOT_APPLIED_STALE_CHAINS_MSG =
    "The change was stored, but applying it to iptables failed, and removing what is not in force "
    "failed too: besides the previous rules, INPUT or OUTPUT may still lead to chains that may let "
    "in what they allowed until the health check removes them; the firewall retries";
inline const std::string CLI_SETTING_NOT_APPLIED_MSG =
    "The setting was stored, but applying it to iptables failed: the previous rules stay in "
    "force and the firewall retries";
// The change was stored and applied; only writing the rule store once more failed.
inline const std::string CLI_RULES_NOT_REWRITTEN_MSG =
    "The change was stored and applied, but the firewall could not write its rules to their "
    "store again";
// The trusted-network change was stored and applied; only writing the store once more failed.
inline const std::string CLI_TRUSTED_NOT_REWRITTEN_MSG =
    "The change was stored and applied, but the firewall could not write its trusted networks "
    "to their store again";
// Another tool holds the turn at the daemon (/run/tqctl.lock); the holder's description follows.
inline const std::string CLI_TURN_WAITING_MSG = "Waiting for the turn held by another tqctl: ";
inline const std::string CLI_TURN_TIMEOUT_MSG =
    "Another tqctl held the turn beyond its reply bound (it may be stopped), so this request "
    "was not sent: ";
inline const std::string CLI_TURN_HOLDER_UNKNOWN = "its holder is not known";

// Delimiters used to cut option values before they are validated.
inline const std::string CLI_RANGE_DELIMITER = "-";
inline const std::string CLI_LIST_DELIMITER = ",";
inline const std::string CLI_CIDR_DELIMITER = "/";
inline const std::string CLI_PORT_RANGE_DELIMITER = "-";

// Output keys of the preference, version and log-settings displays.
inline const std::string CLI_PREF_STATUS_KEY = "Status";
inline const std::string CLI_PREF_MODE_KEY = "Mode";
inline const std::string CLI_PREF_RETAIN_CLIENT_RULES_KEY = "Retain Client Side Rules";
inline const std::string CLI_PREF_FTP_INSPECTION_KEY = "FTP Inspection";
inline const std::string CLI_PREF_LOG_LEVEL_KEY = "Log Level";
inline const std::string CLI_XML_ROOT = "version";
inline const std::string CLI_XML_STATUS = "Status";
inline const std::string CLI_XML_MODE = "Mode";
inline const std::string CLI_XML_RETAIN_CLIENT_RULES = "RetainClientSideRules";
inline const std::string CLI_XML_FTP_INSPECTION = "FTPInspection";
inline const std::string CLI_XML_LOG_LEVEL = "LogLevel";
inline const std::string CLI_VERSION_NAME_KEY = "Name";
inline const std::string CLI_VERSION_VERSION_KEY = "Version";
inline const std::string CLI_VERSION_COPYRIGHT_KEY = "Copyright";
inline const std::string CLI_KEY_VALUE_SEPARATOR = ": ";
inline const std::string CLI_LOG_SETTINGS_SEPARATOR = " : ";
inline const std::string CLI_LOG_SETTINGS_FORMAT = "%1$-15s %2$-5s %3$-12s";
inline const std::string CLI_ENABLED = "Enabled";
inline const std::string CLI_DISABLED = "Disabled";
inline const std::string CLI_MODE_ADAPTIVE_TEXT = "Adaptive";
inline const std::string CLI_MODE_REGULAR_TEXT = "Regular";
inline const std::string CLI_LEVEL_INFO_TEXT = "Info";
inline const std::string CLI_LEVEL_DEBUG_TEXT = "Debug";
// Keys of the daemon's version record.
inline const std::string CLI_ABOUT_NAME_ENTRY = "StatefulFirewall_Name";
inline const std::string CLI_ABOUT_VERSION_ENTRY = "StatefulFirewall_Version";
inline const std::string CLI_ABOUT_COPYRIGHT_ENTRY = "Copyright";
inline const std::string CLI_COPYRIGHT_NOTICE = "Copyright (c) Varnik LLC. All rights reserved.";

// Texts of the preference and log-setting requests on the terminal.
inline const std::string CLI_PREFS_SET_SUCCESS_MSG = "Preferences set successfully";
inline const std::string CLI_FW_RULES_NOT_IN_FORCE_MSG =
    "Firewall is enabled in the settings, but its rules are not in force: applying them to "
    "iptables failed";
inline const std::string CLI_FW_RULES_PARTLY_IN_FORCE_MSG =
    "Firewall is enabled and in force without the rules whose iptables commands failed: they "
    "are shown as not enforced, and the firewall tries them again at its health check";
inline const std::string CLI_FW_STALE_CHAINS_LINKED_MSG =
    "Firewall is enabled and its rules are applied, but removing chains that are not in force "
    "from iptables failed: INPUT or OUTPUT may still lead to them, so they may let in what they "
    "allowed until the health check removes them";
inline const std::string CLI_FW_ACCEPT_NOT_RESTORED_MSG =
    "Firewall is disabled in the settings, but the ACCEPT policies could not be restored: "
    "setting them in iptables failed, so the DROP policies and the firewall's chains still "
    "filter until the health check removes them";
inline const std::string CLI_FW_CHAINS_NOT_REMOVED_MSG =
    "Firewall is disabled in the settings, but removing some of its chains or lines from "
    "iptables failed: they still filter until the health check removes them";
inline const std::string CLI_FW_NOT_REMOVED_MSG =
    "Firewall is disabled in the settings, but removing it from iptables failed: the health "
    "check removes what is left; the status says what stands";
inline const std::string CLI_FW_DROP_LINE_NOT_REMOVED_MSG =
    "Firewall is disabled in the settings, but removing its DROP line from INPUT or OUTPUT "
    "failed: it drops what the firewall's chains kept in front of it do not let in, until the "
    "health check removes them";
inline const std::string CLI_FW_MARKING_LINES_NOT_REMOVED_MSG =
    "Firewall is disabled in the settings, but removing some of its lines from INPUT or OUTPUT "
    "failed: they only log or mark packets, so they filter nothing until the health check "
    "removes them";
inline const std::string CLI_FW_CHAINS_UNLINKED_MSG =
    "Firewall is disabled in the settings, but removing some of its chains from iptables "
    "failed: nothing leads to them, so they filter nothing until the health check removes them";
// A mode switch whose push failed: the start, the mode's name, the middle, then the ending that
// says what of the rules is in force instead.
inline const std::string CLI_FW_MODE_NOT_APPLIED_START = "Firewall mode is set to ";
inline const std::string CLI_FW_MODE_NOT_APPLIED_MIDDLE =
    " in the settings, but applying it to iptables failed: ";
inline const std::string CLI_FW_MODE_EARLIER_IN_FORCE_END =
    "the rules applied before stay in force, and the firewall tries again at its health check";
inline const std::string CLI_FW_MODE_PARTLY_IN_FORCE_END =
    "it is in force without the rules whose iptables commands failed, which are shown as not "
    "enforced, and the firewall tries again at its health check";
inline const std::string CLI_FW_MODE_STALE_CHAINS_LINKED_END =
    "its rules are linked, but removing the chains that are not in force failed: INPUT or OUTPUT "
    "may still lead to them, so they may let in what they allowed until the health check removes "
    "them";
inline const std::string CLI_FW_MODE_EARLIER_WITH_STALE_CHAINS_END =
    "the rules applied before stay linked, and removing what is not in force failed too: INPUT or "
    "OUTPUT may still lead to chains that may let in what they allowed until the health check "
    "removes them";
inline const std::string CLI_FW_MODE_NOT_IN_FORCE_END =
    "none of the firewall's rules are in force, and the firewall tries again at its health check";
inline const std::string CLI_PREF_RULES_KEY = "Rules";
inline const std::string CLI_XML_RULES = "Rules";
inline const std::string CLI_RULES_NOT_IN_FORCE_TEXT = "Not in force (applying them to iptables failed)";
inline const std::string CLI_XML_RULES_NOT_IN_FORCE = "NotInForce";
inline const std::string CLI_RULES_EARLIER_IN_FORCE_TEXT =
    "Not in force (applying the latest changes to iptables failed; the previous rules stay in force)";
inline const std::string CLI_XML_RULES_EARLIER_IN_FORCE = "PreviousInForce";
inline const std::string CLI_RULES_PARTLY_IN_FORCE_TEXT =
    "Not in force (applying some rules to iptables failed; they are shown as not enforced)";
inline const std::string CLI_XML_RULES_PARTLY_IN_FORCE = "PartlyInForce";
inline const std::string CLI_RULES_CHANGES_NOT_APPLIED_TEXT =
    "Not in force (the latest changes are not applied to iptables yet; the previous rules stay "
    "in force until the health check applies them)";
inline const std::string CLI_XML_RULES_CHANGES_NOT_APPLIED = "ChangesNotApplied";
inline const std::string CLI_RULES_DROP_POLICIES_LEFT_TEXT =
    "Still filtering (the firewall is disabled, but setting the INPUT and OUTPUT policies back "
    "to ACCEPT failed: the DROP policies and the firewall's chains still filter until the health "
    "check removes them)";
inline const std::string CLI_XML_RULES_DROP_POLICIES_LEFT = "DropPoliciesLeft";
inline const std::string CLI_RULES_CHAINS_LEFT_TEXT =
    "Still filtering (the firewall is disabled, but removing some of its chains or lines from "
    "iptables failed: they still filter until the health check removes them)";
inline const std::string CLI_XML_RULES_CHAINS_LEFT = "ChainsLeft";
inline const std::string CLI_RULES_UNLINKED_CHAINS_LEFT_TEXT =
    "Not filtering (the firewall is disabled, but removing some of its chains from iptables "
    "failed: nothing leads to them, so they filter nothing until the health check removes them)";
inline const std::string CLI_XML_RULES_UNLINKED_CHAINS_LEFT = "UnlinkedChainsLeft";
inline const std::string CLI_RULES_DROP_LINE_LEFT_TEXT =
    "Still filtering (the firewall is disabled, but removing its DROP line from INPUT or OUTPUT "
    "failed: it drops what the firewall's chains kept in front of it do not let in, until the "
    "health check removes them)";
inline const std::string CLI_XML_RULES_DROP_LINE_LEFT = "DropLineLeft";
inline const std::string CLI_RULES_MARKING_LINES_LEFT_TEXT =
    "Not filtering (the firewall is disabled, but removing some of its lines from INPUT or OUTPUT "
    "failed: they only log or mark packets, so they filter nothing until the health check "
    "removes them)";
inline const std::string CLI_XML_RULES_MARKING_LINES_LEFT = "MarkingLinesLeft";
inline const std::string CLI_RULES_STALE_CHAINS_LINKED_TEXT =
    "Not in force (the latest rules are applied, but removing chains that are not in force from "
    "iptables failed: INPUT or OUTPUT may still lead to them, so they may let in what they allowed "
    "until the health check removes them)";
inline const std::string CLI_XML_RULES_STALE_CHAINS_LINKED = "StaleChainsLinked";
inline const std::string CLI_RULES_EARLIER_WITH_STALE_CHAINS_TEXT =
    "Not in force (applying the latest changes to iptables failed, and removing what is not in "
    "force failed too: besides the previous rules, INPUT or OUTPUT may still lead to chains that "
    "may let in what they allowed until the health check removes them)";
inline const std::string CLI_XML_RULES_EARLIER_WITH_STALE_CHAINS = "PreviousInForceWithStaleChains";
inline const std::string CLI_PRODUCT_LOG_SET_MSG = "Product log configuration was successfully set";
inline const std::string CLI_PRODUCT_LOG_SAME_MSG =
    "Product log configuration is already in the same state.";
inline const std::string CLI_PRODUCT_LOG_ERROR_MSG =
    "Error occurred while setting the product log configuration";
inline const std::string CLI_DEBUG_LOG_SET_MSG = "Debug log configuration was successfully set";
inline const std::string CLI_DEBUG_LOG_SAME_MSG =
    "Debug log configuration is already in the same state.";
inline const std::string CLI_DEBUG_LOG_ERROR_MSG =
    "Error occurred while setting the debug log configuration";
inline const std::string CLI_SYSLOG_ENABLED_MSG =
    "Configuration was successfully updated to enable use of syslog";
inline const std::string CLI_SYSLOG_DISABLED_MSG =
    "Configuration was successfully updated to disable use of syslog";
// Printed without the full stop that its log line ends with.
inline const std::string CLI_SYSLOG_SAME_MSG =
    "Configuration could not be updated since same configuration is already set";
inline const std::string CLI_SYSLOG_SAME_LOG =
    "Configuration could not be updated since same configuration is already set.";
inline const std::string CLI_SYSLOG_ERROR_MSG =
    "Error occurred while setting the use syslog configuration";
inline const std::string SET_MAX_PRODUCTLOG_SIZE_SUCCESS_MSG =
    "Successfully set max product log size";
inline const std::string SET_MAX_PRODUCTLOG_SIZE_SUCCESS_LOG =
    "Max product log size was Successfully set";
inline const std::string SET_MAX_PRODUCTLOG_SIZE_SAME_MSG =
    "Max product log size already set to the same value";
inline const std::string SET_MAX_PRODUCTLOG_SIZE_SAME_LOG =
    "Max product log size is already set to the same value";
inline const std::string SET_MAX_PRODUCTLOG_SIZE_FAILURE_MSG = "Failed to set max product log size";

// Start-up and shutdown of the tool.
inline const std::string CLI_NOT_ROOT_MSG =
    "CLI can be executed only by root user or a user with sudo privileges";
inline const std::string CLI_LOGGER_FAILURE_MSG = "Failed to create logger instance for Varnik FW";
inline const std::string CLI_DEREGISTRATION_FAILURE_MSG = "Deregistration with ZAV failed";

// Log lines of the command line's parse and dispatch.
inline const std::string CLI_LOG_INVALID_OPTION = "Invalid Option";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_STATUS_COMMAND =
    "Processing firewall status command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_STATUS_COMMAND =
    "Invalid syntax for Processing firewall status command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_STATUS_HELP_COMMAND =
    "Processing firewall status help command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_MODE_COMMAND =
    "Processing firewall mode command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_MODE_COMMAND =
    "Invalid syntax for Processing firewall mode command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_MODE_HELP_COMMAND =
    "Processing firewall mode help command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_RULE_INSERT_COMMAND =
    "Processing firewall rule insert command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_RULE_INSERT =
    "Invalid syntax for Processing firewall rule insert command";
inline const std::string CLI_LOG_PROCESSING_RULES_INSERT_HELP_COMMAND =
    "Processing rules insert help command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_RULE_DELETE_COMMAND =
    "Processing firewall rule delete command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_RULE_DELETE =
    "Invalid syntax for Processing firewall rule delete command";
inline const std::string CLI_LOG_PROCESSING_RULES_DELETE_HELP_COMMAND =
    "Processing rules delete help command";
inline const std::string CLI_LOG_PROCESSING_FIREWALL_LIST_COMMAND =
    "Processing firewall list command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_LIST_COMMAND =
    "Invalid syntax for Processing firewall list command";
inline const std::string CLI_LOG_PROCESSING_RULES_LIST_HELP_COMMAND =
    "Processing rules list help command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_ADD_COMMAND =
    "Processing Trusted network add command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_ADD =
    "Invalid syntax for Processing Trusted network add command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_ADD_HELP_COMMAND =
    "Processing trusted network add help command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_DELETE_COMMAND =
    "Processing Trusted network delete command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_DELETE =
    "Invalid syntax for Processing Trusted network delete command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_DELETE_HELP_COMMAND =
    "Processing trusted network delete help command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_LIST_COMMAND =
    "Processing Trusted network list command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_LIST =
    "Invalid syntax for Processing Trusted network list command";
inline const std::string CLI_LOG_PROCESSING_TRUSTED_NETWORK_LIST_HELP_COMMAND =
    "Processing trusted network list help command";
inline const std::string CLI_LOG_PROCESSING_INSPECT_FTP_TRAFFIC_COMMAND =
    "Processing inspect ftp traffic command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_INSPECT_FTP_TRAFFIC =
    "Unknown parameter for Processing inspect ftp traffic command";
inline const std::string CLI_LOG_PROCESSING_INSPECT_FTP_TRAFFIC_HELP_COMMAND =
    "Processing inspect ftp traffic help command";
inline const std::string CLI_LOG_PROCESSING_SET_LOG_LEVEL_COMMAND =
    "Processing Set Log level command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_SET_LOG_LEVEL =
    "Unknown parameter for Processing set log level command";
inline const std::string CLI_LOG_PROCESSING_SET_LOG_LEVEL_HELP_COMMAND =
    "Processing set log level help command";
inline const std::string CLI_LOG_PROCESSING_VERSION_COMMAND = "Processing version command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_VERSION_COMMAND =
    "Invalid syntax for Processing version command";
inline const std::string CLI_LOG_PROCESSING_VERSION_HELP_COMMAND =
    "Processing version help command";
inline const std::string CLI_LOG_PROCESSING_SHOW_LOG_SETTINGS_COMMAND =
    "Processing show log settings command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_SHOW_LOG_SETTINGS =
    "Invalid syntax for processing show log settings command";
inline const std::string CLI_LOG_PROCESSING_SHOWS_LOG_SETTINGS_HELP_COMMAND =
    "Processing shows log settings help command";
inline const std::string CLI_LOG_PROCESSING_PRODUCT_LOG_COMMAND = "Processing product log command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_PRODUCT_LOG_COMMAND =
    "Invalid syntax for Processing product log command";
inline const std::string CLI_LOG_PROCESSING_PRODUCT_LOG_HELP_COMMAND =
    "Processing product log help command";
inline const std::string CLI_LOG_PROCESSING_DEBUG_LOG_COMMAND = "Processing debug log command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_DEBUG_LOG_COMMAND =
    "Invalid syntax for Processing debug log command";
inline const std::string CLI_LOG_PROCESSING_DEBUG_LOG_HELP_COMMAND =
    "Processing debug log help command";
inline const std::string CLI_LOG_PROCESSING_USE_SYS_LOG_COMMAND = "Processing use sys log command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_USE_SYS_LOG =
    "Invalid syntax for Processing use sys log command";
inline const std::string CLI_LOG_PROCESSING_USE_SYS_LOG_HELP_COMMAND =
    "Processing use sys log help command";
inline const std::string CLI_LOG_PROCESSING_SET_MAX_PRODUCT_LOG_SIZE_COMMAND =
    "Processing set max product log size command";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_SET_MAX_PRODUCT =
    "Invalid syntax for Processing set max product log size command";
inline const std::string CLI_LOG_PROCESSING_SETMAXPRODUCTLOGSIZE_HELP_COMMAND =
    "Processing setmaxproductlogsize help command";
inline const std::string CLI_LOG_N = "\n";
inline const std::string CLI_LOG_NO_OPTIONS_WERE_PROVIDED = "No options were provided";
inline const std::string CLI_LOG_INVALID_SYNTAX_FOR_CLI_REFER_MAN_PAGE =
    "Invalid syntax for CLI. Refer Man Page.";
inline const std::string CLI_LOG_PROCESSING_HELP_COMMAND = "Processing help command";
inline const std::string CLI_LOG_HELP_COMMAND_EXECUTED_SUCCESSFULLY =
    "--help command executed successfully.";
inline const std::string CLI_LOG_NO_COMMANDS_WERE_PROVIDED_SO_HELP_COMMAND =
    "No commands were provided, so --help command was executed by default";
inline const std::string CLI_LOG_NO_SUB_OPTION_PARAMETER_FOR_PROCESSING_TRUSTED =
    "No sub option parameter for Processing Trusted network add command is selected";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_RULE_INSERT =
    "Unknown parameter for Processing firewall rule insert command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_RULE_DELETE =
    "Unknown parameter for Processing firewall rule delete command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_LIST =
    "Unknown parameter for Processing firewall list command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_ADD =
    "Unknown parameter for Processing Trusted network add command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_DELETE =
    "Unknown parameter for Processing Trusted network delete command";
inline const std::string CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_LIST =
    "Unknown parameter for Processing Trusted network list command";
inline const std::string CLI_LOG_INVALID_COMBINATION_OF_PARAMETERS_REFER_MAN_PAGE =
    "Invalid combination of parameters. Refer Man Page.";
inline const std::string CLI_LOG_EXECUTED_FW_STATUS_COMMAND = "Executed --fw status  command.";
inline const std::string CLI_LOG_EXECUTED_FW_ON_COMMAND = "Executed --fw on  command.";
inline const std::string CLI_LOG_EXECUTED_FW_OFF_COMMAND = "Executed --fw off  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_FW_COMMAND =
    "Invalid syntax with --fw  command.";
inline const std::string CLI_LOG_EXECUTED_FW_ADAPTIVE_COMMAND = "Executed --fw adaptive  command.";
inline const std::string CLI_LOG_EXECUTED_FW_REGULAR_COMMAND = "Executed --fw regular  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_FW_MODE_COMMAND =
    "Invalid syntax with --fw-mode  command.";
inline const std::string CLI_LOG_EXECUTED_FW_INSPECT_FTP_TRAFFIC_ON_COMMAND =
    "Executed --fw-inspect-ftp-traffic on  command.";
inline const std::string CLI_LOG_EXECUTED_FW_INSPECT_FTP_TRAFFIC_OFF_COMMAND =
    "Executed --fw-inspect-ftp-traffic off  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_FW_INSPECT_FTP_TRAFFIC =
    "Invalid syntax with --fw-inspect-ftp-traffic command.";
inline const std::string CLI_LOG_EXECUTED_FW_LOG_LEVEL_DISABLED_COMMAND =
    "Executed --fw-log-level disabled command.";
inline const std::string CLI_LOG_EXECUTED_FW_LOG_LEVEL_INFO_COMMAND =
    "Executed --fw-log-level info command.";
inline const std::string CLI_LOG_EXECUTED_FW_LOG_LEVEL_DEBUG_COMMAND =
    "Executed --fw-log-level debug command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_FW_LOG_LEVEL_COMMAND =
    "Invalid syntax with --fw-log-level command.";
inline const std::string CLI_LOG_CALLING_SHOW_VERSION_INFO = "Calling show version info";
inline const std::string CLI_LOG_SHOWING_LOG_SETTINGS_INFORMATION =
    "Showing log settings information";
inline const std::string CLI_LOG_EXECUTED_PRODUCTLOG_ENABLE_COMMAND =
    "Executed --productlog enable  command.";
inline const std::string CLI_LOG_EXECUTED_PRODUCTLOG_DISABLE_COMMAND =
    "Executed --productlog disable  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_PRODUCTLOG_COMMAND =
    "Invalid syntax with --productlog command.";
inline const std::string CLI_LOG_EXECUTED_DEBUGLOG_ENABLE_COMMAND =
    "Executed --debuglog enable  command.";
inline const std::string CLI_LOG_EXECUTED_DEBUGLOG_DISABLE_COMMAND =
    "Executed --debuglog disable  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_DEBUGLOG_COMMAND =
    "Invalid syntax with --debuglog command.";
inline const std::string CLI_LOG_EXECUTED_USESYSLOG_ENABLE_COMMAND =
    "Executed --usesyslog enable  command.";
inline const std::string CLI_LOG_EXECUTED_USESYSLOG_DISABLE_COMMAND =
    "Executed --usesyslog disable  command.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_USESYSLOG_COMMAND =
    "Invalid syntax with --usesyslog command.";
inline const std::string CLI_LOG_EXECUTING_SETMAXPRODUCTLOGSIZE_COMMAND =
    "Executing --setmaxproductlogsize command";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_SETMAXPRODUCTLOGSIZE_COMMAND =
    "Invalid syntax with --setmaxproductlogsize command.";
inline const std::string CLI_LOG_INVALID_OPTION_FOR_CLI_REFER_MAN_PAGE =
    "Invalid  option  for CLI. Refer Man Page.";
inline const std::string CLI_LOG_INVALID_SYNTAX_WITH_FOR_CLI_REFER_MAN =
    "Invalid syntax with for CLI. Refer Man Page.";

// Fixed groups the rule actions address: rules added with --fw-rule-add go to the client group;
// --fw-rule-delete --adaptive deletes from the adaptive group.
inline const std::string CLI_CLIENT_GROUP_ID = StatefulFirewall::SF_CLIENT_GROUP_ID;
inline const std::string CLI_ADAPTIVE_GROUP_ID = StatefulFirewall::SF_ADAPTIVE_GROUP_ID;
// Between the rule's identifier and its group's in the key of a rule delete.
inline const std::string CLI_RULE_DELETE_KEY_SEPARATOR = ",";

// Texts of the rule and trusted-network delete actions on the terminal.
inline const std::string CLI_OPT_RULE_DELETE_ERROR_STR1 =
    "Error in deleting rule as invalid rule index was provided";
inline const std::string CLI_OPT_RULE_DELETE_ERROR_STR2 =
    "Error in deleting rule as rule with that index could not be found";
inline const std::string CLI_OPT_RULE_DELETE_ERROR_STR3 =
    "Error in deleting adaptive rule as firewall is in adaptive mode";
// The mode decides whether adaptive rules may be deleted, so an unknown mode refuses.
inline const std::string CLI_OPT_RULE_DELETE_ERROR_MODE_UNKNOWN =
    "Error in deleting adaptive rule as firewall mode could not be read";
inline const std::string CLI_OPT_TRUSTED_NETWORK_DELETE_ERROR_STR1 =
    "Error in deleting trusted network as invalid index was provided";
inline const std::string CLI_OPT_TRUSTED_NETWORK_DELETE_ERROR_STR2 =
    "Error in deleting trusted network as network with that index could not be found";
inline const std::string CLI_DELETE_CONFIRM_SUFFIX = " (Enter y to confirm): ";
inline const std::string CLI_DELETE_CONFIRM_YES = "y";
inline const std::string CLI_DELETE_CONFIRM_YES_UPPER = "Y";
inline const std::string CLI_RULE_DELETE_PROMPT = "Delete firewall rule - ";
inline const std::string CLI_RULE_DELETE_CANCELLED = "Cancelled delete of firewall rule";
inline const std::string CLI_RULE_DELETING = "Deleting firewall rule: ";
inline const std::string CLI_TRUSTED_NETWORK_DELETE_PROMPT = "Delete Trusted Network - ";
inline const std::string CLI_TRUSTED_NETWORK_DELETE_CANCELLED =
    "Cancelled delete of Trusted Network";
inline const std::string CLI_TRUSTED_NETWORK_DELETING = "Deleting Trusted Network: ";

// Texts of the rule and trusted-network add actions on the terminal. A refused option prints
// STR1, the option's name and STR2.
inline const std::string CLI_OPT_RULE_ADD_ERROR_STR1 =
    "Error in adding rule as invalid value for rule ";
inline const std::string CLI_OPT_RULE_ADD_ERROR_STR2 = " was provided";
inline const std::string CLI_OPT_RULE_ADD_ERROR_STR_MISSING_OPT =
    "Error in adding rule as value for schedule status was not provided";
inline const std::string CLI_OPT_RULE_ADD_ERROR_SERVICE_TYPE =
    "Error in adding rule as service is not valid for selected protocol";
inline const std::string CLI_OPT_RULE_ADD_ERROR_ICMP_TYPE =
    "Error in adding rule as message type is not valid for selected protocol";
inline const std::string CLI_OPT_RULE_ADD_ERROR_SCHEDULE_TIME =
    "Error in adding rule as invalid value for rule schedule-start-time Or schedule-end-time "
    "was provided";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_ERROR_STR1 =
    "Error in adding trusted network as invalid value for trusted network ";
inline const std::string CLI_OPT_TRUSTED_NETWORK_ADD_ERROR_STR2 = " was provided";
inline const std::string CLI_ICMP_TYPE_ANY = "any";

// Log lines of the delete actions.
inline const std::string CLI_LOG_RULE_DELETE_INVALID_INDEX =
    " Error in deleting rule as invalid rule index was provided";
inline const std::string CLI_LOG_RULE_DELETE_IN_ADAPTIVE_MODE =
    " Error in deleting adaptive rule as firewall is in adaptive mode";
inline const std::string CLI_LOG_RULE_DELETE_MODE_UNKNOWN =
    " Error in deleting adaptive rule as firewall mode could not be read";
inline const std::string CLI_LOG_RULE_DELETE_LIST_FAILED =
    " Unable to delete rule as it failed to get list of rules in client side group";
inline const std::string CLI_LOG_RULE_DELETE_NOT_FOUND =
    " Error in deleting rule as rule with rule index could not be found";
inline const std::string CLI_LOG_RULE_DELETE_PROMPTING =
    " Prompting user to delete the rule name - ";
inline const std::string CLI_LOG_RULE_DELETE_FORCED = " Force delete was selected for rule name - ";
inline const std::string CLI_LOG_DELETE_CANCELLED = " User cancelled delete operation";
inline const std::string CLI_LOG_DELETE_CONFIRMED = " User confirmed delete operation";
inline const std::string CLI_LOG_TRUSTED_NETWORK_DELETE_INVALID_INDEX =
    " Error in deleting trusted network as invalid index was provided";
inline const std::string CLI_LOG_TRUSTED_NETWORK_DELETE_LIST_FAILED =
    " Error in deleting trusted network as it failed to get list of trusted network";
inline const std::string CLI_LOG_TRUSTED_NETWORK_DELETE_NOT_FOUND =
    " Error in deleting trusted network as network with index could not be found";
inline const std::string CLI_LOG_TRUSTED_NETWORK_DELETE_PROMPTING =
    " Prompting user to confirm delete operation";
inline const std::string CLI_LOG_TRUSTED_NETWORK_DELETE_FORCED =
    " Force delete was selected for Trusted Network ";

// Log lines of the trusted-network add action.
inline const std::string CLI_LOG_TRUSTED_NETWORK_ADD_SINGLE =
    " Processing Single Ip type Trusted Network for addition";
inline const std::string CLI_LOG_TRUSTED_NETWORK_ADD_CIDR =
    " Processing CIDR type Trusted Network for addition";
inline const std::string CLI_LOG_TRUSTED_NETWORK_ADD_RANGE =
    " Processing Ip Range type Trusted Network for addition";
inline const std::string CLI_LOG_TRUSTED_NETWORK_INCLUDE_LOCAL =
    " Processing Option to change include local subnets in Trusted Network";
inline const std::string CLI_LOG_TRUSTED_NETWORK_INCLUDE_LOCAL_INVALID =
    " Failed to change include local subnets in Trusted Network due to invalid syntax";
inline const std::string CLI_LOG_TRUSTED_NETWORK_INVALID_IP =
    " Failed to add Trusted Network as invalid Ip ";
inline const std::string CLI_LOG_TRUSTED_NETWORK_INVALID_CIDR =
    " Failed to add Trusted Network as invalid CIDR  ";
inline const std::string CLI_LOG_TRUSTED_NETWORK_INVALID_RANGE =
    " Failed to add Trusted Network as invalid Ip Range ";
inline const std::string CLI_LOG_WAS_PROVIDED = " was provided";

// Log lines of the address and port list builders; the element follows the head.
inline const std::string CLI_LOG_VALIDATION_OF_IP_ADDRESS = " Validation of Ip Address ";
inline const std::string CLI_LOG_VALIDATION_OF_IP_RANGE = " Validation of Ip Range  ";
inline const std::string CLI_LOG_VALIDATION_OF_CIDR = " Validation of CIDR  ";
inline const std::string CLI_LOG_VALIDATION_OF_FQDN = " Validation of FQDN  ";
inline const std::string CLI_LOG_VALIDATION_FAILED = " failed";
inline const std::string CLI_LOG_VALIDATION_SYNTAX_FAILED = " failed due to syntax issues";
inline const std::string CLI_LOG_UNKNOWN_MATCH_TYPE = " Found unknown match type";
inline const std::string CLI_LOG_VALIDATION_OF_PORT = "Validation of port ";
inline const std::string CLI_LOG_VALIDATION_OF_PORT_RANGE = " Validation of port range ";

// Log lines of the rule add action, in the order the options are read.
inline const std::string CLI_LOG_RULE_ADD_INVALID_INDEX =
    " Error in adding rule as invalid rule index was provided";
inline const std::string CLI_LOG_PROCESSING_RULE_NAME = "Processing Rule Name ";
inline const std::string CLI_LOG_RULE_ADD_INVALID_NAME =
    " Error in adding rule as invalid rule name ";
inline const std::string CLI_LOG_RULE_ADD_INVALID_DESCRIPTION =
    " Error in adding rule as invalid rule name description ";
inline const std::string CLI_LOG_SETTING_ACTION_ALLOW = "Setting Rule Action to allow";
inline const std::string CLI_LOG_SETTING_ACTION_DENY = "Setting Rule Action to deny";
inline const std::string CLI_LOG_RULE_ADD_INVALID_ACTION =
    " Error in adding rule as invalid rule action was selected for the rule";
inline const std::string CLI_LOG_PROCESSING_RULE_DIRECTION = "Processing Rule Direction";
inline const std::string CLI_LOG_SETTING_DIRECTION_IN = "Setting Rule Direction to in";
inline const std::string CLI_LOG_SETTING_DIRECTION_OUT = "Setting Rule Direction to out";
inline const std::string CLI_LOG_SETTING_DIRECTION_EITHER = "Setting Rule Direction to either";
inline const std::string CLI_LOG_RULE_ADD_INVALID_DIRECTION =
    " Error in adding rule as invalid direction was selected for the rule";
inline const std::string CLI_LOG_PROCESSING_RULE_STATE = "Processing Rule State";
inline const std::string CLI_LOG_SETTING_STATE_ENABLED = "Setting Rule state to enabled";
inline const std::string CLI_LOG_SETTING_STATE_DISABLED = "Setting Rule state to disabled";
inline const std::string CLI_LOG_RULE_ADD_INVALID_STATE =
    " Error in adding rule as invalid state was selected for the rule";
inline const std::string CLI_LOG_PROCESSING_RULE_PROTOCOL = "Processing Rule Protocol";
inline const std::string CLI_LOG_SETTING_PROTOCOL_ANY = "Setting Rule Protocol to any";
inline const std::string CLI_LOG_SETTING_PROTOCOL_TCP = "Setting Rule Protocol to tcp";
inline const std::string CLI_LOG_SETTING_PROTOCOL_UDP = "Setting Rule Protocol to udp";
inline const std::string CLI_LOG_SETTING_PROTOCOL_ICMP = "Setting Rule Protocol to icmp";
inline const std::string CLI_LOG_RULE_ADD_INVALID_PROTOCOL =
    "Error in adding rule as invalid protocol was provided";
inline const std::string CLI_LOG_RULE_ADD_INVALID_PROTOCOL_0 =
    "Error in adding rule as invalid protocol 0 was provided";
inline const std::string CLI_LOG_IPV6_PROTOCOLS_NOT_SUPPORTED = "IPv6 protocols are not supported";
inline const std::string CLI_LOG_SET_UNKNOWN_PROTOCOL = " Set unknown protocol to protocol number ";
inline const std::string CLI_LOG_RULE_ADD_INVALID_LOCAL_SINGLE =
    " Error in adding rule as local Ip address parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_LOCAL_FQDN =
    " Error in adding rule as local FQDN parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_LOCAL_RANGE =
    " Error in adding rule as local IP Range parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_LOCAL_CIDR =
    " Error in adding rule as local IP CIDR parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_START_TIME_WITHOUT_STATUS =
    " Error in adding rule as Start time params can only be specified when Schedule status is on";
inline const std::string CLI_LOG_RULE_ADD_END_TIME_WITHOUT_STATUS =
    " Error in adding rule as End time params can only be specified when Schedule status is on";
inline const std::string CLI_LOG_RULE_ADD_DAYS_WITHOUT_STATUS =
    " Error in adding rule as weekDays params can only be specified when Schedule status is on";
inline const std::string CLI_LOG_RULE_ADD_OFF_HOURS_ACTION_WITHOUT_STATUS =
    " Error in adding rule as off hours action params can only be specified when Schedule "
    "status is on";
inline const std::string CLI_LOG_RULE_ADD_START_TIME_WITH_STATUS_OFF =
    " Error in adding rule as start Time params can only be specified when Schedule status is on";
inline const std::string CLI_LOG_RULE_ADD_END_TIME_WITH_STATUS_OFF =
    " Error in adding rule as end Time params can only be specified when Schedule status is on";
inline const std::string CLI_LOG_RULE_ADD_INVALID_SCHEDULE_STATUS =
    " Error in adding rule as Schedule status parameter value is invalid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_SCHEDULE_TIMES =
    " Error in adding rule as Schedule start Time parameter and(or) end Time parameter is not "
    "valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_SCHEDULE_DAYS =
    " Error in adding rule as Schedule Days parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_SCHEDULE_ACTION =
    " Error in adding rule as Schedule Off Hours Action parameter is not valid";
inline const std::string CLI_LOG_PROCESSING_LOCAL_TRUSTED =
    "Processing Local Trusted Network option";
inline const std::string CLI_LOG_PROCESSING_LOCAL_LOCAL = "Processing Local Ip Address option";
inline const std::string CLI_LOG_PROCESSING_LOCAL_SUBNET = "Processing Local Subnet option";
inline const std::string CLI_LOG_PROCESSING_REMOTE_SINGLE = "Processing Remote Single parameter";
inline const std::string CLI_LOG_RULE_ADD_INVALID_REMOTE_SINGLE =
    " Error in adding rule as Remote Ip address parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_REMOTE_FQDN =
    " Error in adding rule as Remote FQDN parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_REMOTE_RANGE =
    " Error in adding rule as remote Ip range parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_INVALID_REMOTE_CIDR =
    " Error in adding rule as remote CIDR  parameter is not valid";
inline const std::string CLI_LOG_PROCESSING_REMOTE_TRUSTED =
    "Processing Remote Trusted Network option";
inline const std::string CLI_LOG_PROCESSING_REMOTE_SUBNET = "Processing Remote Local Subnet option";
inline const std::string CLI_LOG_RULE_ADD_LOCAL_SERVICE_NOT_ALLOWED =
    " Error in adding rule as local service is not valid for selected protocol";
inline const std::string CLI_LOG_RULE_ADD_INVALID_LOCAL_SERVICE =
    " Error in adding rule as local service parameter is not valid";
inline const std::string CLI_LOG_RULE_ADD_REMOTE_SERVICE_NOT_ALLOWED =
    " Error in adding rule as remote service is not valid for selected protocol";
inline const std::string CLI_LOG_RULE_ADD_INVALID_REMOTE_SERVICE =
    " Error in adding rule as remote service parameter is not valid";
inline const std::string CLI_LOG_PROCESSING_ICMP_TYPE = "Processing ICMP message type";
inline const std::string CLI_LOG_RULE_ADD_ICMP_TYPE_NOT_ALLOWED =
    " Error in adding rule as message type is not valid for selected protocol";
inline const std::string CLI_LOG_RULE_ADD_INVALID_ICMP_TYPE =
    " Error in adding rule as message type parameter is not valid";
inline const std::string CLI_LOG_SETTING_ICMP_TYPE_ANY = "Setting ICMP type as any";

} // namespace SFCliStringConstants
