#pragma once

// The tool's request layer: builds each request, sends it through the command callback as
// framework manager 3000, judges the response and reports the outcome on the terminal and in
// the log. Every interface operation catches its exceptions and returns false on failure.
// Keeps no state between requests; one instance lives on the main thread for the whole run.
// The logger is the caller's and must outlive the object.

#include "ICliCommands.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <functional>
#include <list>
#include <map>
#include <string>

namespace ZAV {
class CommandRequest;
class CommandResponse;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class SFMatch;
class SFRuleGroup;

// Framework-manager ids on the command channel.
inline constexpr int SF_CLI_FM_ID = 3000;
inline constexpr int SF_CLI_DAEMON_FM_ID = 7000;
inline constexpr int SF_CLI_SERVICE_FM_ID = 1;

// Command ids the tool sends.
inline constexpr int SF_CLI_GET_PREFS = 100000;
inline constexpr int SF_CLI_SET_PREF_INDIVIDUAL = 100003;
inline constexpr int SF_CLI_GET_PREF_INDIVIDUAL = 100004;
inline constexpr int SF_CLI_RULE_ADD = 100006;
inline constexpr int SF_CLI_RULES_DEL = 100007;
inline constexpr int SF_CLI_LIST_ALL_RULES_IN_GROUP = 100015;
inline constexpr int SF_CLI_RULES_UPDATE = 100017;
inline constexpr int SF_CLI_ADD_TRUSTED_GROUP_IPS = 100019;
inline constexpr int SF_CLI_DELETE_TRUSTED_IP_SINGLE_OR_ALL = 100020;
inline constexpr int SF_CLI_LIST_ALL_TRUSTED_IPS = 100021;
inline constexpr int SF_CLI_TRUSTED_IP_UPDATE = 100022;
inline constexpr int SF_CLI_GET_VERSION = 100038;
inline constexpr int SF_CLI_GET_RULE_ENFORCEMENT_STATUS = 100039;
inline constexpr int SF_CLI_GET_LOG_SETTINGS = 100040;
inline constexpr int SF_CLI_SET_PRODUCT_LOG_CONFIG = 100041;
inline constexpr int SF_CLI_SET_DEBUG_LOG_CONFIG = 100042;
inline constexpr int SF_CLI_SET_USE_SYSLOG_CONFIG = 100043;
inline constexpr int SF_CLI_SET_PRODUCT_LOG_SIZE = 100044;
inline constexpr int ZAV_SET_MAX_PRODUCT_LOG_SIZE = 1002;
inline constexpr int ZAV_SET_PRODUCT_LOG_CONFIG = 1003;
inline constexpr int ZAV_SET_DEBUG_LOG_CONFIG = 1004;
inline constexpr int ZAV_SET_USE_SYSLOG_CONFIG = 1005;

class SFCliCommands : public ICliCommands {
public:
    explicit SFCliCommands(ZAV::ILogger& logger);

    bool showVersion(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool getPrefs(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool setIndividualPrefData(const SFPrefType& kind, const std::string& value,
                               ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool getIndividualPref(SFPrefType kind, SFPrefsData* out, ZAV::ICommandFMCallback& cb,
                           ZAV::IFMCommClient& client) override;
    bool addModifyRule(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client, const int& command,
                       const SFRule& rule) override;
    bool getAllRules(std::string groupGuid, std::vector<GUID>& ids, std::vector<std::string>& names,
                     ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool deleteRule(std::string guid, ZAV::ICommandFMCallback& cb,
                    ZAV::IFMCommClient& client) override;
    bool listAllRules(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool addToTrustedNetwork(std::list<SFTrustedGroupIP*> entries, ZAV::ICommandFMCallback& cb,
                             ZAV::IFMCommClient& client) override;
    bool getAllTrustedNetwork(std::vector<std::string>& values, ZAV::ICommandFMCallback& cb,
                              ZAV::IFMCommClient& client) override;
    bool deleteFromTrustedNetwork(std::string value, ZAV::ICommandFMCallback& cb,
                                  ZAV::IFMCommClient& client) override;
    bool listTrustedNetwork(bool xml, ZAV::ICommandFMCallback& cb,
                            ZAV::IFMCommClient& client) override;
    bool getLogSettings(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) override;
    bool setZAVProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                bool on) override;
    bool setFWProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                               bool on) override;
    bool setZAVDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                              bool on) override;
    bool setFWDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                             bool on) override;
    bool setZAVUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                               bool on) override;
    bool setFWUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                              bool on) override;
    bool setZAVMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                 int megabytes) override;
    bool setMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                              int megabytes) override;

    // How an update that follows an acknowledged change ended.
    enum class Followup {
        Done,       // the daemon reported success
        NotApplied, // the daemon answered with a failure result: the change stays stored only
        PartlyApplied, // applied, but without the rules whose iptables commands failed
        StaleChainsLinked, // applied, but chains not in force may still be linked beside it
        NotAppliedStaleChains, // as NotApplied, and chains not in force may still be linked
        NotRewritten, // the rules were applied, but writing the rule store again failed
        Failed,     // the request could not go, or its reply carried no result of the daemon's
        Unanswered, // sent, and no reply came: whether the daemon applied it is unknown
    };
    // Has the daemon apply and store the rule table (100017) or the trusted networks (100022).
    // Prints "FMP communication error" when it failed, nothing when no reply came (the caller
    // says what that means for its change). Archive and platform exceptions reach the caller.
    Followup followUpdate(int command, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client);
    // True when followUpdate is Done.
    bool sendUpdate(int command, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client);

    enum class Enforcement { Enforced, NotEnforced, Unknown };
    // The rule's enforced flag as the daemon reports it; Unknown, with nothing printed, when the
    // reply did not come, failed or could not be read. Platform exceptions reach the caller.
    Enforcement getRuleEnforcementStatus(const SFRule& rule, ZAV::ICommandFMCallback& cb,
                                         ZAV::IFMCommClient& client);

    // Text listing. The ellipsis cut: a text longer than 3 characters and than width becomes
    // its first width characters with the last three replaced by "...".
    std::string getEllipsisFromString(std::string text, int width);
    std::string getCliDirectionString(std::string directionName);
    std::string getCliActionString(SFwActionType action);
    std::string getLogLevelString(int level) const;
    // The thirteen display keys (srcType, srcIp, ... schedOffHrAction) of a match list.
    std::map<std::string, std::string> getRuleOrGroupMatchDetails(const std::list<SFMatch*>& matches);
    // The prefix the iptables driver gives the rule's LOG lines; "" when it logs nothing.
    std::string getRuleLogPrefixString(bool logEnabled, std::string ruleName, SFwActionType action,
                                       const std::list<SFMatch*>& matches);
    // table: the coloured table form (a terminal), else the detailed form.
    void showGroupInStdout(const SFRuleGroup& group, bool table);
    // columns: the terminal width (0 in the detailed form); rulesInGroup: the group's rule
    // count; ordinal: the rule's 1-based place in the listing of its group, which decides
    // where the table frame opens and closes (positions are 1..n only in the client group).
    void showRuleInStdout(SFRule* rule, bool table, int columns, int rulesInGroup, int ordinal);

    // XML listing: the attributes of one group element and the attributes and children of
    // one rule element. Characters XML 1.0 forbids become "?" so the document stays
    // well-formed.
    boost::property_tree::ptree getGroupNodeInXml(const SFRuleGroup& group);
    boost::property_tree::ptree getRuleNodeInXml(SFRule* rule);
    // The text with every control byte but tab, line feed and carriage return, every U+FFFE
    // and U+FFFF and every byte outside a well-formed UTF-8 sequence replaced by "?": the XML
    // writer escapes markup characters but passes these, which no XML 1.0 document may hold.
    // For every value put into a listing document.
    static std::string xmlSafeText(std::string text);
    // The text with every C0 control byte, DEL and C1 control (U+0080..U+009F, or a lone byte
    // 0x80..0x9F outside UTF-8) replaced by "?", so a name shown on a terminal cannot drive it.
    // For every value from outside that the text listings print.
    static std::string terminalSafeText(const std::string& text);

