// tqd as a process in the sandbox, fed input whose lengths and counts reach far past their
// data: command payloads of every kind it reads, and a rule store at start-up. Each is refused
// on its own, the daemon keeps answering and never grows by what the numbers claim.

#include "SFCommandPayloads.h"
#include "SFSerialization.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <boost/archive/text_oarchive.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;

namespace {

constexpr const char* kSiteAddress = "10.20.30.42";
constexpr const char* kRuleStore = "/var/Varnik/kyv/fw/rule-store.data";
// The daemon's peak resident size may not come near what a hostile number claims (3 GB and
// more); a normal run stays far below this.
constexpr long kPeakResidentKiBCeiling = 256 * 1024;

template <class T> std::string narrowText(const T& value)
{
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out);
        archive << value;
    }
    return out.str();
}

std::string replacedOnce(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// VmHWM of a process, in KiB; -1 when unknown.
long peakResidentKiB(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

class TqdHostileInputSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        prepareManagedProduct(false, kSiteAddress);
    }

    void start()
    {
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
        m_daemon = std::make_unique<Daemon>(daemonOut());
        // Generous: it only guards against a daemon that never comes up.
        ASSERT_TRUE(waitForVersionAnswer(30s)) << "the daemon never answered 100038";
    }

    bool answersVersion()
    {
        std::string answer;
        return zavcall("--dest 7000 --cmd 100038", &answer) == 0;
    }

    void stop()
    {
        m_daemon->signal(SIGTERM);
        EXPECT_EQ(m_daemon->wait(15s), 0);
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(TqdHostileInputSandboxTest, EveryHostilePayloadIsRefusedAndTheDaemonKeepsAnswering)
{
    start();
    StatefulFirewall::SFRule rule;
    rule.name = "distinct";
    StatefulFirewall::SFPrefsData prefs;
    prefs.m_spareText1 = "spare1";
    const struct {
        int id;
        std::string payload; // narrow archive text, no single quotes
    } cases[] = {
        {100006, "3000000000 serialization::archive 18 0"},
        {100006, replacedOnce(narrowText(rule), " 8 distinct ", " 3000000000 distinct ")},
        {100039, replacedOnce(narrowText(rule), " 8 distinct ", " 4294967296 distinct ")},
        {100007, "22 serialization::archive 18 3000000000 x"},
        {100019, "22 serialization::archive 18 0 0 4000000000 0"},
        {100003, replacedOnce(narrowText(prefs), " 6 spare1 ", " 3000000000 spare1 ")},
        {100004, "18446744073709551615 serialization::archive 18 0"},
        {1001, "22 serialization::archive 18 0 0 3000000000 /var/log"},
        {100044, "22 serialization::archive 18 2147483647"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + ": " + c.payload);
        std::string answer;
        EXPECT_EQ(zavcall("--dest 7000 --cmd " + std::to_string(c.id) + " --narrow-raw '" +
                              c.payload + "'",
                          &answer),
                  1)
            << answer;
        EXPECT_NE(answer.find("completed 1, status 0"), std::string::npos) << answer;
        EXPECT_TRUE(answersVersion());
    }
    EXPECT_TRUE(waitForText(kDaemonLog, "failed: string length larger than the input", kHangGuard));
    EXPECT_TRUE(waitForText(kDaemonLog, "failed: list count larger than the input", kHangGuard));
    EXPECT_TRUE(waitForText(kDaemonLog, "failed: invalid signature", kHangGuard));
    EXPECT_TRUE(waitForText(kDaemonLog, "MB refused: it must be 1 to 999 MB", kHangGuard));
    const long peak = peakResidentKiB(m_daemon->pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakResidentKiBCeiling);
    stop();
}

TEST_F(TqdHostileInputSandboxTest, ARuleStoreWithAHugeNameLengthIsSetAsideAtStartUp)
{
    // The shipped sample store with its first group's name length changed to 3000000000.
    const std::string golden =
        readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/rule-store.data");
    writeFile(kRuleStore, replacedOnce(golden, " 13 Primary group ", " 3000000000 Primary group "));
    ::chmod(kRuleStore, 0600);
    start();
    EXPECT_TRUE(waitForText(kDaemonLog, "Damaged rule store (string length larger than the input) kept as", kHangGuard));
    struct stat kept {};
    EXPECT_EQ(::stat((std::string(kRuleStore) + ".corrupt").c_str(), &kept), 0);
    const long peak = peakResidentKiB(m_daemon->pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakResidentKiBCeiling);
    stop();
}

} // namespace
