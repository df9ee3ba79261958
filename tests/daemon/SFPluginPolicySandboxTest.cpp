// The daemon's real objects behind the file-backed agent, in the sandbox: policies dropped into
// the spool's policy.d change iptables and both stores, an identical policy changes nothing, a
// policy that disables the firewall leaves no product chain, and a collect request yields the
// rule list as pieces that join into JSON. A policy that cannot be read changes nothing and the
// corrected one after it is enforced whole; an address added meanwhile is enforced by the health
// check.

#include "AgentPluginRig.h"
#include "BridgeSandboxRig.h"

#include "HangGuard.h"
#include "MsgBusEnterpriseAgent.h"
#include "SFAgentAdaptor.h"
#include "SFConfigController.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SandboxGuard.h"
#include "FakeAgentPlugins.h"
#include "QueueSandboxRig.h"

#include <boost/filesystem.hpp>
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace StatefulFirewall;
using namespace BridgeRig;
using namespace TestSupport;
using QueueRig::shell;

namespace {

const std::string kBlock = "55555555-0000-0000-0000-000000000001";
const std::string kAllow = "55555555-0000-0000-0000-000000000002";
const std::string kTrusted = "55555555-0000-0000-0000-000000000003";

// The lines of the main input chain that end in the verdict, in order.
std::vector<std::string> inputVerdicts(const std::string& listing, const std::string& verdict)
{
    std::vector<std::string> out;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-A QTZ_INPUT_", 0) == 0 && line.size() > verdict.size() &&
            line.compare(line.size() - verdict.size(), verdict.size(), verdict) == 0)
            out.push_back(line.substr(line.find(' ', 3) + 1));
    return out;
}

// Polls until the predicate holds or ten seconds passed.
template <typename Predicate>
bool waitFor(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

PolicyText policy(const std::string& status, const std::string& merge)
{
    return PolicyText()
        .option("FWStatus", status)
        .option("MergeRules", merge)
        .trusted({{"Subnet", mapped("10.0.0.0") + "/104"}, {"LocalSubnet", "", "1"}})
        .sequence("", {kBlock, kAllow})
        .aggregation(kTrusted, 65546, {"[trusted]"})
        .rule(kBlock, "BLOCK", {{"Name", "block telnet"}, {"Direction", "IN"}, {"_TransportProtocol", "1"},
                                {"+TransportProtocol#0", "6"}, {"_LocalPort", "1"}, {"+LocalPort#0", "23"}})
        .rule(kAllow, "ALLOW", {{"Name", "allow ssh"}, {"Direction", "IN"}, {"_TransportProtocol", "1"},
                                {"+TransportProtocol#0", "6"}, {"_LocalPort", "1"}, {"+LocalPort#0", "22"},
                                {"_AggRef", "1"}, {"+AggRef#0", kTrusted}});
}

class SFPluginPolicySandboxTest : public ::testing::Test {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }

    // The plug-ins behind the file-backed agent on the spool folder spool.
    static std::unique_ptr<SFAgentAdaptor> startAgent(Stack& stack, const std::string& spool)
    {
        boost::filesystem::create_directories(spool + "/policy.d");
        ::setenv("TQ_AGENT_DIR", spool.c_str(), 1);
        auto adaptor = std::make_unique<SFAgentAdaptor>(
            stack.logger(),
            std::make_unique<ZAV::MsgBusEnterpriseAgent>(stack.logger(), "HVRT_FW_1060QUIL", "YALAGENT3700QUIL",
                                                         false, ZAV::RQD_POLICY_ENFORCEMENT),
            std::make_unique<SFPluginPolicyEnforcementImpl>(stack.logger(), stack.config(), stack.monitor()),
            std::make_unique<SFPluginPropertyCollectionImpl>(stack.logger(), stack.config()),
            std::make_unique<FakeAgentInfo>(std::make_shared<PluginProbe>()));
        ::unsetenv("TQ_AGENT_DIR");
        return adaptor;
    }

    // Drops the policy into policy.d in one step and waits for its result line.
    std::string deliver(const std::string& spool, const std::string& name, const PolicyText& text)
    {
        const std::string temporary = spool + "/" + name + ".part";
        writeFile(temporary, text.text());
        boost::filesystem::rename(temporary, spool + "/policy.d/" + name);
        std::string result;
        waitFor([&] {
            std::istringstream lines(readFile(spool + "/policy-results.log"));
            for (std::string line; std::getline(lines, line);)
                if (line.find(" " + name + " ") != std::string::npos)
                    result = line.substr(line.find("result="));
            return !result.empty();
        });
        return result;
    }
};

