#pragma once

// The iptables driver: turns groups and rules of the rule model into chains and lines of the
// IPv4 filter table, one iptables process per command line through IHelperUtils.
//
// Ownership: the enforcement bridge owns the one driver; the logger, configuration controller
// and interface monitor are references it keeps alive; the command runner is shared.
// Thread safety: none. The chain lists and the default-drop records are unguarded, so every
// call (pushes, adaptive rebuilds, probes, FTP) must be serialised by the caller's mutex.
//
// Generations: every full push builds its chains under a fresh unique id text. Chains the driver
// created and the lines it placed into the built-in INPUT and OUTPUT are recorded and written to
// a state file, so a push that failed half-way or a daemon that died still has its leftovers
// removed by the next removal pass, also by a new process.

#include "INetfilter.h"
#include "SFIptablesUtils.h"

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class IHelperUtils;
class INwIFManager;

inline constexpr const char* SF_IPTABLES_PATH = "/opt/Varnik/kyv/fw/bin/iptables";
inline constexpr const char* SF_MODPROBE_PATH = "/sbin/modprobe";
inline constexpr const char* SF_NETFILTER_STATE_FILE = "/run/Varnik/kyv/fw/netfilter.state";
inline constexpr const char* SF_FTP_MODULE_DIR = "/sys/module/nf_conntrack_ftp";

// The top chains of a generation: these names followed by its id text. Only they are jumped to
// from the built-in INPUT and OUTPUT.
inline constexpr const char* SF_INPUT_TOP = "QTZ_INPUT";
inline constexpr const char* SF_OUTPUT_TOP = "QTZ_OUTPUT";

inline constexpr int ADAPTIVE_QUEUE_NUM = 1;
inline constexpr int BLOCK_EVENT_QUEUE_NUM = 3;
inline constexpr int ADAPTIVE_CONNECTION_MARK = 1;

// Chains of one generation that still wait for removal: the id text names its top chains.
// redirected: the redirections into its top chains were run (or may have been): only then can
// INPUT or OUTPUT lead to it.
struct SFIptablesGeneration {
    std::string uid;
    std::list<std::string> chains;
    bool redirected = true;
};

// One line placed into a built-in chain; words are everything after "-A <chain>" would go,
// so "-D <chain>" followed by them deletes exactly that line.
struct SFDefaultDropLine {
    enum Kind { MARK = 0, LOG = 1, ACTION = 2 };
    Kind kind;
    std::vector<std::string> words;
};

// What one listing of the filter table showed: the lines of INPUT and OUTPUT, each by its key
// (see SFIptables::lineKey), once per line. A listing is evidence only for what it shows: that
// many copies of a line stand at least. It never proves a line gone, since a listing may be
// cut short where nothing tells (only one without the three built-in policies, or ending inside
// a line, is known to be).
struct SFTableListing {
    std::multiset<std::string> inputLines, outputLines;
    int policies = 0; // one bit each for INPUT, FORWARD and OUTPUT
};

// The listing of one removal pass of the built-in chains' lines, taken when a line first needs
// it and shared by INPUT's and OUTPUT's lines: a deletion in one chain leaves the other's copies
// as they were listed.
struct SFPassListing {
    bool taken = false;
    bool listed = false;
    SFTableListing table;
};

// The criteria of one group or rule, collected from its matches before any line is built.
struct SFMatchCriteria {
    std::vector<std::string> localAddresses, localRanges, remoteAddresses, remoteRanges;
    std::vector<std::string> localPorts, remotePorts;
    std::vector<std::vector<std::string>> timeAlternatives;
    bool localSubnetAdded = false, remoteSubnetAdded = false, reverse = false;
    bool localPresent = false, localValid = false, remotePresent = false, remoteValid = false;
    int direction = FW_DIRECTION_EITHER; // the value of the last direction match
};

class SFIptables : public INetfilter {
public:
    // Runs no command. Loads the state file left by an earlier driver: its generations wait for
    // the next removal pass and its built-in lines for the next default-drop flush. An unreadable
    // state file is kept beside as ".corrupt".
    SFIptables(ZAV::ILogger& logger, IConfigController& configController,
               std::shared_ptr<IHelperUtils> helperUtils, INwIFManager& nwIfManager,
               std::string stateFile = SF_NETFILTER_STATE_FILE,
               std::string ftpModuleDir = SF_FTP_MODULE_DIR);
    // Runs no command: the chains stay in the kernel (and in the state file).
    ~SFIptables() override;

