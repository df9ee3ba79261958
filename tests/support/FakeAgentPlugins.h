#pragma once

// Fake agent plug-ins, one per plug-in interface, for tests of the agents and the agent
// adaptor. Each reports to a PluginProbe the test keeps, so what a plug-in saw (and whether it
// was freed) can be checked after its owner has deleted it. A hook lets a test decide what a
// call reads, returns, blocks on or throws. Header-only: only tests that link zavagent use it.

#include "IAgentInfo.h"
#include "IAgentPolicyEnforcement.h"
#include "IAgentPropertyCollection.h"
#include "ISectionsHandle.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

class PluginProbe {
public:
    void recordCall(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(what);
        m_threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::vector<std::thread::id> threads() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }

    std::atomic<int> destroyed{0};

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<std::thread::id> m_threads;
};

// Records "policy <softwareId>" for every enforcement; the hook's result is the plug-in's.
class FakePolicyPlugin : public ZAV::IAgentPolicyEnforcement {
public:
    using Hook = std::function<bool(const std::string& softwareId, const ZAV::ISectionsHandle&)>;

    explicit FakePolicyPlugin(std::shared_ptr<PluginProbe> probe, Hook hook = {})
        : m_probe(std::move(probe)), m_hook(std::move(hook)) {}
    ~FakePolicyPlugin() override { ++m_probe->destroyed; }

    bool enforcePolicy(const std::string& softwareId, const ZAV::ISectionsHandle& handle) override
    {
        m_probe->recordCall("policy " + softwareId);
        return m_hook ? m_hook(softwareId, handle) : true;
    }
    bool enforcePolicy(const std::string&, const std::string&, const std::string&, unsigned long,
                       ZAV::tag_AgentLogonState, const ZAV::ISectionsHandle&) override
    {
        return true;
    }
    bool isPartialEnforcementSupported() override { return false; }

private:
    std::shared_ptr<PluginProbe> m_probe;
    Hook m_hook;
};

// Records "collect 0" or "collect 1"; the hook adds properties and gives the result.
class FakePropertyPlugin : public ZAV::IAgentPropertyCollection {
public:
    using Hook = std::function<bool(bool all, ZAV::ISectionsHandle&)>;

    explicit FakePropertyPlugin(std::shared_ptr<PluginProbe> probe, Hook hook = {})
        : m_probe(std::move(probe)), m_hook(std::move(hook)) {}
    ~FakePropertyPlugin() override { ++m_probe->destroyed; }

    bool collectProperties(bool all, ZAV::ISectionsHandle& sections) override
    {
        m_probe->recordCall(all ? "collect 1" : "collect 0");
        return m_hook ? m_hook(all, sections) : true;
    }
    bool isSoftwareExists(const std::string&) override { return true; }

private:
    std::shared_ptr<PluginProbe> m_probe;
    Hook m_hook;
};

class FakeAgentInfo : public ZAV::IAgentInfo {
public:
    explicit FakeAgentInfo(std::shared_ptr<PluginProbe> probe) : m_probe(std::move(probe)) {}
    ~FakeAgentInfo() override { ++m_probe->destroyed; }

    int getAgentInformation(const int&, std::string&) override { return 1; }
    void handleInfoChange(const int&) override {}

private:
    std::shared_ptr<PluginProbe> m_probe;
};

} // namespace TestSupport
