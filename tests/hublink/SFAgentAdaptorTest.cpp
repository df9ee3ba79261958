// The agent adaptor against the in-memory agent: registrations and their log lines, the eight
// site lists, managed mode, and who frees the agent and the plug-ins.

#include "SFAgentAdaptor.h"

#include "FMPException.h"
#include "FakeAgentPlugins.h"
#include "IAgentInfo.h"
#include "IAgentPolicyEnforcement.h"
#include "IAgentPropertyCollection.h"
#include "RecordingLogger.h"
#include "SiteListInfoAdaptor.h"
#include "StandInAgent.h"

#include <gtest/gtest.h>

using StatefulFirewall::SFAgentAdaptor;
using TestSupport::PluginProbe;
using ZAV::StandInAgent;
using ZAV::StandInBehaviour;
using List = std::list<std::string>;

namespace {

ZAV::tag_Site site(int kind, std::string name, std::string ip, uint32_t first, uint32_t second = 0)
{
    ZAV::tag_Site s;
    s.kind = static_cast<ZAV::SiteKind>(kind);
    s.name = std::move(name);
    s.ipAddress = std::move(ip);
    s.firstPort = first;
    s.secondPort = second;
    return s;
}

class SFAgentAdaptorTest : public ::testing::Test {
protected:
    // Builds an adaptor over a stand-in agent with this behaviour and these sites.
    std::unique_ptr<SFAgentAdaptor> make(const StandInBehaviour& behaviour = {},
                                         std::list<ZAV::tag_Site> sites = {})
    {
        auto agent = std::make_unique<StandInAgent>(m_logger, "HVRT_FW_1060QUIL");
        agent->setBehaviour(behaviour);
        agent->setSites(std::move(sites));
        m_agent = agent.get();
        return std::make_unique<SFAgentAdaptor>(
            m_logger, std::move(agent), std::make_unique<TestSupport::FakePolicyPlugin>(m_policyProbe),
            std::make_unique<TestSupport::FakePropertyPlugin>(m_propertyProbe),
            std::make_unique<TestSupport::FakeAgentInfo>(m_infoProbe));
    }

    int managedModeFor(const std::string& text)
    {
        StandInBehaviour b;
        b.managedMode = text;
        auto adaptor = make(b);
        m_logger.clear();
        return adaptor->getAgentManagedMode();
    }

    TestSupport::RecordingLogger m_logger;
    std::shared_ptr<PluginProbe> m_policyProbe = std::make_shared<PluginProbe>();
    std::shared_ptr<PluginProbe> m_propertyProbe = std::make_shared<PluginProbe>();
    std::shared_ptr<PluginProbe> m_infoProbe = std::make_shared<PluginProbe>();
    StandInAgent* m_agent = nullptr;
};

} // namespace

TEST_F(SFAgentAdaptorTest, SiteListFillsSortedDistinctListsAndSkipsUnknownKinds)
{
    auto adaptor = make({}, {site(6, "b", "10.0.0.2", 443, 8443), site(6, "a", "", 80, 8080),
                             site(6, "b", "10.0.0.2", 443, 8443), site(0, "http://u2", "", 81),
                             site(0, "http://u1", "", 81), site(1, "ftp://f", "", 21),
                             site(9, "ignored", "10.9.9.9", 9, 9)});
    EXPECT_EQ(adaptor->m_yalServerName, (List{"a", "b"}));
    EXPECT_EQ(adaptor->m_yalServerIP, (List{"10.0.0.2"}));
    EXPECT_EQ(adaptor->m_yalSecurePort, (List{"443", "80"})); // sorted as text
    EXPECT_EQ(adaptor->m_yalServerPort, (List{"8080", "8443"}));
    EXPECT_EQ(adaptor->m_httpUpdateUrl, (List{"http://u1", "http://u2"}));
    EXPECT_EQ(adaptor->m_httpUpdatePort, (List{"81"}));
    EXPECT_EQ(adaptor->m_ftpUpdateUrl, (List{"ftp://f"}));
    EXPECT_EQ(adaptor->m_ftpUpdatePort, (List{"21"}));
    EXPECT_TRUE(adaptor->m_agentPort.empty());
    EXPECT_EQ(adaptor->m_componentName, "SFAgentAdaptor");

    // Kind 9 alone changes nothing.
    ZAV::SiteListInfoAdaptor only9;
    only9.addSite(site(9, "x", "1.1.1.1", 1, 2));
    const List before = adaptor->m_yalServerName;
    adaptor->updateYALServerValues(only9);
    EXPECT_EQ(adaptor->m_yalServerName, before);
    EXPECT_EQ(adaptor->m_yalServerIP, (List{"10.0.0.2"}));
}

