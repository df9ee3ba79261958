#include "SFConfigData.h"

#include "ILogger.h"
#include "IConfigStoreUtility.h"
#include "SFAtomicFile.h"
#include "SFPrefKeys.h"
#include "SFSettingsText.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace StatefulFirewall {

namespace {

const char* const kComponent = "SFConfigData";

template <size_t N>
std::map<std::string, std::string> sectionDefaults(const SFPrefDefault (&table)[N])
{
    std::map<std::string, std::string> values;
    for (const auto& entry : table)
        values.emplace(entry.path, entry.value);
    return values;
}

[[noreturn]] void fail(ZAV::ILogger& logger, const std::string& logged, const std::string& thrown)
{
    logger.logMessage(2, kComponent, logged);
    throw thrown;
}

// Copies one settings file over another atomically (mode 0600). False with the reason.
bool copySettingsFile(const std::string& from, const std::string& to, std::string& error)
{
    std::string text;
    return readBoundedFile(from, kMaxSettingsFileBytes, text, error) &&
           writeFileAtomically(to, text, error);
}

// Called after the live file was loaded or saved whole. A failure costs only the fallback, so
// it is logged and the caller goes on.
void keepLastGoodCopy(ZAV::ILogger& logger)
{
    std::string error;
    if (!copySettingsFile(SF_LIVE_PREFS_PATH, SF_LAST_GOOD_PREFS_PATH, error))
        logger.logMessage(2, kComponent,
                          std::string("Cannot keep the last good settings copy ") +
                              SF_LAST_GOOD_PREFS_PATH + ": " + error);
}

// Renames a refused settings file to "<file>.corrupt" (".corrupt.N" beside earlier ones, never
// over one) and logs the refusal with where the file went, or why it could not be moved.
// Returns where it went, or empty when it stayed.
std::string setAside(ZAV::ILogger& logger, const char* path, const std::string& refusal)
{
    std::string kept;
    std::string error;
    if (keepAsideWithoutReplacing(path, kept, error)) {
        logger.logMessage(2, kComponent, refusal + "; it is kept as " + kept);
        return kept;
    }
    logger.logMessage(2, kComponent, refusal + " and could not be set aside: " + error);
    return {};
}

// Moves a file set aside back to path (through links), never over a file standing there. A
// hard link and an unlink, as neither needs room for data on a full file system.
bool putBack(const std::string& kept, const char* path, std::string& error)
{
    std::string target;
    int failure = resolveLinks(path, target);
    if (failure == 0 && ::link(kept.c_str(), target.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        error = "cannot move " + kept + " back to " + path + ": " + std::strerror(failure);
        return false;
    }
    ::unlink(kept.c_str());
    syncFolder(folderOf(target));
    return true;
}

// The store's file I/O, keeping the last good copy after every save of the live file.
class LastGoodCopyingUtility : public ZAV::IConfigStoreUtility {
public:
    LastGoodCopyingUtility(ZAV::ILogger& logger, std::shared_ptr<ZAV::IConfigStoreUtility> inner)
        : m_logger(logger), m_inner(std::move(inner))
    {
    }

    boost::property_tree::ptree readSettings(const std::string& path) override
    {
        return m_inner->readSettings(path);
    }

    void writeSettings(const std::string& path, const boost::property_tree::ptree& tree) override
    {
        m_inner->writeSettings(path, tree); // a failure throws before the copy is touched
        if (path == SF_LIVE_PREFS_PATH)
            keepLastGoodCopy(m_logger);
    }

private:
    ZAV::ILogger& m_logger; // outlives the store: the controller's logger
    std::shared_ptr<ZAV::IConfigStoreUtility> m_inner;
};

} // namespace

ZAV::ConfigDefaults SFConfigData::defaultPreferences()
{
    return {
        {SF_SECTION_GLOBAL_ID, sectionDefaults(SF_GLOBAL_DEFAULTS)},
        {SF_SECTION_PRODUCT_ID, sectionDefaults(SF_PRODUCT_DEFAULTS)},
        {SF_SECTION_LOGGING_ID, sectionDefaults(SF_LOGGING_DEFAULTS)},
    };
}

SFConfigData::SFConfigData(ZAV::ILogger& logger, std::unique_ptr<ZAV::IConfigStoreUtility> utility,
                           std::shared_ptr<ZAV::IConfigStore> store)
{
    const ZAV::ConfigDefaults defaults = defaultPreferences();

    // The throwing status(): only "not found" counts as missing; any other error (a permission
    // problem on the folder, say) must not make us overwrite what may be a good file.
    const bool liveMissing = !fs::exists(fs::status(SF_LIVE_PREFS_PATH));
    boost::system::error_code unknown;
    const bool lastGoodKept = fs::exists(fs::status(SF_LAST_GOOD_PREFS_PATH, unknown));
    // Only a first install has neither file. A live file missing beside a last good copy was
    // removed by hand or by an interrupted package step, or stayed set aside after a start on
    // a full disk: the copy holds what was set, and the template must not be written over it.
    const bool fromLastGood = liveMissing && lastGoodKept;
    if (liveMissing && !fromLastGood && !copyDefaultPrefs()) {
        const std::string text = "Fatal error after current preferences were missing and default "
                                 "preferences could not be used.";
        fail(logger, text, text);
    }

    try {
        std::shared_ptr<ZAV::IConfigStoreUtility> shared(std::move(utility));
        if (shared)
            shared = std::make_shared<LastGoodCopyingUtility>(logger, std::move(shared));
        store->setConfigStoreUtility(std::move(shared));
    } catch (...) {
        const std::string text = "Fatal error setting configuration store utility";
        fail(logger, text, text);
    }

    // Where the refused live file was set aside, if it was.
    std::string refused;
    if (!fromLastGood) {
        if (store->initialise(SF_LIVE_PREFS_PATH, defaults)) {
            keepLastGoodCopy(logger);
            return;
        }
        // Another copy is about to replace the live file. Keep the refused file, never over an
        // earlier one, so the settings it held can still be recovered by hand.
        refused = setAside(logger, SF_LIVE_PREFS_PATH,
                           std::string("Settings file ") + SF_LIVE_PREFS_PATH + " was refused");
    }
    // What each outcome below is logged with: how the live file came to be replaced.
    const std::string live = std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                             (fromLastGood ? " was missing and" : "");

    if (lastGoodKept) {
        std::string error;
        if (restoreLastGoodPrefs(error)) {
            if (store->initialise(SF_LIVE_PREFS_PATH, defaults)) {
                logger.logMessage(2, kComponent,
                                  live + " was restored from the last good copy " +
                                      SF_LAST_GOOD_PREFS_PATH);
                return;
            }
        } else if (store->initialise(SF_LAST_GOOD_PREFS_PATH, defaults)) {
            // The copy reads, but cannot be written over the live file (a full or read-only
            // file system, or one without a free inode): it is not refused, so it stays as it
            // is and the daemon runs on it, saving changes into it. The refused file goes back
            // in place, so that the next start finds what this one found; where it cannot, the
            // next start finds no live file and restores the copy all the same.
            std::string putBackError;
            const bool inPlace =
                refused.empty() || putBack(refused, SF_LIVE_PREFS_PATH, putBackError);
            logger.logMessage(
                2, kComponent,
                live + " could not be restored from the last good copy " +
                    SF_LAST_GOOD_PREFS_PATH + " (" + error +
                    "): running on the last good copy as it is; a start with room to write "
                    "restores it" +
                    (inPlace ? std::string()
                             : "; the refused file stays at " + refused + " (" + putBackError +
                                   ")"));
            return;
        }
        // The template's copy becomes the next last good copy, so this one is set aside like
        // the live file: kept for a look by hand, never overwritten. The live file holds only
        // a copy of it, if anything.
        setAside(logger, SF_LAST_GOOD_PREFS_PATH,
                 std::string("The last good settings copy ") + SF_LAST_GOOD_PREFS_PATH +
                     (fromLastGood ? " was refused" : " was refused too"));
    }

    if (!copyDefaultPrefs()) {
        const std::string text = "Fatal error after initialisation failed and default preferences "
                                 "could not be copied.";
        fail(logger, text, text);
    }
    if (!store->initialise(SF_LIVE_PREFS_PATH, defaults)) {
        fail(logger, "Fatal error after initialisation failed after default preferences was copied",
             "Fatal error after initialisation failed after default preferences was copied.");
    }
    logger.logMessage(2, kComponent,
                      live + " was replaced by the template " + SF_TEMPLATE_PREFS_PATH +
                          ": there is no usable last good copy " + SF_LAST_GOOD_PREFS_PATH);
    logger.logMessage(5, kComponent,
                      "Initialisation was successful after default preferences was copied");
    keepLastGoodCopy(logger);
}

bool SFConfigData::copyDefaultPrefs()
{
    // Written beside the live file, private, then renamed over it: the live file is never
    // half-written nor readable by others, even for a moment, and a link to it stays a link.
    std::string error;
    return copySettingsFile(SF_TEMPLATE_PREFS_PATH, SF_LIVE_PREFS_PATH, error);
}

bool SFConfigData::restoreLastGoodPrefs(std::string& error)
{
    return copySettingsFile(SF_LAST_GOOD_PREFS_PATH, SF_LIVE_PREFS_PATH, error);
}

} // namespace StatefulFirewall