    SFIptables(const SFIptables&) = delete;
    SFIptables& operator=(const SFIptables&) = delete;

    // INetfilter, in its order.
    bool createNetfilterGroup(std::string group, SFwNetProtocol netProtocol,
                              SFwTransProtocol transport, SFMsgType icmpType,
                              std::list<SFMatch*> groupMatches,
                              std::vector<std::string> trusted) override;
    void deleteNetfilterGroup(std::string group, std::list<SFMatch*> groupMatches) override;
    bool addRuleToNetfilterGroup(KSFRule& rule, std::list<SFMatch*> matches, std::string group,
                                 bool primaryGroup, std::vector<std::string> trusted,
                                 SFwDirection groupDirection, unsigned short mark,
                                 bool lastRuleOfGroup) override;
    void setNetfilterPolicyToAccept(bool accept) override;
    void addRelEstRuleToNetfilter(bool ownChains) override;
    std::vector<std::string>
    getTrustedNetworkParams(std::list<SFTrustedGroupIP*> trustedNetworks) override;
    void addOrDeleteConnmarkRestoreRule(bool add) override;
    void addOrDeleteQueueGroupWithJumpRule(bool add) override;
    void addRulesToQueueGroup() override;
    void appendQueueRuleToAdaptiveGroup(std::string group) override;
    void deleteAllRulesFromAdaptiveGroup(std::string group) override;
    bool updateFtpInspectionSetting(bool enable, std::string ports) override;
    std::string getNetfilterVersion() override;
    bool isKerneltzSupportedInTimeModule() override;
    void addBlockEventChain() override;
    void addVarnikInputOutputChains(std::string uid) override;
    void deleteVarnikInputOutputChains(std::string uid) override;
    void addRedirectionRulesToInputOutputChains() override;
    void flushIptablesDefaultDropRule() override;
    void flushIptablesInPreviousPolicy() override;
    void saveIptablesChainsToPreviousPolicy() override;
    void flushIptablesInCurrentPolicy() override;
    bool hasRecordedLeftovers() override;
    LeftoverEffect leftoverEffect() override;
    void saveDefaultDropRulesToPreviousPolicy() override;
    void flushDefaultDropRulesOfPreviousPolicy() override;
    void abandonCurrentGeneration(std::string previousUid) override;
    bool hasPendingRemovals() override;
    bool earlierGenerationsLinked() override;
    bool dropPoliciesMayStand() override;
    int takeFailedCommands() override;

    // Chains and jumps (SFIptablesChains.cpp).
    bool checkChainExists(std::string chain);
    void addOrDeleteIptablesChain(bool add, std::string chain);
    std::vector<std::string> getJumpRuleInInputOrOutputToGroup(bool inbound, std::string chain);
    void deleteJumpRuleInInputOrOutputToGroup(bool inbound, std::string chain);
    void deleteAllRulesFromGroup(std::string chain);
    std::string vectorToString(std::vector<std::string> v);

    // Match translation (SFIptablesMatches.cpp). Lists passed by pointer are appended to.
    bool addIpAddressParams(SFwMatchFormat format, MatchDataType& value,
                            std::vector<std::string>* addresses, std::vector<std::string>* ranges,
                            std::vector<std::string>* trusted, bool* localSubnetAdded);
    void addPortParams(SFwMatchFormat format, MatchDataType& value,
                       std::vector<std::string>* ports);
    void addTimeParams(const MatchSchedule& schedule,
                       std::vector<std::vector<std::string>>& timeAlternatives, bool& reverse);
    std::vector<std::vector<std::string>> splitMultiPortData(bool sourcePorts,
                                                             std::vector<std::string> ports);
    std::vector<std::vector<std::string>>
    getIpAndPortParams(bool inbound, std::vector<std::string> localAddresses,
                       std::vector<std::string> remoteAddresses,
                       std::vector<std::string> localPorts, std::vector<std::string> remotePorts,
                       std::vector<std::string> localRanges,
                       std::vector<std::string> remoteRanges);
    std::vector<std::vector<std::string>>
    multiplyVectorContents(std::vector<std::vector<std::string>> a,
                           std::vector<std::vector<std::string>> b);

