#pragma once

// Reads a store file of the previous release into the rule model.
//
// Both of its stores are wide text archives of boost serialization: every wchar_t is 4
// little-endian bytes, with no byte-order mark, and the header names the older library
// (version 9); SFRule records carry class version 0 (no treat-as-intrusion flag) or 1, every
// other class 0. The field orders are those of the current stores, so the model's own checking
// wide reader loads them (it accepts library versions up to 18 and refuses a newer class
// version, a Data4 count above 8 and a list count the input cannot hold). A current trusted
// store has the same form and loads too.
//
// The old release could not write a name with a byte of 0x80 or more: its wide stream failed
// on the character, so such a file ends early or holds an invalid character and is refused
// with boost's input stream error.
//
// Stateless. Decoding takes the model's class-wide mutexes; call it holding none of them.

#include <list>
#include <string>

namespace StatefulFirewall {
class SFRuleTable;
class SFTrustedGroupIP;
}

class FWOldStoreReader {
public:
    FWOldStoreReader() = delete;

    enum class ReadResult { Read, OpenFailed, ReadFailed };
    // The whole file; on failure error holds the errno value.
    static ReadResult readFile(const std::string& path, std::string& bytes, int& error);

    // Throw boost::archive::archive_exception for input the archive refuses, or another
    // std::exception. What was loaded before a failure stays in table or list for the caller
    // to free; table must be empty.
    static void decodeRuleStore(const std::string& bytes, StatefulFirewall::SFRuleTable& table);
    static void decodeTrustedStore(const std::string& bytes,
                                   std::list<StatefulFirewall::SFTrustedGroupIP*>& list);
};
