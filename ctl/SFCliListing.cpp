// The text and XML forms of rule groups, rules and their match details.

#include "SFCliCommands.h"

#include "CommonFunc.h"
#include "SFCliColorConstants.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace StatefulFirewall {

namespace {

namespace Color = SFCliColorConstants;
using boost::property_tree::ptree;

// Keys of the match-detail map, shared by the text and the XML listing.
const std::string KEY_SRC_TYPE = "srcType";
const std::string KEY_SRC_IP = "srcIp";
const std::string KEY_SRC_PORT = "srcPort";
const std::string KEY_DST_TYPE = "dstType";
const std::string KEY_DST_IP = "dstIp";
const std::string KEY_DST_PORT = "dstPort";
const std::string KEY_DIRECTION = "direction";
const std::string KEY_INTERFACE_TYPE = "interfaceType";
const std::string KEY_SCHED_STATUS = "schedStatus";
const std::string KEY_SCHED_START = "schedStartTime";
const std::string KEY_SCHED_END = "schedEndTime";
const std::string KEY_SCHED_DAYS = "schedDays";
const std::string KEY_SCHED_OFF_HR_ACTION = "schedOffHrAction";

// Value texts.
const std::string TEXT_ENABLED = "Enabled";
const std::string TEXT_DISABLED = "Disabled";
const std::string TEXT_ENFORCED = "Enforced";
const std::string TEXT_NOT_ENFORCED = "Not enforced";
const std::string TEXT_TRUE = "true";
const std::string TEXT_FALSE = "false";
const std::string TEXT_NA = "NA";
const std::string TEXT_DIR_IN = "In";
const std::string TEXT_DIR_OUT = "Out";
const std::string TEXT_DIR_EITHER = "Either";
const std::string TEXT_ACTION_ALLOW = "Allow";
const std::string TEXT_ACTION_DENY = "Deny";
const std::string TEXT_ACTION_JUMP = "Jump to group";
const std::string TEXT_ELLIPSIS = "...";
const std::string DIRECTION_NAME_IN = "FW_DIRECTION_INBOUND";
const std::string DIRECTION_NAME_OUT = "FW_DIRECTION_OUTBOUND";

// The LOG prefix as the iptables driver writes it: "QTZ_", the side, the action letters and the
// first 20 characters of the rule name.
const std::string LOG_PREFIX_START = "QTZ_";
const std::string LOG_PREFIX_IN = "I_";
const std::string LOG_PREFIX_OUT = "O_";
const std::string LOG_PREFIX_ALLOW = "A_";
const std::string LOG_PREFIX_BLOCK = "B_";
constexpr size_t LOG_PREFIX_NAME_LENGTH = 20;

// Group block of the table listing.
const std::string GROUP_TABLE_NAME = " Group Name: ";
const std::string GROUP_TABLE_INTERNAL_NAME = " Group Internal Name: ";
const std::string GROUP_TABLE_RULE_COUNT = ", No of rules in group: ";
constexpr int GROUP_NAME_WIDTH = 40;

// Group block of the detailed listing: 22-character labels.
const std::string GROUP_NAME = "Group Name:           ";
const std::string GROUP_DESCRIPTION = "Group Description:    ";
const std::string GROUP_INTERNAL_NAME = "Group Internal Name:  ";
const std::string GROUP_RULE_COUNT = "No of rules in Group: ";
const std::string GROUP_STATE = "State:                ";
const std::string GROUP_ENFORCEMENT = "Enforcement Status:   ";
const std::string GROUP_DIRECTION = "Direction:            ";
const std::string GROUP_TRANSPORT = "Transport protocol:   ";
const std::string GROUP_SCHEDULE = "Schedule:             ";
const std::string GROUP_SCHEDULE_START = "Schedule Start Time:  ";
const std::string GROUP_SCHEDULE_END = "Schedule End Time:    ";
const std::string GROUP_SCHEDULE_DAYS = "Schedule Days:        ";

// Rule block of the detailed listing.
const char* const RULE_LINE_FORMAT = "%1$8s %2$-3s %3$-20s %4$-s";
const char* const RULE_SCHEDULE_LINE_FORMAT = "%1$8s %2$-3s %3$4s %4$-15s %5$-s";
const std::string RULE_WORD = "Rule";
const std::string RULE_NAME = "Name:";
const std::string RULE_DESCRIPTION = "Description:";
const std::string RULE_ENFORCEMENT = "Enforcement Status:";
const std::string RULE_ACTION = "Rule Action:";
const std::string RULE_DIRECTION = "Rule Direction:";
const std::string RULE_STATUS = "Rule Status:";
const std::string RULE_LOGGING = "Rule Logging:";
const std::string RULE_LOG_PREFIX = "Rule Log prefix:";
const std::string RULE_TRANSPORT = "Transport Protocol:";
const std::string RULE_LOCAL_IP = "Local IP Address:";
const std::string RULE_LOCAL_SERVICE = "Local Service:";
const std::string RULE_REMOTE_IP = "Remote IP Address:";
const std::string RULE_REMOTE_SERVICE = "Remote Service:";
const std::string RULE_ICMP_TYPE = "ICMP Message Type:";
const std::string RULE_INTRUSION = "Treat as Intrusion:";
const std::string RULE_SCHEDULE = "Schedule:";
const std::string RULE_SCHEDULE_START = "Start Time:";
const std::string RULE_SCHEDULE_END = "End Time:";
const std::string RULE_SCHEDULE_DAYS = "Days:";
const std::string RULE_SCHEDULE_OFF_HR_ACTION = "Off Hr Action:";

// Rule table. The three layouts follow the terminal width: a wider terminal adds the log
// prefix column, then widens it.
struct TableLayout {
    int width;
    const char* format;
    int logPrefixWidth; // 0: no log-prefix column
};
const TableLayout NARROW_TABLE = {60, "%1$3s %2$-32s %3$-6s %4$-4s %5$-11s", 0};
const TableLayout MEDIUM_TABLE = {95, "%1$3s %2$-32s %3$-6s %4$-4s %5$-11s %6$-34s", 34};
const TableLayout WIDE_TABLE = {119, "%1$3s %2$-32s %3$-6s %4$-4s %5$-11s %6$-58s", 58};
constexpr int MEDIUM_TABLE_MIN_COLUMNS = 97;
constexpr int WIDE_TABLE_MIN_COLUMNS = 121;
constexpr int TABLE_NAME_WIDTH = 30;
constexpr int TABLE_SERVICE_WIDTH = 11;
const std::string HEADER_NUMBER = "No";
const std::string HEADER_NAME = "Rule Name";
const std::string HEADER_DIRECTION = "Dir";
const std::string HEADER_PROTOCOL = "Prot";
const std::string HEADER_SERVICE = "Rem Srvc";
const std::string HEADER_LOG_PREFIX = "Rule Log Prefix";

// XML element and attribute names.
const std::string XML_ATTRIBUTES = "<xmlattr>";
const std::string XML_GUID = "guid";
const std::string XML_ENABLED = "enabled";
const std::string XML_ENFORCEMENT = "enforcementStatus";
const std::string XML_GROUP_NAME = "groupName";
const std::string XML_GROUP_INTERNAL_NAME = "groupInternalName";
const std::string XML_GROUP_DESC = "groupDesc";
const std::string XML_RULE_COUNT = "numOfRules";
const std::string XML_NETWORK_PROTOCOL = "networkProtocol";
const std::string XML_TRANSPORT_PROTOCOL = "transportProtocol";
const std::string XML_LOCAL_IP = "localIP";
const std::string XML_LOCAL_SERVICE = "localService";
const std::string XML_REMOTE_IP = "remoteIP";
const std::string XML_REMOTE_SERVICE = "remoteService";
const std::string XML_DIRECTION = "direction";
const std::string XML_INTERFACE_TYPE = "interfaceType";
const std::string XML_RULE_ID = "ruleId";
const std::string XML_RULE_INDEX = "ruleIndex";
const std::string XML_RULE_NAME = "ruleName";
const std::string XML_RULE_DESC = "ruleDesc";
const std::string XML_RULE_ACTION = "ruleAction";
const std::string XML_RULE_STATUS = "ruleStatus";
const std::string XML_LOG_STATUS = "logStatus";
const std::string XML_ICMP_TYPE = "icmpType";
const std::string XML_INTRUSION = "treatAsIntrusion";
// The schedule attributes and children carry the match-detail keys' names.
const std::string* const XML_SCHEDULE_KEYS[] = {&KEY_SCHED_STATUS, &KEY_SCHED_START,
                                                &KEY_SCHED_END, &KEY_SCHED_DAYS,
                                                &KEY_SCHED_OFF_HR_ACTION};

// Failure log lines.
const std::string LOG_GROUP_TEXT_FAILED =
    "Caught Unknown Exception, when converting rule group details to human readable format";
const std::string LOG_RULE_TEXT_FAILED =
    " Caught Unknown Exception, when converting rule details to human readable format";
const std::string LOG_GROUP_XML_FAILED =
    "Caught Unknown Exception, when converting rule group details to xml format";
const std::string LOG_RULE_XML_FAILED =
    "Caught Unknown Exception, when converting rule details to xml format";
const std::string LOG_EXCEPTION_SAID = "The exception said: ";
constexpr int LOG_LEVEL_ERROR = 4;

// The protocol helpers fill a fixed 30-byte field that is not terminated when the text fills it.
constexpr size_t PROTO_TEXT_SIZE = 30;

std::string transportText(int transport)
{
    char text[PROTO_TEXT_SIZE + 1] = {};
    CommonFunc::getTrProtoString(transport, text);
    return std::string(text, strnlen(text, PROTO_TEXT_SIZE));
}

std::string networkText(int netProto)
{
    char text[PROTO_TEXT_SIZE + 1] = {};
    CommonFunc::getNwProtoString(netProto, text);
    return std::string(text, strnlen(text, PROTO_TEXT_SIZE));
}

// A fixed character field of a schedule as text, never reading past its end.
template <size_t N> std::string fieldText(const char (&chars)[N])
{
    return std::string(chars, strnlen(chars, N));
}

const std::string& enabledText(bool on)
{
    return on ? TEXT_ENABLED : TEXT_DISABLED;
}

const std::string& enforcedText(bool on)
{
    return on ? TEXT_ENFORCED : TEXT_NOT_ENFORCED;
}

const std::string& flagText(bool on)
{
    return on ? TEXT_TRUE : TEXT_FALSE;
}

// A missing key reads as empty, like a key without matches.
const std::string& detail(const std::map<std::string, std::string>& details,
                          const std::string& key)
{
    static const std::string empty;
    const auto found = details.find(key);
    return found == details.end() ? empty : found->second;
}

const TableLayout& tableLayout(int columns)
{
    if (columns >= WIDE_TABLE_MIN_COLUMNS)
        return WIDE_TABLE;
    if (columns >= MEDIUM_TABLE_MIN_COLUMNS)
        return MEDIUM_TABLE;
    return NARROW_TABLE;
}

std::string frameLine(int width)
{
    return " " + std::string(static_cast<size_t>(width), '-') + " \n";
}

// An enabled rule is green when it lets traffic through (allow, or jump to a group that
// decides), red when it blocks, yellow when the daemon could not put it in force. A disabled
// rule keeps the terminal's colour.
const std::string& rowColor(const SFRule& rule)
{
    static const std::string none;
    if (!rule.enabled)
        return none;
    if (!rule.enforced)
        return Color::CLI_COLOR_YELLOW;
    return rule.action == FW_ACTION_ALLOW || rule.action == FW_ACTION_JUMP ? Color::CLI_COLOR_GREEN
                                                                            : Color::CLI_COLOR_RED;
}

// Action values come from the daemon's stores; one outside the enumeration must not be cast
// into it. Every such value shows like the invalid action.
SFwActionType actionOf(int value)
{
    return value >= FW_ACTION_INVALID && value < FW_ACTION_LAST ? static_cast<SFwActionType>(value)
                                                                  : FW_ACTION_INVALID;
}

void addText(ptree& parent, const std::string& key, const std::string& text)
{
    parent.push_back(ptree::value_type(key, ptree(SFCliCommands::xmlSafeText(text))));
}

// The match details with every value fit for a terminal.
std::map<std::string, std::string> terminalSafeDetails(std::map<std::string, std::string> details)
{
    for (auto& entry : details)
        entry.second = SFCliCommands::terminalSafeText(entry.second);
    return details;
}

// Runs body; an exception is reported through report (with the exception's text when it has
// one) and what body already wrote stays.
template <class Body, class Report> void reportingFailures(Body body, Report report)
{
    try {
        body();
    } catch (const std::exception& e) {
        report(e.what());
    } catch (...) {
        report(nullptr);
    }
}

} // namespace

