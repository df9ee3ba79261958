// Times saving and loading a rule store of 10,000 rules and a trusted store of 1,000 entries
// with the stores' own codecs and atomic file writes, against a plain reference (writing and
// reading the same bytes), median of 20 runs each.
//
//   tq-bench-stores [folder]      (default: a fresh folder under /tmp)

#include "BenchRuleMix.h"
#include "SFAtomicFile.h"
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
#include <stdexcept>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

constexpr int kRules = 10000;
constexpr int kTrusted = 1000;
constexpr int kRuns = 20;

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
    fillBenchTable(table, kRules);
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