TEST_F(SFAgentAdaptorTest, RegistrationsLogTheirOutcomeAndASiteListFailureLeavesListsEmpty)
{
    StandInBehaviour b;
    b.registerPolicy = false;
    b.registerSiteList = false;
    auto adaptor = make(b, {site(6, "a", "10.0.0.1", 1, 2), site(0, "u", "", 3)});
    EXPECT_TRUE(m_logger.has(2, "Failed to register with policy enforcement callback."));
    EXPECT_TRUE(m_logger.has(5, "Successfully registered with property collection callback."));
    EXPECT_TRUE(m_logger.has(5, "Successfully registered with agent information callback."));
    EXPECT_TRUE(m_logger.has(2, "Failed to register with agent site list callback."));
    for (const List* list : {&adaptor->m_yalServerName, &adaptor->m_yalServerIP, &adaptor->m_yalSecurePort,
                             &adaptor->m_yalServerPort, &adaptor->m_httpUpdateUrl, &adaptor->m_httpUpdatePort,
                             &adaptor->m_ftpUpdateUrl, &adaptor->m_ftpUpdatePort})
        EXPECT_TRUE(list->empty());

    // A site list the agent cannot read leaves them empty too, after a successful registration.
    StandInBehaviour unreadable;
    unreadable.siteListRead = false;
    auto second = make(unreadable, {site(6, "a", "10.0.0.1", 1, 2)});
    EXPECT_TRUE(m_logger.has(5, "Successfully registered with agent site list callback."));
    EXPECT_TRUE(second->m_yalServerName.empty());
}

TEST_F(SFAgentAdaptorTest, ManagedModeAcceptsAnOptionalSignAndDigitsOnly)
{
    EXPECT_EQ(managedModeFor("1"), 1);
    EXPECT_TRUE(m_logger.has(5, "Varnik Agent is running with mode: 1 (0-Unmanaged, 1-Yal Managed, "
                                "2-Yal Cloud Managed, 3-Unknown)"));
    EXPECT_EQ(managedModeFor("+2"), 2);
    EXPECT_EQ(managedModeFor("0"), 0);
    EXPECT_EQ(managedModeFor("7"), 7);
    EXPECT_EQ(managedModeFor("-4"), -4);
    for (const char* bad : {"", "1a", " 1", "1 ", "+", "+-1", "99999999999"}) {
        EXPECT_EQ(managedModeFor(bad), 3) << '"' << bad << '"';
        EXPECT_TRUE(m_logger.has(2, "Error in converting the Managed mode setting of Varnik Agent")) << bad;
    }

    StandInBehaviour noAnswer;
    noAnswer.hasManagedMode = false;
    auto adaptor = make(noAnswer);
    EXPECT_EQ(adaptor->getAgentManagedMode(), 3);
    EXPECT_TRUE(m_logger.has(2, "Error in getting the Managed mode setting of Varnik Agent"));
}

