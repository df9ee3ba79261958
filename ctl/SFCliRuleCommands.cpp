// The rule and trusted-network requests: add, read, delete and list.

#include "SFCliCommands.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "CommonFunc.h"
#include "ICommandFMCallback.h"
#include "ILogger.h"
#include "SFCheckedRead.h"
#include "SFCliColorConstants.h"
#include "SFCliStringConstants.h"
#include "SFResultCodes.h"
#include "SFSerialization.h"

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/serialization/string.hpp>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

namespace StatefulFirewall {

namespace C = SFCliStringConstants;
namespace Color = SFCliColorConstants;

namespace {

// What the rule and trusted-network operations print and log.
const char* const RULE_CREATED_DISABLED =
    "Rule was successfully created. It was not enforced as the rule is in a disabled state";
const char* const RULE_DELETED = "Successfully deleted rule";
const char* const TRUSTED_ADDED = "Trusted Network was successfully added";
const char* const TRUSTED_DELETED = "Trusted Network was successfully deleted";
// The daemon keeps a rule or trusted-network change only when its store could be written.
const char* const STORE_REFUSED =
    "The change was not made: the firewall could not write it to its store";
// A rule add is also refused so when the rule would make the rule store larger than the
// firewall reads back (too many matches); the daemon cannot say which of the two it was.
const char* const RULE_NOT_STORED =
    "The rule was not added: the firewall could not store it (its rule store could not be "
    "written, or the rule would make it larger than the firewall can read back)";
const char* const LEGEND_TITLE = "Colors used in rule and group listing";
const char* const LEGEND_ENFORCED = "An Allow Rule or a Group that was enforced successfully";
const char* const LEGEND_BLOCK = "A Block Rule that was enforced successfully";
const char* const LEGEND_NOT_ENFORCED = "A Rule or a Group that could not be enforced";
const char* const LEGEND_DISABLED = "A Rule or a Group that is disabled";
const char* const DETAILED_TITLE = "Detailed list of rules and groups";
const char* const TRUSTED_ROW_FORMAT = " %5s  %-32s \n";
const char* const TRUSTED_INDEX_HEADING = "Index";
const char* const TRUSTED_VALUE_HEADING = "Trusted networks";
const char* const TRUSTED_EMPTY = " Trusted networks list is empty";
const char* const TRUST_LOCAL_SUBNET_LABEL = "Trust local subnet: ";
const std::string TRUSTED_SEPARATOR(41, '-');
const char* const XML_GROUPS = "groups";
const char* const XML_GROUP = "group";
const char* const XML_RULE = "rule";
const char* const XML_TRUSTED_NETWORKS = "trustedNetworks";
const char* const XML_TRUSTED_NETWORK = "trustedNetwork";
const char* const XML_TRUST_LOCAL_SUBNET = "<xmlattr>.trustLocalSubnet";
const char* const XML_INDEX = "<xmlattr>.index";

std::string flagText(bool flag)
{
    return flag ? "1" : "0";
}

// "Command Failed : completed = 1, Status = 0"; the add names the flags without the comma.
std::string flagsLine(const ZAV::CommandResponse& response, const char* separator = ", ")
{
    return "Command Failed : completed = " + flagText(response.getCommandCompleted()) + separator +
           "Status = " + flagText(response.getCommandStatus());
}

// Reads the reply's values with the checking reader, which refuses counts and class ids that
// the data cannot hold instead of allocating or crashing; false (values untouched) without data.
template <class... T> bool readReply(const ZAV::CommandResponse& response, T&... values)
{
    if (!response.hasCustomData())
        return false;
    readCheckedArchive(response.getCustomData(), values...);
    return true;
}

// The column count of the terminal on standard input; 0 when it cannot be read.
int terminalColumns()
{
    winsize size{};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool isLocalSubnet(const SFTrustedGroupIP& entry)
{
    return entry.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
}

// The failure line of a change the daemon refused with result: the store's own when the store
// could not be written, since nothing was changed then.
const std::string& refusalText(int result)
{
    static const std::string storeRefused = STORE_REFUSED;
    return result == SF_STORE_WRITE_FAILED ? storeRefused : C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG;
}

} // namespace

void SFCliCommands::reportRefusal(int result)
{
    const std::string& fixed = refusalText(result);
    std::cerr << fixed << std::endl;
    // After the channel's text, the daemon's own reason, when its reply carried one.
    if (fixed != C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG || result == SF_SUCCESS)
        return;
    if (result == SF_TRUSTED_IP_REFUSED)
        std::cerr << C::CLI_TRUSTED_ALREADY_LISTED_MSG << std::endl;
    else
        std::cerr << C::CLI_CHANGE_REFUSED_MSG << result << std::endl;
}

bool SFCliCommands::sendForResult(ZAV::CommandRequest& request, const char* failure,
                                  const ChangeTexts& texts, ZAV::ICommandFMCallback& cb,
                                  ZAV::IFMCommClient& client)
{
    ZAV::CommandResponse response;
    send(request, response, cb, client, false);
    if (unanswered(response)) {
        reportUnknown(texts.unknown, "change " + std::to_string(request.getCommandId()));
        return false;
    }
    // A reply without data counts as success.
    int result = SF_SUCCESS;
    readReply(response, result);
    if (flagsSet(response) && result == SF_SUCCESS)
        return true;
    if (texts.gone != nullptr && result == texts.goneResult)
        std::cerr << *texts.gone << std::endl;
    else
        reportRefusal(result);
    log(4, failure);
    log(6, flagsLine(response) + ", RetVal = " + std::to_string(result));
    return false;
}

bool SFCliCommands::followTrustedChange(const std::string& change, ZAV::ICommandFMCallback& cb,
                                       ZAV::IFMCommClient& client)
{
    // Both are sent even when the first failed, as the rule table holds the trusted networks
    // too; after a first without reply the second could only wait for the same silent peer.
    const Followup refreshed = followUpdate(SF_CLI_TRUSTED_IP_UPDATE, cb, client);
    if (refreshed == Followup::Done)
        log(5, "Trusted Network list was successfully refreshed");
    if (refreshed == Followup::Unanswered) {
        reportUnconfirmed(change);
        return false;
    }
    const Followup updated = followUpdate(SF_CLI_RULES_UPDATE, cb, client);
    if (updated != Followup::Done) {
        reportFollowup(updated, change);
        return false;
    }
    log(5, "Ruleset was updated successfully after a Trusted Network change");
    if (refreshed == Followup::NotApplied) {
        // The change request itself was answered only once its store held it; this was a
        // second write of the same list.
        std::cerr << C::CLI_TRUSTED_NOT_REWRITTEN_MSG << std::endl;
        log(4, "The " + change + " is stored and applied; writing the trusted-network store "
                                 "again failed");
        return false;
    }
    if (refreshed != Followup::Done) {
        reportUnconfirmed(change);
        return false;
    }
    return true;
}

bool SFCliCommands::addModifyRule(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                  const int& command, const SFRule& rule)
{
    // An archive exception is reported like any other here.
    const Guarded texts{", when communicating with FMP to add a rule", nullptr,
                        "Caught Unknown Exception, when communicating with FMP to add a rule"};
    return guarded(texts, [&] {
        const int position = rule.position;
        ZAV::CommandRequest request(command, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << rule;
        GUID returnedId = rule.ruleId;
        ZAV::CommandResponse response;
        send(request, response, cb, client, true);
        if (unanswered(response)) {
            reportUnknown(C::CLI_RULE_CHANGE_UNKNOWN_MSG, "rule add");
            return false;
        }
        int result = SF_SUCCESS;
        readReply(response, returnedId, result);

        const bool status = response.getCommandStatus();
        // With the status clear only 150022 means the rule was filed (at the end of its group);
        // any other result means the daemon refused and freed it.
        if (!response.getCommandCompleted() || (!status && result != SF_RULE_POSITION_CHANGED)) {
            if (result == SF_STORE_WRITE_FAILED)
                std::cerr << RULE_NOT_STORED << std::endl;
            else
                reportRefusal(result);
            log(6, "Error communicating with FMP to add the rule");
            log(6, flagsLine(response, " ") +
                       (result != SF_SUCCESS ? ", RetVal = " + std::to_string(result) : ""));
            return false;
        }
        log(5, "New rule was added successfully");
        // The rule is filed and stored either way; a failed update still fails the command,
        // since the rule is then not in force as the table says. Only the failure is printed
        // then, with that applying it failed (the daemon said so), that enforcement failed or
        // that it could not be confirmed: no sentence that claims success, and none built from
        // a reply that did not come.
        const Followup update = followUpdate(SF_CLI_RULES_UPDATE, cb, client);
        const bool updated = update == Followup::Done;
        if (updated)
            log(5, "Ruleset was updated successfully after adding the new rule");
        if (update == Followup::Unanswered) {
            reportUnconfirmed("rule add");
            return false;
        }

        if (!rule.enabled) {
            log(5, RULE_CREATED_DISABLED);
            if (updated)
                std::cout << RULE_CREATED_DISABLED << std::endl;
            else
                reportFollowup(update, "rule add");
            return updated;
        }

        const Enforcement enforcement = getRuleEnforcementStatus(rule, cb, client);
        if (enforcement == Enforcement::Unknown) {
            reportFollowup(update, "rule add");
            return false;
        }
        const bool enforced = enforcement == Enforcement::Enforced;
        const std::string id = CommonFunc::textGUID(returnedId);
        const std::string index = std::to_string(position);
        // The client group files a rule asked for at position 0 (or below) first and one
        // asked for beyond its end last; the message tells which, since the first matching
        // rule wins.
        const std::string placed = position <= 0 ? "first" : "last";
        std::string logLine;
        std::string printed;
        if (enforced) {
            if (!status) {
                logLine = "Rule was successfully created and enforced. Incorrect rule index was "
                          "provided. Incorrect rule index was provided. It was created at " +
                          placed + " index and internal rule ID : " + id;
                printed = "Incorrect rule index provided. However, rule was successfully created "
                          "and enforced at " + placed + " index";
            } else if (position == -1) {
                logLine = "Rule was successfully created and enforced with internal rule ID : " + id;
                printed = "Rule was successfully created and enforced";
            } else {
                logLine = "Rule was successfully created and enforced at index : " + index +
                          " and internal rule ID : " + id;
                printed = "Rule was successfully created and enforced at index : " + index;
            }
        } else {
            if (!status) {
                logLine = "Rule was successfully created but enforcement failed. Incorrect rule "
                          "index was provided. It was created at " + placed +
                          " index and internal rule ID : " + id;
                printed = "Incorrect rule index provided. However, rule was successfully created "
                          "at " + placed + " index but enforcement failed";
            } else if (position == -1) {
                logLine = "Rule was successfully created  with internal rule ID : " + id +
                          " but enforcement failed.";
                printed = "Rule was successfully created but enforcement failed";
            } else {
                logLine = "Rule was successfully created at index : " + index +
                          " and internal rule ID : " + id + " but enforcement failed.";
                printed = "Rule was successfully created at index : " + index +
                          " but enforcement failed ";
            }
        }
        log(5, logLine);
        // A push linked without other rules that failed, or with chains not in force left
        // beside it, put this one in force as listed.
        const bool partly = update == Followup::PartlyApplied || update == Followup::StaleChainsLinked;
        if (updated || !enforced || partly)
            std::cout << printed << std::endl;
        // The daemon's word that the update failed outweighs a rule it calls enforced.
        if (!updated && (enforced || partly || update == Followup::NotApplied ||
                         update == Followup::NotAppliedStaleChains || update == Followup::NotRewritten))
            reportFollowup(update, "rule add");
        return enforced && updated;
    });
}

bool SFCliCommands::getAllRules(std::string groupGuid, std::vector<GUID>& ids,
                                std::vector<std::string>& names, ZAV::ICommandFMCallback& cb,
                                ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to read rules", " when reading rules",
                        "Caught Unknown Exception, when communicating with FMP to read the rules"};
    return guarded(texts, [&] {
        const std::string wanted = CommonFunc::textGUID(CommonFunc::getGUIDFromString(groupGuid));
        ZAV::CommandRequest request(SF_CLI_LIST_ALL_RULES_IN_GROUP, SF_CLI_DAEMON_FM_ID);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
            log(4, "Error communicating with FMP to get all rules");
            log(4, flagsLine(response));
            return false;
        }
        std::list<SFRuleGroup> groups;
        readReply(response, groups);
        for (const SFRuleGroup& group : groups) {
            if (CommonFunc::textGUID(group.groupId) != wanted)
                continue;
            for (const SFRule* rule : group.rules) {
                if (rule == nullptr)
                    continue;
                ids.push_back(rule->ruleId);
                names.push_back(rule->name);
                log(6, "Extracted rule uid - " + CommonFunc::textGUID(rule->ruleId) +
                           " and rule name - " + rule->name + "in the group");
            }
            break;
        }
        return true;
    });
}

bool SFCliCommands::deleteRule(std::string guid, ZAV::ICommandFMCallback& cb,
                               ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to delete a rule", nullptr,
                        "Caught Unknown Exception, when communicating with FMP to delete a rule"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_RULES_DEL, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << guid;
        const ChangeTexts texts{C::CLI_RULE_CHANGE_UNKNOWN_MSG, SF_RULE_TO_DELETE_NOT_FOUND,
                                &C::CLI_RULE_GONE_MSG};
        if (!sendForResult(request, "Error communicating with FMP to delete a rule", texts, cb,
                           client))
            return false;
        const Followup update = followUpdate(SF_CLI_RULES_UPDATE, cb, client);
        if (update == Followup::Done)
            std::cout << RULE_DELETED << std::endl;
        else
            reportFollowup(update, "rule delete");
        return update == Followup::Done;
    });
}

