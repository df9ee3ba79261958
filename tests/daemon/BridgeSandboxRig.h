#pragma once

// The daemon core's real stack inside tests/sandbox: the settings file at its product path,
// written from the shipped template with the test's periods; the rule and trusted-network
// stores in a temporary folder; the interface monitor (or a stand-in); the real command runner
// behind a platform utility that refuses modprobe and can fail one command line; the bridge
// with the iptables driver, and the controller over it.

#include "CapturingEventAdaptor.h"
#include "INwIFManager.h"
#include "IZAVUtils.h"
#include "RecordingLogger.h"
#include "SFTypes.h"
#include "TempDir.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace StatefulFirewall {
class SFConfigController;
class SFController;
class SFKextInterface;
class SFRuleManager;
} // namespace StatefulFirewall

namespace BridgeRig {

// Values written into the settings file before the controller reads it.
struct Settings {
    int mode = 0;
    int aggregationSecs = 300;
    int reportingSecs = 300;
    int healthCheckSecs = 300;
    std::string hashLimitRate = "5/hour";
};

// The real process runner, except that modprobe is refused (the sandbox shares the host's
// kernel) and one chosen iptables line can be made to fail once. Thread-safe.
class SandboxZAVUtils : public ZAV::IZAVUtils {
public:
    explicit SandboxZAVUtils(ZAV::ILogger& logger);

    // The words after the iptables path, joined by one blank.
    void failOnce(const std::string& line);
    // Called with every iptables line before it runs.
    void observe(std::function<void(const std::string&)> observer);
    int refusedModprobes() const { return m_refusedModprobes.load(); }

    bool runCommand(const std::vector<std::string>& argv,
                    const std::map<int, bool>* exitStatusTable) override;
    bool runCommandWithOutput(const std::vector<std::string>& argv,
                              const std::map<int, bool>* exitStatusTable, int* pipeFds) override;
    bool runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus, std::string& errorText) override;

private:
    // False when the call is refused or made to fail.
    bool admit(const std::vector<std::string>& argv);

    std::shared_ptr<ZAV::IZAVUtils> m_real;
    std::mutex m_mutex;
    std::string m_failLine;
    std::function<void(const std::string&)> m_observer;
    std::atomic<int> m_refusedModprobes{0};
};

// An interface monitor that reports a changed network at every question; no thread.
class AlwaysChangedMonitor : public StatefulFirewall::INwIFManager {
public:
    bool startSFFMNwIFManager() override { return true; }
    bool stopSFFMNwIFManager() override { return true; }
    bool hasNetworkChanged() override { return true; }
    std::map<std::string, std::string> getUniqueSubnets() override { return {}; }
    std::map<std::string, std::string> getUniqueIpAddresses() override { return {}; }
    std::map<std::string, std::string> getUniqueNetworksVsBroadcast() override { return {}; }
};

class Stack {
public:
    // Requires the sandbox (fails the test otherwise), resets the product paths and empties
    // the filter table. A null monitor means the real interface monitor.
    explicit Stack(const Settings& settings, StatefulFirewall::INwIFManager* monitor = nullptr);
    // Disables, joins every thread and releases every singleton.
    ~Stack();
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    StatefulFirewall::SFController& controller() { return *m_controller; }
    StatefulFirewall::SFKextInterface& bridge() { return *m_bridge; }
    StatefulFirewall::SFConfigController& config() { return *m_config; }
    StatefulFirewall::SFRuleManager& rules();
    StatefulFirewall::INwIFManager& monitor() { return *m_monitor; }
    TestSupport::RecordingLogger& logger() { return m_logger; }
    TestSupport::CapturingEventAdaptor& events() { return m_events; }
    SandboxZAVUtils& utils() { return *m_utils; }
    const TestSupport::TempDir& dir() const { return m_dir; }

    void enable();
    void disable();
    // The number in the current generation's id text.
    long generation();

private:
    TestSupport::RecordingLogger m_logger;
    TestSupport::TempDir m_dir;
    std::unique_ptr<StatefulFirewall::SFConfigController> m_config;
    std::unique_ptr<StatefulFirewall::INwIFManager> m_ownMonitor;
    StatefulFirewall::INwIFManager* m_monitor = nullptr;
    TestSupport::CapturingEventAdaptor m_events;
    std::shared_ptr<SandboxZAVUtils> m_utils;
    std::unique_ptr<StatefulFirewall::SFKextInterface> m_bridge;
    StatefulFirewall::SFController* m_controller = nullptr;
};

// A TCP rule of the client group with one direction and one port match.
struct ClientRule {
    std::string name;
    int action = StatefulFirewall::FW_ACTION_ALLOW;
    int direction = StatefulFirewall::FW_DIRECTION_INBOUND;
    int portKind = StatefulFirewall::FW_MATCH_LOCAL_PORT;
    uint16_t port = 0;
    bool intrusion = false;
    int position = -1; // -1: at the end
};
StatefulFirewall::GUID addClientRule(StatefulFirewall::SFRuleManager& rules, const ClientRule& wanted);
// Deletes the client group's rules of these names.
void removeClientRules(StatefulFirewall::SFRuleManager& rules, const std::vector<std::string>& names);

// The output of iptables with the given words (through bash, in the sandbox only).
std::string iptables(const std::string& words);
// Lines of the listing that contain the text.
size_t linesWith(const std::string& listing, const std::string& text);
// True when a chain or jump of the generation with this number stands in the listing.
bool mentionsGeneration(const std::string& listing, long generation);
// Threads of this process.
int taskCount();

} // namespace BridgeRig
