#pragma once

// The two store formats as bytes, so every writer (the managers, command payloads, the
// migration bridge) writes exactly the same thing.
//
// Rule store: a narrow text archive whose root is one SFRuleTable. Trusted-network store: a
// wide text archive whose root is one std::list<SFTrustedGroupIP*>, each wchar_t stored as 4
// little-endian bytes. Both start with the header "22 serialization::archive 13 " and end right
// after their last value; readers accept archive versions up to 18 and a trailing newline.
//
// Encoders take the model locks (see SFSerialization.h); never call them holding one. They
// write what their readers read back, or nothing: a table or list whose store, or whose listing
// reply to the tool (a std::list of the groups or entries by value, as the daemon sends it),
// its checking reader would refuse (SFArchiveWeight.h), or whose listing is larger than the
// channel carries, is refused with an SFOverweightException.
// All functions throw boost::archive::archive_exception (or std::exception) on failure; a
// decoder leaves what it read so far in its output for the caller to free.

#include <cstddef>
#include <list>
#include <string>

namespace StatefulFirewall {

class SFRuleTable;
class SFTrustedGroupIP;

std::string encodeRuleStore(const SFRuleTable& table);
// Loads into table, which must be empty (groups list empty).
void decodeRuleStore(const std::string& bytes, SFRuleTable& table);

std::string encodeTrustedStore(const std::list<SFTrustedGroupIP*>& list);
void decodeTrustedStore(const std::string& bytes, std::list<SFTrustedGroupIP*>& list);
// The text of a wide store file: 4 bytes per character, little-endian; throws an
// archive_exception (input_stream_error) when the length is not a multiple of 4.
std::wstring bytesToWide(const std::string& bytes);

// The largest data one command reply carries on the platform channel.
inline constexpr std::size_t kLargestReplyData = std::size_t(64) << 20;

// The archive header every writer of this system puts first.
inline constexpr const char* SF_ARCHIVE_HEADER = "22 serialization::archive 13 ";
inline constexpr const wchar_t* SF_WARCHIVE_HEADER = L"22 serialization::archive 13 ";

} // namespace StatefulFirewall