std::string SFCliCommands::getEllipsisFromString(std::string text, int width)
{
    // Widths below the length of "..." would leave no room for it; callers use 11 and more.
    const size_t limit = static_cast<size_t>(std::max(width, static_cast<int>(TEXT_ELLIPSIS.size())));
    if (text.size() <= TEXT_ELLIPSIS.size() || text.size() <= limit)
        return text;
    size_t keep = limit - TEXT_ELLIPSIS.size();
    // Never cut inside a UTF-8 sequence: the terminal would show a broken character.
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0u) == 0x80u)
        --keep;
    text.resize(keep);
    text += TEXT_ELLIPSIS;
    return text;
}

std::string SFCliCommands::getCliDirectionString(std::string directionName)
{
    if (directionName == DIRECTION_NAME_IN)
        return TEXT_DIR_IN;
    if (directionName == DIRECTION_NAME_OUT)
        return TEXT_DIR_OUT;
    return TEXT_DIR_EITHER;
}

std::string SFCliCommands::getCliActionString(SFwActionType action)
{
    switch (action) {
    case FW_ACTION_ALLOW:
        return TEXT_ACTION_ALLOW;
    case FW_ACTION_BLOCK_PACKET:
        return TEXT_ACTION_DENY;
    case FW_ACTION_JUMP:
        return TEXT_ACTION_JUMP;
    default:
        return TEXT_NA;
    }
}

