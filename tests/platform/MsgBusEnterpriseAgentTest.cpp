// The file-backed agent in a temporary spool folder: an absent folder, agent.conf outcomes, send
// modes and the events file, the site list as the agent adaptor keeps it, policies and property
// requests handled by the agent thread.

#include "MsgBusEnterpriseAgent.h"

#include "FMPException.h"
#include "FakeAgentPlugins.h"
#include "HangGuard.h"
#include "RecordingLogger.h"
#include "SFAgentAdaptor.h"
#include "SiteListInfoAdaptor.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>

// The JSON reader still pulls in boost bind's global placeholders.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

using TestSupport::PluginProbe;
using TestSupport::fileMode;
using TestSupport::readFile;
using TestSupport::writeFile;
using ZAV::MsgBusEventData;
using Batch = std::vector<MsgBusEventData>;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kSoftware = "HVRT_FW_1060QUIL";

template <typename Predicate>
bool eventually(Predicate done)
{
    const auto until = Clock::now() + TestSupport::kHangGuard;
    while (!done()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Batch batchOf(std::initializer_list<const char*> eventNames)
{
    Batch batch;
    for (const char* name : eventNames)
        batch.emplace_back(name, 2);
    return batch;
}

class MsgBusEnterpriseAgentTest : public ::testing::Test {
protected:
    void SetUp() override { useSpool(m_dir.path()); }
    void TearDown() override { unsetenv("TQ_AGENT_DIR"); }

    static void useSpool(const std::string& path) { setenv("TQ_AGENT_DIR", path.c_str(), 1); }
    std::unique_ptr<ZAV::MsgBusEnterpriseAgent> makeAgent()
    {
        return std::make_unique<ZAV::MsgBusEnterpriseAgent>(m_logger, kSoftware, "YALAGENT3700QUIL",
                                                            false, ZAV::RQD_POLICY_ENFORCEMENT);
    }
    // Spool files appear in one step: the agent thread polls them and must never see half of one.
    void drop(const std::string& name, const std::string& text)
    {
        writeFile(m_dir.file(name + ".new"), text);
        ASSERT_EQ(::rename(m_dir.file(name + ".new").c_str(), m_dir.file(name).c_str()), 0);
    }
    void conf(const std::string& text) { drop("agent.conf", text); }

    TestSupport::TempDir m_dir;
    TestSupport::RecordingLogger m_logger;
    std::shared_ptr<PluginProbe> m_probe = std::make_shared<PluginProbe>();
};

} // namespace

TEST_F(MsgBusEnterpriseAgentTest, AnAbsentFolderMeansTheAgentIsNotReachable)
{
    useSpool(m_dir.file("absent"));
    auto agent = makeAgent();
    EXPECT_EQ(agent->spoolDirectory(), m_dir.file("absent"));

    std::unique_ptr<ZAV::IAgentPolicyEnforcement> plugin = std::make_unique<TestSupport::FakePolicyPlugin>(m_probe);
    EXPECT_FALSE(agent->registerPolicyEnforcement(plugin));
    EXPECT_NE(plugin, nullptr); // refused, so still the caller's
    EXPECT_FALSE(agent->registerSiteListChange());
    std::string value = "untouched";
    EXPECT_FALSE(agent->getAgentInformation(0, value));
    EXPECT_EQ(value, "untouched");
    ZAV::SiteListInfoAdaptor sites;
    EXPECT_FALSE(agent->getSiteList(sites));

    Batch events = batchOf({"a", "b"});
    Batch failed;
    Batch sent;
    EXPECT_FALSE(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(failed.size(), 2u);
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(exists(m_dir.file("absent")));
}

TEST_F(MsgBusEnterpriseAgentTest, RegisterDelaySlowsThePolicyRegistrationAndABadValueIsSkipped)
{
    auto agent = makeAgent();
    conf("register_delay_ms=300\n");
    std::unique_ptr<ZAV::IAgentPolicyEnforcement> plugin = std::make_unique<TestSupport::FakePolicyPlugin>(m_probe);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(agent->registerPolicyEnforcement(plugin));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    conf("register_delay_ms=soon\n");
    EXPECT_TRUE(agent->registerSiteListChange()); // reads agent.conf again
    EXPECT_TRUE(m_logger.has(2, "Skipped line 1 of " + m_dir.file("agent.conf") +
                                    ": expected a number of milliseconds"));
}

TEST_F(MsgBusEnterpriseAgentTest, AgentConfIsReadAtEveryCallAndBadLinesAreLoggedOnce)
{
    auto agent = makeAgent();
    std::string value;
    EXPECT_FALSE(agent->getAgentInformation(0, value)); // no managed_mode line
    EXPECT_TRUE(agent->registerSiteListChange());        // no line: ok

    conf("# agent answers\nmanaged_mode= 1\nagent_port=8081\nregister.sitelist=fail\n"
         "register.policy=maybe\nnonsense\n");
    EXPECT_TRUE(agent->getAgentInformation(0, value));
    EXPECT_EQ(value, " 1"); // raw text
    EXPECT_TRUE(agent->getAgentInformation(21, value));
    EXPECT_EQ(value, "8081");
    EXPECT_FALSE(agent->getAgentInformation(5, value));
    EXPECT_FALSE(agent->registerSiteListChange());
    std::unique_ptr<ZAV::IAgentPolicyEnforcement> plugin = std::make_unique<TestSupport::FakePolicyPlugin>(m_probe);
    EXPECT_TRUE(agent->registerPolicyEnforcement(plugin)); // the bad value counts as no line
    EXPECT_EQ(plugin, nullptr);
    const std::string conf = m_dir.file("agent.conf");
    EXPECT_TRUE(m_logger.has(2, "Skipped line 5 of " + conf + ": expected ok or fail"));
    EXPECT_TRUE(m_logger.has(2, "Skipped line 6 of " + conf + ": expected key=value"));
    EXPECT_EQ(m_logger.count(2), 2u); // logged once though read at every call and every poll

    this->conf("register.property=fail\nsitelist.read=fail\n");
    std::unique_ptr<ZAV::IAgentPropertyCollection> property = std::make_unique<TestSupport::FakePropertyPlugin>(m_probe);
    EXPECT_FALSE(agent->registerPropertyCollection(property));
    ZAV::SiteListInfoAdaptor sites;
    EXPECT_FALSE(agent->getSiteList(sites));
    EXPECT_FALSE(agent->getAgentInformation(0, value));
}

TEST_F(MsgBusEnterpriseAgentTest, SendModesDecideWhatReachesTheEventsFile)
{
    auto agent = makeAgent();
    const std::string file = m_dir.file("events.jsonl");
    Batch events = batchOf({"a", "b"});
    Batch failed;
    Batch sent;
    EXPECT_TRUE(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent));
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(linesOf(readFile(file)).size(), 2u);
    EXPECT_EQ(fileMode(file), 0600);

    conf("send=fail\n");
    events = batchOf({"c"});
    EXPECT_FALSE(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent));
    EXPECT_EQ(failed.size(), 1u);

    conf("send=half\n");
    events = batchOf({"d", "e", "f", "g"});
    failed.clear();
    sent.clear();
    EXPECT_FALSE(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].getEventName(), "d");
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[1].getEventName(), "g");
    EXPECT_EQ(linesOf(readFile(file)).size(), 4u);

    conf("send=throw\n");
    events = batchOf({"h", "i"});
    failed.clear();
    sent.clear();
    EXPECT_THROW(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent), ZAV::FMPException);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(failed.size(), 1u);

    conf("send=block:150\n");
    events = batchOf({"j"});
    const auto start = Clock::now();
    EXPECT_TRUE(agent->sendCEFEvents(kSoftware, "p", "v", events, failed, sent));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(linesOf(readFile(file)).size(), 6u);
}

