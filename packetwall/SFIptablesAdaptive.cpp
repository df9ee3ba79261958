// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include "IHelperUtils.h"

#include <stdexcept>

namespace StatefulFirewall {

void SFIptables::addOrDeleteConnmarkRestoreRule(bool) { throw std::logic_error("stub"); }
void SFIptables::addOrDeleteQueueGroupWithJumpRule(bool) { throw std::logic_error("stub"); }
void SFIptables::addRulesToQueueGroup() { throw std::logic_error("stub"); }
void SFIptables::appendQueueRuleToAdaptiveGroup(std::string) { throw std::logic_error("stub"); }
void SFIptables::deleteAllRulesFromAdaptiveGroup(std::string) { throw std::logic_error("stub"); }
void SFIptables::addBlockEventChain() { throw std::logic_error("stub"); }
void SFIptables::addRuleToBlockChain(std::string, bool, std::string, std::string, std::string) { throw std::logic_error("stub"); }
std::string SFIptables::getCheckedHashLimitRate() { throw std::logic_error("stub"); }
std::string SFIptables::hashLimitName(const std::string&, const std::string&) { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
