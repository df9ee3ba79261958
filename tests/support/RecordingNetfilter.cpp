#include "RecordingNetfilter.h"

#include "SFException.h"
#include "SFIptablesUtils.h"
#include "SFResultCodes.h"
#include "SFTrustedGroupIP.h"

using namespace StatefulFirewall;

namespace TestSupport {

std::vector<std::string> RecordingNetfilter::operations() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_operations;
}

std::vector<NetfilterGroupCall> RecordingNetfilter::groups() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_groups;
}

std::vector<NetfilterRuleCall> RecordingNetfilter::rules() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rules;
}

void RecordingNetfilter::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations.clear();
    m_groups.clear();
    m_rules.clear();
}

void RecordingNetfilter::operation(const std::string& name, const std::string& argument)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations.push_back(argument.empty() ? name : name + " " + argument);
    if (m_throwingOperations.count(name) != 0) {
        ++m_failedCommands;
        throw SFException(SF_SYSTEM_COMMAND_FAILED, name + " failed");
    }
}

void RecordingNetfilter::abandonCurrentGeneration(std::string previousUid)
{
    operation("abandonCurrentGeneration", previousUid);
}

int RecordingNetfilter::takeFailedCommands()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int failed = m_failedCommands;
    m_failedCommands = 0;
    return failed;
}

bool RecordingNetfilter::createNetfilterGroup(std::string group, SFwNetProtocol, SFwTransProtocol transport,
                                              SFMsgType, std::list<SFMatch*> groupMatches,
                                              std::vector<std::string>)
{
    operation("createNetfilterGroup", group);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_groups.push_back({group, transport, SFIptablesUtils().getGroupDirection(groupMatches)});
    if (m_failingGroups.count(group) != 0) {
        ++m_failedCommands;
        return false;
    }
    return m_refusedGroups.count(group) == 0;
}

void RecordingNetfilter::deleteNetfilterGroup(std::string group, std::list<SFMatch*>)
{
    operation("deleteNetfilterGroup", group);
}

bool RecordingNetfilter::addRuleToNetfilterGroup(KSFRule& rule, std::list<SFMatch*>, std::string group,
                                                 bool primaryGroup, std::vector<std::string>,
                                                 SFwDirection groupDirection, unsigned short mark,
                                                 bool lastRuleOfGroup)
{
    operation("addRuleToNetfilterGroup", rule.name);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_throwingRules.count(rule.name) != 0)
        throw SFException(SF_SYSTEM_COMMAND_FAILED, std::string("cannot add ") + rule.name);
    if (m_refusedRules.count(rule.name) != 0)
        return false;
    if (m_failingRules.count(rule.name) != 0) {
        ++m_failedCommands;
        return false;
    }
    m_rules.push_back({rule.name, group, primaryGroup, groupDirection, mark, lastRuleOfGroup,
                       rule.treatAsIntrusion != 0});
    return true;
}

void RecordingNetfilter::setNetfilterPolicyToAccept(bool accept)
{
    operation("setNetfilterPolicyToAccept", accept ? "true" : "false");
}

void RecordingNetfilter::addRelEstRuleToNetfilter(bool ownChains)
{
    operation("addRelEstRuleToNetfilter", ownChains ? "true" : "false");
}

std::vector<std::string> RecordingNetfilter::getTrustedNetworkParams(std::list<SFTrustedGroupIP*> trustedNetworks)
{
    operation("getTrustedNetworkParams");
    return std::vector<std::string>(trustedNetworks.size(), "trusted");
}

void RecordingNetfilter::addOrDeleteConnmarkRestoreRule(bool add)
{
    operation("addOrDeleteConnmarkRestoreRule", add ? "true" : "false");
}

void RecordingNetfilter::addOrDeleteQueueGroupWithJumpRule(bool add)
{
    operation("addOrDeleteQueueGroupWithJumpRule", add ? "true" : "false");
}

void RecordingNetfilter::addRulesToQueueGroup()
{
    operation("addRulesToQueueGroup");
}

void RecordingNetfilter::appendQueueRuleToAdaptiveGroup(std::string group)
{
    operation("appendQueueRuleToAdaptiveGroup", group);
}

void RecordingNetfilter::deleteAllRulesFromAdaptiveGroup(std::string group)
{
    operation("deleteAllRulesFromAdaptiveGroup", group);
}

bool RecordingNetfilter::updateFtpInspectionSetting(bool enable, std::string)
{
    operation("updateFtpInspectionSetting", enable ? "true" : "false");
    return true;
}

std::string RecordingNetfilter::getNetfilterVersion()
{
    operation("getNetfilterVersion");
    return "v1.8.9";
}

bool RecordingNetfilter::isKerneltzSupportedInTimeModule()
{
    operation("isKerneltzSupportedInTimeModule");
    return true;
}

void RecordingNetfilter::addBlockEventChain()
{
    operation("addBlockEventChain");
}

void RecordingNetfilter::addVarnikInputOutputChains(std::string uid)
{
    operation("addVarnikInputOutputChains", uid);
}

void RecordingNetfilter::deleteVarnikInputOutputChains(std::string uid)
{
    operation("deleteVarnikInputOutputChains", uid);
}

void RecordingNetfilter::addRedirectionRulesToInputOutputChains()
{
    operation("addRedirectionRulesToInputOutputChains");
}

void RecordingNetfilter::flushIptablesDefaultDropRule()
{
    operation("flushIptablesDefaultDropRule");
}

void RecordingNetfilter::flushIptablesInPreviousPolicy()
{
    operation("flushIptablesInPreviousPolicy");
}

void RecordingNetfilter::saveIptablesChainsToPreviousPolicy()
{
    operation("saveIptablesChainsToPreviousPolicy");
}

void RecordingNetfilter::flushIptablesInCurrentPolicy()
{
    operation("flushIptablesInCurrentPolicy");
}

void RecordingNetfilter::saveDefaultDropRulesToPreviousPolicy()
{
    operation("saveDefaultDropRulesToPreviousPolicy");
}

void RecordingNetfilter::flushDefaultDropRulesOfPreviousPolicy()
{
    operation("flushDefaultDropRulesOfPreviousPolicy");
}

bool RecordingNetfilter::hasRecordedLeftovers()
{
    operation("hasRecordedLeftovers");
    return true;
}

} // namespace TestSupport
