// Command data end to end without a socket: what a sender writes, the frame it travels in, and
// what the receiver can read from it.

#include "ChannelErrors.h"
#include "ChannelFrame.h"
#include "CommandCallbackForCLIFM.h"
#include "CommandNWRequest.h"
#include "CommandNWResponse.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "FakeFMCommClient.h"
#include "RecordingLogger.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>

using namespace ZAV;
using namespace TestSupport;

namespace {

// The frame a peer would receive, decoded the way the client's run loop decodes it.
Frame decodeOne(const std::string& bytes)
{
    FrameDecoder decoder;
    decoder.feed(bytes);
    Frame frame;
    EXPECT_TRUE(decoder.next(frame));
    EXPECT_EQ(decoder.buffered(), 0u);
    return frame;
}

// A request as the daemon's handler sees it after the trip through the channel.
RequestFrame travel(const CommandRequest& request)
{
    const CommandNWRequest wire(request, 3000, 41, false);
    return std::get<RequestFrame>(decodeOne(wire.getBytes()));
}

// A response as the requester's callback fills it in after the trip through the channel.
void receiveInto(const CommandResponse& answer, int32_t replyKind, CommandResponse& received)
{
    const CommandNWResponse wire(answer);
    const auto frame = std::get<ResponseFrame>(decodeOne(wire.encode(replyKind)));
    received.setReceivedReply(frame.record, frame.data);
}

TEST(CommandRequestResponseTest, WideRequestsAreReadNarrowAndNarrowRepliesAreReadWide)
{
    // The tool writes a preference record's fields through a wide archive...
    CommandRequest request(100003, 7000);
    request.setCustomDataPresent(true);
    *request.getWideOutputArchive() << 6 << true << std::string("fw-mode");
    const RequestFrame frame = travel(request);
    EXPECT_EQ(frame.record.dataKind, kDataKindWide);
    EXPECT_EQ(frame.record.flags, kCustomDataPresentFlag);
    EXPECT_EQ(frame.record.sourceFmId, 3000);
    EXPECT_EQ(frame.record.cookie, 41);

    // ...and the daemon, always asking for narrow archives, reads them back.
    CommandNWRequest arrived(frame);
    CommandRequest rebuilt(arrived, true);
    ASSERT_NE(rebuilt.getNarrowInputArchive(), nullptr);
    int type = 0;
    bool present = false;
    std::string name;
    *rebuilt.getNarrowInputArchive() >> type >> present >> name;
    EXPECT_EQ(type, 6);
    EXPECT_TRUE(present);
    EXPECT_EQ(name, "fw-mode");
    EXPECT_EQ(rebuilt.getCommandCookie(), 41);
    EXPECT_EQ(rebuilt.getSourceFMId(), 3000);

    // The daemon answers an int result in a narrow archive; the tool reads the reply wide.
    CommandResponse answer(rebuilt.getCommandId(), rebuilt.getSourceFMId());
    answer.setCommandCookie(rebuilt.getCommandCookie());
    answer.setCommandCompleted(true);
    answer.setCommandStatus(true);
    answer.setCustomUTF8DataPresent(true);
    *answer.getNarrowOutputArchive() << 150000;
    answer.setNarrowArchiveWritten(true);
    CommandResponse received;
    receiveInto(answer, kAltResponseType, received);
    EXPECT_TRUE(received.getCommandCompleted());
    EXPECT_TRUE(received.getCommandStatus());
    EXPECT_EQ(received.getCommandCookie(), 41);
    EXPECT_EQ(received.getCustomDataKind(), kDataKindNarrow);
    int wideResult = 0;
    ASSERT_NE(received.getWideInputArchive(), nullptr);
    *received.getWideInputArchive() >> wideResult;
    EXPECT_EQ(wideResult, 150000);
    int narrowResult = 0;
    ASSERT_NE(received.getNarrowInputArchive(), nullptr);
    *received.getNarrowInputArchive() >> narrowResult;
    EXPECT_EQ(narrowResult, 150000);
}

TEST(CommandRequestResponseTest, WideTextTravelsAsUtf8AndNarrowTextIsWidenedOnlyWhenAscii)
{
    // A wide string with a non-ASCII character is a Unicode character and survives the trip.
    CommandResponse answer(100038, 3000);
    answer.setCommandCompleted(true);
    *answer.getWideOutputArchive() << std::wstring(L"caf\u00e9 \u20ac");
    answer.setWideArchiveWritten(true);
    CommandResponse received;
    receiveInto(answer, kResponseType, received);
    EXPECT_EQ(received.getCustomDataKind(), kDataKindWide);
    EXPECT_NE(received.getCustomData().find("caf\xc3\xa9 \xe2\x82\xac"), std::string::npos);
    std::wstring text;
    ASSERT_NE(received.getWideInputArchive(), nullptr);
    *received.getWideInputArchive() >> text;
    EXPECT_EQ(text, L"caf\u00e9 \u20ac");

    // Narrow UTF-8 text widened byte by byte would come out wrong, so no wide view is offered.
    CommandResponse narrowAnswer(100040, 3000);
    *narrowAnswer.getNarrowOutputArchive() << std::string("caf\xc3\xa9");
    narrowAnswer.setNarrowArchiveWritten(true);
    CommandResponse narrowReceived;
    receiveInto(narrowAnswer, kAltResponseType, narrowReceived);
    EXPECT_EQ(narrowReceived.getWideInputArchive(), nullptr);
    std::string narrowText;
    ASSERT_NE(narrowReceived.getNarrowInputArchive(), nullptr);
    *narrowReceived.getNarrowInputArchive() >> narrowText;
    EXPECT_EQ(narrowText, "caf\xc3\xa9");
}

TEST(CommandRequestResponseTest, NothingWrittenMeansNoData)
{
    // Archives asked for but left empty, and flags that only claim data, send none.
    CommandRequest request(100038, 7000);
    request.setCustomDataPresent(true);
    request.getWideOutputArchive();
    request.getNarrowOutputArchive();
    EXPECT_EQ(travel(request).record.dataSize, 0);
    EXPECT_EQ(travel(request).record.dataKind, kDataKindNone);

    // Narrow text written while the UTF-8 flag is off is not what the request carries.
    CommandRequest narrowOnly(100041, 7000);
    *narrowOnly.getNarrowOutputArchive() << true;
    EXPECT_EQ(travel(narrowOnly).record.dataSize, 0);
    narrowOnly.setCustomUTF8DataPresent(true);
    EXPECT_EQ(travel(narrowOnly).record.dataKind, kDataKindNarrow);

    // A response carries data only from an archive whose written flag is set...
    CommandResponse unflagged(100000, 3000);
    unflagged.setCustomDataPresent(true);
    *unflagged.getWideOutputArchive() << 30;
    EXPECT_EQ(CommandNWResponse(unflagged).getCustomDataSize(), 0);
    // ...and only when something was written into it.
    CommandResponse flaggedEmpty(100000, 3000);
    flaggedEmpty.getWideOutputArchive();
    flaggedEmpty.setWideArchiveWritten(true);
    EXPECT_EQ(CommandNWResponse(flaggedEmpty).getCustomDataSize(), 0);
    // Both written: the UTF-8 flag picks the narrow one.
    CommandResponse both(100040, 3000);
    *both.getWideOutputArchive() << 1;
    both.setWideArchiveWritten(true);
    *both.getNarrowOutputArchive() << 2;
    both.setNarrowArchiveWritten(true);
    EXPECT_EQ(CommandNWResponse(both).getRecord().dataKind, kDataKindWide);
    both.setCustomUTF8DataPresent(true);
    EXPECT_EQ(CommandNWResponse(both).getRecord().dataKind, kDataKindNarrow);

    // A reply without data is the 48-byte header alone.
    EXPECT_EQ(CommandNWResponse(flaggedEmpty).encode(kResponseType).size(), 48u);

    // A response never filled in is not completed and has no data or views.
    CommandResponse fresh;
    EXPECT_FALSE(fresh.getCommandCompleted());
    EXPECT_FALSE(fresh.getCommandStatus());
    EXPECT_FALSE(fresh.hasCustomData());
    EXPECT_EQ(fresh.getNarrowInputArchive(), nullptr);
    EXPECT_EQ(fresh.getWideInputArchive(), nullptr);
}

TEST(CommandRequestResponseTest, NonAsciiNarrowStringWrittenWideThrowsBeforeAnythingIsSent)
{
    RecordingLogger log;
    FakeFMCommClient client;
    CommandCallbackForCLIFM callback(log);

    CommandRequest request(100020, 7000);
    request.setCustomDataPresent(true);
    *request.getWideOutputArchive() << std::string("r\xc3\xa9seau");
    CommandResponse response;
    try {
        callback.sendCommandRequest(request, response, 3000, client, false);
        FAIL() << "the send went through";
    } catch (const FMPException& e) {
        EXPECT_EQ(e.getCode(), kWideTextNotEncodable);
    }
    EXPECT_TRUE(client.messages().empty());
    EXPECT_FALSE(response.getCommandCompleted());

    // The answering side finds out when it builds the network form, before its send.
    CommandResponse answer(100021, 3000);
    *answer.getWideOutputArchive() << std::string("\xff");
    answer.setWideArchiveWritten(true);
    EXPECT_THROW(CommandNWResponse{answer}, FMPException);
}

TEST(CommandRequestResponseTest, SendFromTheRunLoopThreadThrowsAtOnce)
{
    RecordingLogger log;
    FakeFMCommClient client;
    client.setRunLoopThread(true);
    CommandCallbackForCLIFM callback(log);
    CommandRequest request(1000, 1);
    CommandResponse response;
    try {
        callback.sendCommandRequest(request, response, 7000, client, true);
        FAIL() << "the send went through";
    } catch (const FMPException& e) {
        EXPECT_EQ(e.getCode(), kSendFromRunLoop);
    }
    EXPECT_TRUE(client.messages().empty());
}

TEST(CommandRequestResponseTest, ReplyMatchingGoesByCookieAndDataThatIsNoArchiveFailsToOpen)
{
    RecordingLogger log;
    FakeFMCommClient client;
    CommandCallbackForCLIFM callback(log);
    // The "service" answers from inside the send: first a stray cookie, then the right one.
    client.onSend([&callback](const std::string& bytes) {
        const auto request = std::get<RequestFrame>(decodeOne(bytes));
        ResponseFrame stray;
        stray.record.cookie = request.record.cookie + 1000;
        stray.record.completed = 1;
        std::string strayBytes = encodeResponse(stray);
        EXPECT_EQ(callback.callbackFMToProcessMessage(kResponseType, strayBytes.data(),
                                                      strayBytes.size(), 0),
                  0);
        ResponseFrame reply;
        reply.type = kAltResponseType;
        reply.record.commandId = request.record.commandId;
        reply.record.cookie = request.record.cookie;
        reply.record.completed = 1;
        reply.record.status = 1;
        reply.record.dataKind = kDataKindNarrow;
        reply.data = "not an archive";
        reply.record.dataSize = static_cast<int32_t>(reply.data.size());
        std::string replyBytes = encodeResponse(reply);
        EXPECT_EQ(callback.callbackFMToProcessMessage(kAltResponseType, replyBytes.data(),
                                                      replyBytes.size(), 1),
                  1);
    });
    CommandRequest request(100040, 7000);
    CommandResponse response;
    callback.sendCommandRequest(request, response, 3000, client, true);
    EXPECT_TRUE(response.getCommandCompleted());
    EXPECT_TRUE(response.getCommandStatus());
    EXPECT_EQ(response.getCommandCookie(), request.getCommandCookie());
    EXPECT_THROW(response.getNarrowInputArchive(), boost::archive::archive_exception);
}

} // namespace
