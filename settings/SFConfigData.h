#pragma once

// Makes sure the configuration store has a usable settings file before the configuration
// controller touches a preference: initialises the store, and when the store refuses the file
// sets it aside and retries from the last good copy, or from the template when there is none.
// A missing live file is restored from the last good copy the same way; only a first install,
// with neither file, starts from the template at once. Runs once, inside the controller's
// construction; keeps no state.
//
// The last good copy is the settings file as last loaded or saved whole, written atomically
// beside it after each successful load and each save through the store, so a file damaged by
// an interrupted edit or a full disk costs no setting. Only a copy the store refuses is set
// aside; one that merely cannot be written over the live file (a full disk) is what the store
// then runs on, and the next start restores it, whether the refused live file could be put
// back in place or not.

#include "IConfigStore.h"
#include "IConfigStoreUtility.h"

#include <memory>
#include <string>

namespace ZAV {
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

inline constexpr const char* SF_LIVE_PREFS_PATH = "/var/Varnik/kyv/fw/prefs.xml";
inline constexpr const char* SF_TEMPLATE_PREFS_PATH = "/opt/Varnik/kyv/fw/etc/prefs.xml";
// A refused live file is kept here (or at ".corrupt.1" and up when earlier ones are kept), so
// what the administrator had set can still be recovered.
inline constexpr const char* SF_CORRUPT_PREFS_PATH = "/var/Varnik/kyv/fw/prefs.xml.corrupt";
inline constexpr const char* SF_LAST_GOOD_PREFS_PATH = "/var/Varnik/kyv/fw/prefs.xml.last-good";

class SFConfigData {
public:
    // Throws a std::string holding the logged text when the settings cannot be made usable.
    SFConfigData(ZAV::ILogger& logger, std::unique_ptr<ZAV::IConfigStoreUtility> utility,
                 std::shared_ptr<ZAV::IConfigStore> store);

    // Copies the template over the live file, mode 0600. False when the copy fails.
    bool copyDefaultPrefs();
    // Copies the last good copy over the live file. False with the reason in error when it
    // cannot be read or written.
    bool restoreLastGoodPrefs(std::string& error);

    // Section id -> path -> default text, every section also mapping its attribute path to its id.
    static ZAV::ConfigDefaults defaultPreferences();
};

} // namespace StatefulFirewall
