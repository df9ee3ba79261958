#include "SFIptables.h"

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>

using namespace StatefulFirewall;
using namespace TestSupport;
using Argv = RecordingHelperUtils::Argv;

namespace {

// Descriptors a started program would inherit.
std::set<int> inheritableDescriptors()
{
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir) && !(fcntl(fd, F_GETFD) & FD_CLOEXEC))
            fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

class SFIptablesProbesTest : public ::testing::Test {
protected:
    // modprobe as the kernel shows it: loading creates the module's directory, -r removes it.
    void simulateModprobe()
    {
        runner->onSuccess([this](const Argv& argv) {
            seenTable = *runner->lastExitStatusTable(); // the driver's table lives during the call
            if (argv[2] == "-r")
                ::rmdir(temp.file("nf_conntrack_ftp").c_str());
            else
                ::mkdir(temp.file("nf_conntrack_ftp").c_str(), 0700);
        });
    }

    TempDir temp;
    RecordingLogger logger;
    FakeConfigController config;
    FakeNwIFManager nwif;
    std::shared_ptr<RecordingHelperUtils> runner = std::make_shared<RecordingHelperUtils>();
    SFIptables driver{logger,  config, runner, nwif, temp.file("netfilter.state"),
                      temp.file("nf_conntrack_ftp")};
    std::map<int, bool> seenTable;
};

TEST_F(SFIptablesProbesTest, VersionIsTheFirst100BytesTrimmedWithoutHangOrDescriptorLeak)
{
    struct Row {
        std::string output, expected;
        bool fails, logsEmpty;
    };
    const Row rows[] = {
        {"", "", false, true}, // must see end of file, not wait for ever
        {" " + std::string(98, 'a') + " " + std::string(50, 'b'), std::string(98, 'a'), false,
         false},
        {" \t\r\n  \n", "", false, false},
        {"iptables v1.8.7 (legacy)\n", "", true, false},
    };
    alarm(10); // a hang fails the test instead of stalling the run
    const std::set<int> inheritable = inheritableDescriptors();
    std::set<int> whileRunning;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        runner->setOutput(row.output);
        runner->onSuccess([&](const Argv&) { whileRunning = inheritableDescriptors(); });
        runner->failWhen([&](const Argv&) { return row.fails; });
        logger.clear();
        const int before = openDescriptorCount();

        EXPECT_EQ(driver.getNetfilterVersion(), row.expected);
        EXPECT_EQ(openDescriptorCount(), before);
        EXPECT_EQ(whileRunning, inheritable);
        EXPECT_EQ(runner->calls().back(), (Argv{SF_IPTABLES_PATH, "-V"}));
        EXPECT_EQ(runner->lastExitStatusTable(), nullptr);
        EXPECT_EQ(logger.count(6), row.fails || row.logsEmpty ? 1u : 0u);
        EXPECT_EQ(logger.has(6, "Error reading stdout after executing version command"),
                  row.logsEmpty);
        EXPECT_EQ(logger.has(6, "Unexpected exception occurred while reading netfilter version"),
                  row.fails);
    }
    alarm(0);
}

TEST_F(SFIptablesProbesTest, KerneltzIsSupportedWhenTheTimeMatchAcceptsIt)
{
    EXPECT_TRUE(driver.isKerneltzSupportedInTimeModule());
    EXPECT_EQ(runner->calls()[0], (Argv{SF_IPTABLES_PATH, "-m", "time", "--kerneltz", "--help"}));
    EXPECT_EQ(runner->lastExitStatusTable(), nullptr);
    EXPECT_TRUE(logger.has(6, "Detected kerneltz support in Iptables for time module."));

    runner->failAtCall(2);
    EXPECT_FALSE(driver.isKerneltzSupportedInTimeModule());
    EXPECT_TRUE(logger.has(6, "Iptables does not support kerneltz for time module, fallling back "
                              "to localtz for the time module."));
}

TEST_F(SFIptablesProbesTest, FtpModuleIsLoadedAndUnloadedOnlyWhenItsStateChangesAndAFailedLoadIsRetried)
{
    EXPECT_TRUE(driver.updateFtpInspectionSetting(false, ""));
    EXPECT_TRUE(runner->calls().empty());

    // modprobe "succeeds" but the module never appears, then modprobe fails.
    EXPECT_FALSE(driver.updateFtpInspectionSetting(true, "21"));
    EXPECT_FALSE(config.getNfConntrackFtpModuleStatus());
    runner->failAtCall(2);
    EXPECT_FALSE(driver.updateFtpInspectionSetting(true, "21"));
    EXPECT_FALSE(config.getNfConntrackFtpModuleStatus());
    EXPECT_TRUE(logger.has(6, "Exception occurred while executing modprobe on nf_conntrack_ftp module"));

    // The next request loads it; one asking for the same runs nothing.
    const std::map<int, bool> modprobeStatuses{{0, false}, {1, false}, {2, false}};
    simulateModprobe();
    EXPECT_TRUE(driver.updateFtpInspectionSetting(true, "21,2121"));
    EXPECT_TRUE(driver.updateFtpInspectionSetting(true, "21,2121"));
    EXPECT_EQ(runner->calls().size(), 3u);
    EXPECT_EQ(runner->calls().back(), (Argv{SF_MODPROBE_PATH, "--first-time", "nf_conntrack_ftp", "ports=21,2121"}));
    EXPECT_EQ(seenTable, modprobeStatuses);
    EXPECT_TRUE(config.getNfConntrackFtpModuleStatus());

    seenTable.clear();
    EXPECT_TRUE(driver.updateFtpInspectionSetting(false, ""));
    EXPECT_EQ(runner->calls().back(), (Argv{SF_MODPROBE_PATH, "--first-time", "-r", "nf_conntrack_ftp"}));
    EXPECT_EQ(seenTable, modprobeStatuses);
    EXPECT_FALSE(config.getNfConntrackFtpModuleStatus());
}

} // namespace
