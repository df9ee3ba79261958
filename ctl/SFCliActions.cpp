// The rule and trusted-network add and delete actions. They build and send nothing yet: each
// logs that it is not available and reports a failed request.

#include "SFCli.h"

#include "ILogger.h"

namespace StatefulFirewall {

namespace po = boost::program_options;

int SFCli::processAddActions(ICliCommands&, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&,
                             const po::variables_map&)
{
    log(5, "Adding a firewall rule is not available in this build");
    return SF_CLI_EXIT_REQUEST_FAILED;
}

int SFCli::processTrustedNetworkAddAction(const po::variables_map&, ICliCommands&,
                                          ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    log(5, "Adding a trusted network is not available in this build");
    return SF_CLI_EXIT_REQUEST_FAILED;
}

int SFCli::processDeleteAction(const po::variables_map&, ICliCommands&, ZAV::ICommandFMCallback&,
                               ZAV::IFMCommClient&)
{
    log(5, "Deleting a firewall rule is not available in this build");
    return SF_CLI_EXIT_REQUEST_FAILED;
}

int SFCli::processTrustedNetworkDeleteAction(const po::variables_map&, ICliCommands&,
                                             ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    log(5, "Deleting a trusted network is not available in this build");
    return SF_CLI_EXIT_REQUEST_FAILED;
}

} // namespace StatefulFirewall
