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
#include <optional>
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

// Every config request is one message for one queue that asks for an acknowledgement and
// carries exactly the attributes its row names, values big-endian: the command with the IPv4
// family, the copy range with whole packets copied, the queue's length, the flags with fail-open
// in the mask (without it the kernel would ignore the value). Fail-open is set on the adaptive
// queue and cleared on the block-event queue; the start request binds, copies whole packets and
// sets the flags in one message.
TEST(SFQueueMessagesTest, ConfigRequestsAskForAckAndCarryTheirQueueAndValuesBigEndian)
{
    using M = SFQueueMessages;
    const std::nullopt_t none = std::nullopt;
    constexpr uint16_t adaptive = kAdaptiveQueueNumber, blockEvent = kBlockEventQueueNumber;
    constexpr uint32_t failOpen = NFQA_CFG_F_FAIL_OPEN;
    struct Case {
        std::string name;
        std::vector<char> request;
        uint16_t queue;
        uint32_t sequence;
        std::optional<uint8_t> command;
        std::optional<uint32_t> copyRange;
        std::optional<uint32_t> maxLength;
        std::optional<uint32_t> flags;
    };
    const Case cases[] = {
        {"family unbind", M::familyUnbind(11), 0, 11, NFQNL_CFG_CMD_PF_UNBIND, none, none, none},
        {"family bind", M::familyBind(12), 0, 12, NFQNL_CFG_CMD_PF_BIND, none, none, none},
        {"bind queue 1", M::queueBind(adaptive, 13), 1, 13, NFQNL_CFG_CMD_BIND, none, none, none},
        {"bind queue 3", M::queueBind(blockEvent, 14), 3, 14, NFQNL_CFG_CMD_BIND, none, none, none},
        {"unbind queue 3", M::queueUnbind(3, 15), 3, 15, NFQNL_CFG_CMD_UNBIND, none, none, none},
        {"bind high queue", M::queueBind(0x1234, 16), 0x1234, 16, NFQNL_CFG_CMD_BIND, none, none, none},
        {"copy packet", M::copyPacket(adaptive, 0xffff, 21), 1, 21, none, 0xffffu, none, none},
        {"max length", M::queueMaxLength(blockEvent, 0x01020304, 22), 3, 22, none, none, 0x01020304u, none},
        {"flags of queue 1", M::queueFlags(adaptive, 31), 1, 31, none, none, none, failOpen},
        {"flags of queue 3", M::queueFlags(blockEvent, 31), 3, 31, none, none, none, 0u},
        {"start queue 1", M::queueStart(adaptive, 0xffff, true, 41), 1, 41, NFQNL_CFG_CMD_BIND, 0xffffu, none,
         failOpen},
        {"start queue 3", M::queueStart(blockEvent, 0xffff, true, 41), 3, 41, NFQNL_CFG_CMD_BIND, 0xffffu, none, 0u},
        {"start without flags", M::queueStart(adaptive, 0xffff, false, 41), 1, 41, NFQNL_CFG_CMD_BIND, 0xffffu,
         none, none},
    };
    // The attribute is there exactly when a value is expected, and holds it.
    const auto expectU32 = [](const nlattr* attr, std::optional<uint32_t> expected) {
        ASSERT_EQ(attr != nullptr, expected.has_value());
        if (expected) {
            EXPECT_EQ(attrU32(attr), *expected);
        }
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
        ASSERT_EQ(cmdAttr != nullptr, c.command.has_value());
        if (c.command) {
            ASSERT_EQ(mnl_attr_validate2(cmdAttr, MNL_TYPE_UNSPEC, sizeof(nfqnl_msg_config_cmd)), 0);
            nfqnl_msg_config_cmd cmd{};
            std::memcpy(&cmd, mnl_attr_get_payload(cmdAttr), sizeof(cmd));
            EXPECT_EQ(cmd.command, *c.command);
            EXPECT_EQ(ntohs(cmd.pf), AF_INET);
        }
        const nlattr* paramsAttr = d.attrs[NFQA_CFG_PARAMS];
        ASSERT_EQ(paramsAttr != nullptr, c.copyRange.has_value());
        if (c.copyRange) {
            ASSERT_EQ(mnl_attr_get_payload_len(paramsAttr), sizeof(nfqnl_msg_config_params));
            nfqnl_msg_config_params params{};
            std::memcpy(&params, mnl_attr_get_payload(paramsAttr), sizeof(params));
            EXPECT_EQ(ntohl(params.copy_range), *c.copyRange);
            EXPECT_EQ(params.copy_mode, NFQNL_COPY_PACKET);
        }
        expectU32(d.attrs[NFQA_CFG_QUEUE_MAXLEN], c.maxLength);
        expectU32(d.attrs[NFQA_CFG_FLAGS], c.flags);
        expectU32(d.attrs[NFQA_CFG_MASK], c.flags ? std::optional<uint32_t>(failOpen) : none);
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