private:
    // Texts of a guarded operation's exception reports.
    struct Guarded {
        const char* platformSuffix;
        const char* archiveSuffix; // null: archive exceptions are reported as unknown ones
        const char* catchAll;
    };
    struct LogSetter;

    void log(int level, const std::string& message);
    void send(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
              ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client, bool sendFlag);
    // The report of a failed exchange: the terminal line, the operation's sentence and the
    // flags (and the result code when the operation judges one).
    void reportFailure(const std::string& sentence, const ZAV::CommandResponse& response,
                       const std::string& resultPart);
    // Runs body, turning the platform's and the archive library's exceptions into the
    // operation's report and false. An operation without an archive suffix reports archive
    // exceptions like any other.
    bool guarded(const Guarded& texts, const std::function<bool()>& body);
    // What a change request prints when it does not succeed: when no reply came, and when the
    // daemon answers gone (the entry to delete no longer exists; 0 for none).
    struct ChangeTexts {
        const std::string& unknown;
        int goneResult;
        const std::string* gone;
    };
    // Sends a change whose reply carries an int result. True when the reply is completed with
    // its status set and the result is 150000 (or absent); otherwise reports failure (the
    // unknown outcome when no reply came, the refusal's own sentence for the store and for
    // gone, else the daemon's reason after the channel's text) and the flags and returns false.
    bool sendForResult(ZAV::CommandRequest& request, const char* failure, const ChangeTexts& texts,
                       ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client);
    // The trusted-network refresh (100022) and rule update (100017) after an acknowledged
    // trusted-network change; true when both succeeded, else reports what failed.
    bool followTrustedChange(const std::string& change, ZAV::ICommandFMCallback& cb,
                             ZAV::IFMCommClient& client);
    // The request was sent and its reply did not come.
    static bool unanswered(const ZAV::CommandResponse& response);
    // Prints that an acknowledged change is in the store with its enforcement unconfirmed.
    void reportUnconfirmed(const std::string& change);
    // Prints what an update that did not succeed means for an acknowledged change: not applied
    // when the daemon said so, else unconfirmed.
    void reportFollowup(Followup outcome, const std::string& change);
    // Prints the refusal of a change whose reply carried result: the fixed text, and after the
    // channel's one the daemon's own reason.
    void reportRefusal(int result);
    // Prints that a change was sent and no reply came.
    void reportUnknown(const std::string& sentence, const std::string& change);
    // Completed with its status set.
    static bool flagsSet(const ZAV::CommandResponse& response);
    // One XML document on standard output: blank-indented by four, utf-8 declared.
    static void writeXml(const boost::property_tree::ptree& tree);
    bool setPlatformLog(const LogSetter& texts, int command, ZAV::ICommandFMCallback& cb,
                        ZAV::IFMCommClient& client, int value, bool isBool);
    bool setDaemonLog(const LogSetter& texts, int command, ZAV::ICommandFMCallback& cb,
                      ZAV::IFMCommClient& client, int value, bool isBool);

    ZAV::ILogger& m_logger;
    std::string m_component;
    std::map<int, std::string> m_levelNames;
};

} // namespace StatefulFirewall
