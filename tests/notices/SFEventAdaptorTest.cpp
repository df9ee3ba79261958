// The event record built from a block-event record: every standard and custom field, the
// protocol and direction variants, the rule identifier text and the time stamp.

#include "SFEventAdaptor.h"

#include "CommonFunc.h"
#include "FakeConfigController.h"
#include "MsgBusEventData.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <ctime>

using StatefulFirewall::RuleEventInfo;
using StatefulFirewall::SFEventAdaptor;
using Fields = std::map<int, std::string>;
using Custom = std::map<std::string, std::string>;

namespace {

uint32_t address(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr; // network byte order, as the queue stores it
}

RuleEventInfo tcpRecord()
{
    RuleEventInfo info{};
    std::strcpy(info.ruleName, "Block SSH");
    info.EventID = 18001;
    info.action = 2;
    info.EventSeverity = 2;
    info.protocol = 6;
    info.sourceAddress = address("10.1.1.1");
    info.sourcePort = 40000;
    info.destinationAddress = address("10.1.1.2");
    info.destinationPort = 22;
    info.direction = 1;
    return info;
}

class SFEventAdaptorTest : public ::testing::Test {
protected:
    ZAV::MsgBusEventData build(RuleEventInfo info, const std::string& topic = "fw.intrusion")
    {
        ZAV::MsgBusEventData event("18001", 2);
        m_adaptor.createEventData(topic, info, event);
        return event;
    }

    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeConfigController m_config;
    SFEventAdaptor m_adaptor{m_logger, m_config};
};

} // namespace

TEST_F(SFEventAdaptorTest, TcpBlockGivesEveryField)
{
    const ZAV::MsgBusEventData event = build(tcpRecord());
    Fields fields = event.getStandardFields();
    fields.erase(3); // the time, checked below
    EXPECT_EQ(fields, (Fields{{1, "Firewall"},
                              {4, "Blocked"},
                              {5, "fw.intrusion"},
                              {6, "1"},
                              {7, "Block SSH"},
                              {8, "2"},
                              {9, "IDS_FW_THREAT_TYPE_INTRUSION"},
                              {18, "22"},
                              {19, "TCP"},
                              {22, "10.1.1.2"},
                              {23, "10.1.1.1"}}));
    EXPECT_EQ(event.getCustomFieldTableName(), "YLExtendedEventMT");
    EXPECT_EQ(event.getCustomFields(), (Custom{{"BladeName", "IDS_BLADE_NAME_FW"},
                                               {"AnalyzerRuleID", "EMPTY"},
                                               {"AnalyzerRuleName", "Block SSH"},
                                               {"Direction", "0"},
                                               {"AttackVectorType", "3"},
                                               {"DestinationPort", "22"},
                                               {"SourcePort", "40000"},
                                               {"TargetProtocol", "TCP"}}));
    EXPECT_EQ(event.getEventName(), "18001");

    // Field 3 is now, in UTC.
    std::tm parts{};
    const std::string stamp = event.getStandardFields().at(3);
    ASSERT_EQ(stamp.size(), 20u) << stamp;
    ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts), nullptr) << stamp;
    EXPECT_LE(std::labs(static_cast<long>(timegm(&parts) - std::time(nullptr))), 2L) << stamp;
}

TEST_F(SFEventAdaptorTest, ProtocolsDirectionsActionsAndTopics)
{
    RuleEventInfo icmp = tcpRecord();
    icmp.protocol = 1;
    icmp.icmpType = 8;
    icmp.sourcePort = 0;
    icmp.destinationPort = 0;
    icmp.direction = 2;
    ZAV::MsgBusEventData event = build(icmp);
    EXPECT_EQ(event.getStandardFields().at(19), "ICMP");
    EXPECT_EQ(event.getStandardFields().at(18), "0");
    EXPECT_EQ(event.getCustomFields().at("ICMPType"), "8");
    EXPECT_EQ(event.getCustomFields().at("SourcePort"), "0");
    EXPECT_EQ(event.getCustomFields().count("DestinationPort"), 0u);
    EXPECT_EQ(event.getCustomFields().at("Direction"), "1");
    EXPECT_EQ(event.getCustomFields().at("AttackVectorType"), "4");

    RuleEventInfo gre = tcpRecord();
    gre.protocol = 47;
    gre.direction = 3;
    gre.action = 1;
    event = build(gre, "ops.fw.detect");
    EXPECT_EQ(event.getStandardFields().at(19), "47");
    EXPECT_EQ(event.getCustomFields().at("TargetProtocol"), "47");
    EXPECT_EQ(event.getCustomFields().count("ICMPType"), 0u);
    EXPECT_EQ(event.getCustomFields().count("DestinationPort"), 0u);
    EXPECT_EQ(event.getStandardFields().at(18), "22"); // always set
    EXPECT_EQ(event.getCustomFields().at("Direction"), "");
    EXPECT_EQ(event.getCustomFields().at("AttackVectorType"), "");
    EXPECT_EQ(event.getStandardFields().at(4), "IDS_THREAT_ACTION_ALLOW");
    EXPECT_EQ(event.getStandardFields().at(9), "IDS_FW_THREAT_TYPE_DETECTION");

    RuleEventInfo udp = tcpRecord();
    udp.protocol = 17;
    EXPECT_EQ(build(udp, "ops.fw.traffic").getStandardFields().at(9), "IDS_FW_THREAT_TYPE_TRAFFIC");
    EXPECT_EQ(build(udp).getCustomFields().at("DestinationPort"), "22");
    EXPECT_EQ(build(udp, "fw.other").getStandardFields().at(9), "Unknown");
}

TEST_F(SFEventAdaptorTest, AnalyzerRuleIdIsTheRulesIdentifierText)
{
    // Every byte distinct, so a part taken from the wrong place shows.
    RuleEventInfo info = tcpRecord();
    info.ruleId.Data1 = 0x0a0b0c0d;
    for (uint8_t i = 0; i < 8; ++i)
        info.ruleId.Data4[i] = static_cast<uint8_t>(0xa0 + i);
    info.ruleId.Data2 = 0x1e1f;
    info.ruleId.Data3 = 0x2e2f;

    StatefulFirewall::GUID same{};
    same.Data1 = 0x0a0b0c0d;
    same.Data2 = 0x1e1f;
    same.Data3 = 0x2e2f;
    for (uint8_t i = 0; i < 8; ++i)
        same.Data4[i] = static_cast<uint8_t>(0xa0 + i);
    const std::string id = build(info).getCustomFields().at("AnalyzerRuleID");
    EXPECT_EQ(id, StatefulFirewall::CommonFunc::textGUID(same));
    EXPECT_EQ(id, "0a0b0c0d-1e1f-2e2f-a0a1-a2a3a4a5a6a7");
}

TEST_F(SFEventAdaptorTest, ARuleNameFillingAllItsBytesIsReadWithinTheRecord)
{
    RuleEventInfo info = tcpRecord();
    std::memset(info.ruleName, 'n', sizeof(info.ruleName)); // no terminator
    const ZAV::MsgBusEventData event = build(info);
    EXPECT_EQ(event.getStandardFields().at(7), std::string(104, 'n'));
    EXPECT_EQ(event.getCustomFields().at("AnalyzerRuleName"), std::string(104, 'n'));
}
