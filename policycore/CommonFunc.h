#pragma once

// Static helpers shared by the tool, the daemon, the iptables driver and the event library:
// identifier text, parsing and generation, enumeration texts, day and schedule helpers, text
// and address helpers. No state; thread-safe except where the C library generator is reseeded.

#include "SFTypes.h"

#include <string>

namespace StatefulFirewall {

class CommonFunc {
public:
    CommonFunc() = delete;

    static bool isGUIDNull(const GUID& id);
    // "EMPTY" for the null identifier, else "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
    static std::string textGUID(const GUID& id);
    // The same format as a wide string; the null identifier prints as zeros, not "EMPTY".
    static std::wstring textWGUID(const GUID& id);
    // Fields that do not parse, and all after them, are zero: junk, and "EMPTY", give the null
    // identifier.
    static GUID getGUIDFromString(std::string text);
    static GUID getDefaultGroupID();
    static GUID getYalAgentGroupID();
    static std::string getUUID();
    static GUID generateGUID();
    static int generateRuleId();

    // Texts of enumerations. None returns a null pointer: values outside the enumeration come
    // from stores and payloads and get "NOT SET" (or the fallback named in the .cpp).
    static const char* getActionString(int action);
    static const char* getScheduleDay(int day);
    static std::string getSchedActionDesc(int action);
    // Write exactly 30 bytes (the text, zero-padded) into out.
    static void getNwProtoString(int netProto, char* out);
    static void getTrProtoString(int transport, char* out);
    static std::string getMsgTypeString(int msgType);

    static int getScheduleIndex(std::string day);
    static std::string getSanitizedDay(std::string day);

    // Splits at the first delimiter found in src: head = the part before it; rest loses as many
    // characters as src had up to and including the delimiter (callers pass the same text as
    // src and rest). Returns the position; -1 with head = src when there is no delimiter, and
    // -1 with nothing changed when delimiters is null.
    static int getEachString(std::string src, std::string& head, std::string& rest,
                             const char* delimiters);
    static std::string trimLastChar(const std::string& s, const std::string& c);
    // Escapes text for a JSON string in place; always true.
    static bool EscapeSpecialCharsForJSON(std::string& text);
    // At most limit bytes of text, cut before a UTF-8 sequence that would not fit whole.
    static std::string cutUtf8(const std::string& text, size_t limit);

    // IPv4-mapped IPv6 text, always 39 characters (an invalid address maps 0.0.0.0).
    static std::string convertIPV4ToIPV6Str(std::string dotted);
    static bool convertIPV6ToIPV4Str(std::string ipv6, std::string& out);
};

} // namespace StatefulFirewall