std::map<std::string, std::string>
SFCliCommands::getRuleOrGroupMatchDetails(const std::list<SFMatch*>& matches)
{
    std::vector<std::string> srcType, srcIp, srcPort, dstType, dstIp, dstPort, interfaceType;
    std::string direction;
    const MatchSchedule* schedule = nullptr;
    for (const SFMatch* match : matches) {
        if (match == nullptr)
            continue;
        switch (match->matchType) {
        case FW_MATCH_LOCAL_PORT:
        case FW_MATCH_LOCAL_PORT_2:
            srcPort.push_back(match->getMatchValueString());
            break;
        case FW_MATCH_LOCAL_IP_ADDRESS:
            srcType.push_back(std::to_string(match->addressType));
            srcIp.push_back(match->getMatchValueString());
            break;
        case FW_MATCH_REMOTE_PORT:
        case FW_MATCH_REMOTE_PORT_2:
            dstPort.push_back(match->getMatchValueString());
            break;
        case FW_MATCH_REMOTE_IP_ADDRESS:
            dstType.push_back(std::to_string(match->addressType));
            dstIp.push_back(match->getMatchValueString());
            break;
        case FW_MATCH_DIRECTION:
            // Two direction matches show side by side ("InOut"), as the daemon stores them.
            direction += getCliDirectionString(match->getSFwDirectionString());
            break;
        case FW_MATCH_PHYSICAL_MEDIUM:
            interfaceType.push_back(match->getMatchValueString());
            break;
        case FW_MATCH_SCHEDULE:
            // Only one schedule applies: the last one in the list.
            schedule = &match->value.schedule;
            break;
        default:
            // The listing has no column for the second address family (6, 7).
            break;
        }
    }

    const std::string separator = ",";
    std::map<std::string, std::string> details;
    details[KEY_SRC_TYPE] = boost::algorithm::join(srcType, separator);
    details[KEY_SRC_IP] = boost::algorithm::join(srcIp, separator);
    details[KEY_SRC_PORT] = boost::algorithm::join(srcPort, separator);
    details[KEY_DST_TYPE] = boost::algorithm::join(dstType, separator);
    details[KEY_DST_IP] = boost::algorithm::join(dstIp, separator);
    details[KEY_DST_PORT] = boost::algorithm::join(dstPort, separator);
    details[KEY_DIRECTION] = direction.empty() ? TEXT_NA : direction;
    details[KEY_INTERFACE_TYPE] = boost::algorithm::join(interfaceType, separator);
    details[KEY_SCHED_STATUS] = enabledText(schedule != nullptr);
    details[KEY_SCHED_START] = schedule ? fieldText(schedule->startTime) : std::string();
    details[KEY_SCHED_END] = schedule ? fieldText(schedule->endTime) : std::string();
    details[KEY_SCHED_DAYS] =
        schedule ? CommonFunc::trimLastChar(fieldText(schedule->days), separator) : std::string();
    details[KEY_SCHED_OFF_HR_ACTION] =
        schedule ? CommonFunc::getSchedActionDesc(schedule->scheduleAction) : std::string();
    return details;
}

