// The iptables driver against the real iptables of the sandbox's own network namespace, pushed
// and disabled in the enforcement bridge's order.

#include "SFIptables.h"

#include "DriverPushReplay.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFException.h"
#include "SFHelperUtils.h"
#include "SandboxGuard.h"
#include "SystemInfo.h"
#include "TempDir.h"
#include "ZAVUtils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

const char* const M = "-p tcp -m state --state NEW";

std::string tcpNew(const std::string& rest)
{
    return std::string(M) + " " + rest;
}

// A primary group that only jumps to the given groups, in their order.
ReplayTable jumpingTo(std::vector<ReplayGroup> groups)
{
    ReplayTable table;
    table.primary.chainName = "QTZ_Default";
    for (size_t i = 0; i < groups.size(); ++i) {
        ReplayRule jump;
        jump.name = "To " + groups[i].chainName;
        jump.jumpTo = static_cast<int>(i);
        table.primary.rules.push_back(jump);
    }
    table.groups = std::move(groups);
    return table;
}

// The worked example: a client group with an SSH allow, a telnet report and a logged block-all
// last rule, and a web group reached on ports 80 and 443 with a scheduled, reversed allow.
ReplayTable officeTable()
{
    ReplayGroup client;
    client.chainName = "QTZ_Client";
    client.matches = {directionMatch(FW_DIRECTION_EITHER), mediumMatch(IF_ALL)};
    ReplayRule ssh;
    ssh.name = "Allow SSH";
    ssh.transport = FW_TRANS_PROTO_TCP;
    ssh.log = true;
    ssh.matches = {portMatch(FW_MATCH_LOCAL_PORT, 22), directionMatch(FW_DIRECTION_INBOUND)};
    ReplayRule telnet;
    telnet.name = "Block Telnet";
    telnet.action = FW_ACTION_BLOCK_PACKET;
    telnet.transport = FW_TRANS_PROTO_TCP;
    telnet.intrusion = true;
    telnet.matches = {portMatch(FW_MATCH_LOCAL_PORT, 23), directionMatch(FW_DIRECTION_INBOUND)};
    ReplayRule blockAll;
    blockAll.name = "Block All";
    blockAll.action = FW_ACTION_BLOCK_PACKET;
    blockAll.log = true;
    client.rules = {ssh, telnet, blockAll};

    ReplayGroup web;
    web.chainName = "QTZ_Group_1";
    web.transport = FW_TRANS_PROTO_TCP;
    web.matches = {portMatch(FW_MATCH_LOCAL_PORT, 80), portMatch(FW_MATCH_LOCAL_PORT, 443),
                   directionMatch(FW_DIRECTION_INBOUND)};
    ReplayRule office;
    office.name = "Allow Web Office Hours";
    office.transport = FW_TRANS_PROTO_TCP;
    office.log = true;
    office.matches = {rangeMatch(FW_MATCH_REMOTE_IP_ADDRESS, "192.0.2.10", "192.0.2.20"),
                      scheduleMatch("08:00", "17:30", "Mon,Tue,Wed,Thu,Fri,",
                                    FW_SCHEDULE_ACTION_REVERSE)};
    web.rules = {office};

    return jumpingTo({client, web});
}

std::vector<std::string> blockEventLines(const std::string& uid, const std::string& rate,
                                         const std::string& tag)
{
    std::vector<std::string> lines;
    for (const std::string direction : {"IN", "OUT"}) {
        const std::string chain = "QTZ_BlockEven_" + direction + uid;
        const bool in = direction == "IN";
        lines.push_back("-n -L " + chain);
        lines.push_back("-N " + chain);
        for (const std::string protocol : {"tcp", "udp", "icmp", ""}) {
            const bool ports = protocol == "tcp" || protocol == "udp";
            const std::string mode = std::string(in ? "srcip" : "dstip") + (ports ? ",dstport" : "");
            const std::string name = (protocol.empty() ? "rest" : protocol) + (in ? "in" : "out") + "_" + tag;
            const std::string p = protocol.empty() ? "" : "-p " + protocol + " ";
            lines.push_back("-A " + chain + " " + p + "-m hashlimit --hashlimit-upto " + rate +
                            " --hashlimit-mode " + mode + " --hashlimit-name " + name +
                            " -j NFQUEUE --queue-num 3");
            lines.push_back("-A " + chain + " " + p + "-j DROP");
        }
    }
    return lines;
}

class SFIptablesSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        resetProductPaths();
        // Each test starts from the namespace's empty filter table.
        for (const char* step : {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT", "-F", "-X"})
            system({}, step);
        m_config.setKerneltzSupportStatus(true);
        m_config.set(FakeConfigController::path::hashLimit, "5/hour");
        m_config.set(FakeConfigController::path::iptablesLevel, "4");
    }

    std::unique_ptr<SFIptables> driver()
    {
        return std::make_unique<SFIptables>(m_logger, m_config, m_recorder, m_nwif, stateFile(),
                                            m_dir.path() + "/nf_conntrack_ftp");
    }
    std::string stateFile() const { return m_dir.path() + "/netfilter.state"; }

    // One iptables run outside the driver, through the real runner; its standard output.
    std::string system(std::vector<std::string> argv, const std::string& words = "")
    {
        argv.insert(argv.begin(), SF_IPTABLES_PATH);
        std::istringstream in(words);
        for (std::string word; in >> word;)
            argv.push_back(word);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return "";
        std::string text;
        try {
            m_real->readSystemCommandOutput(argv, nullptr, fds);
            close(fds[1]);
            text = readAll(fds[0]);
        } catch (const SFException& e) {
            close(fds[1]);
            ADD_FAILURE() << "iptables " << words << ": " << e.message;
        }
        close(fds[0]);
        return text;
    }
    std::string listing() { return system({}, "-S"); }
    std::string listing(const std::string& chain) { return system({}, "-S " + chain); }

    RecordingLogger m_logger;
    FakeConfigController m_config;
    FakeNwIFManager m_nwif;
    TempDir m_dir;
    std::shared_ptr<IHelperUtils> m_real = std::make_shared<SFHelperUtils>(
        m_logger, std::make_shared<ZAV::ZAVUtils>(nullptr, m_logger, std::make_shared<ZAV::kernelVersion>()));
    std::shared_ptr<RecordingHelperUtils> m_recorder = std::make_shared<RecordingHelperUtils>(m_real);
};

