#pragma once

// A command request, as its sender builds it or as its receiver reads it.
//
// Sending: CommandRequest(commandId, destinationId) offers a wide and a narrow output archive.
// The request carries data only when something was written: the narrow archive's text after
// setCustomUTF8DataPresent(true), otherwise the wide archive's text. The custom-data-present
// and UTF-8 flags travel as the record's flag bits.
// Receiving: CommandRequest(nwRequest, narrow) offers a narrow input archive over the data
// (narrow) or a wide one (not narrow), null without data; see CommandInputArchives for which
// views exist.
//
// Not copyable; used by one thread at a time.

#include "CommandInputArchives.h"
#include "CommandOutputArchives.h"

#include <cstdint>
#include <string>

namespace ZAV {

class CommandNWRequest;

class CommandRequest {
public:
    CommandRequest(int commandId, int destinationId);
    CommandRequest(const CommandNWRequest& request, bool narrow);

    CommandRequest(const CommandRequest&) = delete;
    CommandRequest& operator=(const CommandRequest&) = delete;

    int getCommandId() const { return m_commandId; }
    int getSourceFMId() const { return m_sourceFmId; }
    int getDestinationFMId() const { return m_destinationFmId; }
    int getCommandCookie() const { return m_cookie; }
    // Set by the send to the source and cookie it used.
    void setSourceFMId(int fmId) { m_sourceFmId = fmId; }
    void setCommandCookie(int cookie) { m_cookie = cookie; }

    void setCustomDataPresent(bool present) { m_customDataPresent = present; }
    bool getCustomDataPresent() const { return m_customDataPresent; }
    void setCustomUTF8DataPresent(bool present) { m_utf8DataPresent = present; }
    bool getCustomUTF8DataPresent() const { return m_utf8DataPresent; }

    // Output archives of a request being built; null on a received request.
    boost::archive::text_oarchive* getNarrowOutputArchive();
    boost::archive::text_woarchive* getWideOutputArchive();

    // Archive text written elsewhere, sent as it is instead of what the archives hold: narrow
    // text, or (wide) wide archive text already in its UTF-8 travelling form. For tools that
    // replay a payload.
    void setRawCustomData(std::string archiveText, bool wide);

    // The data as it travels and its kind (0 none, 1 narrow, 2 wide). Throws FMPException when
    // written wide text cannot travel; nothing has been sent then.
    int32_t outgoingDataKind() const;
    std::string outgoingData() const;

    // Input archives of a received request; null without data, on a request being built, and
    // for the view the receiver did not ask for.
    boost::archive::text_iarchive* getNarrowInputArchive();
    boost::archive::text_wiarchive* getWideInputArchive();
    bool hasCustomData() const { return m_received.hasData(); }
    const std::string& getCustomData() const { return m_received.bytes(); }

private:
    bool m_isReceived = false;
    bool m_narrowView = true;
    int m_commandId;
    int m_sourceFmId = 0;
    int m_destinationFmId;
    int m_cookie = 0;
    bool m_customDataPresent = false;
    bool m_utf8DataPresent = false;
    CommandOutputArchives m_archives;
    bool m_hasRawData = false;
    bool m_rawDataWide = false;
    std::string m_rawData;
    CommandInputArchives m_received;
};

} // namespace ZAV
