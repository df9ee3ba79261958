#include "ChannelFrame.h"

#include "FMPException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

using namespace ZAV;

namespace {

// Bytes as a peer would write them: int32 words in host order.
std::string words(std::initializer_list<int32_t> values)
{
    std::string out;
    for (int32_t v : values)
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    return out;
}

RequestFrame sampleRequest()
{
    RequestFrame request;
    request.record = {1000, 3000, 7000, 77, 1, kDataKindNarrow, kCustomDataPresentFlag, 0, 5};
    request.data = std::string("ab\0cd", 5);
    return request;
}

ResponseFrame sampleResponse(int32_t type)
{
    ResponseFrame response;
    response.type = type;
    response.record = {1000, 3000, 7000, 77, 1, 150001, kDataKindWide,
                       kCustomDataPresentFlag | kUtf8DataPresentFlag, 8};
    response.data = std::string("\x01\x00\x00\x00\xff\xfe\x00\x00", 8);
    return response;
}

std::vector<Frame> sampleStream()
{
    RequestFrame empty;
    empty.record.commandId = 1001;
    return {RegisterFrame{7000, 4242, 3}, RegAckFrame{7000, 1},     sampleRequest(),
            empty,                        sampleResponse(kResponseType), DeregisterFrame{7000, 4242},
            sampleResponse(kAltResponseType)};
}

std::string encodeAll(const std::vector<Frame>& frames)
{
    std::string out;
    for (const auto& f : frames)
        out += encodeFrame(f);
    return out;
}

// Every frame the decoder has, re-encoded: what a peer reading them would see.
std::string drain(FrameDecoder& decoder)
{
    std::string out;
    Frame frame;
    while (decoder.next(frame))
        out += encodeFrame(frame);
    return out;
}

template <typename Record>
bool sameRecord(const Record& a, const Record& b)
{
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

Frame decodeOne(const std::string& bytes)
{
    FrameDecoder decoder;
    decoder.feed(bytes);
    Frame frame;
    EXPECT_TRUE(decoder.next(frame));
    EXPECT_EQ(decoder.buffered(), 0u);
    return frame;
}

} // namespace

TEST(ChannelFrameTest, FixedFramesHaveTheAgreedBytesAndDecodeBack)
{
    const std::string reg = encodeRegister({7000, 4242, 3});
    EXPECT_EQ(reg, words({1, 24, 0x1234, 7000, 4242, 3}));
    const auto r = std::get<RegisterFrame>(decodeOne(reg));
    EXPECT_EQ(r.fmId, 7000);
    EXPECT_EQ(r.pid, 4242);
    EXPECT_EQ(r.clientKind, 3);

    const std::string dereg = encodeDeregister({7000, 4242});
    EXPECT_EQ(dereg, words({3, 20, 0x1234, 7000, 4242}));
    const auto d = std::get<DeregisterFrame>(decodeOne(dereg));
    EXPECT_EQ(d.fmId, 7000);
    EXPECT_EQ(d.pid, 4242);

    const std::string ack = encodeRegAck({7000, 0});
    EXPECT_EQ(ack, words({2, 20, 0x1234, 7000, 0}));
    const auto a = std::get<RegAckFrame>(decodeOne(ack));
    EXPECT_EQ(a.fmId, 7000);
    EXPECT_EQ(a.status, 0);
}

TEST(ChannelFrameTest, RequestKeepsRecordAndDataIncludingNulBytes)
{
    const std::string bytes = encodeRequest(sampleRequest());
    ASSERT_EQ(bytes.size(), 48u + 5u);
    EXPECT_EQ(bytes.substr(0, 48),
              words({4, 53, 0x1234, 1000, 3000, 7000, 77, 1, 1, 1, 0, 5}));

    const auto req = std::get<RequestFrame>(decodeOne(bytes));
    EXPECT_TRUE(sameRecord(req.record, sampleRequest().record));
    EXPECT_EQ(req.data, std::string("ab\0cd", 5));
}

TEST(ChannelFrameTest, ResponseKeepsItsTypeRecordAndData)
{
    for (int32_t type : {kResponseType, kAltResponseType}) {
        SCOPED_TRACE(type);
        const auto resp = std::get<ResponseFrame>(decodeOne(encodeResponse(sampleResponse(type))));
        EXPECT_EQ(resp.type, type);
        EXPECT_TRUE(sameRecord(resp.record, sampleResponse(type).record));
        EXPECT_EQ(resp.data, sampleResponse(type).data);
    }
}

TEST(ChannelFrameTest, EncoderRefusesWhatThePeerWouldRefuse)
{
    RequestFrame mismatched = sampleRequest();
    mismatched.data += "x";
    EXPECT_THROW(encodeRequest(mismatched), FMPException);

    RequestFrame noKindWithData = sampleRequest();
    noKindWithData.record.dataKind = kDataKindNone;
    EXPECT_THROW(encodeRequest(noKindWithData), FMPException);

    EXPECT_THROW(encodeResponse(sampleResponse(kRequestType)), FMPException);
}

TEST(ChannelFrameTest, StreamDecodesTheSameWhateverTheChunking)
{
    const std::string stream = encodeAll(sampleStream());

    {
        SCOPED_TRACE("all at once");
        FrameDecoder decoder;
        decoder.feed(stream);
        EXPECT_EQ(drain(decoder), stream);
        EXPECT_EQ(decoder.buffered(), 0u);
    }
    {
        SCOPED_TRACE("one byte at a time");
        FrameDecoder decoder;
        std::string out;
        for (char c : stream) {
            decoder.feed(&c, 1);
            out += drain(decoder);
        }
        EXPECT_EQ(out, stream);
        EXPECT_EQ(decoder.buffered(), 0u);
    }
    std::mt19937 rng(20240611);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        std::uniform_int_distribution<std::size_t> chunk(1, 70);
        FrameDecoder decoder;
        std::string out;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min(chunk(rng), stream.size() - at);
            decoder.feed(stream.data() + at, n);
            at += n;
            out += drain(decoder);
        }
        ASSERT_EQ(out, stream);
        EXPECT_EQ(decoder.buffered(), 0u);
    }
}