TEST_F(SFAgentAdaptorTest, AgentPortAndPassThroughs)
{
    auto adaptor = make();
    adaptor->updateAgentPort();
    EXPECT_TRUE(adaptor->m_agentPort.empty());
    EXPECT_TRUE(m_logger.has(2, "Error while getting Varnik agent's communication port information"));

    StandInBehaviour b;
    b.hasAgentPort = true;
    b.agentPort = "8081";
    m_agent->setBehaviour(b);
    adaptor->updateAgentPort();
    EXPECT_EQ(adaptor->m_agentPort, "8081");
    EXPECT_TRUE(m_logger.has(6, "Varnik agent's communication port is: 8081"));

    EXPECT_EQ(adaptor->getAgentUpdaterInterface(), nullptr);
    adaptor->unloadWZPlugin();
    adaptor->reloadWZPlugin();
    adaptor->startLogging();
    adaptor->stopLogging();
    EXPECT_EQ(m_agent->passThroughCalls(), (std::vector<std::string>{"unload", "reload", "logging", "logging"}));
}

TEST_F(SFAgentAdaptorTest, ANullArgumentThrowsCode3AndFreesEverythingPassedIn)
{
    for (int nullAt = 0; nullAt < 4; ++nullAt) {
        auto probe = std::make_shared<PluginProbe>();
        const int agentsBefore = StandInAgent::destroyedCount();
        std::unique_ptr<ZAV::IEnterpriseAgent> agent;
        if (nullAt != 0)
            agent = std::make_unique<StandInAgent>(m_logger, "HVRT_FW_1060QUIL");
        std::unique_ptr<ZAV::IAgentPolicyEnforcement> policy;
        if (nullAt != 1)
            policy = std::make_unique<TestSupport::FakePolicyPlugin>(probe);
        std::unique_ptr<ZAV::IAgentPropertyCollection> property;
        if (nullAt != 2)
            property = std::make_unique<TestSupport::FakePropertyPlugin>(probe);
        std::unique_ptr<ZAV::IAgentInfo> info;
        if (nullAt != 3)
            info = std::make_unique<TestSupport::FakeAgentInfo>(probe);
        try {
            SFAgentAdaptor adaptor(m_logger, std::move(agent), std::move(policy), std::move(property),
                                   std::move(info));
            ADD_FAILURE() << "no exception with argument " << nullAt << " null";
        } catch (const ZAV::FMPException& e) {
            EXPECT_EQ(e.getCode(), 3);
            EXPECT_EQ(e.getMessage(), "Failed to create Agent adaptor as invalid parameter for mandatory field.");
        }
        EXPECT_EQ(StandInAgent::destroyedCount() - agentsBefore, nullAt == 0 ? 0 : 1) << nullAt;
        EXPECT_EQ(probe->destroyed.load(), nullAt == 0 ? 3 : 2) << nullAt;
    }
}

TEST_F(SFAgentAdaptorTest, ARefusedPluginIsFreedAtOnceAndKeptOnesWithTheAdaptor)
{
    const int created = StandInAgent::constructedCount();
    const int destroyed = StandInAgent::destroyedCount();
    StandInBehaviour b;
    b.registerProperty = false;
    auto adaptor = make(b);
    EXPECT_EQ(m_propertyProbe->destroyed.load(), 1);
    EXPECT_EQ(m_policyProbe->destroyed.load(), 0);
    EXPECT_EQ(m_infoProbe->destroyed.load(), 0);
    EXPECT_EQ(m_agent->deliverPolicy("section 8 FWStatus=1\n"), 1);
    std::vector<ZAV::StandInSectionsHandle::Property> properties;
    EXPECT_EQ(m_agent->collect(true, properties), -1); // the refused plug-in is not called

    adaptor.reset();
    EXPECT_EQ(m_propertyProbe->destroyed.load(), 1);
    EXPECT_EQ(m_policyProbe->destroyed.load(), 1);
    EXPECT_EQ(m_infoProbe->destroyed.load(), 1);
    EXPECT_EQ(StandInAgent::constructedCount() - created, 1);
    EXPECT_EQ(StandInAgent::destroyedCount() - destroyed, 1);
}
