#pragma once

// The output side shared by the two store bridges: encode the store to memory, then put the
// bytes at the output path so that a failure never costs the old content.
//
// A regular output (or a new one) is replaced atomically: a temporary file beside it (through
// a symbolic link, beside the link's target) takes the bytes with every write, the fsync and the
// close checked, and is renamed over it. An existing file keeps its permission bits, owner and
// group, a new one gets 0600; after any failure the output is as it was and no temporary file
// is left. An output that exists and is not a regular file (a device, a fifo) is written in
// place, since renaming over it would replace the device by a file.
//
// Every failure is one line on standard error and the result 1; nothing is thrown. Stateless
// and thread-safe, except that standard error is shared.

#include <functional>
#include <string>

namespace StatefulFirewall {

// The three failure texts of one store kind.
struct TqStoreBridgeTexts {
    const char* openFailure;    // the output cannot be created or opened
    const char* archiveFailure; // boost refused to encode; its text follows
    const char* otherFailure;   // any other failure; a system error's text follows
};

class TqStoreBridgeOutput {
public:
    TqStoreBridgeOutput() = delete;

    enum class Result { Written, OpenFailed, WriteFailed };

    // Puts bytes at path as described above; on failure error holds the errno value.
    static Result write(const std::string& path, const std::string& bytes, int& error);

    // Runs encode, writes its bytes with write() and reports any failure with texts.
    // 0 when the output was written, 1 otherwise.
    static int save(const std::function<std::string()>& encode, const std::string& path,
                    const TqStoreBridgeTexts& texts);
};

} // namespace StatefulFirewall
