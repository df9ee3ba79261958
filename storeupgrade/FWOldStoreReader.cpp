#include "FWOldStoreReader.h"

#include "SFCheckedRead.h"
#include "SFRuleTable.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"
#include "SFWholeFile.h"

#include <cerrno>
#include <cstdint>

namespace {

static_assert(sizeof(wchar_t) == 4, "the old stores hold 4 bytes per wide character");

} // namespace

FWOldStoreReader::ReadResult FWOldStoreReader::readFile(const std::string& path, std::string& bytes,
                                                        int& error)
{
    switch (StatefulFirewall::readWholeFile(path, StatefulFirewall::kUnboundedFile, bytes, error)) {
    case StatefulFirewall::WholeFileRead::Read:
        return ReadResult::Read;
    case StatefulFirewall::WholeFileRead::OpenFailed:
        return ReadResult::OpenFailed;
    case StatefulFirewall::WholeFileRead::ReadFailed:
        break;
    case StatefulFirewall::WholeFileRead::TooLarge: // not with an unbounded read
        error = EFBIG;
        break;
    }
    return ReadResult::ReadFailed;
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
