#pragma once

// The platform's common (logging) policy: fetched from the platform service once at start-up
// (command 1000) and applied again for every update it pushes (1001). Applying stores the
// logging settings in one save, then sizes and levels the logger by them.
//
// Ownership: borrows the logger and the settings. Thread safety: the fetch runs on the main
// thread, updates on the command client's thread; the class-wide m_enforceCommonPolicyMutex
// serialises every application, and nothing holds it across the fetch's send, which waits for
// the command client's thread.

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace ZAV {
class CommonExtPolicyObj;
class ICommandFMCallback;
class IFMCommClient;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class IConfigController;

class SFCommonPolicyRequestImpl {
public:
    SFCommonPolicyRequestImpl(ZAV::ILogger& logger, IConfigController& config);
    virtual ~SFCommonPolicyRequestImpl() = default;

    // Asks the platform service (framework manager 1) for the policy as fmId and applies it.
    // True when a completed, successful answer was applied.
    bool getCommonPolicySettings(ZAV::ICommandFMCallback& callback, const int& fmId,
                                 ZAV::IFMCommClient& client);
    // Stores the policy's logging settings in one save, then sizes and levels the logger by
    // them. False, with nothing of it applied and the reason logged, when its log path is one
    // the settings cannot take (logPathFault) or the save fails (a read-only folder, a file
    // that would pass its bound). A log size outside the log bounds is refused alone, the
    // stored size kept.
    bool applyCommonPolicySettings(ZAV::CommonExtPolicyObj& policy);

    // Bytes in sizeMiB megabytes, in 64 bits: 999 MiB times five rotated files overflow int.
    static int64_t megabytesToBytes(int sizeMiB) { return int64_t(sizeMiB) * 1048576; }

    // Gives the platform logger a new level and file sizes: at most sizeMiB per file (the
    // settings' default size when sizeMiB is outside the log bounds of SFPrefKeys.h, since a
    // 0-byte limit would rotate every line) and that times the rotated-file count, also held
    // within its bounds, in all. Only the platform logger has these
    // settings; another logger (a test's) is left alone.
    static void resizeLogger(ZAV::ILogger& logger, IConfigController& config, int level,
                             int sizeMiB);
    // Gives the platform logger a level: the first level setter, and with both also the second.
    static void setLoggerLevel(ZAV::ILogger& logger, int level, bool both);
    // The platform logger's current level; 5 for another logger.
    static int loggerLevel(ZAV::ILogger& logger);

private:
    void log(int level, const std::string& message);
    // A policy's log size (which: "product" or "debug") when it is within the log bounds;
    // none, after logging the refusal, otherwise (the stored size is kept).
    std::optional<int> policyLogSize(const char* which, int sizeMiB);

    std::string m_componentName;
    ZAV::ILogger& m_logger;
    IConfigController& m_configController;

    static boost::mutex m_enforceCommonPolicyMutex;
};

} // namespace StatefulFirewall