TEST_F(MsgBusEnterpriseAgentTest, EventLinesAreJsonWhateverTheTexts)
{
    auto agent = makeAgent();
    MsgBusEventData event("say \"hi\"\nback\\slash\ttab \xC3\xA9", 2);
    event.setStandardField(1, "Firewall");
    event.setStandardField(19, "TCP");
    event.setCustomFieldTableName("YLExtendedEventMT");
    event.addCustomFieldToEvent("AnalyzerRuleName", "rule \x01 one");
    Batch events{event};
    Batch failed;
    Batch sent;
    ASSERT_TRUE(agent->sendCEFEvents(kSoftware, "Prod \"X\"", "1.0", events, failed, sent));

    const auto lines = linesOf(readFile(m_dir.file("events.jsonl")));
    ASSERT_EQ(lines.size(), 1u);
    boost::property_tree::ptree json;
    std::istringstream in(lines[0]);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, json)) << lines[0];
    EXPECT_EQ(json.get<std::string>("name"), event.getEventName());
    EXPECT_EQ(json.get<int>("severity"), 2);
    EXPECT_EQ(json.get<std::string>("software"), kSoftware);
    EXPECT_EQ(json.get<std::string>("product"), "Prod \"X\"");
    EXPECT_EQ(json.get<std::string>("version"), "1.0");
    EXPECT_EQ(json.get_child("std").get<std::string>("19"), "TCP");
    EXPECT_EQ(json.get<std::string>("table"), "YLExtendedEventMT");
    EXPECT_EQ(json.get_child("custom").get<std::string>("AnalyzerRuleName"), "rule \x01 one");
    EXPECT_LE(std::llabs(json.get<long long>("t") - static_cast<long long>(std::time(nullptr))), 2LL);
}

