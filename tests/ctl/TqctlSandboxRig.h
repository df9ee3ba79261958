#pragma once

// tqctl as a process in the sandbox against the real platform service and tqd: a run of the
// tool with what it printed and its exit status, runs in the background, the product's iptables
// wrapped by a shell step before each call, and the fixture that starts the service and the
// daemon. The including target defines TQ_TQCTL, the tool's path.

#include "ChildProcess.h"
#include "HangGuard.h"
#include "SandboxGuard.h"
#include "TempDir.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

// tqctl started in the background with the words as its arguments (no shell), its standard
// input closed; finish() waits for it (a hang guard: bound) and gives what it printed.
class BackgroundTool {
public:
    BackgroundTool(const std::vector<std::string>& words, const std::string& outputFile)
        : m_outputFile(outputFile), m_process(withTool(words), outputFile)
    {
    }
    ToolRun finish(std::chrono::milliseconds bound)
    {
        ToolRun run{};
        run.code = m_process.wait(bound);
        run.output = TestSupport::readFile(m_outputFile);
        return run;
    }
    void signal(int number) { m_process.signal(number); }
    pid_t pid() const { return m_process.pid(); }

private:
    static std::vector<std::string> withTool(std::vector<std::string> words)
    {
        words.insert(words.begin(), TQ_TQCTL);
        return words;
    }
    std::string m_outputFile;
    TestSupport::ChildProcess m_process;
};

inline const char* const kProductIptables = "/opt/Varnik/kyv/fw/bin/iptables";

// The product's iptables becomes a script that runs step (shell text) and then the real program,
// in one step: the daemon may run iptables at any moment.
inline void wrapIptables(const std::string& step)
{
    TestSupport::replaceFile(kProductIptables,
                             "#!/bin/sh\n" + step + "\nexec /usr/sbin/iptables \"$@\"\n", 0755);
}

inline void unwrapIptables()
{
    TestSupport::unwrapProgram(kProductIptables, "/usr/sbin/iptables");
}

// Waits until the file exists; false when bound passed first.
inline bool waitForFile(const std::string& path, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (::access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::usleep(20000);
    }
    return true;
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
