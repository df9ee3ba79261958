#include "BridgeSandboxRig.h"

#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "QueueSandboxRig.h"
#include "SFAdaptiveAggregationWrapper.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFBlockEventQueueWrapper.h"
#include "SFConfigController.h"
#include "SFException.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "CommonFunc.h"
#include "SFConfigData.h"
#include "SFController.h"
#include "SFFMNwIFManager.h"
#include "SFIptables.h"
#include "SFKextInterface.h"
#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"
#include "SandboxGuard.h"
#include "SystemInfo.h"
#include "ZAVUtils.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <stdexcept>

using namespace StatefulFirewall;

namespace BridgeRig {

namespace {

// Replaces the text of the first <tag> element of the settings text.
void setElement(std::string& text, const std::string& tag, const std::string& value)
{
    const std::string open = "<" + tag + ">";
    const size_t start = text.find(open);
    const size_t end = text.find("</" + tag + ">", start);
    if (start == std::string::npos || end == std::string::npos)
        throw std::runtime_error("settings template has no " + tag);
    text.replace(start + open.size(), end - start - open.size(), value);
}

std::string join(const std::vector<std::string>& argv)
{
    std::string line;
    for (size_t i = 1; i < argv.size(); ++i)
        line += (i > 1 ? " " : "") + argv[i];
    return line;
}

void resetFilterTable()
{
    QueueRig::shell("iptables -P INPUT ACCEPT; iptables -P OUTPUT ACCEPT; iptables -P FORWARD ACCEPT; "
                    "iptables -F; iptables -X");
}

} // namespace

// ---------------------------------------------------------------------------------------------

SandboxZAVUtils::SandboxZAVUtils(ZAV::ILogger& logger)
    : m_real(std::make_shared<ZAV::ZAVUtils>(nullptr, logger, std::make_shared<ZAV::kernelVersion>()))
{
}

void SandboxZAVUtils::failOnce(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failLine = line;
}

void SandboxZAVUtils::observe(std::function<void(const std::string&)> observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

bool SandboxZAVUtils::admit(const std::vector<std::string>& argv)
{
    if (argv.empty() || argv[0] == SF_MODPROBE_PATH) {
        ++m_refusedModprobes;
        return false;
    }
    const std::string line = join(argv);
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_failLine.empty() && line == m_failLine) {
            m_failLine.clear();
            return false;
        }
        observer = m_observer;
    }
    if (observer)
        observer(line);
    return true;
}

bool SandboxZAVUtils::runCommand(const std::vector<std::string>& argv,
                                 const std::map<int, bool>* exitStatusTable)
{
    return admit(argv) && m_real->runCommand(argv, exitStatusTable);
}

bool SandboxZAVUtils::runCommandWithOutput(const std::vector<std::string>& argv,
                                           const std::map<int, bool>* exitStatusTable, int* pipeFds)
{
    return admit(argv) && m_real->runCommandWithOutput(argv, exitStatusTable, pipeFds);
}

bool SandboxZAVUtils::runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus, std::string& errorText)
{
    return admit(argv) && m_real->runCommandForAnswer(argv, exitStatus, errorText);
}

// ---------------------------------------------------------------------------------------------

Stack::Stack(const Settings& settings, INwIFManager* monitor)
{
    const std::string problem = TestSupport::sandboxProblem();
    if (!problem.empty())
        throw std::runtime_error(problem);
    TestSupport::resetProductPaths();
    resetFilterTable();

    std::string text = TestSupport::readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml");
    setElement(text, "IsFirewallEnabled", "1");
    // Its default 1 would make every enable load a kernel module on the shared kernel.
    setElement(text, "UseFTPinspection", "0");
    setElement(text, "IsRegularOrAdaptive", std::to_string(settings.mode));
    setElement(text, "AggrTimeoutSecs", std::to_string(settings.aggregationSecs));
    setElement(text, "ReportingTimeoutSecs", std::to_string(settings.reportingSecs));
    setElement(text, "HealthCheckTimerInSecs", std::to_string(settings.healthCheckSecs));
    setElement(text, "HashLimitUptoRate", settings.hashLimitRate);
    setElement(text, "RuleStorePath", m_dir.file("rule-store.data"));
    setElement(text, "TrustedIPStorePath", m_dir.file("trustedip-store.data"));
    boost::filesystem::create_directories(boost::filesystem::path(SF_TEMPLATE_PREFS_PATH).parent_path());
    TestSupport::writeFile(SF_TEMPLATE_PREFS_PATH, text);
    TestSupport::writeFile(SF_LIVE_PREFS_PATH, text);
    ::chmod(SF_LIVE_PREFS_PATH, 0600);

    m_config = std::make_unique<SFConfigController>(
        m_logger, std::make_unique<ZAV::ConfigStoreUtility>(m_logger), std::make_unique<ZAV::ConfigStore>(m_logger));
    if (monitor == nullptr) {
        m_ownMonitor = std::make_unique<SFFMNwIFManager>(m_logger);
        monitor = m_ownMonitor.get();
    }
    m_monitor = monitor;
    m_utils = std::make_shared<SandboxZAVUtils>(m_logger);
    m_bridge = std::make_unique<SFKextInterface>(m_logger, *m_config, *m_monitor, m_events, m_utils,
                                                 m_dir.file("netfilter.state"));
    m_controller = SFController::getInstance(m_logger, *m_config, m_bridge.get());
}

