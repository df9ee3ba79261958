#include "SFQueueMessages.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

using namespace StatefulFirewall;

namespace {

// What the kernel would read out of one request.
struct Decoded {
    uint16_t type = 0;
    uint16_t flags = 0;
    uint32_t sequence = 0;
    uint8_t family = 0xff;
    uint8_t version = 0xff;
    uint16_t queue = 0xffff;
    const nlattr* attrs[NFQA_MAX + 1] = {}; // config and verdict attribute numbers both fit
    std::vector<char> bytes;
};

int collect(const nlattr* attr, void* data)
{
    auto* table = static_cast<const nlattr**>(data);
    if (mnl_attr_type_valid(attr, NFQA_MAX) >= 0) {
        table[mnl_attr_get_type(attr)] = attr;
    }
    return MNL_CB_OK;
}

// Copies the request so the attribute pointers stay valid, and checks it is one whole message.
void decode(const std::vector<char>& request, Decoded& out)
{
    out.bytes = request;
    auto* nlh = reinterpret_cast<const nlmsghdr*>(out.bytes.data());
    ASSERT_TRUE(mnl_nlmsg_ok(nlh, static_cast<int>(out.bytes.size())));
    ASSERT_EQ(nlh->nlmsg_len, out.bytes.size()) << "a request is exactly one message";
    ASSERT_GE(nlh->nlmsg_len, MNL_NLMSG_HDRLEN + sizeof(nfgenmsg));
    out.type = nlh->nlmsg_type;
    out.flags = nlh->nlmsg_flags;
    out.sequence = nlh->nlmsg_seq;
    auto* nfg = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(nlh));
    out.family = nfg->nfgen_family;
    out.version = nfg->version;
    out.queue = ntohs(nfg->res_id);
    ASSERT_EQ(mnl_attr_parse(nlh, sizeof(nfgenmsg), collect, out.attrs), MNL_CB_OK);
}

constexpr uint16_t kConfigType = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
constexpr uint16_t kVerdictType = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT;

uint32_t attrU32(const nlattr* attr)
{
    EXPECT_EQ(mnl_attr_validate(attr, MNL_TYPE_U32), 0);
    return ntohl(mnl_attr_get_u32(attr));
}

} // namespace