bool SFCliCommands::listAllRules(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to list rules", " when listing rules",
                        "Caught Unknown Exception, when listing the rules"};
    return guarded(texts, [&] {
        // The table and its colours only when both output streams reach a terminal.
        const bool colour = isatty(STDOUT_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
        const int columns = colour ? terminalColumns() : 0;
        ZAV::CommandRequest request(SF_CLI_LIST_ALL_RULES_IN_GROUP, SF_CLI_DAEMON_FM_ID);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            log(4, "Error communicating with FMP to list all rules");
            log(6, flagsLine(response));
            return false;
        }
        std::list<SFRuleGroup> groups;
        readReply(response, groups);

        if (!xml) {
            log(6, "Displaying the list of groups and rules in human readable format");
            if (colour) {
                std::cout << LEGEND_TITLE << "\n"
                          << Color::CLI_COLOR_GREEN << LEGEND_ENFORCED << "\n"
                          << Color::CLI_COLOR_RED << LEGEND_BLOCK << "\n"
                          << Color::CLI_COLOR_YELLOW << LEGEND_NOT_ENFORCED << "\n"
                          << Color::CLI_COLOR_RESET << LEGEND_DISABLED << "\n";
            } else {
                std::cout << DETAILED_TITLE << "\n";
            }
            std::cout << std::endl;
            for (const SFRuleGroup& group : groups) {
                showGroupInStdout(group, colour);
                const int count = static_cast<int>(
                    std::count_if(group.rules.begin(), group.rules.end(),
                                  [](const SFRule* rule) { return rule != nullptr; }));
                int ordinal = 0;
                for (SFRule* rule : group.rules)
                    if (rule != nullptr)
                        showRuleInStdout(rule, colour, columns, count, ++ordinal);
                std::cout << std::endl;
            }
        } else {
            log(6, "Displaying the list of groups and rules in xml format");
            // The client and the adaptive group always close the document, in that order.
            const GUID clientId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
            const GUID adaptiveId = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
            boost::property_tree::ptree clientNode;
            boost::property_tree::ptree adaptiveNode;
            boost::property_tree::ptree groupsNode;
            for (const SFRuleGroup& group : groups) {
                boost::property_tree::ptree node = getGroupNodeInXml(group);
                for (SFRule* rule : group.rules)
                    if (rule != nullptr)
                        node.add_child(XML_RULE, getRuleNodeInXml(rule));
                if (sameGuidBytes(group.groupId, clientId))
                    clientNode.swap(node);
                else if (sameGuidBytes(group.groupId, adaptiveId))
                    adaptiveNode.swap(node);
                else
                    groupsNode.add_child(XML_GROUP, node);
            }
            groupsNode.add_child(XML_GROUP, clientNode);
            groupsNode.add_child(XML_GROUP, adaptiveNode);
            boost::property_tree::ptree root;
            root.add_child(XML_GROUPS, groupsNode);
            writeXml(root);
        }
        log(5, "Listing of groups and rules completed successfully");
        return true;
    });
}