Stack::~Stack()
{
    try {
        if (m_controller != nullptr)
            m_controller->disableStatefulFirewall(*m_monitor);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "disable at the end: " << e.what();
    } catch (const SFException& e) {
        ADD_FAILURE() << "disable at the end: " << e.message;
    }
    SFController::releaseInstance();
    m_bridge.reset();
    SFTrustedIPGroupManager::releaseInstance();
    SFRuleManager::releaseInstance();
    SFAdaptiveAggregationWrapper::releaseInstance();
    SFAdaptiveQueueWrapper::releaseInstance();
    SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    SFBlockEventQueueWrapper::releaseInstance();
    SFBlockEventQueueWrapper::clearBlockEventQueue();
    m_ownMonitor.reset();
    if (TestSupport::sandboxProblem().empty())
        resetFilterTable();
}

SFRuleManager& Stack::rules()
{
    return *SFRuleManager::getInstance(m_logger, *m_config, true);
}

void Stack::enable()
{
    m_controller->enableStatefulFirewall(*m_monitor);
}

void Stack::disable()
{
    m_controller->disableStatefulFirewall(*m_monitor);
}

long Stack::generation()
{
    const std::string uid = m_config->getUniqueId();
    return uid.size() > 1 ? std::stol(uid.substr(1)) : -1;
}

// ---------------------------------------------------------------------------------------------

GUID addClientRule(SFRuleManager& rules, const ClientRule& wanted)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    rule->name = wanted.name;
    rule->enabled = true;
    rule->action = wanted.action;
    rule->transport = FW_TRANS_PROTO_TCP;
    rule->netProto = NET_PROTO_IP;
    rule->position = wanted.position;
    rule->treatAsIntrusion = wanted.intrusion;
    auto* direction = new SFMatch();
    direction->matchType = FW_MATCH_DIRECTION;
    direction->matchOp = FW_MATCH_OP_EQUAL;
    direction->value.intValue = wanted.direction;
    rule->addMatch(direction);
    auto* port = new SFMatch();
    port->matchType = wanted.portKind;
    port->addressType = FW_ADDRESS_TYPE_SINGLE;
    port->matchOp = FW_MATCH_OP_EQUAL;
    port->setPortNumber(wanted.port, 0);
    rule->addMatch(port);
    const GUID id = rule->ruleId;
    const int added = rules.addRule(rule);
    if (added != SF_SUCCESS && added != SF_RULE_POSITION_CHANGED) {
        ADD_FAILURE() << "rule " << wanted.name << " refused: " << added;
        delete rule;
    }
    return id;
}

void removeClientRules(SFRuleManager& rules, const std::vector<std::string>& names)
{
    const GUID client = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    const std::unique_ptr<SFRuleGroup> group = rules.copyGroup(client);
    ASSERT_TRUE(group);
    for (const SFRule* rule : group->rules) {
        if (std::find(names.begin(), names.end(), rule->name) != names.end()) {
            EXPECT_EQ(rules.delRule(client, rule->ruleId), SF_SUCCESS) << rule->name;
        }
    }
}

std::string iptables(const std::string& words)
{
    std::string output;
    const int status = QueueRig::shell("iptables " + words, &output);
    if (status != 0)
        ADD_FAILURE() << "iptables " << words << " exited " << status << ": " << output;
    return output;
}

size_t linesWith(const std::string& listing, const std::string& text)
{
    std::istringstream lines(listing);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

bool mentionsGeneration(const std::string& listing, long generation)
{
    const std::string uid = "_" + std::to_string(generation);
    return listing.find(uid + "\n") != std::string::npos || listing.find(uid + " ") != std::string::npos;
}

int taskCount()
{
    // A sanitizer starts a helper thread of its own at the first thread a process creates:
    // one thread made and joined first keeps it out of the difference between two counts.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(tasks);
    return count;
}

} // namespace BridgeRig
