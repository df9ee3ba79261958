#pragma once

// Writes a list of trusted networks as the current trusted-network store: a wide text archive
// (4 bytes per character), the form the daemon reads (see TqStoreBridgeOutput.h for how the
// file is written and failures reported).
//
// Ownership: the list and its entries stay the caller's and are only read. Not thread-safe:
// the caller keeps the list from changing during the call.

#include <list>
#include <string>

namespace StatefulFirewall {

class SFTrustedGroupIP;

class TqStoreBridgeTrustedIP {
public:
    TqStoreBridgeTrustedIP();
    ~TqStoreBridgeTrustedIP();

    // 0 when path now holds the list, 1 after a failure (reported on standard error).
    int saveTrustedIPStore(std::list<SFTrustedGroupIP*>& list, std::string& path);
};

} // namespace StatefulFirewall
