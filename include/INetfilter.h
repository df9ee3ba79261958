#pragma once

// The iptables driver as the enforcement bridge sees it. One implementation, owned by the
// bridge. The driver holds no lock: every call must be serialised by the caller. Commands run
// one program per line through IHelperUtils; "throws" below means the runner's SFException
// (SF_SYSTEM_COMMAND_FAILED) leaves the operation at the first failing command, the commands
// already run stay in effect and nothing is rolled back. The order of the operations is part
// of the interface: libraries built apart rely on it.

#include "SFTypes.h"

#include <list>
#include <string>
#include <vector>

namespace StatefulFirewall {

class SFMatch;
class SFTrustedGroupIP;

class INetfilter {
public:
    virtual ~INetfilter() = default;

    // Creates the group's chains of the current generation and the jumps into them; false when
    // the group is refused (protocol, ICMP type, a negated match operator, an unknown direction,
    // no valid address on a side) or a command fails.
    virtual bool createNetfilterGroup(std::string group, SFwNetProtocol netProtocol,
                                      SFwTransProtocol transport, SFMsgType icmpType,
                                      std::list<SFMatch*> groupMatches,
                                      std::vector<std::string> trusted) = 0;
    // Removes the group's jumps and chains of the current generation; throws.
    virtual void deleteNetfilterGroup(std::string group, std::list<SFMatch*> groupMatches) = 0;
    // Adds the lines of one rule to its group's chains; false when the rule is refused (nothing
    // run: protocol, ICMP type, a negated match operator, direction, no valid address on a side)
    // or a line fails; an exception while the matches are walked passes to the caller.
    virtual bool addRuleToNetfilterGroup(KSFRule& rule, std::list<SFMatch*> matches,
                                         std::string group, bool primaryGroup,
                                         std::vector<std::string> trusted,
                                         SFwDirection groupDirection, unsigned short mark,
                                         bool lastRuleOfGroup) = 0;
    // Sets the policies of the built-in INPUT and OUTPUT to ACCEPT (true) or DROP; throws.
    virtual void setNetfilterPolicyToAccept(bool accept) = 0;
    // Inserts the ESTABLISHED,RELATED accept rule at the top of the generation's top chains
    // (true) or of the built-in chains (false: at most one such pair, recorded with the
    // built-in lines, so it goes with them at the next push or the disable); throws.
    virtual void addRelEstRuleToNetfilter(bool ownChains) = 0;
    // Address texts of the trusted networks in list order, skipping unknown types (logged);
    // runs nothing and does not fail.
    virtual std::vector<std::string>
    getTrustedNetworkParams(std::list<SFTrustedGroupIP*> trustedNetworks) = 0;
    // Inserts (true) or deletes the CONNMARK restore rule in both top chains; throws.
    virtual void addOrDeleteConnmarkRestoreRule(bool add) = 0;
    // Creates the queue chain with its jumps from both top chains (true), or removes the jumps,
    // then flushes and deletes the chain; throws on the jumps and chain commands.
    virtual void addOrDeleteQueueGroupWithJumpRule(bool add) = 0;
    // Inserts the mark, save-mark and queue rules into the queue chain; throws.
    virtual void addRulesToQueueGroup() = 0;
    // Appends the TCP and UDP marking rules to both chains of the adaptive group; throws.
    virtual void appendQueueRuleToAdaptiveGroup(std::string group) = 0;
    // Flushes both chains of the adaptive group; failures are logged and swallowed.
    virtual void deleteAllRulesFromAdaptiveGroup(std::string group) = 0;
    // Loads (true) or unloads the FTP connection-tracking module; true when nothing had to be
    // done or the module is now in the requested state, false otherwise (never throws).
    virtual bool updateFtpInspectionSetting(bool enable, std::string ports) = 0;
    // The trimmed version text of the iptables program; empty when it cannot be read.
    virtual std::string getNetfilterVersion() = 0;
    // True when the time match accepts --kerneltz; false when it does not or the probe fails.
    virtual bool isKerneltzSupportedInTimeModule() = 0;
    // Creates both block-event chains of the current generation with their rules; throws.
    virtual void addBlockEventChain() = 0;
    // Creates the two top chains suffixed with the given unique id text; throws.
    virtual void addVarnikInputOutputChains(std::string uid) = 0;
    // Removes the redirections to the top chains of the given id text, flushes and deletes
    // those chains; throws.
    virtual void deleteVarnikInputOutputChains(std::string uid) = 0;
    // Inserts the jumps from built-in INPUT and OUTPUT to the current top chains; throws.
    virtual void addRedirectionRulesToInputOutputChains() = 0;
    // Deletes every line recorded as placed into the built-in chains, each by its own words;
    // a line is forgotten once its deletion ran or iptables answered that it does not exist,
    // else it stays recorded (never throws).
    virtual void flushIptablesDefaultDropRule() = 0;
    // Removes every generation saved before the current one; failures are logged and the pass
    // goes on; a chain or jump is forgotten once its deletion ran or iptables answered that it
    // does not exist, else it is kept for the next pass (never throws).
    virtual void flushIptablesInPreviousPolicy() = 0;
    // Moves the current generation's chains to those awaiting removal; runs nothing.
    virtual void saveIptablesChainsToPreviousPolicy() = 0;
    // Removes the generations awaiting removal and the current one (never throws); while a
    // recorded DROP line stays in INPUT or OUTPUT, those INPUT or OUTPUT may lead to stay whole.
    virtual void flushIptablesInCurrentPolicy() = 0;
    // True while the driver knows of chains, built-in lines or DROP policies of its own in the
    // kernel, also ones an earlier process recorded in the state file; runs nothing.
    virtual bool hasRecordedLeftovers() = 0;
    // What the chains and lines hasRecordedLeftovers knows of may still do to traffic, the worst
    // that may stand (the DROP policies aside): a DROP or REJECT line in INPUT or OUTPUT; a line
    // that decides otherwise or a top chain INPUT or OUTPUT may still jump to (a jump is gone
    // once its deletion ran or iptables answered that it does not exist); lines that only log or
    // mark; chains nothing leads to; nothing. Runs nothing.
    enum class LeftoverEffect { None, Unlinked, LogsOrMarks, Filters, Drops };
    virtual LeftoverEffect leftoverEffect() = 0;
    // Hands the lines now recorded in the built-in chains to the previous generation; runs
    // nothing. Lines placed afterwards belong to the current one.
    virtual void saveDefaultDropRulesToPreviousPolicy() = 0;
    // Deletes the lines handed to the previous generation, each by its own words; a line whose
    // deletion failed and that still stands stays recorded for the next removal pass. Where the
    // current generation holds lines with the same words, only the copies a listing shows beyond
    // those are deleted, and the records beyond what it shows go with the current generation's
    // (never throws).
    virtual void flushDefaultDropRulesOfPreviousPolicy() = 0;
    // Gives up the generation being built: removes its chains with their redirections and the
    // built-in lines placed since saveDefaultDropRulesToPreviousPolicy, then makes the
    // generation saved last under previousUid (an id text as getUniqueId gives it) current
    // again, its id text set back in the settings and its built-in lines its own. What cannot
    // be removed waits for the next removal pass (never throws).
    virtual void abandonCurrentGeneration(std::string previousUid) = 0;
    // True while chains of an earlier generation or lines handed to one wait for removal;
    // runs nothing.
    virtual bool hasPendingRemovals() = 0;
    // True while INPUT or OUTPUT may still lead to something of a generation other than the
    // current one: a line handed to an earlier generation and not removed, or a top chain of a
    // generation awaiting removal whose jump neither was deleted nor answered absent by
    // iptables. Runs nothing.
    virtual bool earlierGenerationsLinked() = 0;
    // True while a DROP policy this driver, or an earlier one, set on INPUT or OUTPUT may still
    // stand: set before the DROP runs, cleared by a successful ACCEPT. Runs nothing.
    virtual bool dropPoliciesMayStand() = 0;
    // How many command lines failed since the last call, whether the failure was thrown or
    // logged and swallowed; probes whose failure is their answer (a chain's or line's
    // existence, the version, the time match) are not counted. Runs nothing.
    virtual int takeFailedCommands() = 0;
};

} // namespace StatefulFirewall
