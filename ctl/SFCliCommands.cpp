// The command exchange and the preference, version, update and enforcement-status requests.

#include "SFCliCommands.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "ICommandFMCallback.h"
#include "ILogger.h"
#include "SFCliReplyData.h"
#include "SFCliStringConstants.h"
#include "SFResultCodes.h"
#include "SFRulesInForce.h"
#include "SFSerialization.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <iostream>
#include <iterator>

namespace StatefulFirewall {

namespace C = SFCliStringConstants;

namespace {

std::string enabledText(bool on)
{
    return on ? "enabled" : "disabled";
}

const std::string& displayText(bool on)
{
    return on ? C::CLI_ENABLED : C::CLI_DISABLED;
}

// What a failed mode switch leaves, from the SFRulesInForce value the daemon sends after its
// result; a missing or unknown value counts as nothing in force.
std::string modeNotAppliedText(bool adaptive, int state)
{
    const std::string& ending =
        state == SF_RULES_EARLIER_IN_FORCE            ? C::CLI_FW_MODE_EARLIER_IN_FORCE_END
        : state == SF_RULES_PARTLY_IN_FORCE           ? C::CLI_FW_MODE_PARTLY_IN_FORCE_END
        : state == SF_RULES_STALE_CHAINS_LINKED       ? C::CLI_FW_MODE_STALE_CHAINS_LINKED_END
        : state == SF_RULES_EARLIER_WITH_STALE_CHAINS ? C::CLI_FW_MODE_EARLIER_WITH_STALE_CHAINS_END
                                                      : C::CLI_FW_MODE_NOT_IN_FORCE_END;
    return C::CLI_FW_MODE_NOT_APPLIED_START +
           (adaptive ? C::CLI_MODE_ADAPTIVE_TEXT : C::CLI_MODE_REGULAR_TEXT) +
           C::CLI_FW_MODE_NOT_APPLIED_MIDDLE + ending;
}

// The status sentence of an SFRulesInForce value, as text and as XML; a value this tool does
// not know is said as not in force.
struct RulesSentence {
    const std::string& text;
    const std::string& xml;
};

RulesSentence rulesSentence(int state)
{
    switch (state) {
    case SF_RULES_EARLIER_IN_FORCE:
        return {C::CLI_RULES_EARLIER_IN_FORCE_TEXT, C::CLI_XML_RULES_EARLIER_IN_FORCE};
    case SF_RULES_PARTLY_IN_FORCE:
        return {C::CLI_RULES_PARTLY_IN_FORCE_TEXT, C::CLI_XML_RULES_PARTLY_IN_FORCE};
    case SF_RULES_CHANGES_NOT_APPLIED:
        return {C::CLI_RULES_CHANGES_NOT_APPLIED_TEXT, C::CLI_XML_RULES_CHANGES_NOT_APPLIED};
    case SF_RULES_DROP_POLICIES_LEFT:
        return {C::CLI_RULES_DROP_POLICIES_LEFT_TEXT, C::CLI_XML_RULES_DROP_POLICIES_LEFT};
    case SF_RULES_CHAINS_LEFT:
        return {C::CLI_RULES_CHAINS_LEFT_TEXT, C::CLI_XML_RULES_CHAINS_LEFT};
    case SF_RULES_UNLINKED_CHAINS_LEFT:
        return {C::CLI_RULES_UNLINKED_CHAINS_LEFT_TEXT, C::CLI_XML_RULES_UNLINKED_CHAINS_LEFT};
    case SF_RULES_DROP_LINE_LEFT:
        return {C::CLI_RULES_DROP_LINE_LEFT_TEXT, C::CLI_XML_RULES_DROP_LINE_LEFT};
    case SF_RULES_MARKING_LINES_LEFT:
        return {C::CLI_RULES_MARKING_LINES_LEFT_TEXT, C::CLI_XML_RULES_MARKING_LINES_LEFT};
    case SF_RULES_STALE_CHAINS_LINKED:
        return {C::CLI_RULES_STALE_CHAINS_LINKED_TEXT, C::CLI_XML_RULES_STALE_CHAINS_LINKED};
    case SF_RULES_EARLIER_WITH_STALE_CHAINS:
        return {C::CLI_RULES_EARLIER_WITH_STALE_CHAINS_TEXT, C::CLI_XML_RULES_EARLIER_WITH_STALE_CHAINS};
    default:
        return {C::CLI_RULES_NOT_IN_FORCE_TEXT, C::CLI_XML_RULES_NOT_IN_FORCE};
    }
}

// The daemon's result and, after it, what is in force (an SFRulesInForce value); a daemon of an
// earlier release sends the result alone, and state stays -1.
void readResultAndState(const ZAV::CommandResponse& response, int& result, int& state)
{
    try {
        readWideReply(response, result, state);
    } catch (const boost::archive::archive_exception&) {
        state = -1;
        readWideReply(response, result);
    }
}

// Values a disabled firewall reports while something of it is left in iptables.
bool leftInIptables(int state)
{
    return state == SF_RULES_DROP_POLICIES_LEFT || state == SF_RULES_CHAINS_LEFT ||
           state == SF_RULES_UNLINKED_CHAINS_LEFT || state == SF_RULES_DROP_LINE_LEFT ||
           state == SF_RULES_MARKING_LINES_LEFT;
}

// What a disable that left something in iptables says, by what the daemon says is left.
struct DisableLeftover {
    int state;
    const std::string& sentence;
    const char* logLine;
};

const DisableLeftover kDisableLeftovers[] = {
    {SF_RULES_DROP_POLICIES_LEFT, C::CLI_FW_ACCEPT_NOT_RESTORED_MSG,
     "Firewall was disabled but its ACCEPT policies could not be restored"},
    {SF_RULES_DROP_LINE_LEFT, C::CLI_FW_DROP_LINE_NOT_REMOVED_MSG,
     "Firewall was disabled but its DROP line could not be removed"},
    {SF_RULES_CHAINS_LEFT, C::CLI_FW_CHAINS_NOT_REMOVED_MSG,
     "Firewall was disabled but some of its chains or lines could not be removed"},
    {SF_RULES_MARKING_LINES_LEFT, C::CLI_FW_MARKING_LINES_NOT_REMOVED_MSG,
     "Firewall was disabled but some of its lines, which only log or mark, could not be removed"},
    {SF_RULES_UNLINKED_CHAINS_LEFT, C::CLI_FW_CHAINS_UNLINKED_MSG,
     "Firewall was disabled but some of its chains, which filter nothing, could not be removed"},
};

} // namespace

SFCliCommands::SFCliCommands(ZAV::ILogger& logger)
    : m_logger(logger),
      m_component("SFCliCommand"),
      m_levelNames{{5, C::CLI_LEVEL_INFO_TEXT}, {6, C::CLI_LEVEL_DEBUG_TEXT}}
{
}

void SFCliCommands::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_component, message);
}

