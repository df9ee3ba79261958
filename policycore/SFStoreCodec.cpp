#include "SFStoreCodec.h"

#include "SFCheckedRead.h"
#include "SFSerialization.h"
#include "SFTextArchive.h"
#include "SFTextOArchive.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/archive/text_woarchive.hpp>

#include <sstream>

namespace StatefulFirewall {

namespace {

using boost::archive::archive_exception;

static_assert(sizeof(wchar_t) == 4, "the trusted store holds 4 bytes per wide character");

// boost checks the stream only before each value it writes, so a failure on the last write
// (or a character the stream cannot take, such as a non-ASCII byte widened in a wide
// archive) would otherwise leave a short payload.
template <class Stream> void checkWritten(const Stream& out)
{
    if (out.fail())
        throw archive_exception(archive_exception::output_stream_error);
}

template <class Text> std::size_t earnedBy(const Text& text)
{
    SFEarnedCharacters earned;
    earned.add(text.data(), text.size());
    return earned.count();
}

// The listing reply of a list of objects held by pointer, as the daemon writes it: refused
// when the tool's reader would refuse it or the channel could not carry it. Only weighed.
template <class Pointers> void checkListingReply(const Pointers& pointers)
{
    SFWeighingSink<char> sink;
    std::ostream out(&sink);
    SFTextOArchive archive(out);
    archive << SFListOfValues<Pointers>{pointers};
    checkWritten(out);
    archive.checkWeight(sink.earned());
    if (sink.size() > kLargestReplyData)
        refuseOverweight("listing larger than the largest reply the channel carries");
}

std::string wideToBytes(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 4);
    for (wchar_t c : text) {
        const uint32_t code = static_cast<uint32_t>(c);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
    return bytes;
}

} // namespace

std::wstring bytesToWide(const std::string& bytes)
{
    if (bytes.size() % 4 != 0)
        throw archive_exception(archive_exception::input_stream_error,
                                "store length is not a multiple of 4");
    std::wstring text;
    text.reserve(bytes.size() / 4);
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        uint32_t code = 0;
        for (int b = 3; b >= 0; --b)
            code = (code << 8) | static_cast<unsigned char>(bytes[i + b]);
        text.push_back(static_cast<wchar_t>(code));
    }
    return text;
}

// Readers rely on boost for the framing of objects, through the checking reader
// (SFCheckedRead.h): boost 1.74 trusts a stored class id that is beyond the classes it has seen
// so far and corrupts its own memory on one, and sizes strings and collections from their
// stored numbers; the model's load functions catch every other inconsistency they can see
// (SFSerialization.cpp). The stores are written only by this system, with mode 0600.
//
// Writers put the header in themselves (boost would write its own library version) and take
// the text before the archive is destroyed, because its destructor appends a newline.

std::string encodeRuleStore(const SFRuleTable& table)
{
    std::ostringstream out;
    out << SF_ARCHIVE_HEADER;
    SFTextOArchive archive(out, boost::archive::no_header);
    archive << table;
    checkWritten(out);
    std::string bytes = out.str();
    archive.checkWeight(earnedBy(bytes));
    {
        boost::mutex::scoped_lock lock(SFRuleTable::m_guardRuleGroupList);
        checkListingReply(table.groups);
    }
    return bytes;
}

void decodeRuleStore(const std::string& bytes, SFRuleTable& table)
{
    readCheckedArchive(bytes, table);
}

std::string encodeTrustedStore(const std::list<SFTrustedGroupIP*>& list)
{
    std::wostringstream out;
    out << SF_WARCHIVE_HEADER;
    SFTextWOArchive archive(out, boost::archive::no_header);
    archive << list;
    checkWritten(out);
    const std::wstring text = out.str();
    archive.checkWeight(earnedBy(text));
    checkListingReply(list);
    return wideToBytes(text);
}

void decodeTrustedStore(const std::string& bytes, std::list<SFTrustedGroupIP*>& list)
{
    readCheckedWideArchive(bytesToWide(bytes), list);
}

} // namespace StatefulFirewall
