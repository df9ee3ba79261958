#include "SFIptables.h"

#include "IConfigController.h"

#include <cstdint>
#include <cstdio>
#include <cctype>
#include <utility>

namespace StatefulFirewall {

namespace {

const char* const QUEUE_CHAIN = "QueueGroup";
const char* const DEFAULT_HASH_LIMIT_RATE = "5/hour";

} // namespace

void SFIptables::addOrDeleteConnmarkRestoreRule(bool add)
{
    const std::string uid = m_configController.getUniqueId();
    const char* verb = add ? "-I" : "-D";
    log(6, add ? "Adding restore connmark rule" : "Deleting restore connmark rule");
    log(6, "Adding / Deleting restore connmark rule from INPUT chain");
    runIptables({"-j", "CONNMARK", "--restore-mark", verb, SF_INPUT_TOP + uid});
    log(6, "Adding / Deleting restore connmark rule from OUTPUT chain");
    runIptables({"-j", "CONNMARK", "--restore-mark", verb, SF_OUTPUT_TOP + uid});
}

void SFIptables::addOrDeleteQueueGroupWithJumpRule(bool add)
{
    const std::string uid = m_configController.getUniqueId();
    const std::string queueChain = QUEUE_CHAIN + uid;
    if (add) {
        log(6, "Creating the Queue Group");
        addOrDeleteIptablesChain(true, queueChain);
    }
    const char* verb = add ? "-I" : "-D";
    const std::string mark = std::to_string(ADAPTIVE_CONNECTION_MARK);
    log(6, add ? "Adding jump rule to Queue Group" : "Deleting jump rule to Queue Group");
    log(6, "Adding / Deleting jump rule from INPUT chain");
    runIptables({"-m", "state", "--state", "ESTABLISHED,RELATED", "-m", "mark", "--mark", mark, "-j",
                 queueChain, verb, SF_INPUT_TOP + uid});
    log(6, "Adding / Deleting jump rule from OUTPUT chain");
    runIptables({"-m", "state", "--state", "ESTABLISHED,RELATED", "-m", "mark", "--mark", mark, "-j",
                 queueChain, verb, SF_OUTPUT_TOP + uid});
    if (!add) {
        log(6, "Deleting all the rules from the Queue Group");
        deleteAllRulesFromGroup(queueChain);
        log(6, "Deleting the Queue Group");
        addOrDeleteIptablesChain(false, queueChain);
    }
}

void SFIptables::addRulesToQueueGroup()
{
    // Each rule goes to the top, so they end up in the reverse order of these calls: the mark
    // is reset and saved before a packet is queued, and every marked connection is queued once.
    const std::string queueChain = QUEUE_CHAIN + m_configController.getUniqueId();
    const std::string queueNum = std::to_string(ADAPTIVE_QUEUE_NUM);
    const std::string mark = std::to_string(ADAPTIVE_CONNECTION_MARK);
    log(6, "Inserting rule for established UDP connections to jump to Userland");
    runIptables({"-p", "udp", "-m", "state", "--state", "ESTABLISHED,RELATED", "-j", "NFQUEUE",
                 "--queue-num", queueNum, "-I", queueChain});
    log(6, "Inserting rule for established TCP connections to jump to Userland");
    runIptables({"-p", "tcp", "-m", "state", "--state", "ESTABLISHED,RELATED", "--tcp-flags", "ALL",
                 "SYN,ACK", "-j", "NFQUEUE", "--queue-num", queueNum, "-I", queueChain});
    log(6, "Inserting rule to save new mark to state table for packets");
    runIptables({"-j", "CONNMARK", "--save-mark", "-I", queueChain});
    log(6, "Inserting rule to save reset adaptive mark to non-adaptive mark for all packets");
    runIptables({"-m", "mark", "--mark", mark, "-j", "MARK", "--set-mark", "0", "-I", queueChain});
}

void SFIptables::appendQueueRuleToAdaptiveGroup(std::string group)
{
    const std::string uid = m_configController.getUniqueId();
    const std::string base = m_utils.sanitizeChainName(group);
    const std::string mark = std::to_string(ADAPTIVE_CONNECTION_MARK);
    struct MarkingRule {
        std::vector<std::string> words;
        const char* what;
    };
    const MarkingRule rules[] = {
        {{"-p", "tcp", "-m", "state", "--state", "NEW", "-j", "MARK", "--set-mark", mark},
         "TCP Marking rule to"},
        {{"-p", "udp", "-m", "state", "--state", "NEW", "-j", "MARK", "--set-mark", mark},
         "UDP Marking rule to"},
        {{"-j", "CONNMARK", "--save-mark"}, "rule to save connmark to state table to"},
        {{"-m", "state", "--state", "NEW", "-j", "ACCEPT"}, "rule to accept NEW packets to"},
    };
    for (const MarkingRule& rule : rules) {
        for (bool inbound : {true, false}) {
            log(6, std::string("Adding ") + rule.what + (inbound ? " Incoming" : " Outgoing") +
                       " Adaptive Group");
            std::vector<std::string> words = rule.words;
            words.push_back("-A");
            words.push_back(base + (inbound ? "_IN" : "_OUT") + uid);
            runIptables(std::move(words));
        }
    }
}

void SFIptables::deleteAllRulesFromAdaptiveGroup(std::string group)
{
    const std::string uid = m_configController.getUniqueId();
    const std::string base = m_utils.sanitizeChainName(group);
    log(6, "Flushing input adaptive group");
    deleteAllRulesFromGroup(base + "_IN" + uid);
    log(6, "Flushing output adaptive group");
    deleteAllRulesFromGroup(base + "_OUT" + uid);
}

std::string SFIptables::getCheckedHashLimitRate()
{
    // A rate iptables and the kernel refuse would fail every push at its block-event chains, so
    // it is checked here: a positive count, optionally per (a prefix of) second, minute, hour or
    // day, no faster than 1,000,000 a second (iptables' limit) and no slower than 2 a day (the
    // kernel's: slower rates overflow its credit counter).
    const std::string rate = m_configController.getHashLimitUptoRate();
    const size_t slash = rate.find('/');
    const std::string count = rate.substr(0, slash);
    uint64_t perUnit = 0;
    bool valid = !count.empty() && count.size() <= 10;
    for (char c : count) {
        valid = valid && c >= '0' && c <= '9';
        perUnit = perUnit * 10 + static_cast<uint64_t>(c - '0');
    }
    uint64_t unitSeconds = 1;
    if (valid && slash != std::string::npos) {
        std::string unit = rate.substr(slash + 1);
        for (char& c : unit)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::pair<const char*, uint64_t> units[] = {
            {"second", 1}, {"minute", 60}, {"hour", 3600}, {"day", 86400}};
        valid = false;
        for (const auto& [name, seconds] : units) {
            if (!unit.empty() && std::string(name).compare(0, unit.size(), unit) == 0) {
                unitSeconds = seconds;
                valid = true;
            }
        }
    }
    valid = valid && perUnit > 0 && perUnit <= 1000000 * unitSeconds &&
            perUnit * (86400 / unitSeconds) >= 2;
    if (valid)
        return rate;
    log(2, "Hash limit rate \"" + rate + "\" is not a positive number with an optional /second, "
           "/minute, /hour or /day between 2/day and 1000000/second; using " +
               DEFAULT_HASH_LIMIT_RATE);
    return DEFAULT_HASH_LIMIT_RATE;
}

std::string SFIptables::hashLimitName(const std::string& base, const std::string& rate)
{
    // 32-bit FNV-1a of the rate text; its low 16 bits tag the table name.
    uint32_t hash = 2166136261u;
    for (unsigned char c : rate) {
        hash ^= c;
        hash *= 16777619u;
    }
    char tag[8];
    std::snprintf(tag, sizeof(tag), "_%04x", static_cast<unsigned>(hash & 0xFFFFu));
    return base + tag;
}

void SFIptables::addBlockEventChain()
{
    const std::string uid = m_configController.getUniqueId();
    const std::string rate = getCheckedHashLimitRate();
    for (bool inbound : {true, false}) {
        const std::string chain = std::string("QTZ_BlockEven") + (inbound ? "_IN" : "_OUT") + uid;
        const char* direction = inbound ? "in" : "out";
        addOrDeleteIptablesChain(true, chain);
        for (const char* protocol : {"tcp", "udp", "icmp", ""}) {
            const std::string base = std::string(*protocol ? protocol : "rest") + direction;
            addRuleToBlockChain(chain, inbound, protocol, rate, hashLimitName(base, rate));
            addRuleToBlockChain(chain, inbound, protocol, "", "");
        }
    }
}

void SFIptables::addRuleToBlockChain(std::string chain, bool inbound, std::string protocol,
                                     std::string rate, std::string hashlimitName)
{
    std::vector<std::string> words{"-A", chain};
    if (!protocol.empty()) {
        words.push_back("-p");
        words.push_back(protocol);
    }
    if (hashlimitName.empty()) {
        words.push_back("-j");
        words.push_back("DROP");
    } else {
        const bool withPorts = protocol == "tcp" || protocol == "udp";
        const char* mode = inbound ? (withPorts ? "srcip,dstport" : "srcip")
                                   : (withPorts ? "dstip,dstport" : "dstip");
        words.insert(words.end(), {"-m", "hashlimit", "--hashlimit-upto", rate, "--hashlimit-mode",
                                   mode, "--hashlimit-name", hashlimitName, "-j", "NFQUEUE",
                                   "--queue-num", std::to_string(BLOCK_EVENT_QUEUE_NUM)});
    }
    runIptables(std::move(words));
}

} // namespace StatefulFirewall