std::string SFCliCommands::getLogLevelString(int level) const
{
    const auto found = m_levelNames.find(level);
    return found == m_levelNames.end() ? C::CLI_DISABLED : found->second;
}

void SFCliCommands::send(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                         ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client, bool sendFlag)
{
    cb.sendCommandRequest(request, response, SF_CLI_FM_ID, client, sendFlag);
}

void SFCliCommands::reportFailure(const std::string& sentence, const ZAV::CommandResponse& response,
                                  const std::string& resultPart)
{
    std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
    log(4, sentence);
    log(6, "Command Failed : completed = " + std::to_string(response.getCommandCompleted() ? 1 : 0) +
               ", Status = " + std::to_string(response.getCommandStatus() ? 1 : 0) + resultPart);
}

bool SFCliCommands::flagsSet(const ZAV::CommandResponse& response)
{
    return response.getCommandCompleted() && response.getCommandStatus();
}

bool SFCliCommands::unanswered(const ZAV::CommandResponse& response)
{
    return response.replyState() == ZAV::CommandResponse::ReplyState::Awaited;
}

void SFCliCommands::reportUnconfirmed(const std::string& change)
{
    std::cerr << C::CLI_CHANGE_UNCONFIRMED_MSG << std::endl;
    log(4, "The " + change + " was made and stored; its enforcement could not be confirmed");
}

