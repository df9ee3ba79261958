// The daemon's real objects behind the file-backed agent, in the sandbox: policies dropped into
// the spool's policy.d change iptables and both stores, an identical policy changes nothing, a
// policy that disables the firewall leaves no product chain, and a collect request yields the
// rule list as pieces that join into JSON.

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

} // namespace
