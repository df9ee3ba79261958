#pragma once

// Makes sure the configuration store has a usable settings file before the configuration
// controller touches a preference: restores a missing live file from the shipped template,
// initialises the store, and retries once from a fresh copy of the template when the store
// refuses the file. Runs once, inside the controller's construction; keeps no state.

#include "IConfigStore.h"
#include "IConfigStoreUtility.h"

#include <memory>

namespace ZAV {
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

inline constexpr const char* SF_LIVE_PREFS_PATH = "/var/Varnik/kyv/fw/prefs.xml";
inline constexpr const char* SF_TEMPLATE_PREFS_PATH = "/opt/Varnik/kyv/fw/etc/prefs.xml";
// A refused live file is kept here, so what the administrator had set can still be recovered.
inline constexpr const char* SF_CORRUPT_PREFS_PATH = "/var/Varnik/kyv/fw/prefs.xml.corrupt";

class SFConfigData {
public:
    // Throws a std::string holding the logged text when the settings cannot be made usable.
    SFConfigData(ZAV::ILogger& logger, std::unique_ptr<ZAV::IConfigStoreUtility> utility,
                 std::shared_ptr<ZAV::IConfigStore> store);

    // Copies the template over the live file, mode 0600. False when the copy fails.
    bool copyDefaultPrefs();

    // Section id -> path -> default text, every section also mapping its attribute path to its id.
    static ZAV::ConfigDefaults defaultPreferences();
};

} // namespace StatefulFirewall