void SFCliCommands::reportFollowup(Followup outcome, const std::string& change)
{
    // What the daemon's answer says of the change: printed, then logged after its name.
    const struct {
        Followup outcome;
        const std::string& printed;
        const char* logged;
    } answers[] = {
        {Followup::NotRewritten, C::CLI_RULES_NOT_REWRITTEN_MSG,
         " is stored and applied; writing the rule store again failed"},
        {Followup::PartlyApplied, C::CLI_CHANGE_PARTLY_APPLIED_MSG,
         " is stored and applied; rules whose iptables commands failed are not in force"},
        {Followup::StaleChainsLinked, C::CLI_CHANGE_STALE_CHAINS_LINKED_MSG,
         " is stored and applied; chains that are not in force may still be linked"},
        {Followup::NotAppliedStaleChains, C::CLI_CHANGE_NOT_APPLIED_STALE_CHAINS_MSG,
         " was stored; applying it failed and chains that are not in force may still be linked"},
        {Followup::NotApplied, C::CLI_CHANGE_NOT_APPLIED_MSG,
         " was stored; the daemon reported that applying it failed"},
    };
    for (const auto& answer : answers) {
        if (answer.outcome != outcome)
            continue;
        std::cerr << answer.printed << std::endl;
        log(4, "The " + change + answer.logged);
        return;
    }
    reportUnconfirmed(change);
}

void SFCliCommands::reportUnknown(const std::string& sentence, const std::string& change)
{
    std::cerr << sentence << std::endl;
    log(4, "No reply came to the " + change + ": whether it was made is unknown");
}

void SFCliCommands::writeXml(const boost::property_tree::ptree& tree)
{
    boost::property_tree::write_xml(
        std::cout, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));
}

bool SFCliCommands::guarded(const Guarded& texts, const std::function<bool()>& body)
{
    try {
        return body();
    } catch (const ZAV::FMPException& e) {
        std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
        log(4, "Caught FMPException - " + e.getMessage() + texts.platformSuffix);
    } catch (const boost::archive::archive_exception& e) {
        if (texts.archiveSuffix == nullptr) {
            std::cerr << C::CLI_GENERIC_EXCEPTION_MSG << std::endl;
            log(4, texts.catchAll);
            log(4, std::string("The exception said: ") + e.what());
            return false;
        }
        std::cerr << C::CLI_FMP_PARSING_EXCEPTION_MSG << std::endl;
        log(4, std::string("Caught Boost Exception - ") + e.what() + texts.archiveSuffix);
    } catch (const std::exception& e) {
        std::cerr << C::CLI_GENERIC_EXCEPTION_MSG << std::endl;
        log(4, texts.catchAll);
        log(4, std::string("The exception said: ") + e.what());
    } catch (...) {
        std::cerr << C::CLI_GENERIC_EXCEPTION_MSG << std::endl;
        log(4, texts.catchAll);
    }
    return false;
}

bool SFCliCommands::getPrefs(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to get  preferences",
                        " when retrieving preferences",
                        "Caught Unknown Exception, when communicating with FMP to read all preferences"};
    return guarded(texts, [&] {
        log(4, "Executing fw status command");
        ZAV::CommandRequest request(SF_CLI_GET_PREFS, SF_CLI_DAEMON_FM_ID);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            reportFailure("Error communicating with FMP to show preferences", response, "");
            return false;
        }
        // A reply without data shows the defaults.
        SFPrefsData prefs;
        bool rulesInForce = true;
        int state = SF_RULES_NOT_IN_FORCE;
        try {
            readWideReply(response, prefs, rulesInForce, state);
        } catch (const boost::archive::archive_exception&) {
            // A daemon of an earlier release ends its reply after the flag, or with the record.
            state = SF_RULES_NOT_IN_FORCE;
            try {
                prefs = SFPrefsData();
                readWideReply(response, prefs, rulesInForce);
            } catch (const boost::archive::archive_exception&) {
                prefs = SFPrefsData();
                rulesInForce = true;
                readWideReply(response, prefs);
            }
        }
        const bool notInForce = !rulesInForce && (prefs.m_fwEnabled || leftInIptables(state));
        const RulesSentence rules = rulesSentence(state);

        const std::string status = displayText(prefs.m_fwEnabled);
        const std::string mode =
            prefs.m_fwMode != FW_MODE_REGULAR ? C::CLI_MODE_ADAPTIVE_TEXT : C::CLI_MODE_REGULAR_TEXT;
        const std::string retain = displayText(prefs.m_retainClientRules);
        const std::string ftp = displayText(prefs.m_ftpInspection);
        const std::string level = getLogLevelString(prefs.m_logLevel);
        if (!xml) {
            const std::string& sep = C::CLI_KEY_VALUE_SEPARATOR;
            std::cout << C::CLI_PREF_STATUS_KEY << sep << status << "\n";
            if (notInForce)
                std::cout << C::CLI_PREF_RULES_KEY << sep << rules.text << "\n";
            std::cout << C::CLI_PREF_MODE_KEY << sep << mode << "\n"
                      << C::CLI_PREF_RETAIN_CLIENT_RULES_KEY << sep << retain << "\n"
                      << C::CLI_PREF_FTP_INSPECTION_KEY << sep << ftp << "\n"
                      << C::CLI_PREF_LOG_LEVEL_KEY << sep << level << std::endl;
        } else {
            log(5, "Showing preferences in xml format");
            boost::property_tree::ptree root;
            root.put(C::CLI_XML_STATUS, status);
            if (notInForce)
                root.put(C::CLI_XML_RULES, rules.xml);
            root.put(C::CLI_XML_MODE, mode);
            root.put(C::CLI_XML_RETAIN_CLIENT_RULES, retain);
            root.put(C::CLI_XML_FTP_INSPECTION, ftp);
            root.put(C::CLI_XML_LOG_LEVEL, level);
            boost::property_tree::ptree tree;
            tree.add_child(C::CLI_XML_ROOT, root);
            writeXml(tree);
        }
        log(6, "Preferences retrieved successfully.");
        return true;
    });
}