std::string SFCliCommands::getRuleLogPrefixString(bool logEnabled, std::string ruleName,
                                                  SFwActionType action,
                                                  const std::list<SFMatch*>& matches)
{
    if (!logEnabled)
        return std::string();
    const SFMatch* direction = nullptr;
    for (const SFMatch* match : matches)
        if (match != nullptr && match->matchType == FW_MATCH_DIRECTION)
            direction = match;
    if (direction == nullptr)
        return std::string();

    std::string actionPart;
    if (action == FW_ACTION_ALLOW)
        actionPart = LOG_PREFIX_ALLOW;
    else if (action == FW_ACTION_BLOCK_PACKET)
        actionPart = LOG_PREFIX_BLOCK;
    else
        return std::string();

    // The driver cuts before it replaces, byte by byte: a multi-byte character becomes
    // several "_".
    if (ruleName.size() > LOG_PREFIX_NAME_LENGTH)
        ruleName.resize(LOG_PREFIX_NAME_LENGTH);
    std::replace_if(
        ruleName.begin(), ruleName.end(),
        [](char c) {
            return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
        },
        '_');

    const std::string inPrefix = LOG_PREFIX_START + LOG_PREFIX_IN + actionPart + ruleName;
    const std::string outPrefix = LOG_PREFIX_START + LOG_PREFIX_OUT + actionPart + ruleName;
    switch (direction->value.intValue) {
    case FW_DIRECTION_INBOUND:
        return inPrefix;
    case FW_DIRECTION_OUTBOUND:
        return outPrefix;
    case FW_DIRECTION_EITHER:
        return inPrefix + "," + outPrefix;
    default:
        return std::string();
    }
}

