#pragma once

// The network form of a command request: the 36-byte record and the data bytes, and the whole
// frame they make. Built from a received frame, or from a request about to be sent, in which
// case everything is encoded at construction so that any error is thrown before a byte goes
// out. Immutable after construction; any thread may read it.

#include "ChannelFrame.h"

#include <string>

namespace ZAV {

class CommandRequest;

class CommandNWRequest {
public:
    explicit CommandNWRequest(RequestFrame frame);
    // The request sent as sourceFmId with this cookie. Throws FMPException when its data cannot
    // travel. sendFlag is recorded in the record and means nothing to the service.
    CommandNWRequest(const CommandRequest& request, int sourceFmId, int32_t cookie, bool sendFlag);

    int getCommandId() const { return m_frame.record.commandId; }
    int getSourceFMId() const { return m_frame.record.sourceFmId; }
    int getDestinationFMId() const { return m_frame.record.destFmId; }
    int getCommandCookie() const { return m_frame.record.cookie; }
    int getDataKind() const { return m_frame.record.dataKind; }
    int getFlags() const { return m_frame.record.flags; }
    int getCustomDataSize() const { return m_frame.record.dataSize; }
    const std::string& getCustomData() const { return m_frame.data; }
    const RequestRecord& getRecord() const { return m_frame.record; }

    // The whole frame: prefix, record, data.
    const std::string& getBytes() const { return m_bytes; }

private:
    RequestFrame m_frame;
    std::string m_bytes;
};

} // namespace ZAV