bool SFCliCommands::getIndividualPref(SFPrefType kind, SFPrefsData* out, ZAV::ICommandFMCallback& cb,
                                      ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to read preferences",
                        ", when communicating with FMP to read preferences",
                        "Caught Unknown Exception, when communicating with FMP to read preferences"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_GET_PREF_INDIVIDUAL, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        const int type = static_cast<int>(kind);
        *request.getWideOutputArchive() << type;
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            reportFailure("Error communicating with FMP to read preferences", response, "");
            return false;
        }
        // The daemon answers this command narrow, unlike the other preference commands.
        readNarrowReply(response, *out);
        if (!out->m_prefPresent || out->m_prefType != kind) {
            log(4, "Error retrieving preferences from FMP");
            return false;
        }
        log(5, "Preferences retrieved successfully.");
        return true;
    });
}

bool SFCliCommands::setIndividualPrefData(const SFPrefType& kind, const std::string& value,
                                          ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to set preference",
                        " when setting individual preferences",
                        "Caught Unknown Exception, when communicating with FMP to set the preference"};
    return guarded(texts, [&] {
        SFPrefsData prefs;
        prefs.m_prefType = kind;
        prefs.m_prefPresent = true;
        const bool on = value == "true";
        switch (kind) {
        case SF_PREF_FW_STATUS:
            log(5, "Setting Firewall state to " + enabledText(on));
            prefs.m_fwEnabled = on;
            break;
        case SF_PREF_FTP_INSPECTION:
            log(5, "Setting FTP Inspection in Firewall to " + enabledText(on));
            prefs.m_ftpInspection = on;
            break;
        case SF_PREF_FW_MODE:
            log(5, std::string("Setting Firewall mode to ") + (on ? "Adaptive" : "Regular"));
            prefs.m_fwMode = on ? FW_MODE_ADAPTIVE : FW_MODE_REGULAR;
            break;
        case SF_PREF_TRUST_LOCAL_SUBNET: {
            SFPrefsData current;
            if (getIndividualPref(kind, &current, cb, client)) {
                log(6, "Current setting of Trust Local subnet is " +
                           enabledText(current.m_trustLocalSubnet));
                if (current.m_trustLocalSubnet == on) {
                    log(6, "Not changing Trust Local subnet, as it is already " + enabledText(on));
                    return true;
                }
            }
            // An unknown current value is no reason to skip the change: the daemon itself
            // answers "already set" when nothing needed changing.
            log(6, "Setting Trust Local subnet to " + enabledText(on));
            prefs.m_trustLocalSubnet = on;
            break;
        }
        default:
            std::cerr << C::CLI_INVALID_OPTION << std::endl;
            log(4, "CLI was attempting to set an unsupported preference");
            return false;
        }

        ZAV::CommandRequest request(SF_CLI_SET_PREF_INDIVIDUAL, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << prefs;
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (unanswered(response)) {
            // The local-subnet setting is shown with the trusted networks.
            reportUnknown(kind == SF_PREF_TRUST_LOCAL_SUBNET ? C::CLI_TRUSTED_CHANGE_UNKNOWN_MSG
                                                             : C::CLI_SETTING_CHANGE_UNKNOWN_MSG,
                          "setting change");
            return false;
        }
        int result = SF_SUCCESS;
        int state = -1;
        readResultAndState(response, result, state);
        const char* sentence = "Error communicating with FMP to set preference";
        if (!flagsSet(response)) {
            reportFailure(sentence, response, "");
            return false;
        }
        if (kind == SF_PREF_FW_STATUS && on && result == SF_SYSTEM_COMMAND_FAILED) {
            std::cerr << (state == SF_RULES_PARTLY_IN_FORCE       ? C::CLI_FW_RULES_PARTLY_IN_FORCE_MSG
                          : state == SF_RULES_STALE_CHAINS_LINKED ? C::CLI_FW_STALE_CHAINS_LINKED_MSG
                                                                  : C::CLI_FW_RULES_NOT_IN_FORCE_MSG)
                      << std::endl;
            log(4, "Firewall was enabled but its rules could not be applied");
            return false;
        }
        if (kind == SF_PREF_FW_MODE && result == SF_SYSTEM_COMMAND_FAILED) {
            reportFailure(sentence, response, ", RetVal = " + std::to_string(result));
            std::cerr << modeNotAppliedText(on, state) << std::endl;
            log(4, "The firewall mode was stored but the rules in that mode could not be applied");
            return false;
        }
        if (kind == SF_PREF_FW_STATUS && !on && result == SF_SYSTEM_COMMAND_FAILED) {
            // Only the ACCEPT policies were judged by a daemon of an earlier release, which sends
            // no state; DROP policies are named only where they may stand.
            const int left = state < 0 ? SF_RULES_DROP_POLICIES_LEFT : state;
            const auto named = std::find_if(std::begin(kDisableLeftovers), std::end(kDisableLeftovers),
                                            [left](const DisableLeftover& each) { return each.state == left; });
            const bool known = named != std::end(kDisableLeftovers);
            std::cerr << (known ? named->sentence : C::CLI_FW_NOT_REMOVED_MSG) << std::endl;
            log(4, known ? named->logLine : "Firewall was disabled but removing it from iptables failed");
            return false;
        }
        // The daemon sets its status flag even when it could not write the setting, so the
        // result code decides: changed and already set are the two successes.
        if (result == SF_PREF_WRITE_FAILED) {
            std::cerr << C::CLI_SETTING_NOT_WRITTEN_MSG << std::endl;
            log(4, "The setting was not changed: the daemon could not write its settings file");
            return false;
        }
        if (result != SF_SUCCESS && result != SF_PREF_ALREADY_SET) {
            reportFailure(sentence, response, ", RetVal = " + std::to_string(result));
            // The daemon's own answer, so it is not taken for the channel's failure.
            if (result == SF_SYSTEM_COMMAND_FAILED)
                std::cerr << C::CLI_SETTING_NOT_APPLIED_MSG << std::endl;
            else
                std::cerr << C::CLI_SETTING_REFUSED_MSG << result << std::endl;
            return false;
        }
        std::cout << C::CLI_PREFS_SET_SUCCESS_MSG << std::endl;
        log(5, "Preferences was set successfully");
        if (kind == SF_PREF_TRUST_LOCAL_SUBNET) {
            const Followup update = followUpdate(SF_CLI_RULES_UPDATE, cb, client);
            if (update != Followup::Done) {
                reportFollowup(update, "setting change");
                return false;
            }
            log(6, "Ruleset was updated successfully after setting the new preference");
        }
        return true;
    });
}

