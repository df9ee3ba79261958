// End to end in the sandbox: a TCP packet that a reporting block rule hands to queue 3 becomes a
// block-event record, the daemon's completion of it, an event built by the event adaptor, and a
// line of events.jsonl in the agent's spool folder at its product path.

#include "CommonFunc.h"
#include "FakeAgentPlugins.h"
#include "FakeConfigController.h"
#include "HangGuard.h"
#include "MsgBusEnterpriseAgent.h"
#include "MsgBusEventData.h"
#include "QueueSandboxRig.h"
#include "RecordingLogger.h"
#include "SFAgentAdaptor.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFEventAdaptor.h"
#include "SFPrefKeys.h"
#include "SFRuleManager.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

// The JSON reader still pulls in boost bind's global placeholders.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

using namespace StatefulFirewall;
using QueueRig::ReaderThread;
using QueueRig::shell;

namespace {

const char* const kSpool = "/var/Varnik/kyv/fw/agent";

class BlockEventDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        TestSupport::resetProductPaths();
        unsetenv("TQ_AGENT_DIR"); // the agent's own place
        ASSERT_EQ(::mkdir(kSpool, 0700), 0);
        ASSERT_EQ(shell("rig_up"), 0);
        SFBlockEventQueueWrapper::clearBlockEventQueue();
    }

    void TearDown() override
    {
        // Never on the host: SetUp may have failed its sandbox check.
        if (!TestSupport::sandboxProblem().empty())
            return;
        SFBlockEventQueueWrapper::releaseInstance();
        SFRuleManager::releaseInstance();
        shell("iptables -F && iptables -X; rig_down");
    }

    TestSupport::RecordingLogger m_logger;
};

} // namespace

TEST_F(BlockEventDeliveryTest, ABlockedTcpPacketEndsAsAnEventLineInTheSpool)
{
    TestSupport::TempDir dir;
    TestSupport::FakeConfigController config;
    config.set(SF_KEY_RULE_STORE_PATH, dir.file("rules"));
    config.setManagedMode(1);
    KGUID rule{};
    rule.Data1 = 0x0a0b0c0d;
    for (uint8_t i = 0; i < 8; ++i)
        rule.Data4[i] = static_cast<uint8_t>(0xa0 + i);
    rule.Data2 = 0x1e1f;
    rule.Data3 = 0x2e2f;
    TestSupport::RecordingLogger managerLog; // a manager without a store logs at level 2
    SFRuleManager::getInstance(managerLog, config, true)->updateNfMarkVsRuleUid(300, rule);
    ASSERT_EQ(shell(R"(set -e
        iptables -A INPUT -s 10.0.0.7 -p tcp --dport 23 -j MARK --set-mark 300
        iptables -A INPUT -m mark --mark 300 -j NFQUEUE --queue-num 3)"),
              0);

    // The queue's side: the record as the block-event queue leaves it.
    SFBlockEventQueueWrapper* queue = SFBlockEventQueueWrapper::getInstance(m_logger, config);
    ReaderThread reader([queue] { return queue->startBlockEventQueue(); },
                        [queue] { return queue->stopBlockEventQueue(); });
    ASSERT_TRUE(QueueRig::waitForQueue(3, true));
    EXPECT_NE(shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 23 --from 10.0.0.7 --timeout 1000"), 0);
    RuleEventInfo info{};
    bool recorded = false;
    const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
    while (!(recorded = SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(&info)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(reader.stopAndJoin());
    ASSERT_TRUE(recorded);

    // The daemon's side: it completes the record and sends one event per record.
    std::strncpy(info.ruleName, "Block telnet from the peer", sizeof(info.ruleName) - 1);
    info.EventID = 18001;
    info.action = FW_ACTION_BLOCK_PACKET;
    info.EventSeverity = 2;
    SFEventAdaptor events(m_logger, config);
    auto probe = std::make_shared<TestSupport::PluginProbe>();
    SFAgentAdaptor agentAdaptor(m_logger,
                                std::make_unique<ZAV::MsgBusEnterpriseAgent>(
                                    m_logger, "HVRT_FW_1060QUIL", "YALAGENT3700QUIL", false,
                                    ZAV::RqdMsgBusEnterpriseAgentImpl(ZAV::RQD_EVENTS | ZAV::RQD_SITE_LIST)),
                                std::make_unique<TestSupport::FakePolicyPlugin>(probe),
                                std::make_unique<TestSupport::FakePropertyPlugin>(probe),
                                std::make_unique<TestSupport::FakeAgentInfo>(probe));
    events.setAgentAdaptor(&agentAdaptor);
    ZAV::MsgBusEventData event(std::to_string(info.EventID), info.EventSeverity);
    events.createEventData("fw.intrusion", info, event);
    std::vector<ZAV::MsgBusEventData> batch{event};
    std::vector<ZAV::MsgBusEventData> failed;
    EXPECT_TRUE(events.sendCEFEvent(batch, failed));
    EXPECT_TRUE(failed.empty());
    events.setAgentAdaptor(nullptr);

    const std::string path = std::string(kSpool) + "/events.jsonl";
    EXPECT_EQ(TestSupport::fileMode(path), 0600);
    std::istringstream lines(TestSupport::readFile(path));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    std::string more;
    EXPECT_FALSE(std::getline(lines, more)) << more;
    boost::property_tree::ptree json;
    std::istringstream in(line);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, json)) << line;
    EXPECT_EQ(json.get<std::string>("name"), "18001");
    EXPECT_EQ(json.get<int>("severity"), 2);
    EXPECT_EQ(json.get<std::string>("software"), "HVRT_FW_1060QUIL");
    const auto& standard = json.get_child("std");
    EXPECT_EQ(standard.get<std::string>("19"), "TCP");
    EXPECT_EQ(standard.get<std::string>("22"), "10.0.0.5");
    EXPECT_EQ(standard.get<std::string>("23"), "10.0.0.7");
    EXPECT_EQ(standard.get<std::string>("18"), "23");
    EXPECT_EQ(standard.get<std::string>("7"), "Block telnet from the peer");
    const auto& custom = json.get_child("custom");
    EXPECT_EQ(custom.get<std::string>("AnalyzerRuleID"), CommonFunc::textGUID(fromKGUID(rule)));
    EXPECT_EQ(custom.get<std::string>("AnalyzerRuleID"), "0a0b0c0d-1e1f-2e2f-a0a1-a2a3a4a5a6a7");
    EXPECT_EQ(custom.get<std::string>("Direction"), "0");
    EXPECT_EQ(custom.get<std::string>("DestinationPort"), "23");
    EXPECT_EQ(custom.get<std::string>("SourcePort"), std::to_string(info.sourcePort));
}