    // Shared by groups and rules. The first match whose operator is negated (2, 6, 8), or null:
    // the words built here have no negated form, and enforcing such a match as an equal one
    // would turn its meaning around.
    static const SFMatch* findNegatedMatch(const std::list<SFMatch*>& matches);
    // Appends the protocol words of a transport to a base line.
    enum class ProtocolWords { Known, Unknown, BadIcmpType };
    static ProtocolWords appendProtocolWords(std::vector<std::string>& baseLine, int transport,
                                             int icmpType);
    // Adds one match to the criteria; false for a match type the translation does not use.
    bool addMatchToCriteria(SFMatch& match, std::vector<std::string>& trusted,
                            SFMatchCriteria& criteria);

    // Command suffixes (SFIptablesSuffixes.cpp); lines placed into INPUT or OUTPUT are recorded.
    std::vector<std::string> getIptablesRuleActionCmdSuffix(bool inbound, bool primaryGroup,
                                                            std::string action,
                                                            std::string chain,
                                                            bool isDefaultDropRule);
    std::vector<std::string> getIptablesRuleLogCmdSuffix(bool inbound, bool primaryGroup,
                                                         std::string prefix, std::string chain,
                                                         bool isDefaultDropRule);
    std::vector<std::string> getIptablesMarkRuleCmdSuffix(std::string chainBase, bool inbound,
                                                          bool primaryGroup, unsigned short mark,
                                                          bool isDefaultDropRule);

    // One rule of a block-event chain (SFIptablesAdaptive.cpp).
    void addRuleToBlockChain(std::string chain, bool inbound, std::string protocol,
                             std::string rate, std::string hashlimitName);

    // The hash-limit rate the block-event chains use: the setting when iptables takes it,
    // else "5/hour" (logged). Hash-limit table names carry a tag of the rate, because the kernel
    // keeps the rate of the first rule that named a table.
    std::string getCheckedHashLimitRate();
    static std::string hashLimitName(const std::string& base, const std::string& rate);
    // The iptables LOG level setting when it is 0-7, else 4 (logged).
    int getCheckedLogLevel();

    // Runs one command line: the iptables program path followed by words.
    void runIptables(std::vector<std::string> words);
    // Runs a complete argument vector (program path included); a failure is counted for
    // takeFailedCommands before it is thrown.
    void runCommand(std::vector<std::string> argv);

    // Lists the filter table (iptables -S, read back through a memory file, so a table of any
    // size never blocks the program on a full pipe). False when the listing failed or is known to
    // be cut short: then it shows nothing. Not counted as a failed command.
    bool listTable(SFTableListing& listing);

    // Whether iptables' answer to a failed command (its exit status and standard error) says
    // that the one chain or line the command names does not exist: a missing line or chain
    // (status 1: "Bad rule (does a matching rule exist in that chain?)" or "No chain/target/match
    // by that name", and nothing else), or a jump whose target chain does not exist (status 2,
    // naming that chain). Any other failure proves nothing.
    static bool answersAbsent(const std::vector<std::string>& words, int status, const std::string& errorText);