SFCliCommands::Followup SFCliCommands::followUpdate(int command, ZAV::ICommandFMCallback& cb,
                                                    ZAV::IFMCommClient& client)
{
    ZAV::CommandRequest request(command, SF_CLI_DAEMON_FM_ID);
    ZAV::CommandResponse response;
    if (command == SF_CLI_RULES_UPDATE || command == SF_CLI_TRUSTED_IP_UPDATE) {
        send(request, response, cb, client, false);
    } else {
        std::cerr << "sendUpdate UpdateType " << command << " not defined" << std::endl;
        log(4, "Unsupported update type");
    }
    if (unanswered(response)) {
        log(4, "No reply came to the update " + std::to_string(command));
        return Followup::Unanswered;
    }
    int result = SF_SUCCESS;
    int state = -1;
    readResultAndState(response, result, state);
    if (flagsSet(response) && result == SF_SUCCESS) {
        log(5, "Update to Firewall was successfully sent");
        return Followup::Done;
    }
    reportFailure("Error communicating with FMP to send update", response,
                  ", RetVal = " + std::to_string(result));
    // Only a result read from the reply is the daemon's word; a reply without one (from the
    // service, or one never sent) says nothing of what the daemon did. The rule update answers
    // a failed push and a store it could not write again apart.
    if (result == SF_STORE_WRITE_FAILED && command == SF_CLI_RULES_UPDATE)
        return Followup::NotRewritten;
    if (result == SF_SYSTEM_COMMAND_FAILED && command == SF_CLI_RULES_UPDATE) {
        if (state == SF_RULES_PARTLY_IN_FORCE)
            return Followup::PartlyApplied;
        if (state == SF_RULES_STALE_CHAINS_LINKED)
            return Followup::StaleChainsLinked;
        if (state == SF_RULES_EARLIER_WITH_STALE_CHAINS)
            return Followup::NotAppliedStaleChains;
    }
    return result != SF_SUCCESS ? Followup::NotApplied : Followup::Failed;
}

