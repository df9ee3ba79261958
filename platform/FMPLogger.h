#pragma once

// The platform logger: one log file, rotated by size.
//
// Thread safety: logMessage may be called from any thread; each line is written with a single
// write() under m_mutex, so lines never interleave. The setters take the same mutex.

#include "ILogger.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace ZAV {

class ZAVSystemUtils;

// Logger settings, in the order the programs fill them.
struct loggerConfig {
    int logLevel = 5;          // highest level written (2 error ... 6 debug)
    int logTarget = 0;         // kept and reported back; the file is the only target
    std::string logBaseName;   // kept and reported back
    std::string logFilePath;   // the log file; its folder is created when missing
    int64_t maxFileSize = 0;   // rotate when the file would grow past this many bytes
    int64_t maxTotalSize = 0;  // bytes kept in all: max(1, total / size) - 1 rotated files
    int64_t auxiliarySize = 0; // kept and reported back
    bool fileLogging = true;   // kept and reported back
    int facility = 0;          // kept and reported back
    bool append = true;        // kept and reported back; the file is always opened to append
};

class FMPLogger : public ILogger {
public:
    explicit FMPLogger(std::shared_ptr<ZAVSystemUtils> systemUtils = nullptr);
    ~FMPLogger() override;

    FMPLogger(const FMPLogger&) = delete;
    FMPLogger& operator=(const FMPLogger&) = delete;

    // Takes the settings. Before initialize they are simply stored. Afterwards an empty path
    // or a size <= 0 keeps the current one (a common policy may carry 0), and a new path
    // reopens the file.
    void setLoggerSettings(const loggerConfig* settings);

    // Creates the log folder (0700) and opens the file (0600, append). False when either fails.
    bool initialize(int logLevel, int secondaryLevel, std::string moduleName, std::string version);

    void logMessage(int level, std::string component, std::string message) noexcept override;

    void setVendorName(std::string name);
    void setProductName(std::string name);
    void setProductVersion(std::string version);

    // The first level filters what is written; the second is kept and reported back.
    void setLogLevel(int level);
    void setSecondaryLogLevel(int level);

    int getLogLevel() const;
    int getSecondaryLogLevel() const;
    int64_t getMaxFileSize() const;
    int64_t getMaxTotalSize() const;
    int64_t getAuxiliarySize() const;
    bool getFileLogging() const;

private:
    bool openLocked();          // opens m_config.logFilePath; needs m_mutex
    void rotateLocked();        // shifts path -> path.1 -> path.2 ...; needs m_mutex
    int keptRotatedFiles() const;

    std::shared_ptr<ZAVSystemUtils> m_systemUtils;
    mutable std::mutex m_mutex;   // guards everything below but the levels
    loggerConfig m_config;
    std::string m_moduleName;
    std::string m_version;
    std::string m_vendorName;
    std::string m_productName;
    std::string m_productVersion;
    int m_fd = -1;
    int64_t m_fileSize = 0;
    std::atomic<int> m_logLevel{5};
    std::atomic<int> m_secondaryLevel{5};
};

} // namespace ZAV
