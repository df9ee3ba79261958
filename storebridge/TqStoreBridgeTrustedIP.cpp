#include "TqStoreBridgeTrustedIP.h"

#include "SFStoreCodec.h"
#include "SFTrustedGroupIP.h"
#include "TqStoreBridgeOutput.h"

namespace StatefulFirewall {

namespace {

const TqStoreBridgeTexts TRUSTED_STORE_TEXTS = {
    "Unable to open output file to migrate trustedip store",
    "Boost exception caught while saving trustedip store - ",
    "Unknown exception caught while saving trustedip store - ",
};

} // namespace

TqStoreBridgeTrustedIP::TqStoreBridgeTrustedIP() = default;
TqStoreBridgeTrustedIP::~TqStoreBridgeTrustedIP() = default;

int TqStoreBridgeTrustedIP::saveTrustedIPStore(std::list<SFTrustedGroupIP*>& list,
                                               std::string& path)
{
    // Wide, as the daemon writes and reads this store: a narrow file would not load there.
    return TqStoreBridgeOutput::save([&list] { return encodeTrustedStore(list); }, path,
                                     TRUSTED_STORE_TEXTS);
}

} // namespace StatefulFirewall
