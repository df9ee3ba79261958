#include "TqdSandboxRig.h"

#include <iostream>

#include "SandboxGuard.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace TqdRig {

namespace {

constexpr const char* kLivePrefs = "/var/Varnik/kyv/fw/prefs.xml";
constexpr const char* kTemplatePrefs = "/opt/Varnik/kyv/fw/etc/prefs.xml";

std::string replaced(std::string text, const std::string& tag, const std::string& value)
{
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    const size_t start = text.find(open);
    const size_t end = start == std::string::npos ? start : text.find(close, start);
    if (end == std::string::npos)
        throw std::runtime_error("settings have no element " + tag);
    return text.replace(start + open.size(), end - start - open.size(), value);
}

} // namespace

void freshProduct(const std::map<std::string, std::string>& elements)
{
    const std::string problem = TestSupport::sandboxProblem();
    if (!problem.empty())
        throw std::runtime_error(problem);
    TestSupport::resetProductPaths();
    shell("iptables -P INPUT ACCEPT; iptables -P OUTPUT ACCEPT; iptables -P FORWARD ACCEPT; "
          "iptables -F; iptables -X");
    std::string text = TestSupport::readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml");
    text = replaced(text, "UseFTPinspection", "0");
    for (const auto& [tag, value] : elements)
        text = replaced(text, tag, value);
    ::mkdir("/opt/Varnik/kyv/fw/etc", 0755);
    TestSupport::writeFile(kTemplatePrefs, text);
    TestSupport::writeFile(kLivePrefs, text);
    ::chmod(kLivePrefs, 0600);
}

void setSetting(const std::string& tag, const std::string& value)
{
    TestSupport::writeFile(kLivePrefs, replaced(TestSupport::readFile(kLivePrefs), tag, value));
}

std::string setting(const std::string& section, const std::string& tag)
{
    const std::string text = TestSupport::readFile(kLivePrefs);
    const std::string open = "<" + tag + ">";
    const size_t sectionStart = text.find("<" + section + " ");
    if (sectionStart == std::string::npos)
        return std::string();
    const size_t start = text.find(open, sectionStart);
    if (start == std::string::npos)
        return std::string();
    const size_t end = text.find("</" + tag + ">", start);
    return text.substr(start + open.size(), end - start - open.size());
}

int shell(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "re");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = ::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        text.append(buffer, got);
    const int status = ::pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string iptablesListing()
{
    std::string output;
    const int status = shell("iptables -S", &output);
    if (status != 0)
        ADD_FAILURE() << "iptables -S exited " << status << ": " << output;
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

std::string policyOf(const std::string& listing, const std::string& chain)
{
    std::istringstream lines(listing);
    const std::string prefix = "-P " + chain + " ";
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    return std::string();
}

std::vector<std::string> productChains(const std::string& listing)
{
    std::istringstream lines(listing);
    std::vector<std::string> chains;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-N QTZ", 0) == 0)
            chains.push_back(line.substr(3));
    return chains;
}

bool daemonRulesLinked()
{
    std::string answer;
    if (zavcall("--dest 7000 --cmd 100000", &answer) != 0)
        return false;
    // The reply's archive text ends with the "rules in force" flag and the state value: in force
    // (0), or linked without rules iptables refuses again and again (3).
    const size_t data = answer.find("\n", answer.find("\ndata "));
    if (data == std::string::npos)
        return false;
    std::istringstream words(answer.substr(data));
    std::vector<std::string> tokens;
    for (std::string word; words >> word;)
        tokens.push_back(word);
    return !tokens.empty() && (tokens.back() == "0" || tokens.back() == "3");
}

std::string waitForEnforcement(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string listing;
    std::string previous;
    while (Clock::now() < deadline) {
        listing = iptablesListing();
        if (linesWith(listing, "-N QTZ_INPUT_") > 0 && policyOf(listing, "INPUT") == "DROP" &&
            policyOf(listing, "OUTPUT") == "DROP" && listing == previous && daemonRulesLinked()) {
            // The push ended before the answer: the listing then is its result.
            const std::string settled = iptablesListing();
            if (settled == listing)
                return listing;
        }
        previous = listing;
        std::this_thread::sleep_for(200ms);
    }
    return listing;
}

void prepareManagedProduct(bool enabled, const std::string& siteAddress)
{
    freshProduct({{"IsFirewallEnabled", enabled ? "1" : "0"}});
    if (::mkdir(kSpool, 0700) != 0 || ::mkdir((std::string(kSpool) + "/policy.d").c_str(), 0700) != 0)
        throw std::runtime_error("cannot make the agent spool " + std::string(kSpool));
    TestSupport::writeFile(std::string(kSpool) + "/agent.conf", "managed_mode=1\n");
    TestSupport::writeFile(std::string(kSpool) + "/sitelist.conf",
                           "6|mgmt-server|" + siteAddress + "|443|8443\n");
}

void dropPolicy(const std::string& name, const std::string& text)
{
    const std::string temporary = std::string(kSpool) + "/" + name + ".part";
    TestSupport::writeFile(temporary, text);
    if (::rename(temporary.c_str(), (std::string(kSpool) + "/policy.d/" + name).c_str()) != 0)
        throw std::runtime_error("cannot move the policy " + name + " into place");
}

Broker::Broker(const std::vector<std::string>& args, const std::string& outputFile)
    : ChildProcess(
          [&] {
              std::vector<std::string> words{TQ_ZAVBROKERD};
              words.insert(words.end(), args.begin(), args.end());
              return words;
          }(),
          outputFile, Output::Append)
{
}

bool Broker::started(std::chrono::milliseconds timeout)
{
    const std::string socket = kSocket;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        struct stat info {};
        if (::stat(socket.c_str(), &info) == 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

Daemon::Daemon(const std::string& outputFile, std::vector<std::string> args)
    : ChildProcess(
          [&] {
              std::vector<std::string> words{TQ_TQD};
              words.insert(words.end(), args.begin(), args.end());
              return words;
          }(),
          outputFile, Output::Append)
{
}

size_t countOf(const std::string& file, const std::string& text)
{
    std::ifstream in(file);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string content = buffer.str();
    size_t count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
        ++count;
    return count;
}

bool waitForText(const std::string& file, const std::string& text, std::chrono::milliseconds timeout,
                 size_t count)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (countOf(file, text) >= count)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<std::string> threadNames(int pid)
{
    std::vector<std::string> names;
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(folder + "/" + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

int zavcall(const std::string& words, std::string* output)
{
    return shell(std::string(TQ_ZAVCALL) + " " + words, output);
}

bool waitForVersionAnswer(std::chrono::milliseconds timeout, std::string* output)
{
    const auto deadline = Clock::now() + timeout;
    std::string answer;
    for (;;) {
        const bool answered = zavcall("--dest 7000 --cmd 100038", &answer) == 0;
        if (output != nullptr)
            *output = answer;
        if (answered)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(100ms);
    }
}

void TqdSandboxTest::TearDown()
{
    if (HasFailure())
        std::cerr << "tqd output:\n" << TestSupport::readFile(daemonOut()) << "\nbroker output:\n"
                  << TestSupport::readFile(brokerOut()) << "\nlog:\n" << TestSupport::readFile(kDaemonLog)
                  << "\n";
}

} // namespace TqdRig