    // The words of a line of INPUT or OUTPUT (what follows "-A <chain>"), as recorded or as
    // iptables lists them, in one form: the target and its options and the matches' options,
    // sorted, with the forms iptables lists in place of the ones the driver gives
    // ("--set-xmark 0x1/0xffffffff" for "--set-mark 1", a LOG line's default level left out,
    // the state names in any order), module names left out. Two lines with the same key are
    // the same line to iptables, as far as the lines the driver places go.
    static std::string lineKey(const std::vector<std::string>& words);

private:
    // Removes one generation (SFIptablesRemoval.cpp): the redirections to its top chains, then
    // flushes every chain of it before deleting any, so jumps between them never block a
    // deletion. Failures are logged and the pass goes on; returns the names that are not proved
    // gone: deleted, or answered absent by iptables. stillLinked: whether INPUT or OUTPUT may
    // still jump to one of its top chains (a redirection whose deletion failed otherwise; each
    // top chain has one redirection at most).
    std::list<std::string> removeGeneration(const SFIptablesGeneration& generation,
                                            const char* failureText, bool& stillLinked);
    // Removes every generation awaiting removal except one named inForce; keeps what is left.
    // With keepLinked, generations INPUT or OUTPUT may lead to are kept whole.
    void removePendingGenerations(const char* failureText, const std::string& inForce,
                                  bool keepLinked = false);
    // Whether a line of ours that drops (a DROP action) stays recorded in INPUT or OUTPUT:
    // while one does, the chains in front of it are all that lets anything in.
    bool droppingLineStays() const;
    // Whether INPUT or OUTPUT may still jump to a top chain of a generation awaiting removal.
    bool pendingTopChainsLinked() const;
    // Inserts the ESTABLISHED,RELATED accept line at the top of INPUT and OUTPUT unless it is
    // recorded there already; recorded like the other built-in lines, so the next successful
    // push and the disable remove it. Throws.
    void addFallbackPair();
    // Deletes the recorded lines [from, to) of one built-in chain, each by its own words, and
    // forgets those whose deletion ran or that iptables answered do not exist; those whose
    // deletion failed otherwise are moved to the front of the records and their count is
    // returned. Identical lines are counted, not named: where the records outside [from, to)
    // hold lines with the same words (those stay), a listing tells how many copies stand, only
    // those beyond the ones outside are deleted (iptables deletes the first copy), and the
    // records beyond what the listing shows are moved to the end, with those outside; without
    // a listing none of them is deleted.
    size_t deleteDefaultDropLines(bool input, size_t from, size_t to, SFPassListing& pass);
    // How one iptables line ended: it ran; iptables answered that the one chain or line it names
    // does not exist (see answersAbsent); it failed otherwise, which proves nothing.
    enum class Answer { Ran, Absent, Failed };
    // Runs one line whose failure may be such an answer (a check, -C); why it failed goes into
    // reason. Not counted as a failed command.
    Answer askIptables(std::vector<std::string> words, std::string& reason);
    // Runs one removal (-D, -F, -X) as askIptables does; a failure that proves nothing is logged
    // with failureText and counted as a failed command.
    Answer removeIptables(std::vector<std::string> words, const std::string& failureText);
    void recordDefaultDropLine(bool input, SFDefaultDropLine::Kind kind,
                               std::vector<std::string> words);
    void log(int level, const std::string& message);

    // State file (SFIptablesState.cpp): the pending generations, the current generation, the
    // built-in lines and the DROP policies. Written after every change; a failure to write is
    // logged, never thrown.
    void loadState();
    void saveState();

    ZAV::ILogger& m_logger;
    std::string m_moduleName;
    IConfigController& m_configController;
    std::shared_ptr<IHelperUtils> m_helperUtils;
    INwIFManager& m_nwIfManager;
    std::list<std::string> m_currentPolicyChains;
    // Every generation saved by saveIptablesChainsToPreviousPolicy (or left by an earlier
    // driver) that has not been removed completely yet, oldest first.
    std::list<SFIptablesGeneration> m_previousPolicyChains;
    // Exact words of every line placed into INPUT (OUTPUT), in placement order.
    std::vector<SFDefaultDropLine> m_inputDefaultDropLines;
    std::vector<SFDefaultDropLine> m_outputDefaultDropLines;
    // How many of the first lines above belong to earlier generations and wait until the
    // current one is in force (or, after a failed removal, for the next removal pass).
    size_t m_inputPreviousLineCount;
    size_t m_outputPreviousLineCount;
    // How many of those were left by generations before the one in force when the current try
    // started (saveDefaultDropRulesToPreviousPolicy): a try taken back leaves them leftovers.
    size_t m_inputStaleLineCount;
    size_t m_outputStaleLineCount;
    // Set when this driver (or an earlier one, says the state file) set a DROP policy on INPUT
    // (OUTPUT), cleared once an ACCEPT policy was set there.
    bool m_inputDropPolicy;
    bool m_outputDropPolicy;
    // Set once the top chains of the current id text may exist, cleared when they are removed
    // or handed to the pending generations: the state file names them only while it is set.
    bool m_currentTopChainsMayExist;
    // Set before the redirections into the current top chains run.
    bool m_currentRedirected;
    // Command lines that failed since the last takeFailedCommands.
    int m_failedCommands;
    std::string m_stateFile;
    std::string m_ftpModuleDir;
    SFIptablesUtils m_utils;
};

} // namespace StatefulFirewall
