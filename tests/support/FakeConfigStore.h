#pragma once

// An in-memory configuration store with injectable failures, for tests of the settings code.
// Values are texts by path; reads convert like the real store (whole text, "0"/"1" booleans).

#include "IConfigStore.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace TestSupport {

class FakeConfigStore : public ZAV::IConfigStore {
public:
    bool getBoolValue(const std::string& sectionId, const std::string& path) override;
    int getIntValue(const std::string& sectionId, const std::string& path) override;
    std::string getStringValue(const std::string& sectionId, const std::string& path) override;
    void setBoolValue(const std::string& attributeName, const std::string& sectionId,
                      const std::string& path, bool value) override;
    void setIntValue(const std::string& attributeName, const std::string& sectionId,
                     const std::string& path, int value) override;
    void setStringValue(const std::string& attributeName, const std::string& sectionId,
                        const std::string& path, const std::string& value) override;
    // All or nothing: an injected write failure of any of the values stores none of them.
    void setValues(const std::string& attributeName,
                   const std::vector<ZAV::ConfigValue>& values) override;
    void setConfigStoreUtility(std::shared_ptr<ZAV::IConfigStoreUtility> utility) override;
    bool initialise(const std::string& path, ZAV::ConfigDefaults defaults) override;

    // Scripting.
    void set(const std::string& path, const std::string& text);
    void erase(const std::string& path);
    void failReadsOf(const std::string& path) { m_failReads.insert(path); }
    void failWritesOf(const std::string& path) { m_failWrites.insert(path); }
    void failSetUtility() { m_failSetUtility = true; }
    // Results of the next initialise calls, in order; true once the script runs out.
    void scriptInitialise(std::vector<bool> results) { m_initResults.assign(results.begin(), results.end()); }
    // Loads the defaults given to initialise as values (the real store fills missing keys).
    void loadDefaultsOnInitialise(bool load) { m_loadDefaults = load; }

    // Observation.
    std::string value(const std::string& path) const;
    bool has(const std::string& path) const;
    int writeCount() const;
    int initialiseCount() const;
    bool utilitySet() const;
    std::vector<std::string> initialisedPaths() const;

private:
    std::string read(const std::string& path);
    void write(const std::string& path, const std::string& text);

    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
    std::set<std::string> m_failReads;
    std::set<std::string> m_failWrites;
    bool m_failSetUtility = false;
    bool m_utilitySet = false;
    bool m_loadDefaults = true;
    std::deque<bool> m_initResults;
    std::vector<std::string> m_initialisedPaths;
    int m_writes = 0;
};

} // namespace TestSupport
