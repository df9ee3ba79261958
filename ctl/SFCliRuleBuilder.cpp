// --fw-rule-add: turns the rule options into one rule of the client group, checking each option
// as it goes, and hands it to the request layer. Also the address and port list builders that
// append one match per list element.

#include "SFCli.h"

#include "CommonFunc.h"
#include "ICliCommands.h"
#include "ILogger.h"
#include "SFCliCommands.h"
#include "SFCliNumber.h"
#include "SFCliStringConstants.h"
#include "SFMatch.h"
#include "SFRule.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <netdb.h>

#include <cctype>
#include <iostream>
#include <memory>
#include <vector>

namespace StatefulFirewall {

namespace po = boost::program_options;
namespace C = SFCliStringConstants;

namespace {

// Protocols that only run over IPv6, which the packet filter does not handle.
bool isIpv6OnlyProtocol(int number)
{
    for (int ipv6 : {41, 43, 44, 50, 51, 58, 59, 60})
        if (number == ipv6)
            return true;
    return false;
}

// The trimmed elements of a comma-separated option value. Runs of commas count as one separator
// and trailing commas close the list, but a leading comma leaves an empty first element, which
// every element check refuses: an empty slot at the start is a typing error, not padding.
std::vector<std::string> listElements(const std::string& text)
{
    std::vector<std::string> elements;
    boost::algorithm::split(elements, text, boost::algorithm::is_any_of(C::CLI_LIST_DELIMITER),
                            boost::algorithm::token_compress_on);
    // The split ends with an empty element when the text ends with commas.
    if (elements.size() > 1 && elements.back().empty())
        elements.pop_back();
    for (std::string& element : elements)
        boost::algorithm::trim(element);
    return elements;
}

} // namespace

bool SFCli::splitAtFirst(const std::string& text, const std::string& delimiter, std::string& head,
                         std::string& tail)
{
    const size_t at = text.find(delimiter);
    if (at == std::string::npos)
        return false;
    head = text.substr(0, at);
    tail = text.substr(at + delimiter.size());
    return true;
}

namespace {

// Values converted here have passed their check, which reads them with the same reader, so the
// conversion cannot fail; the narrowing keeps the low bits as the rule model stores them.
uint8_t checkedPrefix(const std::string& text)
{
    return static_cast<uint8_t>(parseCliNumber(text).value & 0xFF);
}

uint16_t checkedPort(const std::string& text)
{
    return static_cast<uint16_t>(parseCliNumber(text).value & 0xFFFF);
}

std::unique_ptr<SFMatch> newMatch(int kind, int format, int op = FW_MATCH_OP_EQUAL)
{
    auto match = std::make_unique<SFMatch>();
    match->matchType = kind;
    match->addressType = format;
    match->matchOp = op;
    return match;
}

void appendMatch(SFRule& rule, std::unique_ptr<SFMatch> match)
{
    rule.addMatch(match.release());
}

// Copies at most size - 1 characters into a zeroed field, so the field stays terminated.
template <size_t N> void copyBounded(char (&field)[N], const std::string& text)
{
    text.copy(field, N - 1);
}

// Options that take a list of addresses, in the order their matches are appended.
struct AddressOption {
    const std::string& name;
    SFwMatchFormat format;
    const std::string& refusedLog;
    const std::string* processingLog;
};

// Flags that each append one address match without a value.
struct FlagOption {
    const std::string& name;
    SFwMatchFormat format;
    const std::string* processingLog;
};

} // namespace

bool SFCli::getIpMatchList(SFwMatchFormat format, const std::string& text, SFwMatchType kind,
                           SFwMatchOp op, SFRule& rule)
{
    for (const std::string& element : listElements(text)) {
        std::unique_ptr<SFMatch> match = newMatch(kind, format, op);
        switch (format) {
        case FW_ADDRESS_TYPE_SINGLE:
            if (!isValidSingleIpv4(element) || !match->setStartIp4Address(element.c_str())) {
                log(4, C::CLI_LOG_VALIDATION_OF_IP_ADDRESS + element +
                           C::CLI_LOG_VALIDATION_FAILED);
                return false;
            }
            break;
        case FW_ADDRESS_TYPE_IP_RANGE: {
            std::string start;
            std::string end;
            if (!splitAtFirst(element, C::CLI_RANGE_DELIMITER, start, end)) {
                log(4, C::CLI_LOG_VALIDATION_OF_IP_RANGE + element +
                           C::CLI_LOG_VALIDATION_SYNTAX_FAILED);
                return false;
            }
            if (!isValidIpRangev4(start, end) || !match->setStartIp4Address(start.c_str()) ||
                !match->setEndIp4Address(end.c_str())) {
                log(4, C::CLI_LOG_VALIDATION_OF_IP_RANGE + element + C::CLI_LOG_VALIDATION_FAILED);
                return false;
            }
            break;
        }
        case FW_ADDRESS_TYPE_CIDR: {
            std::string address;
            std::string prefix;
            if (!splitAtFirst(element, C::CLI_CIDR_DELIMITER, address, prefix)) {
                log(4, C::CLI_LOG_VALIDATION_OF_CIDR + element +
                           C::CLI_LOG_VALIDATION_SYNTAX_FAILED);
                return false;
            }
            if (!isValidCidr(address, prefix) ||
                !match->setCidrIPAddress(checkedPrefix(prefix), address.c_str())) {
                log(4, C::CLI_LOG_VALIDATION_OF_CIDR + element + C::CLI_LOG_VALIDATION_FAILED);
                return false;
            }
            break;
        }
        case FW_ADDRESS_TYPE_DOMAIN_NAME:
            if (!isValidFqdn(element) || !match->setFQDNString(element.c_str())) {
                log(4, C::CLI_LOG_VALIDATION_OF_FQDN + element + C::CLI_LOG_VALIDATION_FAILED);
                return false;
            }
            break;
        default:
            // Formats without a typed value are appended by their flags, never through a list.
            log(6, C::CLI_LOG_UNKNOWN_MATCH_TYPE);
            continue;
        }
        appendMatch(rule, std::move(match));
    }
    return true;
}

bool SFCli::getPortMatchList(const std::string& text, SFwMatchType kind, SFwMatchOp op,
                             SFRule& rule)
{
    for (const std::string& element : listElements(text)) {
        std::string start;
        std::string end;
        if (!splitAtFirst(element, C::CLI_PORT_RANGE_DELIMITER, start, end)) {
            if (!isValidService(element)) {
                log(4, C::CLI_LOG_VALIDATION_OF_PORT + element + C::CLI_LOG_VALIDATION_FAILED);
                return false;
            }
            std::unique_ptr<SFMatch> match = newMatch(kind, FW_ADDRESS_TYPE_SINGLE, op);
            match->setPortNumber(checkedPort(element), 0);
            appendMatch(rule, std::move(match));
            continue;
        }
        if (!isValidServiceRange(start, end)) {
            log(4, C::CLI_LOG_VALIDATION_OF_PORT_RANGE + element + C::CLI_LOG_VALIDATION_FAILED);
            return false;
        }
        std::unique_ptr<SFMatch> match = newMatch(kind, FW_ADDRESS_TYPE_PORT_RANGE, op);
        match->setPortNumber(checkedPort(start), checkedPort(end));
        appendMatch(rule, std::move(match));
    }
    return true;
}

int SFCli::processAddActions(ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                             ZAV::IFMCommClient& client, const po::variables_map& options)
{
    const auto given = [&options](const std::string& name) {
        return options.find(name) != options.end();
    };
    // The schedule options always hold a value (their defaults), so what counts for them is
    // whether the user typed one, even one equal to the default.
    const auto typed = [&options](const std::string& name) {
        const auto it = options.find(name);
        return it != options.end() && !it->second.defaulted();
    };
    const auto text = [&options](const std::string& name) {
        return options[name].as<std::string>();
    };
    // A refusal logs why, shows the user one line on standard output and sends nothing; the
    // rule built so far is freed when it goes out of scope.
    const auto refuse = [this](const std::string& logLine, const std::string& shown,
                               int level = 4) -> int {
        log(level, logLine);
        std::cout << shown << std::endl;
        return SF_CLI_EXIT_BAD_VALUE;
    };
    const auto refuseOption = [&refuse](const std::string& logLine, const std::string& option) {
        return refuse(logLine,
                      C::CLI_OPT_RULE_ADD_ERROR_STR1 + option + C::CLI_OPT_RULE_ADD_ERROR_STR2);
    };

    int position = -1;
    if (given(C::CLI_OPT_RULE_INDEX)) {
        position = options[C::CLI_OPT_RULE_INDEX].as<int>();
        if (position < 0)
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_INDEX, C::CLI_OPT_RULE_INDEX);
    }

