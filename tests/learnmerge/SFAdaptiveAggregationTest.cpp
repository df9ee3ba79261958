#include "SFAdaptiveAggregation.h"
#include "SFAdaptiveAggregationWrapper.h"

#include "FakeNwIFManager.h"
#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

using namespace StatefulFirewall;

// The record is copied byte for byte between the queue, the daemon and this library.
static_assert(std::is_trivially_copyable_v<SFAdaptiveQueueEntry>);
static_assert(std::is_standard_layout_v<SFAdaptiveQueueEntry>);

namespace {

constexpr int kTcp = 6;
constexpr int kUdp = 17;
constexpr bool kIn = true;
constexpr bool kOut = false;

using Sources = std::vector<std::string>;
using Table = TestSupport::FakeNwIFManager::Table;

// The eight maps in the order the getters hand them out.
enum MapId { TcpPubIn, TcpPubOut, UdpPubIn, UdpPubOut, TcpPrivIn, TcpPrivOut, UdpPrivIn, UdpPrivOut };

const Table kHostNetworks = {{"10.0.0.0/24", "10.0.0.255"}, {"192.168.1.0/24", "192.168.1.255"}};

void setText(char (&field)[16], const std::string& text)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text.data(), std::min(text.size(), sizeof(field)));
}

SFAdaptiveQueueEntry record(int protocol, bool incoming, const std::string& sourceIp,
                            const std::string& destinationIp, unsigned short destinationPort)
{
    SFAdaptiveQueueEntry entry{};
    entry.protocol = protocol;
    setText(entry.sourceIp, sourceIp);
    entry.sourcePort = 40000;
    setText(entry.destinationIp, destinationIp);
    entry.destinationPort = destinationPort;
    entry.incoming = incoming ? 1 : 0;
    return entry;
}

AggregatedRuleMap one(int port, const std::string& subnet, Sources sources)
{
    return {{port, {{subnet, std::move(sources)}}}};
}

std::string nth(const std::string& prefix, int i)
{
    return prefix + std::to_string(i);
}

class SFAdaptiveAggregationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_monitor.setNetworksVsBroadcast(kHostNetworks);
        m_wrapper = SFAdaptiveAggregationWrapper::getInstance(m_logger, m_monitor);
    }
    void TearDown() override { SFAdaptiveAggregationWrapper::releaseInstance(); }

    bool add(const SFAdaptiveQueueEntry& entry) { return m_wrapper->aggregateRule(&entry); }
    // Incoming TCP from a remote source to this host's 192.168.1.10.
    bool addIncoming(const std::string& remote, unsigned short port = 443)
    {
        return add(record(kTcp, kIn, remote, "192.168.1.10", port));
    }

    std::array<AggregatedRuleMap, 8> maps()
    {
        std::array<AggregatedRuleMap, 8> all;
        m_wrapper->getTcpPublicAggregatedRules(&all[TcpPubIn], &all[TcpPubOut]);
        m_wrapper->getUdpPublicAggregatedRules(&all[UdpPubIn], &all[UdpPubOut]);
        m_wrapper->getTcpPrivateAggregatedRules(&all[TcpPrivIn], &all[TcpPrivOut]);
        m_wrapper->getUdpPrivateAggregatedRules(&all[UdpPrivIn], &all[UdpPrivOut]);
        return all;
    }
    bool allEmpty()
    {
        const auto all = maps();
        return std::all_of(all.begin(), all.end(), [](const auto& m) { return m.empty(); });
    }
    bool logged(const std::string& message) const { return m_logger.has(6, message); }

    SFAdaptiveAggregation& aggregation()
    {
        return *SFAdaptiveAggregation::getInstance(m_logger, m_monitor);
    }

    TestSupport::RecordingLogger m_logger;
    TestSupport::FakeNwIFManager m_monitor;
    SFAdaptiveAggregationWrapper* m_wrapper = nullptr;
};

} // namespace

TEST(SFAdaptiveQueueEntryTest, FieldsReadFromTheQueuesByteLayout)
{
    unsigned char bytes[44] = {};
    const int protocol = kUdp;
    const unsigned short sourcePort = 40000;
    const unsigned short destinationPort = 53;
    std::memcpy(bytes + 0, &protocol, 4);
    std::memcpy(bytes + 4, "10.0.0.5", 9);
    std::memcpy(bytes + 20, &sourcePort, 2);
    std::memcpy(bytes + 22, "10.0.1.7", 9);
    std::memcpy(bytes + 38, &destinationPort, 2);
    bytes[40] = 1;

    SFAdaptiveQueueEntry entry;
    std::memcpy(&entry, bytes, sizeof(bytes));
    EXPECT_EQ(entry.protocol, kUdp);
    EXPECT_STREQ(entry.sourceIp, "10.0.0.5");
    EXPECT_EQ(entry.sourcePort, 40000);
    EXPECT_STREQ(entry.destinationIp, "10.0.1.7");
    EXPECT_EQ(entry.destinationPort, 53);
    EXPECT_EQ(entry.incoming, 1);
}

