// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include <stdexcept>

namespace StatefulFirewall {

std::vector<std::string> SFIptables::getIptablesRuleActionCmdSuffix(bool, bool, std::string, std::string, bool) { throw std::logic_error("stub"); }
std::vector<std::string> SFIptables::getIptablesRuleLogCmdSuffix(bool, bool, std::string, std::string, bool) { throw std::logic_error("stub"); }
std::vector<std::string> SFIptables::getIptablesMarkRuleCmdSuffix(std::string, bool, bool, unsigned short, bool) { throw std::logic_error("stub"); }
int SFIptables::getCheckedLogLevel() { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