TEST_F(MsgBusEnterpriseAgentTest, SiteListFileFillsTheAgentAdaptorsLists)
{
    writeFile(m_dir.file("sitelist.conf"),
              "# kind|name|ipv4|port1|port2\n"
              "6|mgmt-b|10.0.0.2|443|8443\n"
              "6|mgmt-a||80|8080\n"
              "0|http://updates|  |8081|\n"
              "1|ftp://files||21|\n"
              "9|other|10.9.9.9|1|2\n"
              "6|short|10.0.0.9|443\n"
              "x|bad kind||1|2\n"
              "6|bad port|10.0.0.3|-1|2\n");
    StatefulFirewall::SFAgentAdaptor adaptor(
        m_logger, makeAgent(), std::make_unique<TestSupport::FakePolicyPlugin>(m_probe),
        std::make_unique<TestSupport::FakePropertyPlugin>(m_probe),
        std::make_unique<TestSupport::FakeAgentInfo>(m_probe));
    using List = std::list<std::string>;
    EXPECT_EQ(adaptor.m_yalServerName, (List{"mgmt-a", "mgmt-b"}));
    EXPECT_EQ(adaptor.m_yalServerIP, (List{"10.0.0.2"}));
    EXPECT_EQ(adaptor.m_yalSecurePort, (List{"443", "80"}));
    EXPECT_EQ(adaptor.m_yalServerPort, (List{"8080", "8443"}));
    EXPECT_EQ(adaptor.m_httpUpdateUrl, (List{"http://updates"}));
    EXPECT_EQ(adaptor.m_httpUpdatePort, (List{"8081"}));
    EXPECT_EQ(adaptor.m_ftpUpdateUrl, (List{"ftp://files"}));
    EXPECT_EQ(adaptor.m_ftpUpdatePort, (List{"21"}));
    const std::string expected = "Skipped line %d of " + m_dir.file("sitelist.conf") +
                                 ": expected kind|name|ipv4|port1|port2 with decimal kind and ports";
    for (int line : {7, 8, 9}) {
        std::string message = expected;
        message.replace(message.find("%d"), 2, std::to_string(line));
        EXPECT_TRUE(m_logger.has(2, message)) << line;
    }
    EXPECT_EQ(m_probe->destroyed.load(), 0); // all three kept
}

