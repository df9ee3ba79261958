// Stores of the previous release, converted by tqstoreupgrade into the daemon's store paths, are
// loaded by tqd: their rules are enforced and their trusted networks are present.

#include "ChildProcess.h"
#include "HangGuard.h"
#include "OldStoreWriter.h"
#include "SFPrefKeys.h"
#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "SandboxGuard.h"
#include "TempDir.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;

namespace {

int upgrade(const std::string& kind, const std::string& input, const std::string& output,
            const std::string& log)
{
    ChildProcess run({TQ_STOREUPGRADE, kind, input, output}, log);
    return run.wait(TestSupport::kHangGuard);
}

TEST(TqdMigratedStoresSandboxTest, MigratedStoresAreEnforcedAndServedByTheDaemon)
{
    TQ_REQUIRE_SANDBOX();
    prepareManagedProduct(true, "10.20.30.40");
    TempDir dir;

    // The previous release's files: the golden table written with rule class version 1, and a
    // trusted list of 192.168.0.0/24 plus the local-subnet entry.
    StatefulFirewall::SFRuleTable model;
    StatefulFirewall::decodeRuleStore(readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/rule-store.data"),
                                      model);
    OldStore::TableT<1> table;
    OldStore::fromModel(model, table);
    writeFile(dir.file("rules.old"), OldStore::fileBytes(OldStore::ruleStoreText(table)));
    writeFile(dir.file("trusted.old"),
              OldStore::fileBytes(L"22 serialization::archive 9 0 0 2 0 1 1 0\n0 4 4 43200 24 16777215 1\n1 3"));

    ASSERT_EQ(upgrade("rule", dir.file("rules.old"), StatefulFirewall::SF_DEFAULT_RULE_STORE_PATH,
                      dir.file("rule.out")), 0)
        << readFile(dir.file("rule.out"));
    ASSERT_EQ(upgrade("trustedip", dir.file("trusted.old"),
                      StatefulFirewall::SF_DEFAULT_TRUSTED_IP_STORE_PATH, dir.file("trusted.out")), 0)
        << readFile(dir.file("trusted.out"));

    Broker broker({}, dir.file("broker.out"));
    ASSERT_TRUE(broker.started());
    Daemon daemon(dir.file("tqd.out"));
    const std::string listing = waitForEnforcement();
    // The user group "Office" of the migrated table is reached through its own chains.
    EXPECT_GE(linesWith(listing, "-N QTZ_Group_1_"), 1u) << listing;

    std::string rules;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100015", &rules), 0) << rules;
    EXPECT_NE(rules.find("Office"), std::string::npos) << rules;
    std::string trusted;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100021", &trusted), 0) << trusted;
    EXPECT_NE(trusted.find("43200"), std::string::npos) << trusted;

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 0) << readFile(dir.file("tqd.out"));
}

} // namespace
