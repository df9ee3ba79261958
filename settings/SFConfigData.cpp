#include "SFConfigData.h"

#include "ILogger.h"
#include "IConfigStoreUtility.h"
#include "SFPrefKeys.h"

#include <boost/filesystem.hpp>

#include <filesystem>

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

    // The throwing status(): only "not found" leads to the copy; any other error (a permission
    // problem on the folder, say) must not make us overwrite what may be a good file.
    if (!fs::exists(fs::status(SF_LIVE_PREFS_PATH)) && !copyDefaultPrefs()) {
        const std::string text = "Fatal error after current preferences were missing and default "
                                 "preferences could not be used.";
        fail(logger, text, text);
    }

    try {
        store->setConfigStoreUtility(std::shared_ptr<ZAV::IConfigStoreUtility>(std::move(utility)));
    } catch (...) {
        const std::string text = "Fatal error setting configuration store utility";
        fail(logger, text, text);
    }

    if (store->initialise(SF_LIVE_PREFS_PATH, defaults))
        return;

    // The template is about to replace the live file. Keep the refused file, so the settings
    // it held (an enabled firewall, say) can still be recovered by hand.
    boost::system::error_code error;
    fs::rename(SF_LIVE_PREFS_PATH, SF_CORRUPT_PREFS_PATH, error);
    if (error)
        logger.logMessage(2, kComponent,
                          std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                              " was refused and could not be kept as " + SF_CORRUPT_PREFS_PATH +
                              ": " + error.message());
    else
        logger.logMessage(2, kComponent,
                          std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                              " was refused; it is kept as " + SF_CORRUPT_PREFS_PATH);

    if (!copyDefaultPrefs()) {
        const std::string text = "Fatal error after initialisation failed and default preferences "
                                 "could not be copied.";
        fail(logger, text, text);
    }
    if (!store->initialise(SF_LIVE_PREFS_PATH, defaults)) {
        fail(logger, "Fatal error after initialisation failed after default preferences was copied",
             "Fatal error after initialisation failed after default preferences was copied.");
    }
    logger.logMessage(5, kComponent,
                      "Initialisation was successful after default preferences was copied");
}

bool SFConfigData::copyDefaultPrefs()
{
    // Copy beside the live file, make it private, then rename it over: the live file is never
    // half-written nor readable by others, even for a moment. std::filesystem falls back to
    // plain reads and writes when the template lies on another file system (boost 1.74's
    // copy_file does not, and fails with EXDEV there).
    const std::string temp = std::string(SF_LIVE_PREFS_PATH) + ".new";
    std::error_code error;
    std::filesystem::copy_file(SF_TEMPLATE_PREFS_PATH, temp,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (!error)
        std::filesystem::permissions(temp,
                                     std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write,
                                     error);
    if (!error)
        std::filesystem::rename(temp, SF_LIVE_PREFS_PATH, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return false; // the callers turn this into their own fatal message
    }
    return true;
}

} // namespace StatefulFirewall
