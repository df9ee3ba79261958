#pragma once

// A command response, as its answering side fills it or as the requester receives it.
//
// Answering: the response offers a narrow and a wide output archive, each with a written flag
// the handler sets when it writes. The reply carries data only from an archive whose written
// flag is set and that holds something beyond its header; when both do, the UTF-8 flag picks
// the narrow one. setCustomDataPresent never makes data travel on its own.
// Receiving: the command callback fills in the reply; the response then offers a narrow and a
// wide input archive over its data (see CommandInputArchives for which views exist).
// A default response, and one whose send failed, is not completed, has status false and no data.
// The reply state tells a request that never left (nothing was changed) from one that was sent
// and got no reply (its outcome is unknown) and from one that was answered.
//
// Not copyable; used by one thread at a time.

#include "ChannelFrame.h"
#include "CommandInputArchives.h"
#include "CommandOutputArchives.h"

#include <cstdint>
#include <string>

namespace ZAV {

class CommandResponse {
public:
    enum class ReplyState {
        NotSent,  // default, or cleared before a send: the request did not leave
        Awaited,  // the request was written; no reply came (timed out or the channel closed)
        Received, // a reply came, whatever its flags say
    };

    CommandResponse();
    // The response to command commandId from the framework manager sourceId.
    CommandResponse(int commandId, int sourceId);

    CommandResponse(const CommandResponse&) = delete;
    CommandResponse& operator=(const CommandResponse&) = delete;

    int getCommandId() const { return m_commandId; }
    int getSourceFMId() const { return m_sourceFmId; }

    void setCommandCompleted(bool completed) { m_completed = completed; }
    bool getCommandCompleted() const { return m_completed; }
    void setCommandStatus(bool status) { m_status = status; }
    bool getCommandStatus() const { return m_status; }
    void setCommandCookie(int cookie) { m_cookie = cookie; }
    int getCommandCookie() const { return m_cookie; }
    void setCustomDataPresent(bool present) { m_customDataPresent = present; }
    bool getCustomDataPresent() const { return m_customDataPresent; }
    void setCustomUTF8DataPresent(bool present) { m_utf8DataPresent = present; }
    bool getCustomUTF8DataPresent() const { return m_utf8DataPresent; }

    // Output archives, never null; created on first call.
    boost::archive::text_oarchive* getNarrowOutputArchive() { return &m_archives.narrow(); }
    boost::archive::text_woarchive* getWideOutputArchive() { return &m_archives.wide(); }
    void setNarrowArchiveWritten(bool written) { m_narrowWritten = written; }
    bool getNarrowArchiveWritten() const { return m_narrowWritten; }
    void setWideArchiveWritten(bool written) { m_wideWritten = written; }
    bool getWideArchiveWritten() const { return m_wideWritten; }

    // The data as it travels and its kind (0 none, 1 narrow, 2 wide). Throws FMPException when
    // written wide text cannot travel.
    int32_t outgoingDataKind() const;
    std::string outgoingData() const;

    // Takes a received reply: flags, cookie and data. Used by the command callbacks.
    void setReceivedReply(const ResponseRecord& record, std::string data);
    // Back to not completed, status false, no received data, not sent. Used before a send.
    void clearReceivedReply();
    // The request was written to the channel; its reply is awaited. Used by the command
    // callbacks right after the write.
    void markRequestSent() { m_replyState = ReplyState::Awaited; }
    ReplyState replyState() const { return m_replyState; }

    // Input archives over received data; null without data or when that view cannot be made.
    boost::archive::text_iarchive* getNarrowInputArchive() { return m_received.narrow(); }
    boost::archive::text_wiarchive* getWideInputArchive() { return m_received.wide(); }
    bool hasCustomData() const { return m_received.hasData(); }
    int getCustomDataKind() const { return m_received.dataKind(); }
    const std::string& getCustomData() const { return m_received.bytes(); }
    // The received data as the wide view reads it; false without data or when it cannot be.
    bool getWideCustomData(std::wstring& text) const { return m_received.wideText(text); }

private:
    int m_commandId = 0;
    int m_sourceFmId = 0;
    int m_cookie = 0;
    bool m_completed = false;
    bool m_status = false;
    bool m_customDataPresent = false;
    bool m_utf8DataPresent = false;
    bool m_narrowWritten = false;
    bool m_wideWritten = false;
    ReplyState m_replyState = ReplyState::NotSent;
    CommandOutputArchives m_archives;
    CommandInputArchives m_received;
};

} // namespace ZAV