TEST_F(MsgBusEnterpriseAgentTest, PoliciesAreDeliveredOnceInNameOrderOnTheAgentThread)
{
    conf("poll_ms=10\n");
    ASSERT_EQ(::mkdir(m_dir.file("policy.d").c_str(), 0700), 0);
    writeFile(m_dir.file("policy.d/010.txt"), "section 8 FWStatus=3\n");
    writeFile(m_dir.file("policy.d/001.txt"), "section 8 FWStatus=1\nobject f|c|t|Options\n");
    writeFile(m_dir.file("policy.d/002.txt"), "software OTHER_ID\nsection 8 FWStatus=2\n");
    writeFile(m_dir.file("policy.d/notes.md"), "not a policy\n");
    auto agent = makeAgent();

    // No plug-in yet: the policies wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(exists(m_dir.file("policy.d/001.txt")));

    std::mutex seenMutex;
    std::vector<std::string> seen;
    std::unique_ptr<ZAV::IAgentPolicyEnforcement> plugin = std::make_unique<TestSupport::FakePolicyPlugin>(
        m_probe, [&](const std::string& software, const ZAV::ISectionsHandle& handle) {
            bool found = false;
            const std::string status = handle.getValue("8", "FWStatus", found);
            {
                std::lock_guard<std::mutex> lock(seenMutex);
                seen.push_back(status + " " + handle.getPolicyInfo({"f", "c", "t"}).policyName);
            }
            if (status == "3")
                throw std::runtime_error("plug-in broke");
            return software == kSoftware;
        });
    ASSERT_TRUE(agent->registerPolicyEnforcement(plugin));
    ASSERT_TRUE(eventually([&] { return exists(m_dir.file("policy.d/010.txt.done")); }));
    EXPECT_TRUE(exists(m_dir.file("policy.d/001.txt.done")));
    EXPECT_TRUE(exists(m_dir.file("policy.d/002.txt.done")));
    EXPECT_FALSE(exists(m_dir.file("policy.d/001.txt")));
    EXPECT_TRUE(exists(m_dir.file("policy.d/notes.md")));

    // Dropped later, delivered too; the earlier ones are not delivered again.
    drop("policy.d/003.txt", "section 8 FWStatus=4\n");
    ASSERT_TRUE(eventually([&] { return exists(m_dir.file("policy.d/003.txt.done")); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    EXPECT_EQ(m_probe->calls(), (std::vector<std::string>{"policy HVRT_FW_1060QUIL", "policy OTHER_ID",
                                                          "policy HVRT_FW_1060QUIL", "policy HVRT_FW_1060QUIL"}));
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        EXPECT_EQ(seen, (std::vector<std::string>{"1 Options", "2 ", "3 ", "4 "}));
    }
    const auto threads = m_probe->threads();
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    const auto results = linesOf(readFile(m_dir.file("policy-results.log")));
    ASSERT_EQ(results.size(), 4u);
    const char* expected[] = {" 001.txt software=HVRT_FW_1060QUIL result=1", " 002.txt software=OTHER_ID result=0",
                              " 010.txt software=HVRT_FW_1060QUIL result=0", " 003.txt software=HVRT_FW_1060QUIL result=1"};
    for (size_t i = 0; i < results.size(); ++i) {
        const size_t blank = results[i].find(' ');
        EXPECT_EQ(results[i].substr(blank), expected[i]);
        EXPECT_LE(std::llabs(std::stoll(results[i].substr(0, blank)) - static_cast<long long>(std::time(nullptr))), 5LL);
    }
    EXPECT_TRUE(m_logger.has(2, "The policy plug-in failed on " + m_dir.file("policy.d/010.txt") + ": plug-in broke"));
}

TEST_F(MsgBusEnterpriseAgentTest, ACollectRequestIsAnsweredInPropertiesTxt)
{
    conf("poll_ms=10\n");
    auto agent = makeAgent();
    std::unique_ptr<ZAV::IAgentPropertyCollection> plugin = std::make_unique<TestSupport::FakePropertyPlugin>(
        m_probe, [](bool all, ZAV::ISectionsHandle& sections) {
            sections.addProperty("FW", "Version", "10.6.11");
            sections.addProperty("FW", "All", all ? "yes" : "no");
            sections.addProperty("A", "Empty", "");
            return true;
        });
    ASSERT_TRUE(agent->registerPropertyCollection(plugin));

    drop("collect.request", "all=0\n");
    ASSERT_TRUE(eventually([&] { return !exists(m_dir.file("collect.request")); }));
    EXPECT_EQ(readFile(m_dir.file("properties.txt")), "FW|Version|10.6.11\nFW|All|no\nA|Empty|\n");

    drop("collect.request", "");
    ASSERT_TRUE(eventually([&] { return !exists(m_dir.file("collect.request")); }));
    EXPECT_EQ(readFile(m_dir.file("properties.txt")), "FW|Version|10.6.11\nFW|All|yes\nA|Empty|\n");
    EXPECT_EQ(m_probe->calls(), (std::vector<std::string>{"collect 0", "collect 1"}));
}
