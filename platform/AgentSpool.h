#pragma once

// The spool folder of our file-backed agent: what it reads (agent.conf, sitelist.conf,
// policy.d/*.txt, collect.request) and writes (events.jsonl, properties.txt, the renamed
// policies and policy-results.log). A missing folder means the agent is not reachable.
//
// Bad lines of any file are logged at level 2 and skipped; agent.conf is parsed again only when
// its text changed, so a bad line there is logged once, not at every poll.
//
// Thread safety: every operation may be called from any thread. m_confMutex guards the parsed
// agent.conf, m_appendMutex serialises appends so batches never interleave.

#include "StandInSectionsHandle.h"

#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ZAV {

class ILogger;
class ISiteListInfoAdaptor;
class MsgBusEventData;

class AgentSpool {
public:
    AgentSpool(ILogger& logger, std::string component, std::string directory);

    const std::string& directory() const { return m_directory; }
    std::string path(const std::string& name) const { return m_directory + "/" + name; }
    bool reachable() const;

    // agent.conf as key to raw value (everything after the first '='); only known keys with
    // valid values. Empty when the file is missing.
    std::map<std::string, std::string> readConf();

    // sitelist.conf, "kind|name|ipv4|port1|port2"; a missing file is an empty list.
    bool readSiteList(ISiteListInfoAdaptor& siteList);

    // Names of the policies waiting in policy.d ("*.txt"), in byte-wise name order.
    std::vector<std::string> pendingPolicies() const;
    // Whole content of a file below the folder; false, logged, when it cannot be read.
    bool readText(const std::string& name, std::string& text) const;
    // Renames policy.d/<name> to <name>.done and logs the delivery in policy-results.log.
    // False when the rename failed.
    bool finishPolicy(const std::string& name, const std::string& softwareId, int result);

    // True when collect.request exists; all is its "all=" value, 1 by default.
    bool readCollectRequest(bool& all);
    void removeCollectRequest();
    // Replaces properties.txt atomically with "section|name|value" lines.
    bool writeProperties(const std::vector<StandInSectionsHandle::Property>& properties);

    // Appends one JSON object a line to events.jsonl (mode 0600); false, logged, when the
    // lines could not all be written.
    bool appendEvents(const std::string& softwareId, const std::string& productName,
                      const std::string& productVersion, const std::vector<MsgBusEventData>& events);

    static std::string eventLine(std::time_t when, const std::string& softwareId,
                                 const std::string& productName, const std::string& productVersion,
                                 const MsgBusEventData& event);
    // A JSON string literal: '"', '\' and control characters escaped, other bytes unchanged.
    static std::string jsonString(const std::string& text);

private:
    bool append(const std::string& name, const std::string& bytes);
    void log(int level, const std::string& message) const;

    ILogger& m_logger;
    const std::string m_component;
    const std::string m_directory;

    std::mutex m_confMutex;
    std::string m_confText;                      // guarded by m_confMutex
    bool m_confRead = false;                     // guarded by m_confMutex
    std::map<std::string, std::string> m_conf;   // guarded by m_confMutex
    std::mutex m_appendMutex;
};

} // namespace ZAV
