// Runs inside tests/sandbox: the sandbox must give tests a firewall and product folders of their
// own, and the guard must notice when it does not.

#include "SandboxGuard.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include <sys/mount.h>
#include <sys/wait.h>

namespace fs = boost::filesystem;

namespace {

const char kProductIptables[] = "/opt/Varnik/kyv/fw/bin/iptables";

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// Runs a shell command line and collects its standard output and error.
CommandResult run(const std::string& commandLine)
{
    CommandResult result;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        result.output.append(buffer, count);
    const int status = pclose(pipe);
    if (status >= 0 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = std::getenv(name);
        m_hadValue = old != nullptr;
        if (m_hadValue)
            m_oldValue = old;
        if (value == nullptr)
            unsetenv(name);
        else
            setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (m_hadValue)
            setenv(m_name.c_str(), m_oldValue.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_oldValue;
    bool m_hadValue = false;
};

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        TestSupport::resetProductPaths();
        resetFirewall();
    }
    void TearDown() override { resetFirewall(); }

    // Tests in one binary share the sandbox's namespace, so each starts from an open firewall.
    static void resetFirewall()
    {
        for (const char* step : {"-P OUTPUT ACCEPT", "-F", "-X"}) {
            const CommandResult result = run(std::string("/usr/sbin/iptables ") + step);
            ASSERT_EQ(result.exitCode, 0) << "iptables " << step << ": " << result.output;
        }
    }
};

TEST_F(SandboxTest, ProductIptablesPathChangesTheSandboxFirewall)
{
    const std::string product(kProductIptables);
    for (const std::string& args :
         {std::string("-N TQ_SANDBOX_PROBE"),
          std::string("-A TQ_SANDBOX_PROBE -p tcp --dport 9 -j DROP"),
          std::string("-P OUTPUT DROP")}) {
        const CommandResult result = run(product + " " + args);
        ASSERT_EQ(result.exitCode, 0) << product << " " << args << ": " << result.output;
    }

    const CommandResult listing = run("/usr/sbin/iptables -S");
    ASSERT_EQ(listing.exitCode, 0) << listing.output;
    EXPECT_NE(listing.output.find("-P OUTPUT DROP\n"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("-N TQ_SANDBOX_PROBE\n"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("-A TQ_SANDBOX_PROBE -p tcp -m tcp --dport 9 -j DROP\n"),
              std::string::npos)
        << listing.output;
}

TEST_F(SandboxTest, LoopbackIsUp)
{
    const CommandResult link = run("ip -o link show lo");
    ASSERT_EQ(link.exitCode, 0) << link.output;
    EXPECT_NE(link.output.find("LOWER_UP"), std::string::npos) << link.output;
}

TEST_F(SandboxTest, ResetProductPathsEmptiesFoldersAndRestoresLayout)
{
    fs::create_directories("/var/Varnik/leftover/deep");
    writeText("/var/Varnik/leftover/deep/file", "x");
    writeText("/var/Varnik/kyv/fw/store", "old state");
    fs::remove_all("/var/Varnik/kyv/zav");
    writeText("/etc/wz.d/settings", "x");
    writeText("/opt/Varnik/extra", "x");
    fs::remove(kProductIptables);
    writeText(kProductIptables, "not a link");

    TestSupport::resetProductPaths();

    EXPECT_FALSE(fs::exists("/var/Varnik/leftover"));
    EXPECT_FALSE(fs::exists("/opt/Varnik/extra"));
    EXPECT_TRUE(fs::is_empty("/etc/wz.d"));
    for (const char* folder : {"/var/Varnik/kyv/fw", "/var/Varnik/kyv/zav", "/var/Varnik/kyv/log/fw"}) {
        EXPECT_TRUE(fs::is_directory(folder)) << folder;
        EXPECT_TRUE(fs::is_empty(folder)) << folder;
    }
    ASSERT_TRUE(fs::is_symlink(kProductIptables));
    EXPECT_EQ(fs::read_symlink(kProductIptables).string(), "/usr/sbin/iptables");
    // The mount points themselves stay: removing one would drop the sandbox's cover.
    EXPECT_EQ(TestSupport::sandboxProblem(), std::string());
}

TEST_F(SandboxTest, GuardRefusesWithoutTheMarker)
{
    writeText("/var/Varnik/kyv/fw/keep", "x");
    {
        ScopedEnv marker("TQ_SANDBOX", nullptr);
        EXPECT_NE(TestSupport::sandboxProblem(), std::string());
        EXPECT_THROW(TestSupport::resetProductPaths(), std::runtime_error);
    }
    {
        ScopedEnv marker("TQ_SANDBOX", "0");
        EXPECT_NE(TestSupport::sandboxProblem(), std::string());
    }
    EXPECT_TRUE(fs::exists("/var/Varnik/kyv/fw/keep"));
}

TEST_F(SandboxTest, GuardRefusesInTheHostsNetworkNamespace)
{
    const std::string current = fs::read_symlink("/proc/self/ns/net").string();
    writeText("/var/Varnik/kyv/fw/keep", "x");
    {
        ScopedEnv host("TQ_SANDBOX_HOST_NETNS", current.c_str());
        EXPECT_NE(TestSupport::sandboxProblem(), std::string());
        EXPECT_THROW(TestSupport::resetProductPaths(), std::runtime_error);
    }
    {
        ScopedEnv host("TQ_SANDBOX_HOST_NETNS", "");
        EXPECT_NE(TestSupport::sandboxProblem(), std::string());
    }
    EXPECT_TRUE(fs::exists("/var/Varnik/kyv/fw/keep"));
}

// The newest mount on a point is the one in use: a tmpfs further down must not satisfy the guard.
TEST_F(SandboxTest, GuardRefusesWhenAFolderIsCoveredByAnotherFileSystem)
{
    ASSERT_EQ(mount("ramfs", "/etc/wz.d", "ramfs", 0, nullptr), 0)
        << "mount ramfs on /etc/wz.d: " << std::strerror(errno);
    const std::string problem = TestSupport::sandboxProblem();
    EXPECT_THROW(TestSupport::resetProductPaths(), std::runtime_error);
    ASSERT_EQ(umount2("/etc/wz.d", 0), 0) << "umount /etc/wz.d: " << std::strerror(errno);

    EXPECT_NE(problem.find("/etc/wz.d"), std::string::npos) << problem;
    EXPECT_EQ(TestSupport::sandboxProblem(), std::string());
}

} // namespace
