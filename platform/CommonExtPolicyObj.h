#pragma once

// The platform's common (logging) policy record, as the service hands it out with command 1000
// and pushes it with command 1001. Written with boost serialization as one top-level object of
// 27 fields in the order below, narrow or wide alike.
//
// Reading keeps the defaults of every field the data does not reach: a record written by an
// older or shorter writer ends at a field boundary, and the fields after it stay as a fresh
// record has them. The text form cannot tell that end from a token that is not a number, so a
// field whose first token cannot be read ends the record the same way; a field cut after its
// first token (a list missing elements) is set back to its default too. A string length or list
// count larger than the rest of the data is no such end: the daemon's checking reader refuses
// it (with an exception of another code, which passes through), and the record with it.
//
// A plain record: copyable, no locks.

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/split_member.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include <string>
#include <vector>

namespace ZAV {

class CommonExtPolicyObj {
public:
    std::string m_logPath;                  // 1
    bool m_activityLogging = true;          // 2
    bool m_limitActivityLogSize = true;     // 3
    int m_activityLogSize = 0;              // 4, megabytes
    bool m_carried5 = false;                // 5
    bool m_carried6 = false;                // 6
    bool m_carried7 = false;                // 7
    bool m_debugLogging = false;            // 8, the firewall's debug log
    bool m_limitDebugLogSize = true;        // 9
    int m_debugLogSize = 0;                 // 10, megabytes
    bool m_sendEventsToServer = false;      // 11, events to the management server
    bool m_eventLogging = true;             // 12, syslog
    int m_carried13 = 0;                    // 13
    int m_carried14 = 0;                    // 14
    int m_carried15 = 0;                    // 15
    int m_carried16 = 0;                    // 16
    int m_serverLogLevel = 0;               // 17, the management server's log level for the firewall
    int m_carried18 = 0;                    // 18
    bool m_carried19 = true;                // 19
    bool m_carried20 = false;               // 20
    bool m_carried21 = false;               // 21
    std::string m_carried22;                // 22
    std::string m_carried23;                // 23
    std::vector<std::string> m_carried24;   // 24, one object
    bool m_carried25 = false;               // 25
    std::string m_carried26;                // 26
    std::string m_carried27;                // 27
    // Fields named "carried" mean nothing to the firewall; they keep the archive positions.

    template <class Archive> void save(Archive& ar, unsigned int /*version*/) const
    {
        ar << m_logPath << m_activityLogging << m_limitActivityLogSize << m_activityLogSize;
        ar << m_carried5 << m_carried6 << m_carried7;
        ar << m_debugLogging << m_limitDebugLogSize << m_debugLogSize << m_sendEventsToServer
           << m_eventLogging;
        ar << m_carried13 << m_carried14 << m_carried15 << m_carried16;
        ar << m_serverLogLevel << m_carried18 << m_carried19 << m_carried20 << m_carried21;
        ar << m_carried22 << m_carried23 << m_carried24 << m_carried25 << m_carried26
           << m_carried27;
    }

    template <class Archive> void load(Archive& ar, unsigned int /*version*/)
    {
        FieldReader<Archive> read{ar};
        read(m_logPath) && read(m_activityLogging) && read(m_limitActivityLogSize) &&
            read(m_activityLogSize) && read(m_carried5) && read(m_carried6) && read(m_carried7) &&
            read(m_debugLogging) && read(m_limitDebugLogSize) && read(m_debugLogSize) &&
            read(m_sendEventsToServer) && read(m_eventLogging) && read(m_carried13) &&
            read(m_carried14) && read(m_carried15) && read(m_carried16) &&
            read(m_serverLogLevel) && read(m_carried18) && read(m_carried19) &&
            read(m_carried20) && read(m_carried21) && read(m_carried22) && read(m_carried23) &&
            read(m_carried24) && read(m_carried25) && read(m_carried26) && read(m_carried27);
    }

    BOOST_SERIALIZATION_SPLIT_MEMBER()

private:
    // Reads one field; false, with the field back at its value before the read, when the data
    // ends there.
    template <class Archive> struct FieldReader {
        Archive& ar;
        template <class T> bool operator()(T& field)
        {
            T before = field;
            try {
                ar >> field;
                return true;
            } catch (const boost::archive::archive_exception& e) {
                if (e.code != boost::archive::archive_exception::input_stream_error)
                    throw;
                field = std::move(before);
                return false;
            }
        }
    };
};

} // namespace ZAV
