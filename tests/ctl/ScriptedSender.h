#pragma once

// A command sender that answers each command id as scripted (default: completed, status set,
// no data; or no reply at all) and records every request: command, destination, send flag and payload; and the
// reply builders that put values on the channel as the daemon's side does.

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "RecordingCliCommands.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <string>
#include <vector>

namespace TestSupport {

struct Reply {
    bool completed = true;
    bool status = true;
    int32_t kind = ZAV::kDataKindNone;
    std::string data;
    bool arrives = true; // false: the request is sent and no reply comes
};

// A request sent that gets no reply (none within its bound, or the channel closed).
inline Reply noReply()
{
    Reply reply;
    reply.arrives = false;
    return reply;
}

// A reply as the daemon's side would put it on the channel: the values in order.
template <class... T> Reply wideReply(const T&... values)
{
    ZAV::CommandResponse answer;
    (*answer.getWideOutputArchive() << ... << values);
    answer.setWideArchiveWritten(true);
    return {true, true, answer.outgoingDataKind(), answer.outgoingData()};
}

template <class... T> Reply narrowReply(const T&... values)
{
    ZAV::CommandResponse answer;
    (*answer.getNarrowOutputArchive() << ... << values);
    answer.setNarrowArchiveWritten(true);
    answer.setCustomUTF8DataPresent(true);
    return {true, true, answer.outgoingDataKind(), answer.outgoingData()};
}

// Answers each command id as scripted (default: completed, status set, no data) and records
// the requests: command, destination, send flag and payload.
class ScriptedSender : public UnusedCommandCallback {
public:
    std::map<int, Reply> replies;
    std::vector<std::string> sent;

    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int& source, ZAV::IFMCommClient&, bool flag) override
    {
        EXPECT_EQ(source, 3000);
        sent.push_back(std::to_string(request.getCommandId()) + "->" +
                       std::to_string(request.getDestinationFMId()) + (flag ? " flagged" : ""));
        payloads.push_back(request.outgoingData());
        const Reply reply = replies.count(request.getCommandId()) ? replies[request.getCommandId()]
                                                                   : Reply{};
        if (!reply.arrives) {
            response.clearReceivedReply();
            response.markRequestSent();
            return;
        }
        ZAV::ResponseRecord record;
        record.completed = reply.completed;
        record.status = reply.status;
        record.dataKind = reply.kind;
        record.dataSize = static_cast<int32_t>(reply.data.size());
        response.setReceivedReply(record, reply.data);
    }
    std::vector<std::string> payloads;
};

// Runs call with standard output and error captured; returns both, call's result in result.
template <class Call> std::pair<std::string, std::string> captureOutput(Call call, bool& result)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result = call();
    std::string out = testing::internal::GetCapturedStdout();
    return {out, testing::internal::GetCapturedStderr()};
}

} // namespace TestSupport
