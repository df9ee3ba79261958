#include "FWOldStoreReader.h"

#include "SFCheckedRead.h"
#include "SFRuleTable.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace {

static_assert(sizeof(wchar_t) == 4, "the old stores hold 4 bytes per wide character");

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
    StatefulFirewall::readCheckedWideArchive(StatefulFirewall::bytesToWide(bytes), table);
}

void FWOldStoreReader::decodeTrustedStore(const std::string& bytes,
                                          std::list<StatefulFirewall::SFTrustedGroupIP*>& list)
{
    // The daemon's own loader: the old trusted store already has the current store's form.
    StatefulFirewall::decodeTrustedStore(bytes, list);
}
