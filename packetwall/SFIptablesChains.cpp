// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include "IHelperUtils.h"

#include <stdexcept>

namespace StatefulFirewall {

SFIptables::SFIptables(ZAV::ILogger& logger, IConfigController& c, std::shared_ptr<IHelperUtils> h, INwIFManager& n, std::string s, std::string f) : m_logger(logger), m_moduleName("SFIptables"), m_configController(c), m_helperUtils(std::move(h)), m_nwIfManager(n), m_outputDefaultDropCount(0), m_inputDefaultDropCount(0), m_stateFile(std::move(s)), m_ftpModuleDir(std::move(f)) {}
SFIptables::~SFIptables() = default;
void SFIptables::setNetfilterPolicyToAccept(bool) { throw std::logic_error("stub"); }
void SFIptables::addRelEstRuleToNetfilter(bool) { throw std::logic_error("stub"); }
void SFIptables::addVarnikInputOutputChains(std::string) { throw std::logic_error("stub"); }
void SFIptables::deleteVarnikInputOutputChains(std::string) { throw std::logic_error("stub"); }
void SFIptables::addRedirectionRulesToInputOutputChains() { throw std::logic_error("stub"); }
void SFIptables::flushIptablesDefaultDropRule() { throw std::logic_error("stub"); }
void SFIptables::flushIptablesInPreviousPolicy() { throw std::logic_error("stub"); }
void SFIptables::saveIptablesChainsToPreviousPolicy() { throw std::logic_error("stub"); }
void SFIptables::flushIptablesInCurrentPolicy() { throw std::logic_error("stub"); }
bool SFIptables::checkChainExists(std::string) { throw std::logic_error("stub"); }
void SFIptables::addOrDeleteIptablesChain(bool, std::string) { throw std::logic_error("stub"); }
std::vector<std::string> SFIptables::getJumpRuleInInputOrOutputToGroup(bool, std::string) { throw std::logic_error("stub"); }
void SFIptables::deleteJumpRuleInInputOrOutputToGroup(bool, std::string) { throw std::logic_error("stub"); }
void SFIptables::deleteAllRulesFromGroup(std::string) { throw std::logic_error("stub"); }
std::string SFIptables::vectorToString(std::vector<std::string>) { throw std::logic_error("stub"); }
void SFIptables::runIptables(std::vector<std::string> words) { words.insert(words.begin(), SF_IPTABLES_PATH); runCommand(std::move(words)); }
void SFIptables::runCommand(std::vector<std::string> argv) { m_helperUtils->executeSystemCommand(std::move(argv), nullptr); }
std::list<std::string> SFIptables::removeGeneration(const std::string&, const std::list<std::string>&, const char*) { throw std::logic_error("stub"); }
void SFIptables::flushDefaultDropLines(bool) { throw std::logic_error("stub"); }
void SFIptables::recordDefaultDropLine(bool, SFDefaultDropLine::Kind, std::vector<std::string>) { throw std::logic_error("stub"); }

} // namespace StatefulFirewall