void SFCliCommands::showGroupInStdout(const SFRuleGroup& group, bool table)
{
    // Each block is flushed once when done (or when it fails) rather than line by line: a
    // listing of thousands of rules to a file or pipe would otherwise cost a write per line.
    reportingFailures(
        [&] {
            std::ostream& out = std::cout;
            const std::string name = terminalSafeText(group.name);
            const std::string chainName = terminalSafeText(group.chainName);
            if (table) {
                if (group.enabled)
                    out << (group.enforced ? Color::CLI_COLOR_GREEN : Color::CLI_COLOR_YELLOW);
                out << GROUP_TABLE_NAME << getEllipsisFromString(name, GROUP_NAME_WIDTH) << '\n';
                out << GROUP_TABLE_INTERNAL_NAME << chainName << GROUP_TABLE_RULE_COUNT
                    << group.rules.size() << '\n';
                out << Color::CLI_COLOR_RESET << std::flush;
                return;
            }
            const auto details = terminalSafeDetails(getRuleOrGroupMatchDetails(group.matches));
            out << GROUP_NAME << name << '\n'
                << GROUP_DESCRIPTION << terminalSafeText(group.description) << '\n'
                << GROUP_INTERNAL_NAME << chainName << '\n'
                << GROUP_RULE_COUNT << group.rules.size() << '\n'
                << GROUP_STATE << enabledText(group.enabled) << '\n'
                << GROUP_ENFORCEMENT << enforcedText(group.enforced) << '\n'
                << GROUP_DIRECTION << detail(details, KEY_DIRECTION) << '\n'
                << GROUP_TRANSPORT << transportText(group.transport) << '\n'
                << GROUP_SCHEDULE << detail(details, KEY_SCHED_STATUS) << '\n'
                << GROUP_SCHEDULE_START << detail(details, KEY_SCHED_START) << '\n'
                << GROUP_SCHEDULE_END << detail(details, KEY_SCHED_END) << '\n'
                << GROUP_SCHEDULE_DAYS << detail(details, KEY_SCHED_DAYS) << '\n'
                << '\n'
                << std::flush;
        },
        [&](const char* what) {
            // A colour already written must not spill into the lines that follow.
            if (table)
                std::cout << Color::CLI_COLOR_RESET;
            std::cout << std::flush;
            log(LOG_LEVEL_ERROR, LOG_GROUP_TEXT_FAILED);
            if (what != nullptr)
                log(LOG_LEVEL_ERROR, LOG_EXCEPTION_SAID + what);
        });
}