TEST_F(SFAdaptiveAggregationTest, EachRecordLandsInTheMapOfItsProtocolSourceKindAndDirection)
{
    struct Row {
        const char* name;
        SFAdaptiveQueueEntry entry;
        MapId map;
        AggregatedRuleMap expected;
        const char* startLine; // empty: none logged
        const char* doneLine;
    };
    const Row rows[] = {
        {"incoming TCP, public", record(kTcp, kIn, "203.0.113.5", "192.168.1.10", 22), TcpPubIn,
         one(22, "192.168.1.0/24", {"203.0.113.5"}),
         "Aggregating incoming adaptive TCP rule Ip parameters", "Aggregating incoming adaptive TCP rule"},
        {"outgoing TCP, public", record(kTcp, kOut, "192.168.1.10", "198.51.100.7", 443), TcpPubOut,
         one(443, "192.168.1.0/24", {"198.51.100.7"}),
         "Aggregating outgoing adaptive TCP rule Ip parameters", "Aggregating outgoing adaptive TCP rule"},
        {"incoming UDP, public", record(kUdp, kIn, "198.51.100.9", "10.0.0.5", 5060), UdpPubIn,
         one(5060, "10.0.0.0/24", {"198.51.100.9"}),
         "Aggregating incoming adaptive UDP rule Ip parameters", "Aggregating incoming adaptive UDP rule"},
        {"outgoing UDP, public", record(kUdp, kOut, "10.0.0.5", "8.8.8.8", 53), UdpPubOut,
         one(53, "10.0.0.0/24", {"8.8.8.8"}), "", "Aggregating outgoing adaptive UDP rule"},
        {"outgoing UDP to an RFC 1918 block", record(kUdp, kOut, "10.0.0.5", "10.0.1.7", 53),
         UdpPrivOut, one(53, "10.0.0.0/24", {"10.0.1.7"}), "", "Aggregating outgoing adaptive UDP rule"},
        {"incoming TCP from an RFC 1918 block", record(kTcp, kIn, "172.16.4.4", "192.168.1.10", 3389),
         TcpPrivIn, one(3389, "192.168.1.0/24", {"172.16.4.4"}),
         "Aggregating incoming adaptive TCP rule Ip parameters", "Aggregating incoming adaptive TCP rule"},
        {"incoming TCP from another local subnet", record(kTcp, kIn, "10.0.0.9", "192.168.1.10", 80),
         TcpPrivIn, one(80, "192.168.1.0/24", {"10.0.0.9"}),
         "Aggregating incoming adaptive TCP rule Ip parameters", "Aggregating incoming adaptive TCP rule"},
        {"outgoing TCP into a local subnet", record(kTcp, kOut, "10.0.0.5", "192.168.1.20", 8080),
         TcpPrivOut, one(8080, "10.0.0.0/24", {"192.168.1.20"}),
         "Aggregating outgoing adaptive TCP rule Ip parameters", "Aggregating outgoing adaptive TCP rule"},
        {"incoming UDP, private", record(kUdp, kIn, "192.168.1.30", "10.0.0.5", 161), UdpPrivIn,
         one(161, "10.0.0.0/24", {"192.168.1.30"}),
         "Aggregating incoming adaptive UDP rule Ip parameters", "Aggregating incoming adaptive UDP rule"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_wrapper->clearAllAggregatedRules();
        m_logger.clear();

        EXPECT_TRUE(add(row.entry));
        const auto all = maps();
        for (int id = 0; id < 8; ++id)
            EXPECT_EQ(all[id], id == row.map ? row.expected : AggregatedRuleMap()) << "map " << id;
        EXPECT_TRUE(logged(row.doneLine));
        if (*row.startLine != '\0')
            EXPECT_TRUE(logged(row.startLine));
        else
            EXPECT_FALSE(logged("Aggregating outgoing adaptive UDP rule Ip parameters"));

        // The same connection again changes nothing.
        EXPECT_FALSE(add(row.entry));
        EXPECT_TRUE(logged("Skip aggregating adaptive rule as it has already been aggregated"));
        EXPECT_EQ(maps()[row.map], row.expected);
    }
    for (const auto& line : m_logger.lines())
        EXPECT_EQ(line.component, "SFAdaptiveAggregation");
}

TEST_F(SFAdaptiveAggregationTest, IncompleteMalformedOrForeignRecordsAreSkipped)
{
    struct Row {
        std::function<void(SFAdaptiveQueueEntry&)> change;
        std::string message;
    };
    const Row rows[] = {
        {[](auto& e) { e.protocol = 0; }, "Skip aggregating adaptive rule where protocol is NULL"},
        {[](auto& e) { setText(e.sourceIp, ""); }, "Skip aggregating adaptive rule where source Ip is NULL"},
        {[](auto& e) { e.sourcePort = 0; }, "Skip aggregating adaptive rule where source Port is NULL"},
        {[](auto& e) { setText(e.destinationIp, ""); },
         "Skip aggregating adaptive rule where destination Ip is NULL"},
        {[](auto& e) { e.destinationPort = 0; },
         "Skip aggregating adaptive rule where destination Port is NULL"},
        {[](auto& e) { e.protocol = 1; }, "Skip aggregating adaptive rule where protocol is not supported"},
        {[](auto& e) { e.protocol = -6; }, "Skip aggregating adaptive rule where protocol is not supported"},
        {[](auto& e) { setText(e.sourceIp, "203.0.113.256"); },
         "Skip aggregating adaptive rule where source Ip 203.0.113.256 is not a valid IPv4 address"},
        {[](auto& e) { setText(e.sourceIp, "any"); },
         "Skip aggregating adaptive rule where source Ip any is not a valid IPv4 address"},
        {[](auto& e) { setText(e.destinationIp, "192.168.1"); },
         "Skip aggregating adaptive rule where destination Ip 192.168.1 is not a valid IPv4 address"},
        // A field without its NUL is read up to its 16th byte, not into the port after it.
        {[](auto& e) { std::memset(e.sourceIp, '1', sizeof(e.sourceIp)); },
         "Skip aggregating adaptive rule where source Ip 1111111111111111 is not a valid IPv4 address"},
        {[](auto& e) { setText(e.destinationIp, "172.20.0.1"); },
         "Skip aggregating incoming adaptive rule as destination Ip is not part of any known subnet"},
        {[](auto& e) {
             e.incoming = 0;
             setText(e.sourceIp, "172.20.0.1");
         },
         "Skip aggregating outgoing adaptive rule as source Ip is not part of any known subnet"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        m_logger.clear();
        SFAdaptiveQueueEntry entry = record(kTcp, kIn, "203.0.113.5", "192.168.1.10", 22);
        row.change(entry);
        EXPECT_FALSE(add(entry));
        EXPECT_TRUE(logged(row.message));
        EXPECT_TRUE(allEmpty());
    }
    EXPECT_FALSE(m_wrapper->aggregateRule(nullptr));
    EXPECT_TRUE(logged("Skip aggregating NULL adaptive rule"));
}

TEST_F(SFAdaptiveAggregationTest, TenthPublicSourceCollapsesTheListToAny)
{
    Sources nine;
    for (int i = 1; i <= 9; ++i) {
        EXPECT_TRUE(addIncoming(nth("203.0.113.", i)));
        nine.push_back(nth("203.0.113.", i));
    }
    EXPECT_TRUE(logged("Adding new public source ip 203.0.113.2 for subnet entry 192.168.1.0/24 for "
                       "destination port 443for an existing subnet entry for existing destination "
                       "Port during aggregation"));
    EXPECT_EQ(maps()[TcpPubIn], one(443, "192.168.1.0/24", nine));

    EXPECT_FALSE(addIncoming("203.0.113.3"));
    EXPECT_TRUE(logged("Not aggregating new public source ip 203.0.113.3 for subnet entry "
                       "192.168.1.0/24 for destination port 443 as same ip has already been aggregated"));

    EXPECT_TRUE(addIncoming("198.51.100.1"));
    EXPECT_EQ(maps()[TcpPubIn], one(443, "192.168.1.0/24", {"any"}));
    EXPECT_FALSE(addIncoming("198.51.100.2"));
    EXPECT_TRUE(logged("Not aggregating new public source ip 198.51.100.2 for subnet entry "
                       "192.168.1.0/24 for destination port 443 as it has already been aggregated "
                       "to the keyword of any"));
    // Another port starts a list of its own.
    EXPECT_TRUE(addIncoming("198.51.100.2", 22));
    EXPECT_EQ(maps()[TcpPubIn].at(22), (std::map<std::string, Sources>{{"192.168.1.0/24", {"198.51.100.2"}}}));
}

TEST_F(SFAdaptiveAggregationTest, TenthPrivateSourceCollapsesTheListIntoCoveringNetworks)
{
    struct Row {
        const char* name;
        Table networksBefore;  // the host's networks while the first sources arrive
        Sources first;         // the sources before the collapse, at most nine
        Table networksAfter;   // the host's networks from the tenth source on; empty: unchanged
        std::string tenth;
        Sources expected;
        std::string refused;   // a later source the collapsed list already covers
    };
    Sources rfcNine, mixed, lostNine;
    for (int i = 1; i <= 9; ++i)
        rfcNine.push_back(nth("10.0.1.", i));
    mixed = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5",
             "172.16.0.1", "172.16.0.2", "172.16.0.3", "172.16.0.4"};
    for (int i = 1; i <= 9; ++i)
        lostNine.push_back(nth("100.64.0.", i));
    const Table withCarrierNat = {{"100.64.0.0/10", "100.127.255.255"},
                                  {"192.168.1.0/24", "192.168.1.255"}};
    const Row rows[] = {
        {"addresses of one RFC 1918 block", kHostNetworks, rfcNine, {}, "10.0.2.1", {"10.0.0.0/8"}, "10.0.3.3"},
        {"local subnet first, then blocks", kHostNetworks, mixed, {}, "192.168.7.7",
         {"10.0.0.0/24", "172.16.0.0/12", "192.168.0.0/16"}, "172.31.0.1"},
        {"sources no longer local nor RFC 1918 are dropped", withCarrierNat, lostNine,
         {{"192.168.1.0/24", "192.168.1.255"}}, "10.0.2.1", {"10.0.0.0/8"}, "10.9.9.9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SFAdaptiveAggregationWrapper::releaseInstance();
        m_monitor.setNetworksVsBroadcast(row.networksBefore);
        m_wrapper = SFAdaptiveAggregationWrapper::getInstance(m_logger, m_monitor);
        m_logger.clear();

        for (const std::string& source : row.first)
            EXPECT_TRUE(addIncoming(source));
        EXPECT_EQ(maps()[TcpPrivIn], one(443, "192.168.1.0/24", row.first));
        if (!row.networksAfter.empty())
            m_monitor.setNetworksVsBroadcast(row.networksAfter);

        EXPECT_TRUE(addIncoming(row.tenth));
        EXPECT_TRUE(logged("Number of source ip to aggregate has crossed the maximum limit, "
                           "aggregating it for private subnets"));
        EXPECT_EQ(maps()[TcpPrivIn], one(443, "192.168.1.0/24", row.expected));

        EXPECT_FALSE(addIncoming(row.refused));
        EXPECT_TRUE(logged("Not aggregating new private source ip " + row.refused +
                           " for subnet entry 192.168.1.0/24 for destination port 443 as it "
                           "belongs to a subnet that has already been aggregated"));
    }
    EXPECT_TRUE(logged("Not aggregating old source ip - 100.64.0.1 as it did not belong to any of "
                       "the local subnets or rfc 1918 network"));
}

TEST_F(SFAdaptiveAggregationTest, NetworkAndAddressesOfOneBlockCollapseToOneEntry)
{
    for (int i = 1; i <= 10; ++i)
        EXPECT_TRUE(addIncoming(nth("10.0.0.", i)));
    EXPECT_EQ(maps()[TcpPrivIn], one(443, "192.168.1.0/24", {"10.0.0.0/24"}));

    // The host leaves 10.0.0.0/24; its collapsed network now belongs to the 10/8 block.
    m_monitor.setNetworksVsBroadcast({{"192.168.1.0/24", "192.168.1.255"}});
    for (int i = 1; i <= 8; ++i)
        EXPECT_TRUE(addIncoming(nth("10.0.7.", i)));
    EXPECT_EQ(maps()[TcpPrivIn].at(443).at("192.168.1.0/24").size(), 9u);
    EXPECT_TRUE(addIncoming("10.0.8.1"));
    EXPECT_EQ(maps()[TcpPrivIn], one(443, "192.168.1.0/24", {"10.0.0.0/8"}));
    EXPECT_TRUE(logged("Aggregating source network - 10.0.0.0/24 as it belonged to rfc 1918 network - 10.0.0.0/8"));
}

TEST_F(SFAdaptiveAggregationTest, PortsAndLocalSubnetsKeepSeparateLists)
{
    EXPECT_TRUE(add(record(kTcp, kOut, "192.168.1.10", "198.51.100.7", 443)));
    EXPECT_TRUE(add(record(kTcp, kOut, "10.0.0.5", "198.51.100.7", 443)));
    EXPECT_TRUE(add(record(kTcp, kOut, "192.168.1.10", "198.51.100.7", 80)));
    EXPECT_TRUE(add(record(kTcp, kOut, "192.168.1.11", "198.51.100.8", 443)));
    const AggregatedRuleMap expected = {
        {80, {{"192.168.1.0/24", {"198.51.100.7"}}}},
        {443, {{"10.0.0.0/24", {"198.51.100.7"}}, {"192.168.1.0/24", {"198.51.100.7", "198.51.100.8"}}}},
    };
    EXPECT_EQ(maps()[TcpPubOut], expected);
}

TEST_F(SFAdaptiveAggregationTest, LocalSubnetIsTheFirstContainingNetworkInKeyOrder)
{
    struct Row {
        const char* name;
        Table networks;
        MapId map;
        AggregatedRuleMap expected;
    };
    const Row rows[] = {
        {"nested networks: the smaller key sorts first",
         {{"10.0.0.0/8", "10.255.255.255"}, {"10.0.0.0/24", "10.0.0.255"}}, TcpPubIn,
         one(22, "10.0.0.0/24", {"203.0.113.5"})},
        {"a prefix-0 network holds every address, so no source is public",
         {{"0.0.0.0/0", "255.255.255.255"}}, TcpPrivIn, one(22, "0.0.0.0/0", {"203.0.113.5"})},
        {"an entry that does not parse is passed over",
         {{"0bogus/24", "nonsense"}, {"10.0.0.0/24", "10.0.0.255"}}, TcpPubIn,
         one(22, "10.0.0.0/24", {"203.0.113.5"})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_wrapper->clearAllAggregatedRules();
        m_monitor.setNetworksVsBroadcast(row.networks);
        EXPECT_TRUE(add(record(kTcp, kIn, "203.0.113.5", "10.0.0.7", 22)));
        EXPECT_EQ(maps()[row.map], row.expected);
    }
}

TEST_F(SFAdaptiveAggregationTest, BroadcastOfNetworkCoversEveryPrefixAndRefusesBadText)
{
    const std::pair<const char*, const char*> rows[] = {
        {"192.168.1.0/24", "192.168.1.255"}, {"172.16.0.0/12", "172.31.255.255"},
        {"0.0.0.0/0", "255.255.255.255"},    {"10.1.2.3/32", "10.1.2.3"},
        {"10.0.0.0/31", "10.0.0.1"},         {"10.0.0.0/33", ""},
        {"10.0.0.0/", ""},                   {"10.0.0.0", ""},
        {"10.0.0.0/-1", ""},                 {"10.0.0.0/2x", ""},
        {"10.0.0.0/ 8", ""},                 {"10.0.0.0/4294967304", ""},
        {"10.0.0/8", ""},                    {"/8", ""},
    };
    for (const auto& [network, broadcast] : rows)
        EXPECT_EQ(aggregation().getBroadcastIpFromNetworkWithPrefix(network), broadcast) << network;
}

TEST_F(SFAdaptiveAggregationTest, ContainmentIncludesBothEndsAndRefusesBadText)
{
    struct Row {
        const char* network;
        const char* broadcast;
        const char* ip;
        bool belongs;
    };
    const Row rows[] = {
        {"10.0.0.0", "10.0.0.255", "10.0.0.0", true},    {"10.0.0.0", "10.0.0.255", "10.0.0.255", true},
        {"10.0.0.0", "10.0.0.255", "10.0.1.0", false},   {"10.0.0.0", "10.0.0.255", "9.255.255.255", false},
        {"0.0.0.0", "255.255.255.255", "1.2.3.4", true}, {"10.0.0.0", "", "10.0.0.1", false},
        {"10.0.0.0", "10.0.0.255", "10.0.0.1 ", false},  {"x", "10.0.0.255", "10.0.0.1", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(aggregation().doesIpBelongToSubnet(row.network, row.broadcast, row.ip), row.belongs)
            << row.network << " " << row.broadcast << " " << row.ip;
    EXPECT_TRUE(logged("Unexpected exception occurred when checking if Ip Address 10.0.0.1 belongs "
                       "to the network x with broadcast 10.0.0.255"));
    EXPECT_TRUE(logged("Ip Address 10.0.0.0 belongs to the network 10.0.0.0 with broadcast 10.0.0.255"));
}

TEST_F(SFAdaptiveAggregationTest, ClearingAndReleasingForgetWhatWasLearned)
{
    const SFAdaptiveQueueEntry entry = record(kTcp, kIn, "203.0.113.5", "192.168.1.10", 22);
    EXPECT_EQ(SFAdaptiveAggregationWrapper::getInstance(m_logger, m_monitor), m_wrapper);
    EXPECT_TRUE(add(entry));
    m_wrapper->clearAllAggregatedRules();
    EXPECT_TRUE(allEmpty());
    EXPECT_TRUE(add(entry));

    SFAdaptiveAggregationWrapper::releaseInstance();
    SFAdaptiveAggregationWrapper::releaseInstance(); // nothing left: no effect
    m_wrapper = SFAdaptiveAggregationWrapper::getInstance(m_logger, m_monitor);
    EXPECT_TRUE(allEmpty());
    EXPECT_TRUE(add(entry));

    // Out-pointers the caller leaves null are skipped.
    AggregatedRuleMap incoming;
    m_wrapper->getTcpPublicAggregatedRules(&incoming, nullptr);
    m_wrapper->getUdpPrivateAggregatedRules(nullptr, nullptr);
    EXPECT_EQ(incoming, one(22, "192.168.1.0/24", {"203.0.113.5"}));
}

namespace {

// A monitor whose networks change after a given number of lookups, as the real one's tables
// do when its thread updates them between two lookups of one record.
class ChangingMonitor : public TestSupport::FakeNwIFManager {
public:
    Table getUniqueNetworksVsBroadcast() override
    {
        ++m_calls;
        return m_calls > m_changeAfter ? m_after : FakeNwIFManager::getUniqueNetworksVsBroadcast();
    }
    size_t m_calls = 0;
    size_t m_changeAfter = SIZE_MAX;
    Table m_after;
};

TEST(SFAdaptiveAggregationRaceTest, CollapseThatWouldLeaveNoSourceKeepsTheList)
{
    const Table withCarrierNat = {{"100.64.0.0/10", "100.127.255.255"},
                                  {"192.168.1.0/24", "192.168.1.255"}};
    Sources nine;
    for (int i = 1; i <= 9; ++i)
        nine.push_back(nth("100.64.0.", i));
    auto run = [&](ChangingMonitor& monitor, TestSupport::RecordingLogger& logger) {
        SFAdaptiveAggregationWrapper::releaseInstance();
        monitor.setNetworksVsBroadcast(withCarrierNat);
        SFAdaptiveAggregationWrapper* wrapper = SFAdaptiveAggregationWrapper::getInstance(logger, monitor);
        for (const std::string& source : nine) {
            const SFAdaptiveQueueEntry entry = record(kTcp, kIn, source, "192.168.1.10", 443);
            wrapper->aggregateRule(&entry);
        }
        const SFAdaptiveQueueEntry tenth = record(kTcp, kIn, "100.64.0.10", "192.168.1.10", 443);
        wrapper->aggregateRule(&tenth);
        AggregatedRuleMap in, out;
        wrapper->getTcpPrivateAggregatedRules(&in, &out);
        SFAdaptiveAggregationWrapper::releaseInstance();
        return in;
    };

    // How many lookups a stable host needs; the last ten are the collapse's, one per source.
    TestSupport::RecordingLogger quietLogger;
    ChangingMonitor stable;
    run(stable, quietLogger);
    ASSERT_GT(stable.m_calls, 10u);

    // The carrier-grade NAT network leaves the host just before the collapse.
    TestSupport::RecordingLogger logger;
    ChangingMonitor changing;
    changing.m_changeAfter = stable.m_calls - 10;
    changing.m_after = {{"192.168.1.0/24", "192.168.1.255"}};
    EXPECT_EQ(run(changing, logger), one(443, "192.168.1.0/24", nine));
    EXPECT_TRUE(logger.has(6, "Not aggregating new private source ip 100.64.0.10 for subnet entry "
                              "192.168.1.0/24 for destination port 443 as none of the sources "
                              "belongs to a local subnet or rfc 1918 network any more"));
}

} // namespace