TEST(SFQueueMessagesTest, ConfigCommandsCarryCommandQueueIpv4FamilyAndAskForAck)
{
    struct Case {
        std::string name;
        std::vector<char> request;
        uint8_t command;
        uint16_t queue;
        uint32_t sequence;
    };
    const Case cases[] = {
        {"family unbind", SFQueueMessages::familyUnbind(11), NFQNL_CFG_CMD_PF_UNBIND, 0, 11},
        {"family bind", SFQueueMessages::familyBind(12), NFQNL_CFG_CMD_PF_BIND, 0, 12},
        {"bind queue 1", SFQueueMessages::queueBind(kAdaptiveQueueNumber, 13), NFQNL_CFG_CMD_BIND, 1, 13},
        {"bind queue 3", SFQueueMessages::queueBind(kBlockEventQueueNumber, 14), NFQNL_CFG_CMD_BIND, 3, 14},
        {"unbind queue 3", SFQueueMessages::queueUnbind(3, 15), NFQNL_CFG_CMD_UNBIND, 3, 15},
        {"bind high queue", SFQueueMessages::queueBind(0x1234, 16), NFQNL_CFG_CMD_BIND, 0x1234, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        decode(c.request, d);
        EXPECT_EQ(d.type, kConfigType);
        EXPECT_EQ(d.flags, NLM_F_REQUEST | NLM_F_ACK);
        EXPECT_EQ(d.sequence, c.sequence);
        EXPECT_EQ(d.family, AF_UNSPEC);
        EXPECT_EQ(d.version, NFNETLINK_V0);
        EXPECT_EQ(d.queue, c.queue);
        const nlattr* cmdAttr = d.attrs[NFQA_CFG_CMD];
        ASSERT_NE(cmdAttr, nullptr);
        ASSERT_EQ(mnl_attr_validate2(cmdAttr, MNL_TYPE_UNSPEC, sizeof(nfqnl_msg_config_cmd)), 0);
        nfqnl_msg_config_cmd cmd{};
        std::memcpy(&cmd, mnl_attr_get_payload(cmdAttr), sizeof(cmd));
        EXPECT_EQ(cmd.command, c.command);
        EXPECT_EQ(ntohs(cmd.pf), AF_INET);
        EXPECT_EQ(d.attrs[NFQA_CFG_PARAMS], nullptr);
    }
}

TEST(SFQueueMessagesTest, CopyPacketAndMaxLengthCarryTheirValuesBigEndian)
{
    Decoded copy;
    decode(SFQueueMessages::copyPacket(kAdaptiveQueueNumber, 0xffff, 21), copy);
    EXPECT_EQ(copy.type, kConfigType);
    EXPECT_EQ(copy.flags, NLM_F_REQUEST | NLM_F_ACK);
    EXPECT_EQ(copy.sequence, 21u);
    EXPECT_EQ(copy.queue, 1);
    const nlattr* paramsAttr = copy.attrs[NFQA_CFG_PARAMS];
    ASSERT_NE(paramsAttr, nullptr);
    ASSERT_EQ(mnl_attr_get_payload_len(paramsAttr), sizeof(nfqnl_msg_config_params));
    nfqnl_msg_config_params params{};
    std::memcpy(&params, mnl_attr_get_payload(paramsAttr), sizeof(params));
    EXPECT_EQ(ntohl(params.copy_range), 0xffffu);
    EXPECT_EQ(params.copy_mode, NFQNL_COPY_PACKET);
    EXPECT_EQ(copy.attrs[NFQA_CFG_CMD], nullptr);

    Decoded maxLength;
    decode(SFQueueMessages::queueMaxLength(kBlockEventQueueNumber, 0x01020304, 22), maxLength);
    EXPECT_EQ(maxLength.type, kConfigType);
    EXPECT_EQ(maxLength.flags, NLM_F_REQUEST | NLM_F_ACK);
    EXPECT_EQ(maxLength.sequence, 22u);
    EXPECT_EQ(maxLength.queue, 3);
    ASSERT_NE(maxLength.attrs[NFQA_CFG_QUEUE_MAXLEN], nullptr);
    EXPECT_EQ(attrU32(maxLength.attrs[NFQA_CFG_QUEUE_MAXLEN]), 0x01020304u);
}

TEST(SFQueueMessagesTest, FailOpenIsSetOnTheAdaptiveQueueAndClearedOnTheBlockEventQueue)
{
    struct Case {
        uint16_t queue;
        uint32_t expectedFlags;
    };
    for (const Case c : {Case{kAdaptiveQueueNumber, NFQA_CFG_F_FAIL_OPEN}, Case{kBlockEventQueueNumber, 0}}) {
        SCOPED_TRACE("queue " + std::to_string(c.queue));
        Decoded d;
        decode(SFQueueMessages::queueFlags(c.queue, 31), d);
        EXPECT_EQ(d.type, kConfigType);
        EXPECT_EQ(d.flags, NLM_F_REQUEST | NLM_F_ACK);
        EXPECT_EQ(d.sequence, 31u);
        EXPECT_EQ(d.queue, c.queue);
        ASSERT_NE(d.attrs[NFQA_CFG_FLAGS], nullptr);
        ASSERT_NE(d.attrs[NFQA_CFG_MASK], nullptr);
        EXPECT_EQ(attrU32(d.attrs[NFQA_CFG_FLAGS]), c.expectedFlags);
        // Without the fail-open bit in the mask the kernel would ignore the value.
        EXPECT_EQ(attrU32(d.attrs[NFQA_CFG_MASK]), static_cast<uint32_t>(NFQA_CFG_F_FAIL_OPEN));
    }
}

TEST(SFQueueMessagesTest, TheStartRequestBindsCopiesWholePacketsAndSetsTheFlagsInOneAcknowledgedMessage)
{
    struct Case {
        uint16_t queue;
        bool withFlags;
        uint32_t expectedFlags;
    };
    for (const Case c : {Case{kAdaptiveQueueNumber, true, NFQA_CFG_F_FAIL_OPEN}, Case{kBlockEventQueueNumber, true, 0},
                         Case{kAdaptiveQueueNumber, false, 0}}) {
        SCOPED_TRACE("queue " + std::to_string(c.queue) + (c.withFlags ? " with flags" : " without flags"));
        Decoded d;
        decode(SFQueueMessages::queueStart(c.queue, 0xffff, c.withFlags, 41), d);
        EXPECT_EQ(d.type, kConfigType);
        EXPECT_EQ(d.flags, NLM_F_REQUEST | NLM_F_ACK);
        EXPECT_EQ(d.sequence, 41u);
        EXPECT_EQ(d.queue, c.queue);
        ASSERT_NE(d.attrs[NFQA_CFG_CMD], nullptr);
        nfqnl_msg_config_cmd cmd{};
        std::memcpy(&cmd, mnl_attr_get_payload(d.attrs[NFQA_CFG_CMD]), sizeof(cmd));
        EXPECT_EQ(cmd.command, NFQNL_CFG_CMD_BIND);
        EXPECT_EQ(ntohs(cmd.pf), AF_INET);
        ASSERT_NE(d.attrs[NFQA_CFG_PARAMS], nullptr);
        nfqnl_msg_config_params params{};
        std::memcpy(&params, mnl_attr_get_payload(d.attrs[NFQA_CFG_PARAMS]), sizeof(params));
        EXPECT_EQ(ntohl(params.copy_range), 0xffffu);
        EXPECT_EQ(params.copy_mode, NFQNL_COPY_PACKET);
        ASSERT_EQ(d.attrs[NFQA_CFG_FLAGS] != nullptr, c.withFlags);
        ASSERT_EQ(d.attrs[NFQA_CFG_MASK] != nullptr, c.withFlags);
        if (c.withFlags) {
            EXPECT_EQ(attrU32(d.attrs[NFQA_CFG_FLAGS]), c.expectedFlags);
            EXPECT_EQ(attrU32(d.attrs[NFQA_CFG_MASK]), static_cast<uint32_t>(NFQA_CFG_F_FAIL_OPEN));
        }
    }
}

TEST(SFQueueMessagesTest, VerdictsNameQueueAndPacketAndAskForNoAck)
{
    struct Case {
        std::string name;
        std::vector<char> request;
        uint32_t verdict;
        uint16_t queue;
        uint32_t packetId;
    };
    const Case cases[] = {
        {"accept", SFQueueMessages::acceptVerdict(kAdaptiveQueueNumber, 0xdeadbeef, 41), NF_ACCEPT, 1, 0xdeadbeef},
        {"drop", SFQueueMessages::dropVerdict(kBlockEventQueueNumber, 7, 41), NF_DROP, 3, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        decode(c.request, d);
        EXPECT_EQ(d.type, kVerdictType);
        EXPECT_EQ(d.flags, NLM_F_REQUEST);
        EXPECT_EQ(d.sequence, 41u);
        EXPECT_EQ(d.family, AF_UNSPEC);
        EXPECT_EQ(d.queue, c.queue);
        const nlattr* hdrAttr = d.attrs[NFQA_VERDICT_HDR];
        ASSERT_NE(hdrAttr, nullptr);
        ASSERT_EQ(mnl_attr_get_payload_len(hdrAttr), sizeof(nfqnl_msg_verdict_hdr));
        nfqnl_msg_verdict_hdr hdr{};
        std::memcpy(&hdr, mnl_attr_get_payload(hdrAttr), sizeof(hdr));
        EXPECT_EQ(ntohl(hdr.verdict), c.verdict);
        EXPECT_EQ(ntohl(hdr.id), c.packetId);
    }
}
