#include "FWOldStoreReader.h"

#include "SFRuleTable.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"
#include "SFTextArchive.h"

#include <boost/archive/archive_exception.hpp>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

using boost::archive::archive_exception;

namespace {

static_assert(sizeof(wchar_t) == 4, "the old stores hold 4 bytes per wide character");

// Checked before boost reads the header, because boost sizes the signature string from the
// first number of the input: garbage would make it reserve and fill whatever length that names.
void checkSignaturePrefix(const std::wstring& text)
{
    static const wchar_t prefix[] = L"22 serialization::archive ";
    if (text.compare(0, sizeof(prefix) / sizeof(wchar_t) - 1, prefix) != 0)
        throw archive_exception(archive_exception::invalid_signature);
}

} // namespace

FWOldStoreReader::ReadResult FWOldStoreReader::readFile(const std::string& path, std::string& bytes,
                                                        int& error)
{
    bytes.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return ReadResult::OpenFailed;
    }
    ReadResult result = ReadResult::Read;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            result = ReadResult::ReadFailed;
            break;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd); // read-only: nothing is lost whatever close answers
    return result;
}

void FWOldStoreReader::decodeRuleStore(const std::string& bytes,
                                       StatefulFirewall::SFRuleTable& table)
{
    // The model's rule-store codec reads narrow text only; this is the same checking reader
    // over the wide text.
    const std::wstring text = StatefulFirewall::bytesToWide(bytes);
    checkSignaturePrefix(text);
    std::wistringstream in(text);
    StatefulFirewall::SFTextWIArchive archive(in); // flags 0: the header is read and checked
    StatefulFirewall::limitListCountsToInput(archive, text.size());
    archive >> table;
}

void FWOldStoreReader::decodeTrustedStore(const std::string& bytes,
                                          std::list<StatefulFirewall::SFTrustedGroupIP*>& list)
{
    // The daemon's own loader: the old trusted store already has the current store's form.
    StatefulFirewall::decodeTrustedStore(bytes, list);
}
