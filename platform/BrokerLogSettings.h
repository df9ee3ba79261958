#pragma once

// The log settings the platform service accepts for itself (commands 1002 to 1005), kept in a
// state file of key=value lines so that a restarted service still has them.
//
// Keys: maxProductLogSize (1 to 999 megabytes), productLog, debugLog, useSyslog (0 or 1).
// A setting never given is absent from the file.
//
// Not thread safe: the broker's run() thread owns it.

#include <map>
#include <string>
#include <vector>

namespace ZAV {

class BrokerLogSettings {
public:
    explicit BrokerLogSettings(std::string path);

    // Replaces the settings with the file's. A missing file means nothing was ever set. Lines
    // that cannot be read are skipped and described in problems.
    void load(std::vector<std::string>& problems);

    // Sets one setting and rewrites the file atomically (mode 0600). When the file cannot be
    // written the setting keeps its old value and error says why.
    bool set(const std::string& key, int value, std::string& error);

    // False when key is not a setting or value lies outside its range.
    static bool isValid(const std::string& key, int value);

    const std::map<std::string, int>& values() const { return m_values; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::map<std::string, int> m_values;
};

} // namespace ZAV