    const std::string typedName = text(C::CLI_OPT_RULE_NAME);
    log(6, C::CLI_LOG_PROCESSING_RULE_NAME + typedName);
    if (!isRuleNameValid(typedName))
        return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_NAME + typedName + C::CLI_LOG_WAS_PROVIDED,
                            C::CLI_OPT_RULE_NAME);
    const std::string name = sanitizeRuleNameOrDesc(typedName);

    std::string description;
    if (given(C::CLI_OPT_RULE_DESCRIPTION)) {
        const std::string notes = text(C::CLI_OPT_RULE_DESCRIPTION);
        if (!isRuleDescValid(notes))
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_DESCRIPTION + name +
                                    C::CLI_LOG_WAS_PROVIDED,
                                C::CLI_OPT_RULE_DESCRIPTION);
        description = sanitizeRuleNameOrDesc(notes);
    }

    SFRule rule;
    rule.groupId = CommonFunc::getGUIDFromString(C::CLI_CLIENT_GROUP_ID);
    rule.ruleId = CommonFunc::generateGUID();
    rule.position = position;
    rule.enabled = true;
    rule.name = name;
    rule.description = description;
    rule.msgType = FW_ICMP_ANY;
    rule.transport = FW_TRANS_PROTO_ANY;
    rule.logEnabled = false;
    rule.enforced = false;

    const std::string action = text(C::CLI_OPT_RULE_ACTION);
    if (action == C::CLI_OPT_RULE_ACTION_ALLOW) {
        log(6, C::CLI_LOG_SETTING_ACTION_ALLOW);
        rule.action = FW_ACTION_ALLOW;
    } else if (action == C::CLI_OPT_RULE_ACTION_DENY) {
        log(6, C::CLI_LOG_SETTING_ACTION_DENY);
        rule.action = FW_ACTION_BLOCK_PACKET;
    } else {
        return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_ACTION, C::CLI_OPT_RULE_ACTION);
    }

    if (given(C::CLI_OPT_RULE_LOG))
        rule.logEnabled = true;

    SFwDirection direction = FW_DIRECTION_EITHER;
    if (!given(C::CLI_OPT_RULE_DIRECTION)) {
        log(6, C::CLI_LOG_PROCESSING_RULE_DIRECTION);
    } else {
        const std::string value = text(C::CLI_OPT_RULE_DIRECTION);
        if (value == C::CLI_OPT_RULE_DIRECTION_IN) {
            log(6, C::CLI_LOG_SETTING_DIRECTION_IN);
            direction = FW_DIRECTION_INBOUND;
        } else if (value == C::CLI_OPT_RULE_DIRECTION_OUT) {
            log(6, C::CLI_LOG_SETTING_DIRECTION_OUT);
            direction = FW_DIRECTION_OUTBOUND;
        } else if (value == C::CLI_OPT_RULE_DIRECTION_EITHER) {
            log(6, C::CLI_LOG_SETTING_DIRECTION_EITHER);
        } else {
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_DIRECTION, C::CLI_OPT_RULE_DIRECTION);
        }
    }
    std::unique_ptr<SFMatch> directionMatch = newMatch(FW_MATCH_DIRECTION, FW_ADDRESS_TYPE_INVALID);
    directionMatch->value.intValue = direction;
    appendMatch(rule, std::move(directionMatch));

    if (given(C::CLI_OPT_RULE_STATE)) {
        log(6, C::CLI_LOG_PROCESSING_RULE_STATE);
        const std::string state = text(C::CLI_OPT_RULE_STATE);
        if (state == C::CLI_OPT_RULE_STATE_ENABLE) {
            log(6, C::CLI_LOG_SETTING_STATE_ENABLED);
            rule.enabled = true;
        } else if (state == C::CLI_OPT_RULE_STATE_DISABLE) {
            log(6, C::CLI_LOG_SETTING_STATE_DISABLED);
            rule.enabled = false;
        } else {
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_STATE, C::CLI_OPT_RULE_STATE);
        }
    }

    // Ports mean something only for tcp and udp, a message type only for icmp; a protocol
    // found by name in the protocol database (even "TCP") carries neither.
    bool servicesAllowed = false;
    bool icmpTypeAllowed = false;
    if (given(C::CLI_OPT_RULE_PROTOCOL)) {
        log(6, C::CLI_LOG_PROCESSING_RULE_PROTOCOL);
        const std::string protocol = text(C::CLI_OPT_RULE_PROTOCOL);
        if (protocol == C::CLI_OPT_RULE_PROTOCOL_ANY) {
            log(6, C::CLI_LOG_SETTING_PROTOCOL_ANY);
            rule.transport = FW_TRANS_PROTO_ANY;
        } else if (protocol == C::CLI_OPT_RULE_PROTOCOL_TCP) {
            log(6, C::CLI_LOG_SETTING_PROTOCOL_TCP);
            rule.transport = FW_TRANS_PROTO_TCP;
            servicesAllowed = true;
        } else if (protocol == C::CLI_OPT_RULE_PROTOCOL_UDP) {
            log(6, C::CLI_LOG_SETTING_PROTOCOL_UDP);
            rule.transport = FW_TRANS_PROTO_UDP;
            servicesAllowed = true;
        } else if (protocol == C::CLI_OPT_RULE_PROTOCOL_ICMP) {
            log(6, C::CLI_LOG_SETTING_PROTOCOL_ICMP);
            rule.transport = FW_TRANS_PROTO_ICMP;
            icmpTypeAllowed = true;
        } else {
            // By name or alias only: the database is not asked about numbers, so "47" is
            // refused rather than taken as a protocol number.
            const protoent* entry = getprotobyname(protocol.c_str());
            if (entry == nullptr)
                return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_PROTOCOL, C::CLI_OPT_RULE_PROTOCOL);
            const int number = entry->p_proto;
            if (number == 0)
                return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_PROTOCOL_0,
                                    C::CLI_OPT_RULE_PROTOCOL);
            if (isIpv6OnlyProtocol(number))
                return refuse(C::CLI_LOG_IPV6_PROTOCOLS_NOT_SUPPORTED,
                              C::CLI_INVALID_IPv6_PROTOCOL_ERROR, 5);
            log(6, C::CLI_LOG_SET_UNKNOWN_PROTOCOL + std::to_string(number));
            rule.transport = number;
        }
    }

    const AddressOption localAddresses[] = {
        {C::CLI_OPT_RULE_LOCAL_SINGLE, FW_ADDRESS_TYPE_SINGLE,
         C::CLI_LOG_RULE_ADD_INVALID_LOCAL_SINGLE, nullptr},
        {C::CLI_OPT_RULE_LOCAL_FQDN, FW_ADDRESS_TYPE_DOMAIN_NAME,
         C::CLI_LOG_RULE_ADD_INVALID_LOCAL_FQDN, nullptr},
        {C::CLI_OPT_RULE_LOCAL_RANGE, FW_ADDRESS_TYPE_IP_RANGE,
         C::CLI_LOG_RULE_ADD_INVALID_LOCAL_RANGE, nullptr},
        {C::CLI_OPT_RULE_LOCAL_CIDR, FW_ADDRESS_TYPE_CIDR, C::CLI_LOG_RULE_ADD_INVALID_LOCAL_CIDR,
         nullptr},
    };
    const AddressOption remoteAddresses[] = {
        {C::CLI_OPT_RULE_REMOTE_SINGLE, FW_ADDRESS_TYPE_SINGLE,
         C::CLI_LOG_RULE_ADD_INVALID_REMOTE_SINGLE, &C::CLI_LOG_PROCESSING_REMOTE_SINGLE},
        {C::CLI_OPT_RULE_REMOTE_FQDN, FW_ADDRESS_TYPE_DOMAIN_NAME,
         C::CLI_LOG_RULE_ADD_INVALID_REMOTE_FQDN, nullptr},
        {C::CLI_OPT_RULE_REMOTE_RANGE, FW_ADDRESS_TYPE_IP_RANGE,
         C::CLI_LOG_RULE_ADD_INVALID_REMOTE_RANGE, nullptr},
        {C::CLI_OPT_RULE_REMOTE_CIDR, FW_ADDRESS_TYPE_CIDR,
         C::CLI_LOG_RULE_ADD_INVALID_REMOTE_CIDR, nullptr},
    };
    const auto addAddresses = [&](const AddressOption* begin, const AddressOption* end,
                                  SFwMatchType kind) {
        for (const AddressOption* option = begin; option != end; ++option) {
            if (!given(option->name))
                continue;
            if (option->processingLog != nullptr)
                log(6, *option->processingLog);
            if (!getIpMatchList(option->format, text(option->name), kind, FW_MATCH_OP_EQUAL, rule))
                return refuseOption(option->refusedLog, option->name);
        }
        return static_cast<int>(SF_CLI_EXIT_SUCCESS);
    };
    const auto addFlags = [&](std::initializer_list<FlagOption> flags, SFwMatchType kind) {
        for (const FlagOption& flag : flags) {
            if (!given(flag.name))
                continue;
            if (flag.processingLog != nullptr)
                log(6, *flag.processingLog);
            appendMatch(rule, newMatch(kind, flag.format));
        }
    };

    int refused = addAddresses(std::begin(localAddresses), std::end(localAddresses),
                               FW_MATCH_LOCAL_IP_ADDRESS);
    if (refused != SF_CLI_EXIT_SUCCESS)
        return refused;

    const bool scheduleStatusTyped = typed(C::CLI_OPT_RULE_SCHEDULE_STATUS);
    const std::string scheduleStatus = text(C::CLI_OPT_RULE_SCHEDULE_STATUS);
    if (!scheduleStatusTyped || scheduleStatus == C::CLI_RULE_SCHEDULE_STATUS_OFF) {
        // The times, days and off-hours action only mean something in a schedule that is on.
        const bool off = scheduleStatusTyped;
        const struct {
            const std::string& name;
            const std::string& withoutStatus;
            const std::string& withStatusOff;
        } scheduleOptions[] = {
            {C::CLI_OPT_RULE_SCHEDULE_START_TIME, C::CLI_LOG_RULE_ADD_START_TIME_WITHOUT_STATUS,
             C::CLI_LOG_RULE_ADD_START_TIME_WITH_STATUS_OFF},
            {C::CLI_OPT_RULE_SCHEDULE_END_TIME, C::CLI_LOG_RULE_ADD_END_TIME_WITHOUT_STATUS,
             C::CLI_LOG_RULE_ADD_END_TIME_WITH_STATUS_OFF},
            {C::CLI_OPT_RULE_SCHEDULE_DAYS, C::CLI_LOG_RULE_ADD_DAYS_WITHOUT_STATUS,
             C::CLI_LOG_RULE_ADD_DAYS_WITHOUT_STATUS},
            {C::CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION,
             C::CLI_LOG_RULE_ADD_OFF_HOURS_ACTION_WITHOUT_STATUS,
             C::CLI_LOG_RULE_ADD_OFF_HOURS_ACTION_WITHOUT_STATUS},
        };
        for (const auto& option : scheduleOptions) {
            if (!typed(option.name))
                continue;
            return off ? refuse(option.withStatusOff, C::CLI_INVALID_OPTION)
                       : refuse(option.withoutStatus, C::CLI_OPT_RULE_ADD_ERROR_STR_MISSING_OPT);
        }
    } else if (scheduleStatus == C::CLI_RULE_SCHEDULE_STATUS_ON) {
        const std::string start = text(C::CLI_OPT_RULE_SCHEDULE_START_TIME);
        const std::string end = text(C::CLI_OPT_RULE_SCHEDULE_END_TIME);
        if (!isTimeIntervalValid(start, end))
            return refuse(C::CLI_LOG_RULE_ADD_INVALID_SCHEDULE_TIMES,
                          C::CLI_OPT_RULE_ADD_ERROR_SCHEDULE_TIME);
        int mask = 0;
        std::string days;
        // A list of separators only names no day; a schedule on no day would never match.
        if (!generateDaysMask(text(C::CLI_OPT_RULE_SCHEDULE_DAYS), mask, days) || mask == 0)
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_SCHEDULE_DAYS,
                                C::CLI_OPT_RULE_SCHEDULE_DAYS);
        const std::string offHours = text(C::CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION);
        SFwScheduleAction offHoursAction = FW_SCHEDULE_ACTION_DISABLE;
        if (offHours == C::CLI_RULE_SCHEDULE_ACTION_REVERSE)
            offHoursAction = FW_SCHEDULE_ACTION_REVERSE;
        else if (offHours != C::CLI_RULE_SCHEDULE_ACTION_DISABLE)
            return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_SCHEDULE_ACTION,
                                C::CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION);
        MatchSchedule schedule{};
        copyBounded(schedule.startTime, start);
        copyBounded(schedule.endTime, end);
        copyBounded(schedule.days, days);
        schedule.daysMask = static_cast<uint16_t>(mask);
        schedule.scheduleAction = offHoursAction;
        std::unique_ptr<SFMatch> scheduleMatch =
            newMatch(FW_MATCH_SCHEDULE, FW_ADDRESS_TYPE_INVALID);
        scheduleMatch->setSchedule(schedule);
        appendMatch(rule, std::move(scheduleMatch));
    } else {
        return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_SCHEDULE_STATUS,
                            C::CLI_OPT_RULE_SCHEDULE_STATUS);
    }

    addFlags({{C::CLI_OPT_RULE_LOCAL_TRUSTED, FW_ADDRESS_TYPE_TRUSTED,
               &C::CLI_LOG_PROCESSING_LOCAL_TRUSTED},
              {C::CLI_OPT_RULE_LOCAL_LOCAL, FW_ADDRESS_TYPE_ANY_LOCAL_IP,
               &C::CLI_LOG_PROCESSING_LOCAL_LOCAL},
              {C::CLI_OPT_RULE_LOCAL_SUBNET, FW_ADDRESS_TYPE_LOCAL_SUBNET,
               &C::CLI_LOG_PROCESSING_LOCAL_SUBNET}},
             FW_MATCH_LOCAL_IP_ADDRESS);

    refused = addAddresses(std::begin(remoteAddresses), std::end(remoteAddresses),
                           FW_MATCH_REMOTE_IP_ADDRESS);
    if (refused != SF_CLI_EXIT_SUCCESS)
        return refused;

    addFlags({{C::CLI_OPT_RULE_REMOTE_TRUSTED, FW_ADDRESS_TYPE_TRUSTED,
               &C::CLI_LOG_PROCESSING_REMOTE_TRUSTED},
              {C::CLI_OPT_RULE_REMOTE_LOCAL, FW_ADDRESS_TYPE_ANY_LOCAL_IP, nullptr},
              {C::CLI_OPT_RULE_REMOTE_SUBNET, FW_ADDRESS_TYPE_LOCAL_SUBNET,
               &C::CLI_LOG_PROCESSING_REMOTE_SUBNET}},
             FW_MATCH_REMOTE_IP_ADDRESS);

    const struct {
        const std::string& name;
        SFwMatchType kind;
        const std::string& notAllowedLog;
        const std::string& refusedLog;
    } services[] = {
        {C::CLI_OPT_RULE_LOCAL_SERVICE, FW_MATCH_LOCAL_PORT,
         C::CLI_LOG_RULE_ADD_LOCAL_SERVICE_NOT_ALLOWED, C::CLI_LOG_RULE_ADD_INVALID_LOCAL_SERVICE},
        {C::CLI_OPT_RULE_REMOTE_SERVICE, FW_MATCH_REMOTE_PORT,
         C::CLI_LOG_RULE_ADD_REMOTE_SERVICE_NOT_ALLOWED,
         C::CLI_LOG_RULE_ADD_INVALID_REMOTE_SERVICE},
    };
    for (const auto& service : services) {
        if (!given(service.name))
            continue;
        if (!servicesAllowed)
            return refuse(service.notAllowedLog, C::CLI_OPT_RULE_ADD_ERROR_SERVICE_TYPE);
        if (!getPortMatchList(text(service.name), service.kind, FW_MATCH_OP_EQUAL, rule))
            return refuseOption(service.refusedLog, service.name);
    }

    addFlags({{C::CLI_OPT_RULE_LOCAL_ANYV4, FW_ADDRESS_TYPE_ANY_IPV4_ADD, nullptr}},
             FW_MATCH_LOCAL_IP_ADDRESS);
    addFlags({{C::CLI_OPT_RULE_REMOTE_ANYV4, FW_ADDRESS_TYPE_ANY_IPV4_ADD, nullptr}},
             FW_MATCH_REMOTE_IP_ADDRESS);

    if (given(C::CLI_OPT_RULE_ICMP_TYPE)) {
        log(6, C::CLI_LOG_PROCESSING_ICMP_TYPE);
        if (!icmpTypeAllowed)
            return refuse(C::CLI_LOG_RULE_ADD_ICMP_TYPE_NOT_ALLOWED,
                          C::CLI_OPT_RULE_ADD_ERROR_ICMP_TYPE);
        const std::string type = text(C::CLI_OPT_RULE_ICMP_TYPE);
        if (type == C::CLI_ICMP_TYPE_ANY) {
            log(6, C::CLI_LOG_SETTING_ICMP_TYPE_ANY);
        } else {
            // The whole text is the number: the reader skips leading blanks, the type may not
            // have any.
            const SFCliNumber number = parseCliNumber(type);
            const bool isNumber = !type.empty() && number.status == SFCliNumberStatus::OK &&
                                  !std::isspace(static_cast<unsigned char>(type.front()));
            // A number outside the enumeration is checked as 41, the any type, which the check
            // refuses with its unknown-type line.
            const SFMsgType msgType = number.value >= 0 && number.value < FW_ICMP_ANY
                                          ? static_cast<SFMsgType>(number.value)
                                          : FW_ICMP_ANY;
            if (!isNumber || !isIcmpMsgTypeValid(msgType))
                return refuseOption(C::CLI_LOG_RULE_ADD_INVALID_ICMP_TYPE,
                                    C::CLI_OPT_RULE_ICMP_TYPE);
            rule.msgType = msgType;
        }
    }

    std::unique_ptr<SFMatch> medium = newMatch(FW_MATCH_PHYSICAL_MEDIUM, FW_ADDRESS_TYPE_INVALID);
    medium->value.intValue = FW_PHYSICAL_MEDIUM_WIRED;
    appendMatch(rule, std::move(medium));

    return commands.addModifyRule(callback, client, SF_CLI_RULE_ADD, rule)
               ? SF_CLI_EXIT_SUCCESS
               : SF_CLI_EXIT_REQUEST_FAILED;
}

} // namespace StatefulFirewall
