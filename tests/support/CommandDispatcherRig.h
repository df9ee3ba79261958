#pragma once

// The daemon's command dispatcher behind the real channel, in-process: the platform service's
// broker on a thread (socket in a folder the test gives), the daemon side registered as 7000
// with SFCommandRequestImpl behind the service callback and its run loop on a thread, and a
// 3000 requester built as the command-line tool builds it.
//
// Ownership: borrows the settings, the interface monitor and the logger; the dispatcher creates
// the rule-command singleton, which the rig releases (with the managers) when it goes. The
// controller singleton is the test's. Threads: the broker's, the daemon loop and the tool loop;
// the test thread calls the rest.

#include "ChannelClientRig.h"
#include "CommandCallbackForServiceFM.h"
#include "FMCommClient.h"
#include "HelperFactory.h"
#include "InProcessBroker.h"
#include "SFCommandRequestImpl.h"
#include "SFRegistrationFMCallback.h"
#include "UnixDomainSocket.h"
#include "UnixDomainSocketUtils.h"

#include <memory>
#include <string>
#include <thread>

namespace TestSupport {

class CommandDispatcherRig {
public:
    // commonPolicyFile: what the broker answers 1000 with; empty: status false.
    CommandDispatcherRig(const std::string& folder, StatefulFirewall::IConfigController& config,
                         StatefulFirewall::INwIFManager& monitor, ZAV::ILogger& logger,
                         const std::string& commonPolicyFile = {});
    ~CommandDispatcherRig();
    CommandDispatcherRig(const CommandDispatcherRig&) = delete;
    CommandDispatcherRig& operator=(const CommandDispatcherRig&) = delete;

    // Sends one command from the tool (3000) to the daemon; returns with the response filled.
    void call(ZAV::CommandRequest& request, ZAV::CommandResponse& response);
    // The start-up fetch of the common policy, as the daemon's main thread runs it.
    bool fetchCommonPolicy();

    const std::string& socketPath() const { return m_broker.socketPath(); }
    InProcessBroker& broker() { return m_broker; }
    ChannelClientRig& tool() { return *m_tool; }
    StatefulFirewall::SFCommandRequestImpl& dispatcher() { return m_dispatcher; }

private:
    void shutDown();

    StatefulFirewall::IConfigController& m_config;
    ZAV::ILogger& m_logger;
    InProcessBroker m_broker;
    ZAV::UnixDomainSocketUtils m_socketUtils;
    ZAV::UnixDomainSocket m_socket;
    ZAV::HelperFactory m_helperFactory;
    StatefulFirewall::SFRegistrationFMCallback m_registration;
    StatefulFirewall::SFCommandRequestImpl m_dispatcher;
    ZAV::CommandCallbackForServiceFM m_commands;
    ZAV::FMCommClient m_client;
    std::thread m_loop;
    std::unique_ptr<ChannelClientRig> m_tool;
};

} // namespace TestSupport