void SFCliCommands::showRuleInStdout(SFRule* rule, bool table, int columns, int rulesInGroup,
                                     int ordinal)
{
    reportingFailures(
        [&] {
            if (rule == nullptr)
                throw std::invalid_argument("no rule to show");
            std::ostream& out = std::cout;
            // Names, descriptions and domain names come from the stores, policies and the
            // channel, not only from this tool.
            const auto details = terminalSafeDetails(getRuleOrGroupMatchDetails(rule->matches));
            const std::string name = terminalSafeText(rule->name);
            const std::string transport = transportText(rule->transport);
            const SFwActionType action = actionOf(rule->action);
            const std::string logPrefix =
                getRuleLogPrefixString(rule->logEnabled, rule->name, action, rule->matches);

            if (table) {
                // The frame opens before the first rule listed and closes after the last; rule
                // positions cannot tell which those are, as only the client group numbers its
                // rules 1..n.
                const TableLayout& layout = tableLayout(columns);
                const std::string frame = frameLine(layout.width);
                boost::format row(layout.format);
                if (ordinal == 1) {
                    row % HEADER_NUMBER % HEADER_NAME % HEADER_DIRECTION % HEADER_PROTOCOL %
                        HEADER_SERVICE;
                    if (layout.logPrefixWidth > 0)
                        row % HEADER_LOG_PREFIX;
                    out << frame << '|' << row << "|\n" << frame;
                }
                row % rule->position % getEllipsisFromString(name, TABLE_NAME_WIDTH) %
                    detail(details, KEY_DIRECTION) % transport %
                    getEllipsisFromString(detail(details, KEY_DST_PORT), TABLE_SERVICE_WIDTH);
                if (layout.logPrefixWidth > 0)
                    row % getEllipsisFromString(logPrefix, layout.logPrefixWidth);
                out << '|' << rowColor(*rule) << row << Color::CLI_COLOR_RESET << "|\n";
                if (ordinal == rulesInGroup)
                    out << frame;
                out << std::flush;
                return;
            }

            boost::format line(RULE_LINE_FORMAT);
            const std::string none;
            auto labelled = [&](const std::string& label, const std::string& value) {
                out << (line % none % none % label % value) << '\n';
            };
            out << (line % RULE_WORD % rule->position % RULE_NAME % name) << '\n';
            labelled(RULE_DESCRIPTION, terminalSafeText(rule->description));
            labelled(RULE_ENFORCEMENT, enforcedText(rule->enforced));
            labelled(RULE_ACTION, getCliActionString(action));
            labelled(RULE_DIRECTION, detail(details, KEY_DIRECTION));
            labelled(RULE_STATUS, enabledText(rule->enabled));
            labelled(RULE_LOGGING, enabledText(rule->logEnabled));
            labelled(RULE_LOG_PREFIX, logPrefix);
            labelled(RULE_TRANSPORT, transport);
            labelled(RULE_LOCAL_IP, detail(details, KEY_SRC_IP));
            labelled(RULE_LOCAL_SERVICE, detail(details, KEY_SRC_PORT));
            labelled(RULE_REMOTE_IP, detail(details, KEY_DST_IP));
            labelled(RULE_REMOTE_SERVICE, detail(details, KEY_DST_PORT));
            labelled(RULE_ICMP_TYPE, CommonFunc::getMsgTypeString(rule->msgType));
            labelled(RULE_INTRUSION, enabledText(rule->treatAsIntrusion));
            labelled(RULE_SCHEDULE, detail(details, KEY_SCHED_STATUS));

            boost::format scheduleLine(RULE_SCHEDULE_LINE_FORMAT);
            auto scheduled = [&](const std::string& label, const std::string& key) {
                out << (scheduleLine % none % none % none % label % detail(details, key)) << '\n';
            };
            scheduled(RULE_SCHEDULE_START, KEY_SCHED_START);
            scheduled(RULE_SCHEDULE_END, KEY_SCHED_END);
            scheduled(RULE_SCHEDULE_DAYS, KEY_SCHED_DAYS);
            scheduled(RULE_SCHEDULE_OFF_HR_ACTION, KEY_SCHED_OFF_HR_ACTION);
            out << '\n' << std::flush;
        },
        [&](const char* what) {
            if (table && rule != nullptr)
                std::cout << Color::CLI_COLOR_RESET;
            std::cout << std::flush;
            log(LOG_LEVEL_ERROR, LOG_RULE_TEXT_FAILED);
            if (what != nullptr)
                log(LOG_LEVEL_ERROR, LOG_EXCEPTION_SAID + what);
        });
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (no overlong forms, no surrogates,
// nothing above U+10FFFF), or 0 when the byte there starts none.
size_t utf8SequenceLength(const std::string& text, size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80)
        return 1;
    const size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                          : byte >= 0xE0 && byte <= 0xEF ? 3
                          : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second >= 0xA0) ||
        (byte == 0xF0 && second < 0x90) || (byte == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

// Copies text with every character for which refused(text, i, length) holds replaced by one
// "?". length is that of the UTF-8 sequence at i, 0 for a byte that starts none, which is
// then judged (and replaced) alone.
template <class Refused> std::string replaceCharacters(const std::string& text, Refused refused)
{
    std::string safe;
    safe.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = utf8SequenceLength(text, i);
        const size_t taken = length == 0 ? 1 : length;
        if (refused(text, i, length))
            safe += '?';
        else
            safe.append(text, i, taken);
        i += taken;
    }
    return safe;
}

} // namespace