size_t countOf(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// True when a chain name of the generation with this id text stands in the listing.
bool mentionsGeneration(const std::string& listing, const std::string& uid)
{
    return listing.find(uid + "\n") != std::string::npos || listing.find(uid + " ") != std::string::npos;
}

TEST_F(SFIptablesSandboxTest, WorkedExamplePushesTheExpectedLinesThenSwitchesAndDisablesCleanly)
{
    m_config.setNextGenerationNumber(7);
    auto netfilter = driver();
    const ReplayTable table = officeTable();

    const ReplayResult first = replayPush(*netfilter, m_config, table);
    ASSERT_TRUE(first.pushed);
    EXPECT_EQ(first.marks, (std::vector<unsigned short>{257, 258, 259, 260}));

    std::vector<std::string> expected = {
        "-N QTZ_INPUT_7", "-N QTZ_OUTPUT_7", "-m state --state ESTABLISHED,RELATED -j ACCEPT -I QTZ_INPUT_7",
        "-m state --state ESTABLISHED,RELATED -j ACCEPT -I QTZ_OUTPUT_7"};
    for (const std::string& line : blockEventLines("_7", "5/hour", "c2f7"))
        expected.push_back(line);
    const std::string range = "-m iprange --src-range 192.0.2.10-192.0.2.20";
    const std::string hours =
        "-m time --timestart 08:00:00 --timestop 17:30:59 --weekdays Mon,Tue,Wed,Thu,Fri, --kerneltz";
    for (const std::string& line : std::vector<std::string>{
             "-n -L QTZ_Client_IN_7", "-N QTZ_Client_IN_7", "-n -L QTZ_Client_OUT_7", "-N QTZ_Client_OUT_7",
             "-A QTZ_INPUT_7 -j QTZ_Client_IN_7", "-A QTZ_OUTPUT_7 -j QTZ_Client_OUT_7",
             "-n -L QTZ_Group_1_IN_7", "-N QTZ_Group_1_IN_7",
             tcpNew("-m multiport --dport 80,443 -A QTZ_INPUT_7 -j QTZ_Group_1_IN_7"),
             tcpNew("-m multiport --dport 22 -j MARK --set-mark 257 -A QTZ_Client_IN_7"),
             tcpNew("-m multiport --dport 22 -j LOG --log-level 4 --log-prefix QTZ_I_A_Allow_SSH -A QTZ_Client_IN_7"),
             tcpNew("-m multiport --dport 22 -j ACCEPT -A QTZ_Client_IN_7"),
             tcpNew("-m multiport --dport 23 -j MARK --set-mark 258 -A QTZ_Client_IN_7"),
             tcpNew("-m multiport --dport 23 -j QTZ_BlockEven_IN_7 -A QTZ_Client_IN_7"),
             "-j MARK --set-mark 259 -A INPUT", "-j MARK --set-mark 259 -A OUTPUT",
             "-j LOG --log-level 4 --log-prefix QTZ_I_B_Block_All -A INPUT", "-j DROP -A INPUT",
             "-j LOG --log-level 4 --log-prefix QTZ_O_B_Block_All -A OUTPUT", "-j DROP -A OUTPUT",
             tcpNew(range + " -j MARK --set-mark 260 -A QTZ_Group_1_IN_7"),
             tcpNew(range + " " + hours +
                    " -j LOG --log-level 4 --log-prefix QTZ_I_A_Allow_Web_Office_Hou -A QTZ_Group_1_IN_7"),
             tcpNew(range + " " + hours + " -j ACCEPT -A QTZ_Group_1_IN_7"),
             tcpNew(range + " -j LOG --log-level 4 --log-prefix QTZ_I_B_Allow_Web_Office_Hou -A QTZ_Group_1_IN_7"),
             tcpNew(range + " -j DROP -A QTZ_Group_1_IN_7"),
             "-I INPUT -j QTZ_INPUT_7", "-I OUTPUT -j QTZ_OUTPUT_7", "-P INPUT DROP", "-P OUTPUT DROP",
             // No generation came before the first: there is nothing to remove.
         })
        expected.push_back(line);
    EXPECT_EQ(m_recorder->lines(), expected);
    EXPECT_EQ(m_recorder->lines().size(), 53u);

    // The whole table as iptables lists it (normalised words, --dports, --set-xmark, ...).
    const std::string kernel = listing();
    EXPECT_EQ(kernel, readFile(std::string(TQ_SOURCE_DIR) + "/tests/packetwall/golden/worked-example.rules"));
    // The second push replaces the first generation entirely.
    const ReplayResult second = replayPush(*netfilter, m_config, table);
    ASSERT_TRUE(second.pushed);
    const std::string after = listing();
    EXPECT_EQ(countOf(after, "_7"), 0u) << after;
    EXPECT_EQ(countOf(after, "\n-N "), 7u) << after;
    EXPECT_EQ(listing("INPUT"), "-P INPUT DROP\n-A INPUT -j QTZ_INPUT_8\n"
                                "-A INPUT -j MARK --set-xmark 0x103/0xffffffff\n"
                                "-A INPUT -j LOG --log-prefix QTZ_I_B_Block_All\n-A INPUT -j DROP\n");

    replayDisable(*netfilter);
    EXPECT_EQ(listing(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
    EXPECT_EQ(fileMode(stateFile()), -1);
}

TEST_F(SFIptablesSandboxTest, FailedPushesLeaveNoGenerationBehindTheNextGoodOne)
{
    auto netfilter = driver();
    const ReplayTable table = officeTable();
    ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed); // _1

    // _2 stops right after its top chains, _3 at the DROP policies after its redirection.
    std::string failing = "-m state --state ESTABLISHED,RELATED -j ACCEPT -I QTZ_INPUT_2";
    m_recorder->failWhen([&failing](const RecordingHelperUtils::Argv& argv) {
        const bool fails = RecordingHelperUtils::line(argv) == failing;
        if (fails)
            failing.clear();
        return fails;
    });
    EXPECT_FALSE(replayPush(*netfilter, m_config, table).switched);
    failing = "-P INPUT DROP";
    EXPECT_FALSE(replayPush(*netfilter, m_config, table).pushed);
    ASSERT_TRUE(failing.empty());

    ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed); // _4
    const std::string kernel = listing();
    for (const char* old : {"_1", "_2", "_3"})
        EXPECT_FALSE(mentionsGeneration(kernel, old)) << old << "\n" << kernel;
    EXPECT_EQ(countOf(kernel, "\n-N "), 7u) << kernel;
    EXPECT_EQ(countOf(listing("INPUT"), "-j QTZ_INPUT_"), 1u);
    EXPECT_EQ(countOf(listing("INPUT"), "-j DROP"), 1u);
}

TEST_F(SFIptablesSandboxTest, ANewDriverRemovesWhatAnAbandonedOneLeft)
{
    const ReplayTable table = officeTable();
    {
        auto abandoned = driver();
        ASSERT_TRUE(replayPush(*abandoned, m_config, table).pushed); // _1, never disabled
    }
    ASSERT_EQ(fileMode(stateFile()), 0600);

    // A new process: fresh settings, its own generation numbers.
    FakeConfigController restarted;
    restarted.setKerneltzSupportStatus(true);
    restarted.set(FakeConfigController::path::hashLimit, "5/hour");
    restarted.setNextGenerationNumber(40);
    SFIptables successor(m_logger, restarted, m_recorder, m_nwif, stateFile(), m_dir.path());
    ASSERT_TRUE(replayPush(successor, restarted, table).pushed);

    const std::string kernel = listing();
    EXPECT_FALSE(mentionsGeneration(kernel, "_1")) << kernel;
    EXPECT_EQ(countOf(kernel, "\n-N "), 7u) << kernel;
    EXPECT_EQ(countOf(listing("INPUT"), "-j DROP"), 1u);
    EXPECT_EQ(countOf(listing("OUTPUT"), "-j MARK"), 1u);

    replayDisable(successor);
    EXPECT_EQ(listing(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

TEST_F(SFIptablesSandboxTest, BuiltInLinesFollowTheLastClientRuleWhateverItsActionAndLevel)
{
    m_config.set(FakeConfigController::path::iptablesLevel, "6");
    auto netfilter = driver();
    ReplayTable table = officeTable();
    ReplayRule& blockAll = table.groups[0].rules.back();
    blockAll.action = FW_ACTION_ALLOW;

    for (int push = 0; push < 2; ++push) {
        ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed);
        const std::string input = listing("INPUT");
        EXPECT_EQ(countOf(input, "-j ACCEPT"), 1u) << input;
        EXPECT_EQ(countOf(input, "-j LOG --log-prefix QTZ_I_A_Block_All --log-level 6"), 1u) << input;
        EXPECT_EQ(countOf(input, "-j MARK"), 1u) << input;
    }
    blockAll.action = FW_ACTION_BLOCK_PACKET;
    ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed);
    const std::string input = listing("INPUT");
    EXPECT_EQ(countOf(input, "-j ACCEPT"), 0u) << input;
    EXPECT_EQ(countOf(input, "-j DROP"), 1u) << input;
    EXPECT_EQ(countOf(input, "--log-prefix"), 1u) << input;
    EXPECT_EQ(countOf(input, "QTZ_I_B_Block_All"), 1u) << input;
}

// Sends count datagrams to 127.0.0.1:port, interval apart.
void sendDatagrams(uint16_t port, int count, std::chrono::milliseconds interval)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        sendto(fd, "x", 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        std::this_thread::sleep_for(interval);
    }
    close(fd);
}

TEST_F(SFIptablesSandboxTest, AChangedHashLimitRateTakesEffect)
{
    ReplayGroup client;
    client.chainName = "QTZ_Client";
    ReplayRule discard;
    discard.name = "Report Discard";
    discard.action = FW_ACTION_BLOCK_PACKET;
    discard.transport = FW_TRANS_PROTO_UDP;
    discard.intrusion = true;
    discard.matches = {portMatch(FW_MATCH_LOCAL_PORT, 9), directionMatch(FW_DIRECTION_INBOUND)};
    ReplayRule out;
    out.name = "Allow Out";
    out.matches = {directionMatch(FW_DIRECTION_OUTBOUND)};
    client.rules = {discard, out};
    const ReplayTable table = jumpingTo({client});

    auto netfilter = driver();
    m_config.set(FakeConfigController::path::hashLimit, "1/hour");
    ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed);
    m_config.set(FakeConfigController::path::hashLimit, "100/sec");
    ASSERT_TRUE(replayPush(*netfilter, m_config, table).pushed);

    sendDatagrams(9, 20, std::chrono::milliseconds(20));
    const std::string counters = system({}, "-L QTZ_BlockEven_IN_2 -v -x -n");
    std::istringstream lines(counters);
    long queued = -1;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("NFQUEUE    17 ") != std::string::npos)
            queued = std::stol(line);
    }
    EXPECT_GE(queued, 15) << counters;

    // A rate iptables would refuse falls back to the default instead of failing the push.
    for (const char* bad : {"", "0/sec", "1/day", "fast", "5/fortnight"}) {
        m_config.set(FakeConfigController::path::hashLimit, bad);
        EXPECT_TRUE(replayPush(*netfilter, m_config, table).pushed) << bad;
        EXPECT_NE(listing().find("--hashlimit-upto 5/hour"), std::string::npos) << bad;
    }
}

