#pragma once

// tqctl as a process in the sandbox against the real platform service and tqd: a run of the
// tool with what it printed and its exit status, and the fixture that starts the service and
// the daemon. The including target defines TQ_TQCTL, the tool's path.

#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace TqctlRig {

struct ToolRun {
    int code;
    std::string output; // standard output and error
    std::chrono::steady_clock::duration took;
};

// Runs tqctl with the words (which may end in shell redirections); input, when given, is its
// standard input.
inline ToolRun tqctl(const std::string& words, const char* input = nullptr)
{
    ToolRun run{};
    const std::string feed = input != nullptr ? "printf '" + std::string(input) + "' | " : "";
    const auto start = std::chrono::steady_clock::now();
    run.code = TqdRig::shell(feed + TQ_TQCTL + " " + words, &run.output);
    run.took = std::chrono::steady_clock::now() - start;
    return run;
}

class TqctlSandboxFixture : public TqdRig::TqdSandboxTest {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }

    void startService()
    {
        m_broker = std::make_unique<TqdRig::Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
    }
    void startAll()
    {
        TqdRig::prepareManagedProduct(false, "10.20.30.40");
        startService();
        startDaemon();
    }
    // Starts tqd and waits until it answers the version command.
    void startDaemon()
    {
        m_daemon = std::make_unique<TqdRig::Daemon>(daemonOut());
        std::string answer;
        // A hang guard: start-up takes seconds.
        TqdRig::waitForVersionAnswer(std::chrono::seconds(60), &answer);
        ASSERT_NE(answer.find("completed 1, status 1"), std::string::npos) << answer;
    }

    std::unique_ptr<TqdRig::Broker> m_broker;
    std::unique_ptr<TqdRig::Daemon> m_daemon;
};

} // namespace TqctlRig