TEST(ChannelFrameTest, PartialFrameWaitsForItsLastByte)
{
    const std::string bytes = encodeRequest(sampleRequest());
    FrameDecoder decoder;
    Frame frame;
    decoder.feed(bytes.substr(0, 11));
    EXPECT_FALSE(decoder.next(frame));
    decoder.feed(bytes.substr(11, 40)); // prefix and record in, data not
    EXPECT_FALSE(decoder.next(frame));
    decoder.feed(bytes.substr(51, bytes.size() - 52));
    EXPECT_FALSE(decoder.next(frame));
    EXPECT_EQ(decoder.buffered(), bytes.size() - 1);
    decoder.feed(bytes.substr(bytes.size() - 1));
    ASSERT_TRUE(decoder.next(frame));
    EXPECT_EQ(encodeFrame(frame), bytes);
    EXPECT_FALSE(decoder.next(frame));
}

TEST(ChannelFrameTest, TwoFramesInOneFeedBothComeOutAndATailWaits)
{
    const std::string first = encodeRegister({7000, 1, 3});
    const std::string second = encodeRequest(sampleRequest());
    const std::string third = encodeRegAck({7000, 1});
    FrameDecoder decoder;
    decoder.feed(first + second + third.substr(0, 13));

    Frame frame;
    ASSERT_TRUE(decoder.next(frame));
    EXPECT_EQ(encodeFrame(frame), first);
    ASSERT_TRUE(decoder.next(frame));
    EXPECT_EQ(encodeFrame(frame), second);
    EXPECT_FALSE(decoder.next(frame));

    decoder.feed(third.substr(13));
    ASSERT_TRUE(decoder.next(frame));
    EXPECT_EQ(encodeFrame(frame), third);
}

TEST(ChannelFrameTest, MalformedFramesAreRefused)
{
    struct Case {
        const char* name;
        std::string bytes;
    };
    const int32_t M = 0x1234;
    const std::vector<Case> cases = {
        {"bad magic", words({1, 24, 0x4321, 7000, 1, 3})},
        {"unknown type", words({5, 24, M, 7000, 1, 3})},
        {"type zero", words({0, 12, M})},
        {"register with deregister length", words({1, 20, M, 7000, 1})},
        {"deregister with register length", words({3, 24, M, 7000, 1, 3})},
        {"acknowledgement too long", words({2, 24, M, 7000, 1, 0})},
        {"request shorter than its header", words({4, 44, M, 1, 2, 3, 4, 5, 0, 0, 0})},
        {"negative length", words({4, -1, M})},
        {"data over the limit", words({4, 48 + 17, M, 1, 2, 3, 4, 5, 1, 0, 0, 17})},
        {"negative data size", words({4, 48, M, 1, 2, 3, 4, 5, 1, 0, 0, -1})},
        {"data kind three", words({4, 52, M, 1, 2, 3, 4, 5, 3, 0, 0, 4})},
        {"data kind negative", words({8, 48, M, 1, 2, 3, 4, 1, 0, -1, 0, 0})},
        {"data kind none with data", words({4, 52, M, 1, 2, 3, 4, 5, 0, 0, 0, 4})},
        {"data size disagrees with length", words({16, 52, M, 1, 2, 3, 4, 1, 0, 1, 0, 3})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameDecoder decoder(16);
        // Trailing bytes so no case can pass for lack of data.
        decoder.feed(c.bytes + std::string(64, '\0'));
        Frame frame;
        try {
            decoder.next(frame);
            ADD_FAILURE() << "accepted";
        } catch (const FMPException& e) {
            EXPECT_EQ(e.getCode(), kMalformedFrame);
        }
        // The stream cannot be resynchronised: asking again refuses again.
        EXPECT_THROW(decoder.next(frame), FMPException);
    }
}

TEST(ChannelFrameTest, OversizedFrameIsRefusedBeforeItsDataArrives)
{
    FrameDecoder decoder; // default limit
    decoder.feed(words({4, 48 + kDefaultMaxDataSize + 1, 0x1234}));
    Frame frame;
    EXPECT_THROW(decoder.next(frame), FMPException);

    FrameDecoder atLimit(16);
    atLimit.feed(words({4, 48 + 16, 0x1234, 1, 2, 3, 4, 5, 1, 0, 0, 16}));
    EXPECT_FALSE(atLimit.next(frame)); // legal, waiting for its 16 bytes
}

TEST(ChannelFrameTest, BufferIsBounded)
{
    FrameDecoder decoder(0);
    const std::size_t bound = 48 + FrameDecoder::kReadSlack;
    const std::string regs = [] {
        std::string s;
        while (s.size() < 48 + FrameDecoder::kReadSlack)
            s += encodeRegister({7000, 1, 3});
        return s;
    }();
    ASSERT_GT(regs.size(), bound);
    EXPECT_THROW(decoder.feed(regs), FMPException);
    EXPECT_EQ(decoder.buffered(), 0u);

    // Draining makes room again: the bound is on what is held, not on what passed through.
    const std::string half = regs.substr(0, 24 * 1000);
    for (int i = 0; i < 10; ++i) {
        decoder.feed(half);
        Frame frame;
        int count = 0;
        while (decoder.next(frame))
            ++count;
        EXPECT_EQ(count, 1000);
    }
}
