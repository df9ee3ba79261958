#pragma once

// The records the daemon and the command-line tool exchange as command data: the preference
// snapshot (SFPrefsData) and the version record (AboutBoxData). Both travel as one top-level
// object of a boost text archive, narrow or wide; the archive order below is the wire format on
// both sides, so it never changes. Plain records: copyable, no locks.

#include "SFPrefType.h"

#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>

#include <map>
#include <string>

namespace StatefulFirewall {

class SFPrefsData {
public:
    int m_tcpConTimeout = 30;      // seconds
    int m_udpIcmpConTimeout = 30;  // seconds
    int m_logLevel = 0;
    int m_activityLogSize = 1;     // megabytes
    int m_fwMode = FW_MODE_REGULAR;
    bool m_fwEnabled = true;
    bool m_ipSpoofProtection = false;
    bool m_ftpInspection = false;
    bool m_retainClientRules = false;
    SFPrefType m_prefType = SF_PREF_NONE; // the single preference the record carries
    std::string m_spareText1;             // carried, never set or read
    std::string m_spareText2;             // carried, never set or read
    int m_unsupportedProtocol = 1;
    bool m_trustLocalSubnet = true;
    bool m_prefPresent = false;           // m_prefType names a preference that is set
    std::string m_spareText3;             // carried, never set or read

    // The archive order differs from the declaration order: the tool reads and writes this one.
    // The preference type travels as a plain int (booleans travel as 0 or 1).
    template <class Archive> void serialize(Archive& ar, unsigned int /*version*/)
    {
        int prefType = static_cast<int>(m_prefType);
        ar & m_tcpConTimeout & m_udpIcmpConTimeout & m_logLevel & m_activityLogSize & m_fwMode;
        ar & m_fwEnabled & m_trustLocalSubnet & m_ipSpoofProtection & m_ftpInspection &
            m_retainClientRules;
        ar & prefType;
        m_prefType = static_cast<SFPrefType>(prefType);
        ar & m_prefPresent & m_spareText1 & m_spareText2 & m_unsupportedProtocol & m_spareText3;
    }
};

class AboutBoxData {
public:
    // Sets every entry of contents (inserting absent keys); entries with other keys remain.
    void setAboutBoxDisplayContents(const std::map<std::string, std::string>& contents)
    {
        for (const auto& entry : contents)
            m_aboutBoxDisplayContents[entry.first] = entry.second;
    }

    int m_fmId = -1; // the framework manager that answers; -1 until one does
    std::map<std::string, std::string> m_aboutBoxDisplayContents;

    template <class Archive> void serialize(Archive& ar, unsigned int /*version*/)
    {
        ar & m_fmId & m_aboutBoxDisplayContents;
    }
};

} // namespace StatefulFirewall
