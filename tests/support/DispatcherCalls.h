#pragma once

// Building command requests as the command-line tool writes them and reading the reply frames a
// command handler sent, for tests that call the daemon's dispatcher directly.

#include "CommandNWRequest.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "ChannelFrame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace TestSupport {

// One reply frame as it went out: prefix, record, data.
struct CapturedReply {
    int32_t kind = 0;
    int32_t length = 0;
    int32_t magic = 0;
    ZAV::ResponseRecord record;
    std::string data;
    size_t bytes = 0;
};

inline CapturedReply decodeReply(const std::string& bytes)
{
    CapturedReply reply;
    reply.bytes = bytes.size();
    if (bytes.size() < 48) {
        ADD_FAILURE() << "reply of " << bytes.size() << " bytes, shorter than its header";
        return reply;
    }
    std::memcpy(&reply.kind, bytes.data(), 4);
    std::memcpy(&reply.length, bytes.data() + 4, 4);
    std::memcpy(&reply.magic, bytes.data() + 8, 4);
    std::memcpy(&reply.record, bytes.data() + 12, sizeof(ZAV::ResponseRecord));
    reply.data = bytes.substr(48);
    return reply;
}

// The reply as the requester's response object holds it, to read its data through the views.
inline std::unique_ptr<ZAV::CommandResponse> asResponse(const CapturedReply& reply)
{
    auto response = std::make_unique<ZAV::CommandResponse>();
    response->setReceivedReply(reply.record, reply.data);
    return response;
}

// A request with one value in its narrow archive (the tool marks such data UTF-8).
template <class T> std::unique_ptr<ZAV::CommandRequest> narrowRequest(int commandId, const T& value)
{
    auto request = std::make_unique<ZAV::CommandRequest>(commandId, 7000);
    *request->getNarrowOutputArchive() << value;
    request->setCustomDataPresent(true);
    request->setCustomUTF8DataPresent(true);
    return request;
}

// A request with one value in its wide archive, as most of the tool's payloads travel.
template <class T> std::unique_ptr<ZAV::CommandRequest> wideRequest(int commandId, const T& value)
{
    auto request = std::make_unique<ZAV::CommandRequest>(commandId, 7000);
    *request->getWideOutputArchive() << value;
    request->setCustomDataPresent(true);
    return request;
}

inline std::unique_ptr<ZAV::CommandRequest> emptyRequest(int commandId)
{
    return std::make_unique<ZAV::CommandRequest>(commandId, 7000);
}

// A request whose data is the given text, archive or not.
inline std::unique_ptr<ZAV::CommandRequest> rawRequest(int commandId, const std::string& text)
{
    auto request = std::make_unique<ZAV::CommandRequest>(commandId, 7000);
    request->setRawCustomData(text, false);
    request->setCustomDataPresent(true);
    request->setCustomUTF8DataPresent(true);
    return request;
}

// The request as it arrives from the tool (3000) with this cookie.
inline ZAV::CommandNWRequest arriving(const ZAV::CommandRequest& request, int32_t cookie = 77)
{
    return ZAV::CommandNWRequest(request, 3000, cookie, true);
}

} // namespace TestSupport
