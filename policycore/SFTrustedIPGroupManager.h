#pragma once

// The process-wide owner of the trusted networks: single addresses, ranges, CIDR networks and
// at most one entry standing for the host's local subnets. Loads them from the trusted-network
// store at creation, keeps the local-subnet entry in step with the trust-local-subnet setting
// and writes the list back when it has changed.
//
// Ownership: the manager owns every entry in m_trustedIPList. addTrustedIP takes its argument
// only when it answers 150000; otherwise the caller keeps (and frees) it.
//
// Lock order: m_guardTrustedStore, then m_guardTrustedIPList. m_guardTrustedIPList (class-wide,
// not recursive) guards m_trustedIPList and m_listChanged; code outside the manager that walks
// m_trustedIPList takes it itself, or uses copyTrustedIPList. m_guardTrustedStore keeps two
// threads of this process apart in the store, since lockf locks belong to the whole process and
// the lock lives in one member. The file is only written with the list lock released: the list
// is encoded to memory under it first.

#include "SFContentVersion.h"
#include "SFTrustedGroupIP.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class SFStoreFile;

// An entry taken out of the list and the place it held there (0-based, counting every entry),
// kept so that a removal the store refused can be undone.
struct SFRemovedTrustedIP {
    std::size_t place;
    SFTrustedGroupIP entry;
};

class SFTrustedIPGroupManager {
public:
    // The entries in insertion order; guarded by m_guardTrustedIPList.
    std::list<SFTrustedGroupIP*> m_trustedIPList;
    static boost::mutex m_guardTrustedIPList;

    // Creates the manager on first use (loading the store and matching the local-subnet entry
    // to the setting). Exceptions of the construction pass to the caller.
    static SFTrustedIPGroupManager* getInstance(ZAV::ILogger& logger, IConfigController& config);
    // Writes a changed list, then destroys the manager and every entry.
    static void releaseInstance();

    // 150000 (now owned), or 150056 for null, an entry equal to a listed one, or a second
    // local-subnet entry (the caller keeps those).
    int addTrustedIP(SFTrustedGroupIP* entry);
    // Removes the first entry whose value text equals valueText; the local-subnet entry is never
    // matched. 150000 or 150057. With removed, a copy of the entry taken out is appended there.
    int deleteTrustedIP(std::string valueText, std::vector<SFRemovedTrustedIP>* removed = nullptr);
    // Removes every entry (with keepLocalSubnet the local-subnet ones stay). 150000, or 150057
    // when more entries remain than the one local-subnet entry meant to stay. With removed,
    // copies of the entries taken out are appended there in list order.
    int flushTrustedIPList(bool keepLocalSubnet,
                           std::vector<SFRemovedTrustedIP>* removed = nullptr);
    // Undo of an accepted add: removes the first entry equal to each of entries.
    void withdrawTrustedIPs(const std::vector<SFTrustedGroupIP>& entries);
    // Undo of a removal: puts the entries back at their former places, in the order they were
    // taken out, which rebuilds the former order when the list has not changed in between.
    void restoreTrustedIPs(const std::vector<SFRemovedTrustedIP>& removed);
    // Adds (150000; 150056 when present) or removes (150000; 150057 when absent) the
    // local-subnet entry.
    int handleShouldTrustLocalSubnet(bool trust);
    // Writes the store when the list changed. 150000 when written or unchanged, 150001 when the
    // write failed (the list stays marked changed, so a later call writes it). Never throws.
    int persistTrustedIPStore();
    // A copy of the entries, taken under m_guardTrustedIPList; with version, the list's
    // version it is.
    std::vector<SFTrustedGroupIP> copyTrustedIPList(uint64_t* version = nullptr);
    // The list's version in this process (see SFContentVersion), taken with every operation
    // that changed it, under m_guardTrustedIPList. An undo of a change the store refused takes
    // the version back.
    static uint64_t version();
    static SFContentVersion::Mark changeMark();
    // After changes made since mark and undone: operations counts both.
    static void changesUndone(const SFContentVersion::Mark& since, uint64_t operations);

    // The store steps. The caller holds m_guardTrustedStore from lockTrustedStore to
    // unlockTrustedStore. They log their failures and do not throw.
    void lockTrustedStore(std::string& path);
    void unlockTrustedStore();
    // True when the store now holds the list.
    bool persistTrustedStore(std::string& path);
    void loadTrustedStore(std::string& path);
    // Locks, loads and unlocks the store at the configured path; always true.
    bool deserializeTrustedDataFile();

private:
    SFTrustedIPGroupManager(ZAV::ILogger& logger, IConfigController& config);
    ~SFTrustedIPGroupManager();
    SFTrustedIPGroupManager(const SFTrustedIPGroupManager&) = delete;
    SFTrustedIPGroupManager& operator=(const SFTrustedIPGroupManager&) = delete;

    // Need m_guardTrustedIPList held.
    void freeAllEntriesLocked();
    bool hasLocalSubnetEntryLocked() const;
    // Renames a damaged, non-empty store file aside; need m_guardTrustedStore held.
    void keepDamagedStore(const SFStoreFile& file, std::size_t size);

    void log(int level, const std::string& message);

    std::unique_ptr<SFStoreFile> m_storeFile; // holds the file lock from lockTrustedStore to unlockTrustedStore
    bool m_listChanged;                       // the list differs from the store; guarded by m_guardTrustedIPList
    boost::mutex m_guardTrustedStore;         // serialises this process's store operations
    ZAV::ILogger* m_logger;                   // not owned
    std::string m_moduleName;
    IConfigController* m_configController; // not owned

    static std::atomic<SFTrustedIPGroupManager*> m_pSelf;
    static boost::mutex m_instanceMutex;
    // Process-wide, so a manager created again never gives out a version twice.
    static SFContentVersion m_version;
};

} // namespace StatefulFirewall