std::string SFCliCommands::xmlSafeText(std::string text)
{
    // The document declares utf-8, and XML 1.0 allows neither C0 control bytes but tab, line
    // feed and carriage return nor U+FFFE and U+FFFF; the writer escapes only markup. Names
    // from policies may also hold Latin-1 bytes, which are no UTF-8.
    return replaceCharacters(text, [](const std::string& t, size_t i, size_t length) {
        const auto byte = static_cast<unsigned char>(t[i]);
        if (length == 0)
            return true;
        if (length == 1)
            return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
        // U+FFFE and U+FFFF: EF BF BE and EF BF BF.
        return length == 3 && byte == 0xEF && static_cast<unsigned char>(t[i + 1]) == 0xBF &&
               static_cast<unsigned char>(t[i + 2]) >= 0xBE;
    });
}

std::string SFCliCommands::terminalSafeText(const std::string& text)
{
    // A terminal acts on C0 controls, DEL and the C1 controls (U+0080..U+009F, and as single
    // bytes where the terminal is not in UTF-8 mode, such as 0x9B, which opens a control
    // sequence): a name must not retitle, clear or move the administrator's screen, nor break
    // the listing's lines.
    return replaceCharacters(text, [](const std::string& t, size_t i, size_t length) {
        const auto byte = static_cast<unsigned char>(t[i]);
        // Other bytes outside UTF-8 (Latin-1 letters in names from policies) stay as they
        // were: a terminal shows them as text.
        if (length == 0)
            return byte >= 0x80 && byte <= 0x9F;
        if (length == 1)
            return byte < 0x20 || byte == 0x7F;
        return length == 2 && byte == 0xC2 && static_cast<unsigned char>(t[i + 1]) < 0xA0;
    });
}

