#pragma once

// The network form of a command response: the 36-byte record that follows the 12-byte prefix,
// and the data bytes. Everything is encoded at construction, so an error (wide text that cannot
// travel, data over the limit) is thrown before anything is sent; the answering side then sends
// the whole reply, prefix included, in one socket send. Immutable; any thread may read it.

#include "ChannelFrame.h"

#include <string>

namespace ZAV {

class CommandResponse;

class CommandNWResponse {
public:
    // The record's requester is the response's source id; the responder is left 0 for the
    // platform service to fill in.
    explicit CommandNWResponse(const CommandResponse& response);

    int getCommandId() const { return m_record.commandId; }
    int getCommandCookie() const { return m_record.cookie; }
    int getCustomDataSize() const { return m_record.dataSize; }
    const ResponseRecord& getRecord() const { return m_record; }
    const std::string& getCustomData() const { return m_data; }

    // The whole reply frame with the given reply kind (8 or 16): prefix {kind, 48 + data size,
    // 0x1234}, record, data. Throws FMPException for a kind that is no response type.
    std::string encode(int32_t replyKind) const;

private:
    ResponseRecord m_record;
    std::string m_data;
};

} // namespace ZAV