bool SFCliCommands::addToTrustedNetwork(std::list<SFTrustedGroupIP*> entries,
                                        ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{
        ", when communicating with FMP to add a Trusted Network", " when adding a Trusted Network",
        "Caught Unknown Exception, when communicating with FMP to add the Trusted Network"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_ADD_TRUSTED_GROUP_IPS, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        const std::list<SFTrustedGroupIP*>& payload = entries;
        *request.getWideOutputArchive() << payload;
        const ChangeTexts texts{C::CLI_TRUSTED_CHANGE_UNKNOWN_MSG, 0, nullptr};
        if (!sendForResult(request, "Error communicating with FMP to add the Trusted Network",
                           texts, cb, client))
            return false;
        log(5, "Trusted Network was successfully added");
        if (!followTrustedChange("trusted network add", cb, client))
            return false;
        std::cout << TRUSTED_ADDED << std::endl;
        return true;
    });
}

bool SFCliCommands::getAllTrustedNetwork(std::vector<std::string>& values,
                                         ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{
        ", when communicating with FMP to fetch Trusted Networks", " when fetching Trusted Networks",
        "Caught Unknown Exception, when communicating with FMP to list the Trusted Networks"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_LIST_ALL_TRUSTED_IPS, SF_CLI_DAEMON_FM_ID);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
            log(4, "Error communicating with FMP to fetch Trusted Networks");
            log(6, flagsLine(response));
            return false;
        }
        log(5, "Trusted Network list was successfully read");
        std::list<SFTrustedGroupIP> entries;
        readReply(response, entries);
        // The local-subnet entry is the setting, not an entry the user can address.
        for (const SFTrustedGroupIP& entry : entries)
            if (!isLocalSubnet(entry))
                values.push_back(entry.getTrustedIPValueString());
        return true;
    });
}