ptree SFCliCommands::getGroupNodeInXml(const SFRuleGroup& group)
{
    ptree node;
    reportingFailures(
        [&] {
            const auto details = getRuleOrGroupMatchDetails(group.matches);
            ptree& attributes = node.add_child(XML_ATTRIBUTES, ptree());
            addText(attributes, XML_GUID, CommonFunc::textGUID(group.groupId));
            addText(attributes, XML_ENABLED, flagText(group.enabled));
            addText(attributes, XML_ENFORCEMENT, flagText(group.enforced));
            addText(attributes, XML_GROUP_NAME, group.name);
            addText(attributes, XML_GROUP_INTERNAL_NAME, group.chainName);
            addText(attributes, XML_GROUP_DESC, group.description);
            addText(attributes, XML_RULE_COUNT, std::to_string(group.rules.size()));
            addText(attributes, XML_NETWORK_PROTOCOL, networkText(group.netProto));
            addText(attributes, XML_TRANSPORT_PROTOCOL, transportText(group.transport));
            addText(attributes, XML_LOCAL_IP, detail(details, KEY_SRC_IP));
            addText(attributes, XML_LOCAL_SERVICE, detail(details, KEY_SRC_PORT));
            addText(attributes, XML_REMOTE_IP, detail(details, KEY_DST_IP));
            addText(attributes, XML_REMOTE_SERVICE, detail(details, KEY_DST_PORT));
            addText(attributes, XML_DIRECTION, detail(details, KEY_DIRECTION));
            addText(attributes, XML_INTERFACE_TYPE, detail(details, KEY_INTERFACE_TYPE));
            for (const std::string* key : XML_SCHEDULE_KEYS)
                addText(attributes, *key, detail(details, *key));
        },
        [&](const char* what) {
            log(LOG_LEVEL_ERROR, LOG_GROUP_XML_FAILED);
            if (what != nullptr)
                log(LOG_LEVEL_ERROR, LOG_EXCEPTION_SAID + what);
        });
    return node;
}

ptree SFCliCommands::getRuleNodeInXml(SFRule* rule)
{
    ptree node;
    reportingFailures(
        [&] {
            if (rule == nullptr)
                throw std::invalid_argument("no rule to convert");
            const auto details = getRuleOrGroupMatchDetails(rule->matches);
            ptree& attributes = node.add_child(XML_ATTRIBUTES, ptree());
            addText(attributes, XML_RULE_ID, CommonFunc::textGUID(rule->ruleId));
            addText(attributes, XML_ENFORCEMENT, flagText(rule->enforced));
            addText(node, XML_RULE_INDEX, std::to_string(rule->position));
            addText(node, XML_RULE_NAME, rule->name);
            addText(node, XML_RULE_DESC, rule->description);
            addText(node, XML_RULE_ACTION, CommonFunc::getActionString(rule->action));
            addText(node, XML_RULE_STATUS, enabledText(rule->enabled));
            addText(node, XML_LOG_STATUS, enabledText(rule->logEnabled));
            addText(node, XML_NETWORK_PROTOCOL, networkText(rule->netProto));
            addText(node, XML_TRANSPORT_PROTOCOL, transportText(rule->transport));
            addText(node, XML_LOCAL_IP, detail(details, KEY_SRC_IP));
            addText(node, XML_LOCAL_SERVICE, detail(details, KEY_SRC_PORT));
            addText(node, XML_REMOTE_IP, detail(details, KEY_DST_IP));
            addText(node, XML_REMOTE_SERVICE, detail(details, KEY_DST_PORT));
            addText(node, XML_ICMP_TYPE, CommonFunc::getMsgTypeString(rule->msgType));
            addText(node, XML_DIRECTION, detail(details, KEY_DIRECTION));
            addText(node, XML_INTERFACE_TYPE, detail(details, KEY_INTERFACE_TYPE));
            addText(node, XML_INTRUSION, enabledText(rule->treatAsIntrusion));
            for (const std::string* key : XML_SCHEDULE_KEYS)
                addText(node, *key, detail(details, *key));
        },
        [&](const char* what) {
            log(LOG_LEVEL_ERROR, LOG_RULE_XML_FAILED);
            if (what != nullptr)
                log(LOG_LEVEL_ERROR, LOG_EXCEPTION_SAID + what);
        });
    return node;
}

} // namespace StatefulFirewall
