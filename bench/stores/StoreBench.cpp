// Times saving and loading a rule store of 10,000 rules and a trusted store of 1,000 entries
// with the stores' own codecs and atomic file writes, against a plain reference (writing and
// reading the same bytes), median of 20 runs each.
//
//   tq-bench-stores [folder]      (default: a fresh folder under /tmp)

#include "CommonFunc.h"
#include "SFAtomicFile.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "SFStoreFile.h"
#include "SFTrustedGroupIP.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

constexpr int kRules = 10000;
constexpr int kTrusted = 1000;
constexpr int kRuns = 20;

SFMatch* match(int type, int format)
{
    auto* m = new SFMatch();
    m->matchType = type;
    m->addressType = format;
    m->matchOp = FW_MATCH_OP_EQUAL;
    return m;
}

// A realistic mix: single ports, ranges, addresses, address ranges, CIDR, a few schedules.
void fillTable(SFRuleTable& table)
{
    table.defaultGroupId = CommonFunc::getDefaultGroupID();
    table.clientGroupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    table.adaptiveGroupId = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    table.agentGroupId = CommonFunc::getYalAgentGroupID();
    table.addDefaultGroup();
    table.addClientSideGroup();
    table.addAdaptiveGroup();
    table.addYalAgentGroup();
    SFRuleGroup* client = table.findGroup(table.clientGroupId);
    std::mt19937 random(42);
    for (int n = 0; n < kRules; ++n) {
        auto* rule = new SFRule();
        rule->ruleId = CommonFunc::generateGUID();
        rule->groupId = table.clientGroupId;
        rule->name = "Rule " + std::to_string(n);
        rule->description = "benchmark rule";
        rule->enabled = true;
        rule->action = n % 3 == 0 ? FW_ACTION_BLOCK_PACKET : FW_ACTION_ALLOW;
        rule->transport = n % 2 ? FW_TRANS_PROTO_TCP : FW_TRANS_PROTO_UDP;
        rule->logEnabled = n % 4 == 0;
        rule->treatAsIntrusion = n % 10 == 0;
        SFMatch* port = match(FW_MATCH_LOCAL_PORT,
                              n % 5 ? FW_ADDRESS_TYPE_SINGLE : FW_ADDRESS_TYPE_PORT_RANGE);
        port->setPortNumber(static_cast<uint16_t>(1 + random() % 60000), 61000);
        rule->matches.push_back(port);
        const std::string address = "10." + std::to_string(n % 250) + "." +
                                    std::to_string(random() % 250) + ".1";
        switch (n % 3) {
        case 0: {
            SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE);
            m->setStartIp4Address(address.c_str());
            rule->matches.push_back(m);
            break;
        }
        case 1: {
            SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_IP_RANGE);
            m->setStartIp4Address(address.c_str());
            m->setEndIp4Address("10.255.255.254");
            rule->matches.push_back(m);
            break;
        }
        default: {
            SFMatch* m = match(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_CIDR);
            m->setCidrIPAddress(24, address.c_str());
            rule->matches.push_back(m);
        }
        }
        if (n % 50 == 0) {
            SFMatch* m = match(FW_MATCH_SCHEDULE, FW_ADDRESS_TYPE_INVALID);
            MatchSchedule schedule{};
            std::snprintf(schedule.startTime, sizeof(schedule.startTime), "08:00");
            std::snprintf(schedule.endTime, sizeof(schedule.endTime), "17:30");
            std::snprintf(schedule.days, sizeof(schedule.days), "Mon,Tue,Wed,Thu,Fri,");
            schedule.daysMask = 62;
            m->setSchedule(schedule);
            rule->matches.push_back(m);
        }
        client->rules.push_back(rule);
    }
    client->updateAllRuleIndex();
}

double medianMs(const std::function<void()>& work)
{
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        times.push_back(std::chrono::duration<double, std::milli>(elapsed).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void row(const char* what, double ms, double referenceMs, size_t bytes)
{
    std::printf("%-26s %10.2f ms %10.2f ms %8.1fx %10zu\n", what, ms, referenceMs,
                ms / referenceMs, bytes);
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
    } else {
        char pattern[] = "/tmp/tq-bench.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        folder = pattern;
    }
    const std::string rulePath = folder + "/rule-store.data";
    const std::string trustedPath = folder + "/trustedip-store.data";

    SFRuleTable table;
    fillTable(table);
    std::list<SFTrustedGroupIP*> trusted;
    for (int n = 0; n < kTrusted; ++n) {
        auto* entry = new SFTrustedGroupIP();
        entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        const std::string address =
            "192.168." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
        entry->setStartIp4Address(address.c_str());
        trusted.push_back(entry);
    }

    std::string error;
    const std::string ruleBytes = encodeRuleStore(table);
    const std::string trustedBytes = encodeTrustedStore(trusted);

    // References: the same bytes written atomically and read back, without encoding.
    const double writeRef = medianMs([&] { writeFileAtomically(rulePath, ruleBytes, error); });
    const double readRef = medianMs([&] {
        std::string bytes;
        SFStoreFile(rulePath).read(bytes, error);
    });
    const double ruleSave = medianMs([&] {
        if (!writeFileAtomically(rulePath, encodeRuleStore(table), error))
            throw std::runtime_error(error);
    });
    const double ruleLoad = medianMs([&] {
        std::string bytes;
        SFStoreFile(rulePath).read(bytes, error);
        SFRuleTable loaded;
        decodeRuleStore(bytes, loaded);
        if (loaded.findGroup(table.clientGroupId)->rules.size() != static_cast<size_t>(kRules))
            throw std::runtime_error("rule store lost rules");
    });
    const double trustedWriteRef =
        medianMs([&] { writeFileAtomically(trustedPath, trustedBytes, error); });
    const double trustedReadRef = medianMs([&] {
        std::string bytes;
        SFStoreFile(trustedPath).read(bytes, error);
    });
    const double trustedSave = medianMs([&] {
        if (!writeFileAtomically(trustedPath, encodeTrustedStore(trusted), error))
            throw std::runtime_error(error);
    });
    const double trustedLoad = medianMs([&] {
        std::string bytes;
        SFStoreFile(trustedPath).read(bytes, error);
        std::list<SFTrustedGroupIP*> loaded;
        decodeTrustedStore(bytes, loaded);
        if (loaded.size() != static_cast<size_t>(kTrusted))
            throw std::runtime_error("trusted store lost entries");
        for (SFTrustedGroupIP* entry : loaded)
            delete entry;
    });

    std::printf("%-26s %13s %13s %9s %10s\n", "store (median of 20)", "time", "reference",
                "ratio", "bytes");
    row("rule store save", ruleSave, writeRef, ruleBytes.size());
    row("rule store load", ruleLoad, readRef, ruleBytes.size());
    row("trusted store save", trustedSave, trustedWriteRef, trustedBytes.size());
    row("trusted store load", trustedLoad, trustedReadRef, trustedBytes.size());
    for (SFTrustedGroupIP* entry : trusted)
        delete entry;
    if (argc <= 1) {
        std::remove(rulePath.c_str());
        std::remove(trustedPath.c_str());
        std::remove(folder.c_str());
    }
    return 0;
}
