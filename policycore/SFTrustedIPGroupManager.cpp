#include "SFTrustedIPGroupManager.h"

#include "IConfigController.h"
#include "ILogger.h"
#include "SFResultCodes.h"
#include "SFStoreCodec.h"
#include "SFStoreFile.h"

#include <exception>

namespace StatefulFirewall {

std::atomic<SFTrustedIPGroupManager*> SFTrustedIPGroupManager::m_pSelf{nullptr};
boost::mutex SFTrustedIPGroupManager::m_instanceMutex;
SFContentVersion SFTrustedIPGroupManager::m_version;
boost::mutex SFTrustedIPGroupManager::m_guardTrustedIPList;

namespace {

using ListLock = boost::mutex::scoped_lock;

bool isLocalSubnet(const SFTrustedGroupIP* entry)
{
    return entry->type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
}

void freeEntries(std::list<SFTrustedGroupIP*>& entries)
{
    for (SFTrustedGroupIP* entry : entries)
        delete entry;
    entries.clear();
}

} // namespace

// ---- lifetime -------------------------------------------------------------------------------

SFTrustedIPGroupManager* SFTrustedIPGroupManager::getInstance(ZAV::ILogger& logger,
                                                              IConfigController& config)
{
    SFTrustedIPGroupManager* self = m_pSelf.load(std::memory_order_acquire);
    if (self)
        return self;
    boost::mutex::scoped_lock lock(m_instanceMutex);
    self = m_pSelf.load(std::memory_order_relaxed);
    if (!self) {
        self = new SFTrustedIPGroupManager(logger, config);
        m_pSelf.store(self, std::memory_order_release);
    }
    return self;
}

void SFTrustedIPGroupManager::releaseInstance()
{
    boost::mutex::scoped_lock lock(m_instanceMutex);
    // Unpublished before the destructor runs, so no new caller is handed a dying manager.
    delete m_pSelf.exchange(nullptr, std::memory_order_acq_rel);
}

SFTrustedIPGroupManager::SFTrustedIPGroupManager(ZAV::ILogger& logger, IConfigController& config)
    : m_listChanged(false), m_logger(&logger), m_moduleName("SFTrustedIPGroupManager"),
      m_configController(&config)
{
    try {
        deserializeTrustedDataFile();
        {
            ListLock lock(m_guardTrustedIPList);
            m_listChanged = false;
        }
        // Marks the list changed exactly when the setting differs from what the store held.
        handleShouldTrustLocalSubnet(m_configController->getShouldTrustLocalSubnet());
    } catch (const std::exception& e) {
        // The destructor does not run for a failed constructor: free what was loaded.
        log(2, std::string("Could not create the trusted IP manager: ") + e.what());
        ListLock lock(m_guardTrustedIPList);
        freeAllEntriesLocked();
        throw;
    }
}

SFTrustedIPGroupManager::~SFTrustedIPGroupManager()
{
    bool changed;
    {
        ListLock lock(m_guardTrustedIPList);
        changed = m_listChanged;
    }
    if (changed)
        persistTrustedIPStore();
    try {
        flushTrustedIPList(false);
    } catch (const std::exception& e) {
        log(2, "Error occurred while flushing trusted IP List");
        log(2, e.what());
    }
    ListLock lock(m_guardTrustedIPList);
    freeAllEntriesLocked();
}

// ---- list operations ------------------------------------------------------------------------

int SFTrustedIPGroupManager::addTrustedIP(SFTrustedGroupIP* entry)
{
    if (!entry)
        return SF_TRUSTED_IP_REFUSED;
    ListLock lock(m_guardTrustedIPList);
    // A repeated entry would be enforced twice and survive a delete of its text; the local
    // subnet needs no address to be a repeat.
    for (const SFTrustedGroupIP* listed : m_trustedIPList) {
        if (*listed == *entry || (isLocalSubnet(listed) && isLocalSubnet(entry)))
            return SF_TRUSTED_IP_REFUSED;
    }
    m_trustedIPList.push_back(entry);
    m_listChanged = true;
    m_version.changed();
    return SF_SUCCESS;
}

int SFTrustedIPGroupManager::deleteTrustedIP(std::string valueText,
                                             std::vector<SFRemovedTrustedIP>* removed)
{
    ListLock lock(m_guardTrustedIPList);
    int index = 1; // as the user sees the list: addresses only, counted from 1
    std::size_t place = 0;
    for (auto it = m_trustedIPList.begin(); it != m_trustedIPList.end(); ++it, ++place) {
        if (isLocalSubnet(*it))
            continue;
        if ((*it)->getTrustedIPValueString() == valueText) {
            if (removed != nullptr)
                removed->push_back({place, **it});
            delete *it;
            m_trustedIPList.erase(it);
            m_listChanged = true;
            m_version.changed();
            log(6, "Trusted IP (" + valueText + ") found at " + std::to_string(index) +
                       " index in trusted IP list and successfully deleted.");
            return SF_SUCCESS;
        }
        ++index;
    }
    log(2, "Failed to delete IP " + valueText + " beacuse it not found in the Trusted IP list");
    return SF_TRUSTED_LIST_UNCHANGED;
}

int SFTrustedIPGroupManager::flushTrustedIPList(bool keepLocalSubnet,
                                                std::vector<SFRemovedTrustedIP>* removed)
{
    ListLock lock(m_guardTrustedIPList);
    const size_t before = m_trustedIPList.size();
    size_t kept = 0;
    std::size_t place = 0;
    for (auto it = m_trustedIPList.begin(); it != m_trustedIPList.end(); ++place) {
        if (keepLocalSubnet && isLocalSubnet(*it)) {
            ++kept;
            ++it;
            continue;
        }
        log(6, "IP with value " + (*it)->getTrustedIPValueString() + " deleted from trusted IP List");
        if (removed != nullptr)
            removed->push_back({place, **it});
        delete *it;
        it = m_trustedIPList.erase(it);
        m_listChanged = true;
    }
    if (m_trustedIPList.size() != before)
        m_version.changed();
    const size_t meantToStay = kept > 0 ? 1 : 0;
    if (m_trustedIPList.size() == meantToStay) {
        m_listChanged = true;
        return SF_SUCCESS;
    }
    log(2, "failed to delete some of the trusted IPs\n");
    return SF_TRUSTED_LIST_UNCHANGED;
}

void SFTrustedIPGroupManager::withdrawTrustedIPs(const std::vector<SFTrustedGroupIP>& entries)
{
    ListLock lock(m_guardTrustedIPList);
    const size_t before = m_trustedIPList.size();
    for (const SFTrustedGroupIP& entry : entries) {
        for (auto it = m_trustedIPList.begin(); it != m_trustedIPList.end(); ++it) {
            if (**it == entry) {
                delete *it;
                m_trustedIPList.erase(it);
                m_listChanged = true;
                break;
            }
        }
    }
    if (m_trustedIPList.size() != before)
        m_version.changed();
}

void SFTrustedIPGroupManager::restoreTrustedIPs(const std::vector<SFRemovedTrustedIP>& removed)
{
    ListLock lock(m_guardTrustedIPList);
    for (const SFRemovedTrustedIP& taken : removed) {
        auto at = m_trustedIPList.begin();
        for (std::size_t n = 0; n < taken.place && at != m_trustedIPList.end(); ++n)
            ++at;
        auto entry = std::make_unique<SFTrustedGroupIP>(taken.entry);
        m_trustedIPList.insert(at, entry.get());
        entry.release();
        m_listChanged = true;
    }
    if (!removed.empty())
        m_version.changed();
}

int SFTrustedIPGroupManager::handleShouldTrustLocalSubnet(bool trust)
{
    ListLock lock(m_guardTrustedIPList);
    if (trust) {
        log(6, "Preference value for trust local subnet turned ON so we need to make and entry for "
               "it in trusted IP list");
        if (hasLocalSubnetEntryLocked()) {
            log(6, "Trust Local Subnet entry already exists in Trusted IP list.");
            return SF_TRUSTED_IP_REFUSED;
        }
        auto entry = std::make_unique<SFTrustedGroupIP>();
        entry->type = FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
        m_trustedIPList.push_back(entry.get());
        entry.release();
        m_listChanged = true;
        m_version.changed();
        return SF_SUCCESS;
    }
    for (auto it = m_trustedIPList.begin(); it != m_trustedIPList.end(); ++it) {
        if (isLocalSubnet(*it)) {
            delete *it;
            m_trustedIPList.erase(it);
            m_listChanged = true;
            m_version.changed();
            log(6, "Trusted Local Subnet entry successfully deleted from trusted IP list.\n");
            return SF_SUCCESS;
        }
    }
    log(6, "Trust Local Subnet entry doesn't exist in Trusted IP list. So, can't delete it.\n");
    return SF_TRUSTED_LIST_UNCHANGED;
}

std::vector<SFTrustedGroupIP> SFTrustedIPGroupManager::copyTrustedIPList(uint64_t* version)
{
    ListLock lock(m_guardTrustedIPList);
    if (version != nullptr)
        *version = m_version.current();
    std::vector<SFTrustedGroupIP> copy;
    copy.reserve(m_trustedIPList.size());
    for (const SFTrustedGroupIP* entry : m_trustedIPList)
        copy.push_back(*entry);
    return copy;
}

uint64_t SFTrustedIPGroupManager::version()
{
    return m_version.current();
}

SFContentVersion::Mark SFTrustedIPGroupManager::changeMark()
{
    return m_version.mark();
}

void SFTrustedIPGroupManager::changesUndone(const SFContentVersion::Mark& since, uint64_t operations)
{
    m_version.undone(since, operations);
}

void SFTrustedIPGroupManager::freeAllEntriesLocked()
{
    freeEntries(m_trustedIPList);
}

bool SFTrustedIPGroupManager::hasLocalSubnetEntryLocked() const
{
    for (const SFTrustedGroupIP* entry : m_trustedIPList) {
        if (isLocalSubnet(entry))
            return true;
    }
    return false;
}

// ---- the store ------------------------------------------------------------------------------

int SFTrustedIPGroupManager::persistTrustedIPStore()
{
    boost::mutex::scoped_lock storeLock(m_guardTrustedStore);
    try {
        std::string path = m_configController->getTrustedIPStorePath();
        bool changed;
        {
            ListLock lock(m_guardTrustedIPList);
            changed = m_listChanged;
        }
        if (!changed) {
            log(6, "Trusted IP list has not changed. No need to persist data to trusted store");
            return SF_SUCCESS;
        }
        lockTrustedStore(path);
        const bool written = persistTrustedStore(path);
        unlockTrustedStore();
        return written ? SF_SUCCESS : SF_STORE_WRITE_FAILED;
    } catch (const std::exception& e) {
        unlockTrustedStore();
        {
            // Whatever was encoded may not have reached the file: write it again next time.
            ListLock lock(m_guardTrustedIPList);
            m_listChanged = true;
        }
        log(2, std::string("Could not write the trusted store: ") + e.what());
        return SF_STORE_WRITE_FAILED;
    }
}

void SFTrustedIPGroupManager::lockTrustedStore(std::string& path)
{
    try {
        m_storeFile = std::make_unique<SFStoreFile>(path);
        std::string error;
        if (!m_storeFile->lock(error))
            log(2, "Error in locking the trusted store : " + error);
    } catch (const std::exception& e) {
        log(2, std::string("Error in locking the trusted store : ") + e.what());
    }
}

void SFTrustedIPGroupManager::unlockTrustedStore()
{
    m_storeFile.reset(); // closing the descriptor releases the lock
}

bool SFTrustedIPGroupManager::persistTrustedStore(std::string& path)
{
    std::string bytes;
    try {
        ListLock lock(m_guardTrustedIPList);
        bytes = encodeTrustedStore(m_trustedIPList);
        // Cleared with the encoding so that a change made while the file is written keeps the
        // list marked changed.
        m_listChanged = false;
    } catch (const std::exception& e) {
        log(2, "Received exception. Ignoring. Will handle while loading data");
        log(2, "Could not encode the trusted store " + path + ": " + e.what());
        return false;
    }

    std::string error;
    const SFStoreFile file(path);
    if (!file.replace(bytes, error)) {
        log(2, "Could not open Trusted IP list file");
        log(2, error);
        ListLock lock(m_guardTrustedIPList);
        m_listChanged = true;
        return false;
    }
    log(6, "Updated the permissions of the Trusted IP list file");
    return true;
}

void SFTrustedIPGroupManager::loadTrustedStore(std::string& path)
{
    try {
        // Read through the locked file when there is one, so the read keeps the lock.
        const SFStoreFile unlocked(path);
        const SFStoreFile& file = m_storeFile && m_storeFile->path() == path ? *m_storeFile : unlocked;
        std::string bytes;
        std::string error;
        switch (file.read(bytes, error)) {
        case SFStoreFile::ReadResult::Missing:
            if (file.createEmpty(error))
                log(6, "Successfully created and updated permissions of the trusted store file");
            else
                log(6, "Unable to create the trusted store file");
            return;
        case SFStoreFile::ReadResult::Failed:
            // Left in place and unchanged: it may be readable again once the cause is mended.
            log(2, "Could not read the trusted store " + path + ": " + error);
            return;
        case SFStoreFile::ReadResult::Read:
            break;
        }

        std::list<SFTrustedGroupIP*> loaded;
        try {
            decodeTrustedStore(bytes, loaded);
        } catch (const std::exception& e) {
            freeEntries(loaded);
            log(2, "Caught exception. Clearing our store and returning.");
            log(2, "Trusted store " + path + ": " + e.what());
            {
                ListLock lock(m_guardTrustedIPList);
                freeAllEntriesLocked();
            }
            keepDamagedStore(file, bytes.size());
            return;
        }
        ListLock lock(m_guardTrustedIPList);
        freeAllEntriesLocked();
        m_trustedIPList.swap(loaded);
        m_listChanged = false;
        // The list in force may be another one's: a manager created again reloads the store.
        m_version.changed();
    } catch (const std::exception& e) {
        log(2, "Could not load the trusted store " + path + ": " + e.what());
    }
}

void SFTrustedIPGroupManager::keepDamagedStore(const SFStoreFile& file, std::size_t size)
{
    // Set aside before anything writes the store, so its entries can still be recovered by
    // hand. An empty file holds nothing to recover.
    if (size == 0)
        return;
    std::string keptPath;
    std::string error;
    if (file.keepAsCorrupt(keptPath, error))
        log(2, "Damaged trusted store kept as " + keptPath);
    else
        log(2, "Could not keep the damaged trusted store " + file.path() + ": " + error);
}

bool SFTrustedIPGroupManager::deserializeTrustedDataFile()
{
    std::string path = m_configController->getTrustedIPStorePath();
    boost::mutex::scoped_lock storeLock(m_guardTrustedStore);
    lockTrustedStore(path);
    // Only the constructor loads the store, before this process writes it: any temporary file
    // beside it is a crashed write's leftover.
    if (const int removed = SFStoreFile(path).removeLeftoverTemporaries())
        log(5, "Removed " + std::to_string(removed) +
                   " temporary files left beside the trusted store " + path);
    loadTrustedStore(path);
    unlockTrustedStore();
    return true;
}

void SFTrustedIPGroupManager::log(int level, const std::string& message)
{
    m_logger->logMessage(level, m_moduleName, message);
}

} // namespace StatefulFirewall
