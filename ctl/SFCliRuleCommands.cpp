// The rule and trusted-network requests: add, read, delete and list.

#include "SFCliCommands.h"

namespace StatefulFirewall {

bool SFCliCommands::addModifyRule(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, const int&,
                                  const SFRule&)
{
    return false;
}

bool SFCliCommands::getAllRules(std::string, std::vector<GUID>&, std::vector<std::string>&,
                                ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::deleteRule(std::string, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::listAllRules(bool, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::addToTrustedNetwork(std::list<SFTrustedGroupIP*>, ZAV::ICommandFMCallback&,
                                        ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::getAllTrustedNetwork(std::vector<std::string>&, ZAV::ICommandFMCallback&,
                                         ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::deleteFromTrustedNetwork(std::string, ZAV::ICommandFMCallback&,
                                             ZAV::IFMCommClient&)
{
    return false;
}

bool SFCliCommands::listTrustedNetwork(bool, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&)
{
    return false;
}

} // namespace StatefulFirewall
