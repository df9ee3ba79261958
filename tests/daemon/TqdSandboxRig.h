#pragma once

// The daemon as a process in the sandbox: fresh product paths and filter table, a settings file
// with chosen elements, zavbrokerd and tqd as children, and readers of what they leave behind
// (the daemon's log, the broker's output, iptables listings).

#include "ChildProcess.h"
#include "HangGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TqdRig {

constexpr const char* kDaemonLog = "/var/Varnik/kyv/log/fw/tqd.log";
constexpr const char* kSocket = "/var/Varnik/kyv/zav/zavsocket";
constexpr const char* kSpool = "/var/Varnik/kyv/fw/agent";

// Empties the product paths and the filter table and writes the settings file: the shipped
// template with FTP inspection off (it would load a kernel module) and the given elements.
void freshProduct(const std::map<std::string, std::string>& elements);
// Replaces the text of the first <tag> element of the live settings file.
void setSetting(const std::string& tag, const std::string& value);
// The text of the first <tag> element inside the given section of the live settings file.
std::string setting(const std::string& section, const std::string& tag);

// Exit status of a shell command; its standard output and error in output when given.
int shell(const std::string& command, std::string* output = nullptr);
std::string iptablesListing();
size_t linesWith(const std::string& listing, const std::string& text);
// The policy of a built-in chain ("ACCEPT", "DROP") from a listing of iptables -S.
std::string policyOf(const std::string& listing, const std::string& chain);
// The names of the product's chains (QTZ...) defined in a listing.
std::vector<std::string> productChains(const std::string& listing);

// Whether the daemon answers its status command (100000) with its latest rules linked: in
// force, or in force but for rules iptables keeps refusing (shown as not enforced). A push
// that failed and waits for its retry is not.
bool daemonRulesLinked();
// Waits until the daemon's chains are in place with both policies DROP, the daemon reports its
// latest rules linked and the listing has stayed the same for a moment; the listing then. The default timeout is a hang guard: a start-up
// takes seconds on an idle machine and many times that beside other builds.
std::string waitForEnforcement(std::chrono::milliseconds timeout = 2 * TestSupport::kHangGuard);

// The settings, agent spool and broker of one daemon run: the firewall enabled or not, a
// managed agent whose site list holds one management server at siteAddress.
void prepareManagedProduct(bool enabled, const std::string& siteAddress);
// Drops a policy text into the agent spool's policy.d in one step.
void dropPolicy(const std::string& name, const std::string& text);

// The broker, run with args; started() waits until its socket exists (by default as long as the
// hang guard: a start beside other builds can take seconds).
class Broker : public TestSupport::ChildProcess {
public:
    Broker(const std::vector<std::string>& args, const std::string& outputFile);
    bool started(std::chrono::milliseconds timeout = TestSupport::kHangGuard);
};

// tqd with args; its standard output and error go to outputFile.
class Daemon : public TestSupport::ChildProcess {
public:
    explicit Daemon(const std::string& outputFile, std::vector<std::string> args = {});
};

// Waits until text appears in the file, at least count times.
bool waitForText(const std::string& file, const std::string& text,
                 std::chrono::milliseconds timeout, size_t count = 1);
size_t countOf(const std::string& file, const std::string& text);

// The names of a process's threads, from /proc/<pid>/task/*/comm.
std::vector<std::string> threadNames(int pid);

// Runs zavcall with the words after its path; its exit status, its output in output.
int zavcall(const std::string& words, std::string* output);
// Asks the daemon for its version (100038) until it answers or timeout passes, a hang guard;
// the last output in output when given.
bool waitForVersionAnswer(std::chrono::milliseconds timeout, std::string* output = nullptr);

// Fixture of the daemon suites: a folder for the daemon's and the broker's output, which is
// printed with the daemon's log when a test failed.
class TqdSandboxTest : public ::testing::Test {
protected:
    void TearDown() override;
    std::string daemonOut() const { return m_dir.file("tqd.out"); }
    std::string brokerOut() const { return m_dir.file("broker.out"); }

    TestSupport::TempDir m_dir;
};

} // namespace TqdRig
