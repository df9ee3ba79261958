#include "SFQueueMessages.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>

namespace StatefulFirewall {

namespace {

// Room for the largest request here (header, nfgenmsg, the command, the copy parameters and two
// 4-byte attributes: 56 bytes) with margin; mnl_attr_put_check below refuses to write past it
// all the same.
constexpr size_t kRequestBufferSize = 256;

struct RequestBuffer {
    alignas(nlmsghdr) char bytes[kRequestBufferSize] = {};
};

nlmsghdr* putHeader(RequestBuffer& buffer, uint8_t messageType, uint16_t queueNumber, uint16_t flags,
                    uint32_t sequence)
{
    nlmsghdr* nlh = mnl_nlmsg_put_header(buffer.bytes);
    nlh->nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_QUEUE << 8) | messageType);
    nlh->nlmsg_flags = flags;
    nlh->nlmsg_seq = sequence;
    auto* nfg = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
    nfg->nfgen_family = AF_UNSPEC;
    nfg->version = NFNETLINK_V0;
    nfg->res_id = htons(queueNumber);
    return nlh;
}

nlmsghdr* putConfigHeader(RequestBuffer& buffer, uint16_t queueNumber, uint32_t sequence)
{
    return putHeader(buffer, NFQNL_MSG_CONFIG, queueNumber, NLM_F_REQUEST | NLM_F_ACK, sequence);
}

std::vector<char> finish(const nlmsghdr* nlh)
{
    const char* start = reinterpret_cast<const char*>(nlh);
    return std::vector<char>(start, start + nlh->nlmsg_len);
}

void putCommand(RequestBuffer& buffer, nlmsghdr* nlh, uint8_t command)
{
    nfqnl_msg_config_cmd cmd{};
    cmd.command = command;
    cmd.pf = htons(AF_INET);
    mnl_attr_put_check(nlh, sizeof(buffer.bytes), NFQA_CFG_CMD, sizeof(cmd), &cmd);
}

void putCopyParams(RequestBuffer& buffer, nlmsghdr* nlh, uint32_t copyRange)
{
    nfqnl_msg_config_params params{};
    params.copy_range = htonl(copyRange);
    params.copy_mode = NFQNL_COPY_PACKET;
    mnl_attr_put_check(nlh, sizeof(buffer.bytes), NFQA_CFG_PARAMS, sizeof(params), &params);
}

void putFlags(RequestBuffer& buffer, nlmsghdr* nlh, uint16_t queueNumber)
{
    // The mask names the one flag this request owns; the kernel leaves every other flag as is.
    const uint32_t flags = queueNumber == kAdaptiveQueueNumber ? NFQA_CFG_F_FAIL_OPEN : 0;
    mnl_attr_put_u32_check(nlh, sizeof(buffer.bytes), NFQA_CFG_FLAGS, htonl(flags));
    mnl_attr_put_u32_check(nlh, sizeof(buffer.bytes), NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN));
}

std::vector<char> configCommand(uint16_t queueNumber, uint8_t command, uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putConfigHeader(buffer, queueNumber, sequence);
    putCommand(buffer, nlh, command);
    return finish(nlh);
}

std::vector<char> verdict(uint16_t queueNumber, uint32_t verdictValue, uint32_t packetId, uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putHeader(buffer, NFQNL_MSG_VERDICT, queueNumber, NLM_F_REQUEST, sequence);
    nfqnl_msg_verdict_hdr hdr{};
    hdr.verdict = htonl(verdictValue);
    hdr.id = htonl(packetId);
    mnl_attr_put_check(nlh, sizeof(buffer.bytes), NFQA_VERDICT_HDR, sizeof(hdr), &hdr);
    return finish(nlh);
}

} // namespace

std::vector<char> SFQueueMessages::familyUnbind(uint32_t sequence)
{
    // Family commands are not tied to a queue; the kernel ignores the number, 0 by convention.
    return configCommand(0, NFQNL_CFG_CMD_PF_UNBIND, sequence);
}

std::vector<char> SFQueueMessages::familyBind(uint32_t sequence)
{
    return configCommand(0, NFQNL_CFG_CMD_PF_BIND, sequence);
}

std::vector<char> SFQueueMessages::queueBind(uint16_t queueNumber, uint32_t sequence)
{
    return configCommand(queueNumber, NFQNL_CFG_CMD_BIND, sequence);
}

std::vector<char> SFQueueMessages::queueUnbind(uint16_t queueNumber, uint32_t sequence)
{
    return configCommand(queueNumber, NFQNL_CFG_CMD_UNBIND, sequence);
}

std::vector<char> SFQueueMessages::copyPacket(uint16_t queueNumber, uint32_t copyRange, uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putConfigHeader(buffer, queueNumber, sequence);
    putCopyParams(buffer, nlh, copyRange);
    return finish(nlh);
}

std::vector<char> SFQueueMessages::queueMaxLength(uint16_t queueNumber, uint32_t maxLength, uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putConfigHeader(buffer, queueNumber, sequence);
    mnl_attr_put_u32_check(nlh, sizeof(buffer.bytes), NFQA_CFG_QUEUE_MAXLEN, htonl(maxLength));
    return finish(nlh);
}

std::vector<char> SFQueueMessages::queueFlags(uint16_t queueNumber, uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putConfigHeader(buffer, queueNumber, sequence);
    putFlags(buffer, nlh, queueNumber);
    return finish(nlh);
}

std::vector<char> SFQueueMessages::queueStart(uint16_t queueNumber, uint32_t copyRange, bool withFlags,
                                              uint32_t sequence)
{
    RequestBuffer buffer;
    nlmsghdr* nlh = putConfigHeader(buffer, queueNumber, sequence);
    putCommand(buffer, nlh, NFQNL_CFG_CMD_BIND);
    putCopyParams(buffer, nlh, copyRange);
    if (withFlags)
        putFlags(buffer, nlh, queueNumber);
    return finish(nlh);
}

std::vector<char> SFQueueMessages::acceptVerdict(uint16_t queueNumber, uint32_t packetId, uint32_t sequence)
{
    return verdict(queueNumber, NF_ACCEPT, packetId, sequence);
}

std::vector<char> SFQueueMessages::dropVerdict(uint16_t queueNumber, uint32_t packetId, uint32_t sequence)
{
    return verdict(queueNumber, NF_DROP, packetId, sequence);
}

} // namespace StatefulFirewall
