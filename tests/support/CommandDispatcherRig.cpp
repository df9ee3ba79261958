#include "CommandDispatcherRig.h"

#include "SFCommonPolicyRequestImpl.h"
#include "SFRulesCommandHelper.h"

#include <stdexcept>

namespace TestSupport {

namespace {

ZAV::BrokerOptions optionsFor(const std::string& folder, const std::string& commonPolicyFile)
{
    ZAV::BrokerOptions options;
    options.socketPath = folder + "/zavsocket";
    options.commonPolicyFile = commonPolicyFile;
    return options;
}

} // namespace

CommandDispatcherRig::CommandDispatcherRig(const std::string& folder,
                                           StatefulFirewall::IConfigController& config,
                                           StatefulFirewall::INwIFManager& monitor,
                                           ZAV::ILogger& logger,
                                           const std::string& commonPolicyFile)
    : m_config(config),
      m_logger(logger),
      m_broker(optionsFor(folder, commonPolicyFile)),
      m_socket(m_socketUtils, nullptr),
      m_helperFactory(logger),
      m_registration(logger),
      m_dispatcher(m_socket, logger, config, monitor),
      m_commands(m_socket, logger, m_dispatcher),
      m_client(m_socket, m_helperFactory, logger)
{
    m_broker.start();
    m_socket.setSocketPath(m_broker.socketPath());
    for (int type : m_registration.getSupportedFMMessageTypes())
        m_helperFactory.addFMCallback(type, &m_registration);
    for (int type : m_commands.getSupportedFMMessageTypes())
        m_helperFactory.addFMCallback(type, &m_commands);
    m_client.startConnection();
    m_loop = std::thread([this] {
        try {
            m_client.run();
        } catch (const std::exception& e) {
            m_logger.logMessage(2, "CommandDispatcherRig", std::string("run loop ended: ") + e.what());
        }
    });
    try {
        if (!m_registration.startFMRegistration(StatefulFirewall::SF_DAEMON_FM_ID, 5, m_client))
            throw std::runtime_error("the daemon side was not registered as 7000");
        m_tool = std::make_unique<ChannelClientRig>(m_broker.socketPath(), 3000,
                                                    ChannelClientRig::Role::Requester);
        if (!m_tool->start())
            throw std::runtime_error("the tool side was not registered as 3000");
    } catch (...) {
        // No destructor runs for a half-built rig: end the loop thread here.
        shutDown();
        throw;
    }
}

void CommandDispatcherRig::shutDown()
{
    if (m_tool)
        m_tool->stop();
    m_client.stop();
    if (m_loop.joinable())
        m_loop.join();
    m_broker.stop();
    StatefulFirewall::SFRulesCommandHelper::releaseInstance();
}

CommandDispatcherRig::~CommandDispatcherRig()
{
    shutDown();
}

void CommandDispatcherRig::call(ZAV::CommandRequest& request, ZAV::CommandResponse& response)
{
    m_tool->call(request, response);
}

bool CommandDispatcherRig::fetchCommonPolicy()
{
    StatefulFirewall::SFCommonPolicyRequestImpl fetch(m_logger, m_config);
    const int fmId = StatefulFirewall::SF_DAEMON_FM_ID;
    return fetch.getCommonPolicySettings(m_commands, fmId, m_client);
}

} // namespace TestSupport