TEST_F(SFPluginPolicySandboxTest, SpoolPoliciesChangeIptablesAndStoresAndCollectYieldsTheRuleList)
{
    FakeNwIFManager monitor; // the local networks never change here
    Stack stack(Settings{}, &monitor);
    stack.enable();
    TempDir spoolDir;
    const std::string spool = spoolDir.file("agent");
    boost::filesystem::create_directories(spool + "/policy.d");
    ::setenv("TQ_AGENT_DIR", spool.c_str(), 1);

    auto probe = std::make_shared<PluginProbe>();
    SFAgentAdaptor adaptor(
        stack.logger(),
        std::make_unique<ZAV::MsgBusEnterpriseAgent>(stack.logger(), "HVRT_FW_1060QUIL", "YALAGENT3700QUIL",
                                                     false, ZAV::RQD_POLICY_ENFORCEMENT),
        std::make_unique<SFPluginPolicyEnforcementImpl>(stack.logger(), stack.config(), stack.monitor()),
        std::make_unique<SFPluginPropertyCollectionImpl>(stack.logger(), stack.config()),
        std::make_unique<FakeAgentInfo>(probe));
    ::unsetenv("TQ_AGENT_DIR");

    // Trusted network and both rules, the block before the allow.
    ASSERT_EQ(deliver(spool, "001.txt", policy("1", "1")), "result=1");
    std::string listing = iptables("-S");
    const std::vector<std::string> verdicts = inputVerdicts(listing, "-j DROP");
    const std::vector<std::string> accepts = inputVerdicts(listing, "-j ACCEPT");
    EXPECT_EQ(verdicts, std::vector<std::string>{"-p tcp -m state --state NEW -m multiport --dports 23 -j DROP"})
        << listing;
    EXPECT_EQ(accepts, (std::vector<std::string>{
                           "-m state --state RELATED,ESTABLISHED -j ACCEPT",
                           "-s 10.0.0.0/8 -p tcp -m state --state NEW -m multiport --dports 22 -j ACCEPT"}))
        << listing;
    EXPECT_LT(listing.find("--dports 23 -j DROP"), listing.find("-s 10.0.0.0/8 -p tcp -m state --state NEW -m multiport --dports 22 -j ACCEPT"))
        << listing;
    std::vector<std::string> trusted = model::storedValues(stack.dir().file("trustedip-store.data"));
    EXPECT_NE(std::find(trusted.begin(), trusted.end(), "10.0.0.0/8"), trusted.end());
    SFRuleTable stored;
    decodeRuleStore(readFile(stack.dir().file("rule-store.data")), stored);
    std::vector<std::string> names;
    for (const SFRuleGroup* group : stored.groups)
        for (const SFRule* rule : group->rules)
            if (rule->name == "block telnet" || rule->name == "allow ssh")
                names.push_back(rule->name);
    EXPECT_EQ(names, (std::vector<std::string>{"block telnet", "allow ssh"}));

    // The same policy again: nothing to do, no new generation.
    const long generation = stack.generation();
    ASSERT_EQ(deliver(spool, "002.txt", policy("1", "1")), "result=1");
    EXPECT_TRUE(stack.logger().has(6, "Skipping rule enforcement since there were no change in rule policy, "
                                      "list of Trusted networks or the local Ip Address configuration"));
    EXPECT_EQ(stack.generation(), generation);

    // A collect request: the pieces join into JSON.
    writeFile(spool + "/collect.request", "all=1\n");
    ASSERT_TRUE(waitFor([&] { return !boost::filesystem::exists(spool + "/collect.request"); }));
    std::string json;
    std::istringstream lines(readFile(spool + "/properties.txt"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ClientPolicy|", 0) == 0)
            json += line.substr(line.find('|', 13) + 1);
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    EXPECT_NO_THROW(boost::property_tree::read_json(in, tree)) << json;
    EXPECT_GE(tree.get_child("list").size(), 1u);

    // Disabled and client rules dropped: open policies and no product chain.
    ASSERT_EQ(deliver(spool, "003.txt", policy("0", "0")), "result=1");
    listing = iptables("-S");
    EXPECT_EQ(linesWith(listing, "-P INPUT ACCEPT"), 1u) << listing;
    EXPECT_EQ(linesWith(listing, "-P OUTPUT ACCEPT"), 1u) << listing;
    EXPECT_EQ(linesWith(listing, "QTZ"), 0u) << listing;
}

// Port 8080 from the trusted networks only: an allow from "[trusted]" before a block of all.
PolicyText trustedOnly(const std::string& trusted, const std::string& stamp,
                       const PolicyText::Keys& optionFaults, const PolicyText::Keys& ruleFaults)
{
    PolicyText text;
    text.option("FWStatus", "1").option("MergeRules", "1");
    text.trusted({{"SingleIP", mapped(trusted)}, {"LocalSubnet", "", "0"}});
    for (const auto& key : optionFaults)
        text.option(key.first, key.second);
    PolicyText::Keys allow{{"Name", "allow 8080 from trusted"}, {"Direction", "IN"}, {"LastModified", stamp},
                           {"_TransportProtocol", "1"}, {"+TransportProtocol#0", "6"}, {"_LocalPort", "1"},
                           {"+LocalPort#0", "8080"}, {"_AggRef", "1"}, {"+AggRef#0", kTrusted}};
    allow.insert(allow.end(), ruleFaults.begin(), ruleFaults.end());
    return text.sequence("", {kAllow, kBlock})
        .aggregation(kTrusted, 65546, {"[trusted]"})
        .rule(kAllow, "ALLOW", allow)
        .rule(kBlock, "BLOCK", {{"Name", "block 8080"}, {"Direction", "IN"}, {"_TransportProtocol", "1"},
                                {"+TransportProtocol#0", "6"}, {"_LocalPort", "1"}, {"+LocalPort#0", "8080"}});
}

// A connection from the peer's address from to port 8080 here: accepted (a listener answers),
// or dropped (it times out, exit 3, where an accepted one without listener would be refused).
bool acceptedFrom(const std::string& from)
{
    return shell("unserve /run/tq-listen.out && "
                 "serve /run/tq-listen.out \"$TOOL\" tcp-listen 10.0.0.5 8080 --count 1 --timeout 30000 && "
                 "in_peer \"$TOOL\" tcp-connect 10.0.0.5 8080 --from " + from + " --timeout 20000") == 0;
}
bool droppedFrom(const std::string& from)
{
    return shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 8080 --from " + from + " --timeout 1000") == 3;
}

std::vector<std::string> trustedOf(Stack& stack)
{
    std::vector<std::string> values;
    for (const auto& entry : SFTrustedIPGroupManager::getInstance(stack.logger(), stack.config())->copyTrustedIPList())
        values.push_back(entry.getTrustedIPValueString());
    return values;
}

std::vector<std::string> rulesOf(Stack& stack)
{
    std::vector<std::string> lines;
    for (const auto& group : stack.rules().snapshot().groups)
        for (const SFRule* rule : group->rules)
            lines.push_back(CommonFunc::textGUID(group->groupId) + " " + rule->name);
    return lines;
}

TEST_F(SFPluginPolicySandboxTest, APolicyFailingAtAnyStageChangesNothingAndTheCorrectedOneIsEnforced)
{
    ASSERT_EQ(shell("rig_up && in_peer ip addr replace 10.0.0.8/24 dev \"$RIG_PEER_IF\""), 0);
    FakeNwIFManager monitor;
    Stack stack(Settings{}, &monitor);
    stack.enable();
    TempDir spoolDir;
    const std::string spool = spoolDir.file("agent");
    std::unique_ptr<SFAgentAdaptor> adaptor = startAgent(stack, spool);

    ASSERT_EQ(deliver(spool, "000.txt", trustedOnly("10.0.0.7", "s0", {}, {})), "result=1");
    EXPECT_TRUE(acceptedFrom("10.0.0.7"));
    EXPECT_TRUE(droppedFrom("10.0.0.8"));

    struct Stage {
        const char* what;
        PolicyText::Keys optionFaults;
        PolicyText::Keys ruleFaults;
    };
    const std::vector<Stage> stages = {
        {"options", {{"TCPTimeout", "abc"}}, {}},
        {"trusted networks", {{"_AddressType", "9"}}, {}},
        {"rules", {}, {{"ScheduleEnabled", "1"}, {"WeekMask", "x62"}}},
    };
    std::string current = "10.0.0.7";
    std::string other = "10.0.0.8";
    int round = 0;
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.what);
        ++round;
        const std::string listing = iptables("-S");
        const std::string ruleStore = readFile(stack.dir().file("rule-store.data"));
        const std::string trustedStore = readFile(stack.dir().file("trustedip-store.data"));
        const std::vector<std::string> trusted = trustedOf(stack);
        const std::vector<std::string> rules = rulesOf(stack);
        monitor.setNetworkChanged(true);

        const std::string stamp = "s" + std::to_string(round);
        EXPECT_EQ(deliver(spool, std::to_string(round) + "a.txt", trustedOnly(other, stamp, stage.optionFaults, stage.ruleFaults)),
                  "result=0");
        EXPECT_EQ(iptables("-S"), listing);
        EXPECT_EQ(readFile(stack.dir().file("rule-store.data")), ruleStore);
        EXPECT_EQ(readFile(stack.dir().file("trustedip-store.data")), trustedStore);
        EXPECT_EQ(trustedOf(stack), trusted);
        EXPECT_EQ(rulesOf(stack), rules);
        EXPECT_TRUE(monitor.hasNetworkChanged());

        // The corrected policy: the same trusted list and stamps as the failed one.
        EXPECT_EQ(deliver(spool, std::to_string(round) + "b.txt", trustedOnly(other, stamp, {}, {})), "result=1");
        EXPECT_EQ(linesWith(iptables("-S"), "-s " + other +
                                                 "/32 -p tcp -m state --state NEW -m multiport --dports 8080 -j ACCEPT"),
                  1u)
            << iptables("-S");
        EXPECT_EQ(linesWith(iptables("-S"), "-s " + current + "/32"), 0u) << iptables("-S");
        EXPECT_TRUE(acceptedFrom(other));
        EXPECT_TRUE(droppedFrom(current));
        std::swap(current, other);
    }
    adaptor.reset();
    shell("rig_down");
}

