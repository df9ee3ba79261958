#include "SFCli.h"

#include "ICliCommands.h"
#include "ILogger.h"
#include "SFCliStringConstants.h"
#include "SFPrefKeys.h"

#include <functional>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <vector>

namespace StatefulFirewall {

namespace po = boost::program_options;
namespace C = SFCliStringConstants;

namespace {

// The option library's default layout: 80 columns, descriptions from column 40.
constexpr unsigned kLineLength = 80;
constexpr unsigned kMinDescriptionLength = kLineLength / 2;

enum class ValueKind { NONE, STRING, INT };

// What the second pass of a command parses.
enum class SecondPass {
    ALL_ARGUMENTS,           // the whole line against the command group
    SET_ASIDE_TO_SUB_GROUP,  // the first pass's set-aside tokens against the sub-option group
    SET_ASIDE_TO_COMMAND,    // the set-aside tokens against the command group
};

struct LogLine {
    int level;
    const char* text;
};

struct CommandSpec {
    const std::string* name;
    const std::string* help;
    ValueKind value;
    SecondPass pass;
    LogLine processing;
    LogLine passError;
    LogLine helpLine;
    bool invalidOptionOnError; // "Invalid Option" follows the library's error text
};

// The commands after --help, in the order of the "Options" group. The first one found on the
// line decides what is parsed, helped or performed.
const std::vector<CommandSpec>& commandTable()
{
    static const std::vector<CommandSpec> table = {
        {&C::CLI_FW_CMD, &C::CLI_CMD_FW_STATUS_DESC, ValueKind::STRING, SecondPass::ALL_ARGUMENTS,
         {5, C::CLI_LOG_PROCESSING_FIREWALL_STATUS_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_STATUS_COMMAND.c_str()},
         {5, C::CLI_LOG_PROCESSING_FIREWALL_STATUS_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_MODE_CMD, &C::CLI_CMD_FW_MODE_DESC, ValueKind::STRING,
         SecondPass::ALL_ARGUMENTS, {5, C::CLI_LOG_PROCESSING_FIREWALL_MODE_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_MODE_COMMAND.c_str()},
         {5, C::CLI_LOG_PROCESSING_FIREWALL_MODE_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_RULE_ADD_CMD, &C::CLI_CMD_FW_RULE_ADD_DESC, ValueKind::NONE,
         SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_FIREWALL_RULE_INSERT_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_RULE_INSERT.c_str()},
         {5, C::CLI_LOG_PROCESSING_RULES_INSERT_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_RULE_DELETE_CMD, &C::CLI_CMD_FW_RULE_DELETE_DESC, ValueKind::NONE,
         SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_FIREWALL_RULE_DELETE_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_RULE_DELETE.c_str()},
         {6, C::CLI_LOG_PROCESSING_RULES_DELETE_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_RULE_LIST_CMD, &C::CLI_CMD_FW_RULE_LIST_DESC, ValueKind::NONE,
         SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_FIREWALL_LIST_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_FIREWALL_LIST_COMMAND.c_str()},
         {6, C::CLI_LOG_PROCESSING_RULES_LIST_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_TRUSTED_NETWORK_ADD_CMD, &C::CLI_FW_TRUSTED_NETWORK_ADD_CMD_DESC,
         ValueKind::NONE, SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_ADD_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_ADD.c_str()},
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_ADD_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_TRUSTED_NETWORK_DELETE_CMD, &C::CLI_FW_TRUSTED_NETWORK_DELETE_CMD_DESC,
         ValueKind::NONE, SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_DELETE_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_DELETE.c_str()},
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_DELETE_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_TRUSTED_NETWORK_LIST_CMD, &C::CLI_FW_TRUSTED_NETWORK_LIST_CMD_DESC,
         ValueKind::NONE, SecondPass::SET_ASIDE_TO_SUB_GROUP,
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_LIST_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_TRUSTED_NETWORK_LIST.c_str()},
         {6, C::CLI_LOG_PROCESSING_TRUSTED_NETWORK_LIST_HELP_COMMAND.c_str()}, false},
        {&C::CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD, &C::CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD_DESC,
         ValueKind::STRING, SecondPass::ALL_ARGUMENTS,
         {5, C::CLI_LOG_PROCESSING_INSPECT_FTP_TRAFFIC_COMMAND.c_str()},
         {5, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_INSPECT_FTP_TRAFFIC.c_str()},
         {6, C::CLI_LOG_PROCESSING_INSPECT_FTP_TRAFFIC_HELP_COMMAND.c_str()}, true},
        {&C::CLI_FW_OPT_SET_LOG_LEVEL_CMD, &C::CLI_FW_OPT_SET_LOG_LEVEL_CMD_DESC,
         ValueKind::STRING, SecondPass::ALL_ARGUMENTS,
         {5, C::CLI_LOG_PROCESSING_SET_LOG_LEVEL_COMMAND.c_str()},
         {5, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_SET_LOG_LEVEL.c_str()},
         {6, C::CLI_LOG_PROCESSING_SET_LOG_LEVEL_HELP_COMMAND.c_str()}, true},
        {&C::CLI_VERSION, &C::CLI_VERSION_DESC, ValueKind::NONE,
         SecondPass::SET_ASIDE_TO_SUB_GROUP, {5, C::CLI_LOG_PROCESSING_VERSION_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_VERSION_COMMAND.c_str()},
         {5, C::CLI_LOG_PROCESSING_VERSION_HELP_COMMAND.c_str()}, false},
        {&C::CLI_SHOWLOGSETTINGS_CMD, &C::CLI_SHOWLOGSETTINGS_CMD_DESC, ValueKind::NONE,
         SecondPass::SET_ASIDE_TO_COMMAND,
         {5, C::CLI_LOG_PROCESSING_SHOW_LOG_SETTINGS_COMMAND.c_str()},
         {4, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_SHOW_LOG_SETTINGS.c_str()},
         {5, C::CLI_LOG_PROCESSING_SHOWS_LOG_SETTINGS_HELP_COMMAND.c_str()}, false},
        {&C::CLI_PRODUCTLOG_CMD, &C::CLI_PRODUCTLOG_CMD_DESC, ValueKind::STRING,
         SecondPass::ALL_ARGUMENTS, {5, C::CLI_LOG_PROCESSING_PRODUCT_LOG_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_PRODUCT_LOG_COMMAND.c_str()},
         {5, C::CLI_LOG_PROCESSING_PRODUCT_LOG_HELP_COMMAND.c_str()}, false},
        {&C::CLI_DEBUGLOG_CMD, &C::CLI_DEBUGLOG_CMD_DESC, ValueKind::STRING,
         SecondPass::ALL_ARGUMENTS, {5, C::CLI_LOG_PROCESSING_DEBUG_LOG_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_DEBUG_LOG_COMMAND.c_str()},
         {5, C::CLI_LOG_PROCESSING_DEBUG_LOG_HELP_COMMAND.c_str()}, false},
        {&C::CLI_USESYSLOG_CMD, &C::CLI_USESYSLOG_CMD_DESC, ValueKind::STRING,
         SecondPass::ALL_ARGUMENTS, {5, C::CLI_LOG_PROCESSING_USE_SYS_LOG_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_USE_SYS_LOG.c_str()},
         {5, C::CLI_LOG_PROCESSING_USE_SYS_LOG_HELP_COMMAND.c_str()}, false},
        {&C::CLI_SETMAXPRODUCTLOGSIZE_CMD, &C::CLI_SETMAXPRODUCTLOGSIZE_CMD_DESC, ValueKind::INT,
         SecondPass::ALL_ARGUMENTS,
         {5, C::CLI_LOG_PROCESSING_SET_MAX_PRODUCT_LOG_SIZE_COMMAND.c_str()},
         {5, C::CLI_LOG_INVALID_SYNTAX_FOR_PROCESSING_SET_MAX_PRODUCT.c_str()},
         {5, C::CLI_LOG_PROCESSING_SETMAXPRODUCTLOGSIZE_HELP_COMMAND.c_str()}, false},
    };
    return table;
}

std::unique_ptr<po::options_description> newGroup(const std::string& title)
{
    return std::make_unique<po::options_description>(title, kLineLength, kMinDescriptionLength);
}

void addRuleOptions(po::options_description& group)
{
    group.add_options()
        (C::CLI_OPT_RULE_INDEX.c_str(), po::value<int>(), C::CLI_OPT_RULE_INDEX_DESC.c_str())
        (C::CLI_OPT_RULE_NAME.c_str(), po::value<std::string>()->required(),
         C::CLI_OPT_RULE_NAME_DESC.c_str())
        (C::CLI_OPT_RULE_ACTION.c_str(), po::value<std::string>()->required(),
         C::CLI_OPT_RULE_ACTION_DESC.c_str())
        (C::CLI_OPT_RULE_DIRECTION.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_DIRECTION_DESC.c_str())
        (C::CLI_OPT_RULE_LOG.c_str(), C::CLI_OPT_RULE_LOG_DESC.c_str())
        (C::CLI_OPT_RULE_STATE.c_str(), po::value<std::string>(), C::CLI_OPT_RULE_STATE_DESC.c_str())
        (C::CLI_OPT_RULE_DESCRIPTION.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_DESCRIPTION_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_SINGLE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_LOCAL_SINGLE_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_FQDN.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_LOCAL_FQDN_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_SINGLE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_REMOTE_SINGLE_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_FQDN.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_REMOTE_FQDN_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_ANYV4.c_str(), C::CLI_OPT_RULE_LOCAL_ANYV4_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_ANYV4.c_str(), C::CLI_OPT_RULE_REMOTE_ANYV4_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_RANGE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_LOCAL_RANGE_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_RANGE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_REMOTE_RANGE_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_CIDR.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_LOCAL_CIDR_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_CIDR.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_REMOTE_CIDR_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_LOCAL.c_str(), C::CLI_OPT_RULE_LOCAL_LOCAL_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_LOCAL.c_str(), C::CLI_OPT_RULE_REMOTE_LOCAL_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_SUBNET.c_str(), C::CLI_OPT_RULE_LOCAL_SUBNET_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_SUBNET.c_str(), C::CLI_OPT_RULE_REMOTE_SUBNET_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_TRUSTED.c_str(), C::CLI_OPT_RULE_LOCAL_TRUSTED_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_TRUSTED.c_str(), C::CLI_OPT_RULE_REMOTE_TRUSTED_DESC.c_str())
        (C::CLI_OPT_RULE_PROTOCOL.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_PROTOCOL_DESC.c_str())
        (C::CLI_OPT_RULE_LOCAL_SERVICE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_LOCAL_SERVICE_DESC.c_str())
        (C::CLI_OPT_RULE_REMOTE_SERVICE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_REMOTE_SERVICE_DESC.c_str())
        (C::CLI_OPT_RULE_ICMP_TYPE.c_str(), po::value<std::string>(),
         C::CLI_OPT_RULE_ICMP_TYPE_DESC.c_str())
        (C::CLI_OPT_RULE_SCHEDULE_STATUS.c_str(),
         po::value<std::string>()->default_value(C::CLI_DEFAULT_SCHEDULE_STATUS),
         C::CLI_OPT_RULE_SCHEDULE_STATUS_DESC.c_str())
        (C::CLI_OPT_RULE_SCHEDULE_DAYS.c_str(),
         po::value<std::string>()->default_value(C::CLI_DEFAULT_SCHEDULE_DAYS),
         C::CLI_OPT_RULE_SCHEDULE_DAYS_DESC.c_str())
        (C::CLI_OPT_RULE_SCHEDULE_START_TIME.c_str(),
         po::value<std::string>()->default_value(C::CLI_DEFAULT_SCHEDULE_START_TIME),
         C::CLI_OPT_RULE_SCHEDULE_START_TIME_DESC.c_str())
        (C::CLI_OPT_RULE_SCHEDULE_END_TIME.c_str(),
         po::value<std::string>()->default_value(C::CLI_DEFAULT_SCHEDULE_END_TIME),
         C::CLI_OPT_RULE_SCHEDULE_END_TIME_DESC.c_str())
        (C::CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION.c_str(),
         po::value<std::string>()->default_value(C::CLI_DEFAULT_SCHEDULE_OFF_HOURS_ACTION),
         C::CLI_OPT_RULE_SCHEDULE_OFF_HOURS_ACTION_DESC.c_str());
}

struct CommandGroups {
    std::unique_ptr<po::options_description> command;
    std::unique_ptr<po::options_description> sub; // null for commands without sub-options
};

CommandGroups buildGroups(const CommandSpec& command)
{
    CommandGroups groups;
    groups.command = newGroup(C::CLI_GEN_DESC_TITLE);
    const std::string& name = *command.name;
    switch (command.value) {
    case ValueKind::NONE:
        groups.command->add_options()(name.c_str(), command.help->c_str());
        break;
    case ValueKind::STRING:
        groups.command->add_options()(name.c_str(), po::value<std::string>(), command.help->c_str());
        break;
    case ValueKind::INT:
        groups.command->add_options()(name.c_str(), po::value<int>(), command.help->c_str());
        break;
    }
    if (name == C::CLI_FW_CMD) {
        groups.command->add_options()(C::CLI_XML.c_str(), C::CLI_XML_DESC.c_str());
    } else if (name == C::CLI_FW_RULE_ADD_CMD) {
        groups.sub = newGroup(C::CLI_ADD_OPT_DESC_TITLE);
        addRuleOptions(*groups.sub);
    } else if (name == C::CLI_FW_RULE_DELETE_CMD) {
        groups.sub = newGroup(C::CLI_ADD_OPT_DESC_TITLE);
        groups.sub->add_options()
            (C::CLI_OPT_RULE_INDEX.c_str(), po::value<int>()->required(),
             C::CLI_OPT_RULE_INDEX_DESC.c_str())
            (C::CLI_OPT_FW_RULE_DELETE_ADAPTIVE_RULE.c_str(),
             C::CLI_OPT_FW_RULE_DELETE_ADAPTIVE_RULE_DESC.c_str())
            (C::CLI_OPT_DELETE_FORCE.c_str(), C::CLI_OPT_DELETE_FORCE_DESC.c_str());
    } else if (name == C::CLI_FW_TRUSTED_NETWORK_ADD_CMD) {
        groups.sub = newGroup(C::CLI_GEN_DESC_TITLE);
        groups.sub->add_options()
            (C::CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE.c_str(), po::value<std::string>(),
             C::CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE_DESC.c_str())
            (C::CLI_OPT_TRUSTED_NETWORK_ADD_CIDR.c_str(), po::value<std::string>(),
             C::CLI_OPT_TRUSTED_NETWORK_ADD_CIDR_DESC.c_str())
            (C::CLI_OPT_TRUSTED_NETWORK_ADD_RANGE.c_str(), po::value<std::string>(),
             C::CLI_OPT_TRUSTED_NETWORK_ADD_RANGE_DESC.c_str())
            (C::CLI_OPT_TRUSTED_NETWORK_INCLUDE_LOCAL.c_str(), po::value<std::string>(),
             C::CLI_OPT_TRUSTED_NETWORK_INCLUDE_LOCAL_DESC.c_str());
    } else if (name == C::CLI_FW_TRUSTED_NETWORK_DELETE_CMD) {
        groups.sub = newGroup(C::CLI_OPTIONAL_DESC_TITLE);
        groups.sub->add_options()
            (C::CLI_OPT_TRUSTED_NETWORK_DELETE_INDEX.c_str(), po::value<int>()->required(),
             C::CLI_OPT_TRUSTED_NETWORK_DELETE_INDEX_DESC.c_str())
            (C::CLI_OPT_DELETE_FORCE.c_str(), C::CLI_OPT_DELETE_FORCE_DESC.c_str());
    } else if (name == C::CLI_FW_RULE_LIST_CMD || name == C::CLI_FW_TRUSTED_NETWORK_LIST_CMD ||
               name == C::CLI_VERSION) {
        groups.sub = newGroup(C::CLI_OPTIONAL_DESC_TITLE);
        groups.sub->add_options()(C::CLI_XML.c_str(), C::CLI_XML_DESC.c_str());
    }
    return groups;
}

// Every printed group is followed by an empty line.
void printGroups(const CommandGroups& groups)
{
    std::cout << *groups.command << C::CLI_LOG_N.c_str();
    if (groups.sub)
        std::cout << *groups.sub << C::CLI_LOG_N.c_str();
}

} // namespace