bool SFCliCommands::sendUpdate(int command, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    return followUpdate(command, cb, client) == Followup::Done;
}

SFCliCommands::Enforcement SFCliCommands::getRuleEnforcementStatus(const SFRule& rule,
                                                                   ZAV::ICommandFMCallback& cb,
                                                                   ZAV::IFMCommClient& client)
{
    ZAV::CommandRequest request(SF_CLI_GET_RULE_ENFORCEMENT_STATUS, SF_CLI_DAEMON_FM_ID);
    request.setCustomDataPresent(true);
    *request.getWideOutputArchive() << rule;
    ZAV::CommandResponse response;
    send(request, response, cb, client, false);
    if (!flagsSet(response)) {
        log(4, "Error communicating with FMP to get enforcement status of the rule");
        log(6, "Command Failed : completed = " +
                   std::to_string(response.getCommandCompleted() ? 1 : 0) +
                   ",  Status = " + std::to_string(response.getCommandStatus() ? 1 : 0));
        return Enforcement::Unknown;
    }
    log(6, "FMP command to get rule enforcement status is completed");
    bool enforced = false;
    try {
        if (!readNarrowReply(response, enforced)) {
            log(4, "The enforcement status reply carried no data");
            return Enforcement::Unknown;
        }
    } catch (const boost::archive::archive_exception& e) {
        log(4, std::string("The enforcement status reply could not be read: ") + e.what());
        return Enforcement::Unknown;
    }
    return enforced ? Enforcement::Enforced : Enforcement::NotEnforced;
}

bool SFCliCommands::showVersion(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    const Guarded texts{", when communicating with FMP to show version information",
                        " when showing version information",
                        "Caught Unknown Exception, when communicating with FMP to get the version"};
    return guarded(texts, [&] {
        ZAV::CommandRequest request(SF_CLI_GET_VERSION, SF_CLI_DAEMON_FM_ID);
        request.setCustomDataPresent(false);
        ZAV::CommandResponse response;
        send(request, response, cb, client, false);
        if (!flagsSet(response)) {
            reportFailure("Error communicating with FMP to show version information", response, "");
            return false;
        }
        log(6, "Successfully read the version information");
        AboutBoxData about;
        readWideReply(response, about);
        auto entry = [&about](const std::string& key) {
            const auto found = about.m_aboutBoxDisplayContents.find(key);
            return found == about.m_aboutBoxDisplayContents.end() ? std::string() : found->second;
        };
        const std::string name = entry(C::CLI_ABOUT_NAME_ENTRY);
        const std::string version = entry(C::CLI_ABOUT_VERSION_ENTRY);
        const std::string notice = entry(C::CLI_ABOUT_COPYRIGHT_ENTRY);
        if (!xml) {
            log(5, "Showing product information in human readable format");
            std::cout << C::CLI_VERSION_NAME_KEY << C::CLI_KEY_VALUE_SEPARATOR << name << "\n"
                      << C::CLI_VERSION_VERSION_KEY << C::CLI_KEY_VALUE_SEPARATOR << version << "\n"
                      << "\n"
                      << C::CLI_COPYRIGHT_NOTICE << std::endl;
        } else {
            log(5, "Showing product information in xml format");
            boost::property_tree::ptree root;
            root.put(C::CLI_VERSION_NAME_KEY, name);
            root.put(C::CLI_VERSION_VERSION_KEY, version);
            root.put(C::CLI_VERSION_COPYRIGHT_KEY, notice);
            boost::property_tree::ptree tree;
            tree.add_child(C::CLI_XML_ROOT, root);
            writeXml(tree);
        }
        return true;
    });
}

} // namespace StatefulFirewall