// The interface monitor's changed flag is left to the health check when a policy fails, so an
// address added meanwhile reaches the rules that name local addresses.
TEST_F(SFPluginPolicySandboxTest, AnAddressAddedDuringAFailedPolicyIsEnforcedAtTheNextHealthCheck)
{
    ASSERT_EQ(shell("rig_up"), 0);
    Settings settings;
    settings.healthCheckSecs = 2;
    Stack stack(settings); // the real interface monitor
    stack.enable();
    TempDir spoolDir;
    const std::string spool = spoolDir.file("agent");
    std::unique_ptr<SFAgentAdaptor> adaptor = startAgent(stack, spool);

    auto toLocal = [](const std::string& stamp, const PolicyText::Keys& faults) {
        PolicyText::Keys keys{{"Name", "allow 8080 to local"}, {"Direction", "IN"}, {"LastModified", stamp},
                              {"_TransportProtocol", "1"}, {"+TransportProtocol#0", "6"}, {"_LocalPort", "1"},
                              {"+LocalPort#0", "8080"}, {"_AggRef", "1"}, {"+AggRef#0", kTrusted}};
        keys.insert(keys.end(), faults.begin(), faults.end());
        return PolicyText()
            .option("FWStatus", "1")
            .sequence("", {kAllow})
            .aggregation(kTrusted, 65541, {"[local]"})
            .rule(kAllow, "ALLOW", keys);
    };
    ASSERT_EQ(deliver(spool, "001.txt", toLocal("s1", {})), "result=1");
    ASSERT_GE(linesWith(iptables("-S"), "-d 10.0.0.5/32"), 1u) << iptables("-S");

    ASSERT_EQ(shell("ip addr add 10.0.0.9/24 dev \"$RIG_LOCAL_IF\""), 0);
    ASSERT_TRUE(waitFor([&] { return stack.monitor().getUniqueIpAddresses().count("10.0.0.9") == 1; }));
    EXPECT_EQ(deliver(spool, "002.txt", toLocal("s2", {{"ScheduleEnabled", "1"}})), "result=0");

    // Generous: several health-check periods on a loaded machine; guards against a hang only.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (linesWith(iptables("-S"), "-d 10.0.0.9/32") == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GE(linesWith(iptables("-S"), "-d 10.0.0.9/32"), 1u) << iptables("-S");
    adaptor.reset();
    shell("rig_down");
}

} // namespace
