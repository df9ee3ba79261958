#pragma once

// The rule and trusted-network commands through the dispatcher, called directly over a
// capturing socket: the real managers on a temporary store folder ("stores" in the test's
// folder) and the controller over the recording bridge. The suites derive from the fixture
// and read the replies through its calls.

#include "SFRulesCommandHelper.h"

#include "CapturingSocket.h"
#include "CommonFunc.h"
#include "DispatcherCalls.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "ModelFixtures.h"
#include "RecordingKextInterface.h"
#include "RecordingLogger.h"
#include "SFCommandRequestImpl.h"
#include "SFController.h"
#include "SFRuleManager.h"
#include "SFSerialization.h"
#include "SFTrustedIPGroupManager.h"
#include "TempDir.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

namespace TestSupport {

inline StatefulFirewall::SFTrustedGroupIP singleTrusted(const std::string& address)
{
    StatefulFirewall::SFTrustedGroupIP entry;
    entry.type = StatefulFirewall::FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    entry.setStartIp4Address(address.c_str());
    return entry;
}

// A rule as the delete command names it: "rule id,group id".
inline std::string deletePair(const StatefulFirewall::SFRule& rule)
{
    return StatefulFirewall::CommonFunc::textGUID(rule.ruleId) + "," +
           StatefulFirewall::CommonFunc::textGUID(rule.groupId);
}

class RulesCommandFixture : public ::testing::Test {
protected:
    using P = FakeConfigController::path;

    void SetUp() override
    {
        boost::filesystem::create_directories(m_dir.file("stores"));
        m_config.set(P::ruleStore, m_dir.file("stores/rules"));
        m_config.set(P::trustedStore, m_dir.file("stores/trusted"));
        m_config.set(P::trustSubnet, "1");
        m_controller = StatefulFirewall::SFController::getInstance(m_logger, m_config, &m_bridge);
        m_dispatcher = std::make_unique<StatefulFirewall::SFCommandRequestImpl>(m_socket, m_logger,
                                                                                m_config, m_monitor);
        m_rules = StatefulFirewall::SFRuleManager::getInstance();
    }
    void TearDown() override
    {
        m_dispatcher.reset();
        StatefulFirewall::SFRulesCommandHelper::releaseInstance();
        StatefulFirewall::SFController::releaseInstance();
    }

    // Runs one command; the reply must be one frame of kind 16.
    CapturedReply run(const ZAV::CommandRequest& request)
    {
        m_socket.clear();
        ZAV::CommandNWRequest arrived = arriving(request);
        EXPECT_TRUE(m_dispatcher->processCommandForFM(arrived, true));
        EXPECT_EQ(m_socket.sends().size(), 1u);
        const CapturedReply reply =
            m_socket.sends().empty() ? CapturedReply{} : decodeReply(m_socket.sends().back());
        EXPECT_EQ(reply.kind, 16);
        return reply;
    }
    // The int result code of a reply.
    int code(const CapturedReply& reply)
    {
        auto response = asResponse(reply);
        int result = 0;
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> result;
        else
            ADD_FAILURE() << "reply without data";
        return result;
    }
    // 100006: the rule id and result code it answers, and its status.
    int addRule(const StatefulFirewall::SFRule& rule, bool* status = nullptr,
                StatefulFirewall::GUID* answeredId = nullptr)
    {
        const CapturedReply reply = run(*narrowRequest(100006, rule));
        if (status != nullptr)
            *status = reply.record.status != 0;
        auto response = asResponse(reply);
        StatefulFirewall::GUID id{};
        int result = 0;
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> id >> result;
        if (answeredId != nullptr)
            *answeredId = id;
        return result;
    }
    int addTrusted(std::list<StatefulFirewall::SFTrustedGroupIP*> entries)
    {
        return code(run(*narrowRequest(100019, entries)));
    }

    TempDir m_dir;
    RecordingLogger m_logger;
    FakeConfigController m_config;
    RecordingKextInterface m_bridge;
    FakeNwIFManager m_monitor;
    CapturingSocket m_socket;
    StatefulFirewall::SFController* m_controller = nullptr;
    StatefulFirewall::SFRuleManager* m_rules = nullptr;
    std::unique_ptr<StatefulFirewall::SFCommandRequestImpl> m_dispatcher;
};

} // namespace TestSupport