bool SFCliCommands::deleteFromTrustedNetwork(std::string value, ZAV::ICommandFMCallback& cb,
                                             ZAV::IFMCommClient& client)
{
    const Guarded texts{
        ", when communicating with FMP to delete a Trusted Network",
        " when deleting a Trusted Network",
        "Caught Unknown Exception, when communicating with FMP to delete a Trusted Network"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << value;
        const ChangeTexts texts{C::CLI_TRUSTED_CHANGE_UNKNOWN_MSG, SF_TRUSTED_LIST_UNCHANGED,
                                &C::CLI_TRUSTED_GONE_MSG};
        if (!sendForResult(request, "Error communicating with FMP to delete the Trusted Network",
                           texts, cb, client))
            return false;
        log(5, "Trusted Network was successfully deleted");
        if (!followTrustedChange("trusted network delete", cb, client))
            return false;
        std::cout << TRUSTED_DELETED << std::endl;
        return true;
    });
}

bool SFCliCommands::listTrustedNetwork(bool xml, ZAV::ICommandFMCallback& cb,
                                       ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to list Trusted Networks",
                        " when listing Trusted Networks",
                        "Caught Unknown Exception, when listing the Trusted Networks"};
    return guarded(texts, [&] {
        // The setting is shown empty when it cannot be read; the list is still worth showing.
        std::string trustLocal;
        SFPrefsData prefs;
        if (getIndividualPref(SF_PREF_TRUST_LOCAL_SUBNET, &prefs, cb, client)) {
            trustLocal = prefs.m_trustLocalSubnet ? C::CLI_ENABLED : C::CLI_DISABLED;
            log(6, "Current setting of Trust Local Subnet is " + trustLocal);
        }

        ZAV::CommandRequest request(SF_CLI_LIST_ALL_TRUSTED_IPS, SF_CLI_DAEMON_FM_ID);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
            log(4, "Error communicating with FMP to list Trusted Networks");
            return false;
        }
        log(6, "Successfully read the list of current Trusted Networks");
        std::list<SFTrustedGroupIP> entries;
        readReply(response, entries);

        // Numbers count only the listed entries, so they are the indexes the delete takes.
        int number = 0;
        if (!xml) {
            log(6, "Displaying the list of Trusted Networks in human readable format");
            std::cout << "\n"
                      << boost::format(TRUSTED_ROW_FORMAT) % TRUSTED_INDEX_HEADING %
                             TRUSTED_VALUE_HEADING
                      << TRUSTED_SEPARATOR << "\n";
            for (const SFTrustedGroupIP& entry : entries)
                if (!isLocalSubnet(entry))
                    std::cout << boost::format(TRUSTED_ROW_FORMAT) % ++number %
                                     entry.getTrustedIPValueString();
            if (number == 0)
                std::cout << TRUSTED_EMPTY << "\n";
            std::cout << TRUSTED_SEPARATOR << "\n\n"
                      << TRUST_LOCAL_SUBNET_LABEL << trustLocal << "\n"
                      << std::endl;
        } else {
            log(6, "Displaying the list of Trusted Networks in xml format");
            boost::property_tree::ptree networks;
            networks.put(XML_TRUST_LOCAL_SUBNET, trustLocal);
            for (const SFTrustedGroupIP& entry : entries) {
                if (isLocalSubnet(entry))
                    continue;
                boost::property_tree::ptree node(xmlSafeText(entry.getTrustedIPValueString()));
                node.put(XML_INDEX, ++number);
                networks.add_child(XML_TRUSTED_NETWORK, node);
            }
            boost::property_tree::ptree root;
            root.add_child(XML_TRUSTED_NETWORKS, networks);
            writeXml(root);
        }
        return true;
    });
}

} // namespace StatefulFirewall
