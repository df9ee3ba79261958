// The trusted-network add action and the rule and trusted-network delete actions. A delete
// addresses an entry by its 1-based position in the list the user sees, resolved against the
// list fetched when the command runs, and asks for a confirmation unless --force is given.

#include "SFCli.h"

#include "CommonFunc.h"
#include "ICliCommands.h"
#include "ILogger.h"
#include "SFCliCommands.h"
#include "SFCliNumber.h"
#include "SFCliStringConstants.h"
#include "SFTrustedGroupIP.h"

#include <iostream>
#include <list>
#include <vector>

namespace StatefulFirewall {

namespace po = boost::program_options;
namespace C = SFCliStringConstants;

namespace {

void showLine(const std::string& text)
{
    std::cout << text << std::endl;
}

// Prints the question without a line break and reads one answer line. Only a whole line of
// "y" or "Y" confirms; anything else, and the end of the input, cancels.
bool confirmedOnTerminal(const std::string& subject, const std::string& name)
{
    std::cout << subject << name << C::CLI_DELETE_CONFIRM_SUFFIX << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == C::CLI_DELETE_CONFIRM_YES || answer == C::CLI_DELETE_CONFIRM_YES_UPPER;
}

std::string trustedRefusal(const std::string& option)
{
    return C::CLI_OPT_TRUSTED_NETWORK_ADD_ERROR_STR1 + option +
           C::CLI_OPT_TRUSTED_NETWORK_ADD_ERROR_STR2;
}

} // namespace

int SFCli::processTrustedNetworkAddAction(const po::variables_map& options,
                                          ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                                          ZAV::IFMCommClient& client)
{
    const auto value = [&options](const std::string& name) -> const std::string* {
        const auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second.as<std::string>();
    };
    const auto refuse = [this](const std::string& logHead, const std::string& typed,
                               const std::string& option) {
        log(4, logHead + typed + C::CLI_LOG_WAS_PROVIDED);
        showLine(trustedRefusal(option));
        return SF_CLI_EXIT_BAD_VALUE;
    };

    // One entry per command: the first of the sub-options present is used as typed, the others
    // are ignored.
    SFTrustedGroupIP entry;
    if (const std::string* single = value(C::CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE)) {
        log(5, C::CLI_LOG_TRUSTED_NETWORK_ADD_SINGLE);
        entry.type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        if (!isValidSingleIpv4(*single) || !entry.setStartIp4Address(single->c_str()))
            return refuse(C::CLI_LOG_TRUSTED_NETWORK_INVALID_IP, *single,
                          C::CLI_OPT_TRUSTED_NETWORK_ADD_SINGLE);
    } else if (const std::string* cidr = value(C::CLI_OPT_TRUSTED_NETWORK_ADD_CIDR)) {
        log(5, C::CLI_LOG_TRUSTED_NETWORK_ADD_CIDR);
        entry.type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
        std::string address;
        std::string prefix;
        // The prefix passed the check, which reads it with the same reader, so its value here is
        // the checked one; the entry keeps its low 8 bits.
        if (!splitAtFirst(*cidr, C::CLI_CIDR_DELIMITER, address, prefix) ||
            !isValidCidr(address, prefix) ||
            !entry.setCidrIPAddress(static_cast<uint8_t>(parseCliNumber(prefix).value & 0xFF),
                                    address.c_str()))
            return refuse(C::CLI_LOG_TRUSTED_NETWORK_INVALID_CIDR, *cidr,
                          C::CLI_OPT_TRUSTED_NETWORK_ADD_CIDR);
    } else if (const std::string* range = value(C::CLI_OPT_TRUSTED_NETWORK_ADD_RANGE)) {
        log(5, C::CLI_LOG_TRUSTED_NETWORK_ADD_RANGE);
        entry.type = FW_TRUSTED_ADDRESS_TYPE_IP_RANGE;
        std::string start;
        std::string end;
        if (!splitAtFirst(*range, C::CLI_RANGE_DELIMITER, start, end) ||
            !isValidIpRangev4(start, end) || !entry.setStartIp4Address(start.c_str()) ||
            !entry.setEndIp4Address(end.c_str()))
            return refuse(C::CLI_LOG_TRUSTED_NETWORK_INVALID_RANGE, *range,
                          C::CLI_OPT_TRUSTED_NETWORK_ADD_RANGE);
    } else {
        // The parse refuses the command without any sub-option, so this is --include-local.
        log(5, C::CLI_LOG_TRUSTED_NETWORK_INCLUDE_LOCAL);
        const std::string* includeLocal = value(C::CLI_OPT_TRUSTED_NETWORK_INCLUDE_LOCAL);
        if (includeLocal == nullptr ||
            (*includeLocal != C::CLI_OPTION_ON && *includeLocal != C::CLI_OPTION_OFF)) {
            printInvalidSyntax();
            log(4, C::CLI_LOG_TRUSTED_NETWORK_INCLUDE_LOCAL_INVALID);
            return SF_CLI_EXIT_BAD_VALUE;
        }
        const bool on = *includeLocal == C::CLI_OPTION_ON;
        return commands.setIndividualPrefData(SF_PREF_TRUST_LOCAL_SUBNET, on ? "true" : "false",
                                              callback, client)
                   ? SF_CLI_EXIT_SUCCESS
                   : SF_CLI_EXIT_REQUEST_FAILED;
    }

    // The request layer leaves the entries to the caller.
    const std::list<SFTrustedGroupIP*> entries = {&entry};
    return commands.addToTrustedNetwork(entries, callback, client) ? SF_CLI_EXIT_SUCCESS
                                                                   : SF_CLI_EXIT_REQUEST_FAILED;
}

int SFCli::processDeleteAction(const po::variables_map& options, ICliCommands& commands,
                               ZAV::ICommandFMCallback& callback, ZAV::IFMCommClient& client)
{
    const int index = options[C::CLI_OPT_RULE_INDEX].as<int>();
    if (index < 1) {
        log(4, C::CLI_LOG_RULE_DELETE_INVALID_INDEX);
        showLine(C::CLI_OPT_RULE_DELETE_ERROR_STR1);
        return SF_CLI_EXIT_BAD_VALUE;
    }

    std::string groupId = C::CLI_CLIENT_GROUP_ID;
    if (options.find(C::CLI_OPT_FW_RULE_DELETE_ADAPTIVE_RULE) != options.end()) {
        // In adaptive mode the daemon is still learning into the adaptive group, so its rules
        // may be deleted only in regular mode; an unknown mode cannot show that.
        SFPrefsData prefs;
        if (!commands.getIndividualPref(SF_PREF_FW_MODE, &prefs, callback, client)) {
            log(4, C::CLI_LOG_RULE_DELETE_MODE_UNKNOWN);
            showLine(C::CLI_OPT_RULE_DELETE_ERROR_MODE_UNKNOWN);
            return SF_CLI_EXIT_REQUEST_FAILED;
        }
        if (prefs.m_fwMode == FW_MODE_ADAPTIVE) {
            log(4, C::CLI_LOG_RULE_DELETE_IN_ADAPTIVE_MODE);
            showLine(C::CLI_OPT_RULE_DELETE_ERROR_STR3);
            return SF_CLI_EXIT_BAD_VALUE;
        }
        groupId = C::CLI_ADAPTIVE_GROUP_ID;
    }

    std::vector<GUID> ruleIds;
    std::vector<std::string> ruleNames;
    // A list that could not be fetched says nothing about the index: the request layer has
    // reported the failure.
    if (!commands.getAllRules(groupId, ruleIds, ruleNames, callback, client)) {
        log(4, C::CLI_LOG_RULE_DELETE_LIST_FAILED);
        return SF_CLI_EXIT_REQUEST_FAILED;
    }
    const size_t position = static_cast<size_t>(index);
    if (position > ruleIds.size() || position > ruleNames.size()) {
        log(4, C::CLI_LOG_RULE_DELETE_NOT_FOUND);
        showLine(C::CLI_OPT_RULE_DELETE_ERROR_STR2);
        return SF_CLI_EXIT_BAD_VALUE;
    }
    const GUID& ruleId = ruleIds[position - 1];
    // The name may come from a policy or the channel: it is shown, not obeyed, by the terminal.
    const std::string name = SFCliCommands::terminalSafeText(ruleNames[position - 1]);

    if (options.find(C::CLI_OPT_DELETE_FORCE) == options.end()) {
        log(5, C::CLI_LOG_RULE_DELETE_PROMPTING + name);
        if (!confirmedOnTerminal(C::CLI_RULE_DELETE_PROMPT, name)) {
            log(5, C::CLI_LOG_DELETE_CANCELLED);
            showLine(C::CLI_RULE_DELETE_CANCELLED);
            return SF_CLI_EXIT_BAD_VALUE;
        }
        log(5, C::CLI_LOG_DELETE_CONFIRMED);
    } else {
        log(5, C::CLI_LOG_RULE_DELETE_FORCED + name);
    }
    showLine(C::CLI_RULE_DELETING + name);

    // The daemon deletes by identifier, not position: a list changed since it was fetched
    // cannot make this delete another rule.
    const std::string key =
        CommonFunc::textGUID(ruleId) + C::CLI_RULE_DELETE_KEY_SEPARATOR + groupId;
    return commands.deleteRule(key, callback, client) ? SF_CLI_EXIT_SUCCESS
                                                      : SF_CLI_EXIT_REQUEST_FAILED;
}

int SFCli::processTrustedNetworkDeleteAction(const po::variables_map& options,
                                             ICliCommands& commands,
                                             ZAV::ICommandFMCallback& callback,
                                             ZAV::IFMCommClient& client)
{
    const int index = options[C::CLI_OPT_TRUSTED_NETWORK_DELETE_INDEX].as<int>();
    if (index < 1) {
        log(4, C::CLI_LOG_TRUSTED_NETWORK_DELETE_INVALID_INDEX);
        showLine(C::CLI_OPT_TRUSTED_NETWORK_DELETE_ERROR_STR1);
        return SF_CLI_EXIT_BAD_VALUE;
    }

    std::vector<std::string> entries;
    if (!commands.getAllTrustedNetwork(entries, callback, client)) {
        log(4, C::CLI_LOG_TRUSTED_NETWORK_DELETE_LIST_FAILED);
        return SF_CLI_EXIT_REQUEST_FAILED;
    }
    const size_t position = static_cast<size_t>(index);
    if (position > entries.size()) {
        log(4, C::CLI_LOG_TRUSTED_NETWORK_DELETE_NOT_FOUND);
        showLine(C::CLI_OPT_TRUSTED_NETWORK_DELETE_ERROR_STR1);
        return SF_CLI_EXIT_BAD_VALUE;
    }
    const std::string& entry = entries[position - 1];

    if (options.find(C::CLI_OPT_DELETE_FORCE) == options.end()) {
        log(5, C::CLI_LOG_TRUSTED_NETWORK_DELETE_PROMPTING);
        if (!confirmedOnTerminal(C::CLI_TRUSTED_NETWORK_DELETE_PROMPT, entry)) {
            log(5, C::CLI_LOG_DELETE_CANCELLED);
            showLine(C::CLI_TRUSTED_NETWORK_DELETE_CANCELLED);
            return SF_CLI_EXIT_BAD_VALUE;
        }
        log(5, C::CLI_LOG_DELETE_CONFIRMED);
    } else {
        log(5, C::CLI_LOG_TRUSTED_NETWORK_DELETE_FORCED + entry);
    }
    showLine(C::CLI_TRUSTED_NETWORK_DELETING + entry);

    return commands.deleteFromTrustedNetwork(entry, callback, client) ? SF_CLI_EXIT_SUCCESS
                                                                      : SF_CLI_EXIT_REQUEST_FAILED;
}

} // namespace StatefulFirewall
