#pragma once

// The logging settings of a common policy, which IConfigController::setLoggingSettings stores
// together: all of them or none.

#include <optional>
#include <string>

namespace StatefulFirewall {

struct SFLoggingSettings {
    std::string logPath;
    bool activityLogging = true;
    bool limitActivityLogSize = true;
    std::optional<int> activityLogSizeMiB; // none: the stored size is kept
    bool debugLogging = false;             // the firewall's debug log
    bool limitDebugLogSize = true;
    std::optional<int> debugLogSizeMiB; // none: the stored size is kept
    bool sendEventsToYal = false;
    bool eventLogging = true;
    int yalLogLevel = 0;
    int firewallLogLevel = 5;
};

} // namespace StatefulFirewall