SFCli::SFCli(ZAV::ILogger& logger)
    : m_options(C::CLI_OPTIONS_TITLE, kLineLength, kMinDescriptionLength),
      m_logger(logger),
      m_component("SFCli")
{
}

void SFCli::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_component, message);
}

void SFCli::printInvalidSyntax()
{
    std::cout << C::CLI_INVALID_SYNTAX << C::CLI_LOG_N.c_str() << m_options << C::CLI_LOG_N.c_str();
}

void SFCli::printInvalidOption()
{
    std::cout << C::CLI_INVALID_OPTION << C::CLI_LOG_N.c_str() << m_options << C::CLI_LOG_N.c_str();
}

void SFCli::initCli()
{
    // In this group every command is a bare name: its value is read by the second pass only,
    // so the first pass can tell which command the line holds whatever follows it.
    m_options.add_options()(C::CLI_HELP_CMD.c_str(), C::CLI_CMD_FW_HELP_DESC.c_str());
    for (const CommandSpec& command : commandTable())
        m_options.add_options()(command.name->c_str(), command.help->c_str());
}

int SFCli::parseAndPerformHelp(int argc, char** argv)
{
    if (argc < 2) {
        log(5, C::CLI_LOG_NO_OPTIONS_WERE_PROVIDED.c_str());
        std::cout << m_options << C::CLI_LOG_N.c_str();
        return SF_CLI_EXIT_SUCCESS;
    }

    std::vector<std::string> setAside;
    try {
        po::parsed_options first =
            po::command_line_parser(argc, argv).options(m_options).allow_unregistered().run();
        po::store(first, m_firstPass);
        setAside = po::collect_unrecognized(first.options, po::include_positional);
    } catch (const po::error&) {
        printInvalidSyntax();
        log(5, C::CLI_LOG_INVALID_SYNTAX_FOR_CLI_REFER_MAN_PAGE.c_str());
        return SF_CLI_EXIT_SYNTAX;
    }

    if (m_firstPass.count(C::CLI_HELP_CMD)) {
        log(5, C::CLI_LOG_PROCESSING_HELP_COMMAND.c_str());
        for (const CommandSpec& command : commandTable()) {
            if (m_firstPass.count(*command.name)) {
                log(command.helpLine.level, command.helpLine.text);
                printGroups(buildGroups(command));
                return SF_CLI_EXIT_SUCCESS;
            }
        }
        log(5, C::CLI_LOG_HELP_COMMAND_EXECUTED_SUCCESSFULLY.c_str());
        std::cout << m_options << C::CLI_LOG_N.c_str();
        return SF_CLI_EXIT_SUCCESS;
    }

    const CommandSpec* found = nullptr;
    for (const CommandSpec& command : commandTable()) {
        if (m_firstPass.count(*command.name)) {
            found = &command;
            break;
        }
    }
    if (found == nullptr) {
        log(5, C::CLI_LOG_NO_COMMANDS_WERE_PROVIDED_SO_HELP_COMMAND.c_str());
        std::cout << m_options << C::CLI_LOG_N.c_str();
        return SF_CLI_EXIT_SUCCESS;
    }

    log(found->processing.level, found->processing.text);
    const CommandGroups groups = buildGroups(*found);
    std::vector<std::string> unrecognised;
    try {
        po::parsed_options second =
            found->pass == SecondPass::ALL_ARGUMENTS
                ? po::command_line_parser(argc, argv).options(*groups.command).run()
                : po::command_line_parser(setAside)
                      .options(found->pass == SecondPass::SET_ASIDE_TO_SUB_GROUP ? *groups.sub
                                                                                 : *groups.command)
                      .run();
        po::store(second, m_secondPass);
        po::notify(m_secondPass);
        // Loose words only: unknown options were refused above.
        unrecognised = po::collect_unrecognized(second.options, po::include_positional);
    } catch (const po::error& e) {
        std::cout << e.what() << C::CLI_LOG_N.c_str();
        if (found->invalidOptionOnError)
            std::cout << C::CLI_INVALID_OPTION << C::CLI_LOG_N.c_str();
        log(found->passError.level, found->passError.text);
        printGroups(groups);
        return SF_CLI_EXIT_SYNTAX;
    }

    const std::string& name = *found->name;
    if (name == C::CLI_FW_TRUSTED_NETWORK_ADD_CMD && setAside.empty()) {
        log(4, C::CLI_LOG_NO_SUB_OPTION_PARAMETER_FOR_PROCESSING_TRUSTED.c_str());
        std::cout << C::CLI_INVALID_SYNTAX << C::CLI_LOG_N.c_str();
        printGroups(groups);
        return SF_CLI_EXIT_SYNTAX;
    }
    if (!unrecognised.empty()) {
        // A loose word is most often a value whose option was forgotten or a flag given a
        // value ("--log no"); carrying on without it would build a rule broader than asked.
        LogLine line{0, nullptr};
        if (name == C::CLI_FW_RULE_ADD_CMD)
            line = {4, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_RULE_INSERT.c_str()};
        else if (name == C::CLI_FW_RULE_DELETE_CMD)
            line = {4, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_RULE_DELETE.c_str()};
        else if (name == C::CLI_FW_RULE_LIST_CMD)
            line = {6, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_FIREWALL_LIST.c_str()};
        else if (name == C::CLI_FW_TRUSTED_NETWORK_ADD_CMD)
            line = {4, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_ADD.c_str()};
        else if (name == C::CLI_FW_TRUSTED_NETWORK_DELETE_CMD)
            line = {6, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_DELETE.c_str()};
        else if (name == C::CLI_FW_TRUSTED_NETWORK_LIST_CMD)
            line = {6, C::CLI_LOG_UNKNOWN_PARAMETER_FOR_PROCESSING_TRUSTED_NETWORK_LIST.c_str()};
        if (line.text != nullptr) {
            log(line.level, line.text);
            std::cout << C::CLI_INVALID_OPTION << C::CLI_LOG_N.c_str();
            printGroups(groups);
            return SF_CLI_EXIT_SYNTAX;
        }
    }

    if (m_firstPass.size() > 1) {
        printInvalidSyntax();
        log(4, C::CLI_LOG_INVALID_COMBINATION_OF_PARAMETERS_REFER_MAN_PAGE.c_str());
        return SF_CLI_EXIT_SYNTAX;
    }
    return SF_CLI_EXIT_PERFORM;
}