TEST_F(SFIptablesSandboxTest, AdaptiveChainsQueueTheFirstReplyAndLeaveCleanly)
{
    ReplayGroup adaptive;
    adaptive.chainName = "QTZ_Adaptive";
    ReplayTable table = jumpingTo({adaptive});
    table.adaptiveGroup = "QTZ_Adaptive";

    auto netfilter = driver();
    ASSERT_TRUE(replayPush(*netfilter, m_config, table).switched);
    EXPECT_EQ(listing("QTZ_INPUT_1"),
              "-N QTZ_INPUT_1\n"
              "-A QTZ_INPUT_1 -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
              "-A QTZ_INPUT_1 -m state --state RELATED,ESTABLISHED -m mark --mark 0x1 -j QueueGroup_1\n"
              "-A QTZ_INPUT_1 -m state --state RELATED,ESTABLISHED -j ACCEPT\n"
              "-A QTZ_INPUT_1 -j QTZ_Adaptive_IN_1\n");
    EXPECT_EQ(listing("QueueGroup_1"),
              "-N QueueGroup_1\n"
              "-A QueueGroup_1 -m mark --mark 0x1 -j MARK --set-xmark 0x0/0xffffffff\n"
              "-A QueueGroup_1 -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff\n"
              "-A QueueGroup_1 -p tcp -m state --state RELATED,ESTABLISHED -m tcp --tcp-flags "
              "FIN,SYN,RST,PSH,ACK,URG SYN,ACK -j NFQUEUE --queue-num 1\n"
              "-A QueueGroup_1 -p udp -m state --state RELATED,ESTABLISHED -j NFQUEUE --queue-num 1\n");
    EXPECT_EQ(countOf(listing("QTZ_Adaptive_OUT_1"), "-j MARK --set-xmark 0x1/0xffffffff"), 2u);

    // Leaving adaptive mode removes the queue chain and the restore rules; a second attempt
    // finds no jump to delete and stops there.
    netfilter->addOrDeleteQueueGroupWithJumpRule(false);
    netfilter->addOrDeleteConnmarkRestoreRule(false);
    EXPECT_EQ(listing().find("QueueGroup"), std::string::npos);
    EXPECT_EQ(listing().find("CONNMARK --restore-mark"), std::string::npos);
    m_recorder->clear();
    EXPECT_THROW(netfilter->addOrDeleteQueueGroupWithJumpRule(false), SFException);
    EXPECT_EQ(m_recorder->lines().size(), 1u);

    replayDisable(*netfilter);
    EXPECT_EQ(listing(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

} // namespace