namespace {

int requestResult(bool ok)
{
    return ok ? SF_CLI_EXIT_SUCCESS : SF_CLI_EXIT_REQUEST_FAILED;
}

// Runs the requests in order and stops at the first that fails, so a later setting is never
// changed after an earlier one was refused.
int runInOrder(std::initializer_list<std::function<bool()>> requests)
{
    for (const auto& request : requests) {
        if (!request())
            return SF_CLI_EXIT_REQUEST_FAILED;
    }
    return SF_CLI_EXIT_SUCCESS;
}

} // namespace

int SFCli::performCli(ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                      ZAV::IFMCommClient& client)
{
    try {
        const bool xml = m_secondPass.count(C::CLI_XML) > 0;
        if (m_firstPass.count(C::CLI_HELP_CMD))
            return SF_CLI_EXIT_SUCCESS;

        auto given = [this](const std::string& name) { return m_firstPass.count(name) > 0; };
        auto text = [this](const std::string& name) {
            return m_secondPass[name].as<std::string>();
        };
        auto badValue = [this](int level, const char* line) {
            printInvalidSyntax();
            log(level, line);
            return SF_CLI_EXIT_BAD_VALUE;
        };
        auto& cb = callback;

        if (given(C::CLI_FW_CMD)) {
            const std::string value = text(C::CLI_FW_CMD);
            if (value == C::CLI_FW_STATUS) {
                log(5, C::CLI_LOG_EXECUTED_FW_STATUS_COMMAND.c_str());
                return requestResult(commands.getPrefs(xml, cb, client));
            }
            if (value == C::CLI_OPTION_ON || value == C::CLI_OPTION_OFF) {
                const bool on = value == C::CLI_OPTION_ON;
                log(5, on ? C::CLI_LOG_EXECUTED_FW_ON_COMMAND.c_str()
                       : C::CLI_LOG_EXECUTED_FW_OFF_COMMAND.c_str());
                return requestResult(commands.setIndividualPrefData(
                    SF_PREF_FW_STATUS, on ? "true" : "false", cb, client));
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_FW_COMMAND.c_str());
        }
        if (given(C::CLI_FW_MODE_CMD)) {
            const std::string value = text(C::CLI_FW_MODE_CMD);
            if (value == C::CLI_FW_MODE_REGULAR || value == C::CLI_FW_MODE_ADAPTIVE) {
                const bool adaptive = value == C::CLI_FW_MODE_ADAPTIVE;
                log(6, adaptive ? C::CLI_LOG_EXECUTED_FW_ADAPTIVE_COMMAND.c_str()
                                : C::CLI_LOG_EXECUTED_FW_REGULAR_COMMAND.c_str());
                return requestResult(commands.setIndividualPrefData(
                    SF_PREF_FW_MODE, adaptive ? "true" : "false", cb, client));
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_FW_MODE_COMMAND.c_str());
        }
        if (given(C::CLI_FW_RULE_ADD_CMD))
            return processAddActions(commands, cb, client, m_secondPass);
        if (given(C::CLI_FW_RULE_DELETE_CMD))
            return processDeleteAction(m_secondPass, commands, cb, client);
        if (given(C::CLI_FW_RULE_LIST_CMD))
            return requestResult(commands.listAllRules(xml, cb, client));
        if (given(C::CLI_FW_TRUSTED_NETWORK_ADD_CMD))
            return processTrustedNetworkAddAction(m_secondPass, commands, cb, client);
        if (given(C::CLI_FW_TRUSTED_NETWORK_DELETE_CMD))
            return processTrustedNetworkDeleteAction(m_secondPass, commands, cb, client);
        if (given(C::CLI_FW_TRUSTED_NETWORK_LIST_CMD))
            return requestResult(commands.listTrustedNetwork(xml, cb, client));
        if (given(C::CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD)) {
            const std::string value = text(C::CLI_FW_OPT_INSPECT_FTP_TRAFFIC_CMD);
            if (value == C::CLI_OPTION_ON || value == C::CLI_OPTION_OFF) {
                const bool on = value == C::CLI_OPTION_ON;
                log(5, on ? C::CLI_LOG_EXECUTED_FW_INSPECT_FTP_TRAFFIC_ON_COMMAND.c_str()
                          : C::CLI_LOG_EXECUTED_FW_INSPECT_FTP_TRAFFIC_OFF_COMMAND.c_str());
                return requestResult(commands.setIndividualPrefData(
                    SF_PREF_FTP_INSPECTION, on ? "true" : "false", cb, client));
            }
            return badValue(5, C::CLI_LOG_INVALID_SYNTAX_WITH_FW_INSPECT_FTP_TRAFFIC.c_str());
        }
        if (given(C::CLI_FW_OPT_SET_LOG_LEVEL_CMD)) {
            const std::string value = text(C::CLI_FW_OPT_SET_LOG_LEVEL_CMD);
            if (value == C::CLI_FW_OPT_LOG_LEVEL_DISABLED) {
                log(5, C::CLI_LOG_EXECUTED_FW_LOG_LEVEL_DISABLED_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVProductLogConfig(cb, client, false); },
                    [&] { return commands.setFWProductLogConfig(cb, client, false); },
                    [&] { return commands.setZAVDebugLogConfig(cb, client, false); },
                    [&] { return commands.setFWDebugLogConfig(cb, client, false); },
                });
            }
            if (value == C::CLI_FW_OPT_LOG_LEVEL_INFORMATION) {
                log(5, C::CLI_LOG_EXECUTED_FW_LOG_LEVEL_INFO_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVDebugLogConfig(cb, client, false); },
                    [&] { return commands.setFWDebugLogConfig(cb, client, false); },
                    [&] { return commands.setZAVProductLogConfig(cb, client, true); },
                    [&] { return commands.setFWProductLogConfig(cb, client, true); },
                });
            }
            if (value == C::CLI_FW_OPT_LOG_LEVEL_DEBUG) {
                log(5, C::CLI_LOG_EXECUTED_FW_LOG_LEVEL_DEBUG_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVDebugLogConfig(cb, client, true); },
                    [&] { return commands.setFWDebugLogConfig(cb, client, true); },
                });
            }
            return badValue(5, C::CLI_LOG_INVALID_SYNTAX_WITH_FW_LOG_LEVEL_COMMAND.c_str());
        }
        if (given(C::CLI_VERSION)) {
            log(5, C::CLI_LOG_CALLING_SHOW_VERSION_INFO.c_str());
            return requestResult(commands.showVersion(xml, cb, client));
        }
        if (given(C::CLI_SHOWLOGSETTINGS_CMD)) {
            log(6, C::CLI_LOG_SHOWING_LOG_SETTINGS_INFORMATION.c_str());
            return requestResult(commands.getLogSettings(cb, client));
        }
        if (given(C::CLI_PRODUCTLOG_CMD)) {
            const std::string value = text(C::CLI_PRODUCTLOG_CMD);
            if (value == C::PARAM_ENABLE || value == C::PARAM_DISABLE) {
                const bool on = value == C::PARAM_ENABLE;
                log(6, on ? C::CLI_LOG_EXECUTED_PRODUCTLOG_ENABLE_COMMAND.c_str()
                          : C::CLI_LOG_EXECUTED_PRODUCTLOG_DISABLE_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVProductLogConfig(cb, client, on); },
                    [&] { return commands.setFWProductLogConfig(cb, client, on); },
                });
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_PRODUCTLOG_COMMAND.c_str());
        }
        if (given(C::CLI_DEBUGLOG_CMD)) {
            const std::string value = text(C::CLI_DEBUGLOG_CMD);
            if (value == C::PARAM_ENABLE || value == C::PARAM_DISABLE) {
                const bool on = value == C::PARAM_ENABLE;
                log(6, on ? C::CLI_LOG_EXECUTED_DEBUGLOG_ENABLE_COMMAND.c_str()
                          : C::CLI_LOG_EXECUTED_DEBUGLOG_DISABLE_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVDebugLogConfig(cb, client, on); },
                    [&] { return commands.setFWDebugLogConfig(cb, client, on); },
                });
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_DEBUGLOG_COMMAND.c_str());
        }
        if (given(C::CLI_USESYSLOG_CMD)) {
            const std::string value = text(C::CLI_USESYSLOG_CMD);
            if (value == C::PARAM_ENABLE || value == C::PARAM_DISABLE) {
                const bool on = value == C::PARAM_ENABLE;
                log(6, on ? C::CLI_LOG_EXECUTED_USESYSLOG_ENABLE_COMMAND.c_str()
                          : C::CLI_LOG_EXECUTED_USESYSLOG_DISABLE_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVUseSysLogConfig(cb, client, on); },
                    [&] { return commands.setFWUseSysLogConfig(cb, client, on); },
                });
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_USESYSLOG_COMMAND.c_str());
        }
        if (given(C::CLI_SETMAXPRODUCTLOGSIZE_CMD)) {
            const int megabytes = m_secondPass[C::CLI_SETMAXPRODUCTLOGSIZE_CMD].as<int>();
            if (isValidLogSizeMiB(megabytes)) {
                log(6, C::CLI_LOG_EXECUTING_SETMAXPRODUCTLOGSIZE_COMMAND.c_str());
                return runInOrder({
                    [&] { return commands.setZAVMaxProductLogSize(cb, client, megabytes); },
                    [&] { return commands.setMaxProductLogSize(cb, client, megabytes); },
                });
            }
            return badValue(4, C::CLI_LOG_INVALID_SYNTAX_WITH_SETMAXPRODUCTLOGSIZE_COMMAND.c_str());
        }
        printInvalidOption();
        log(5, C::CLI_LOG_INVALID_OPTION_FOR_CLI_REFER_MAN_PAGE.c_str());
        return SF_CLI_EXIT_BAD_VALUE;
    } catch (const po::error&) {
        printInvalidSyntax();
        log(5, C::CLI_LOG_INVALID_SYNTAX_WITH_FOR_CLI_REFER_MAN.c_str());
        return SF_CLI_EXIT_SYNTAX;
    } catch (const boost::bad_any_cast& e) {
        printInvalidSyntax();
        log(5, std::string("Failure to convert parameters - ") + e.what() + ". Refer Man Page.");
        return SF_CLI_EXIT_SYNTAX;
    }
}

} // namespace StatefulFirewall
