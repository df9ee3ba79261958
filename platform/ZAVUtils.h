#pragma once

#include "IZAVUtils.h"

#include <chrono>
#include <memory>
#include <string>

namespace ZAV {

class ILogger;
class ZAVSystemUtils;
struct kernelVersion;

// Runs programs with posix_spawn. Thread-safe: every call works on its own descriptors.
//
// The child gets /dev/null as standard input, a pipe as standard error (drained while waiting,
// so a chatty child cannot block) and, in the output variant, the caller's write end as
// standard output; every other descriptor is closed in the child. A child still running after
// the timeout is killed and the call fails. The caller's own pipe is not drained here: a child
// writing more than the pipe holds (64 KiB on Linux) blocks until the timeout kills it.
class ZAVUtils : public IZAVUtils {
public:
    ZAVUtils(std::shared_ptr<ZAVSystemUtils> systemUtils, ILogger& logger,
             std::shared_ptr<kernelVersion> kernel,
             std::chrono::milliseconds timeout = std::chrono::seconds(60));

    bool runCommand(const std::vector<std::string>& argv,
                    const std::map<int, bool>* exitStatusTable) override;
    bool runCommandWithOutput(const std::vector<std::string>& argv,
                              const std::map<int, bool>* exitStatusTable,
                              int* pipeFds) override;
    bool runCommandForAnswer(const std::vector<std::string>& argv, int& exitStatus,
                             std::string& errorText) override;

private:
    // With answer set, any exit status is success and is put there, with the trimmed standard
    // error in errorText.
    struct Answer {
        int* exitStatus;
        std::string* errorText;
    };
    bool run(const std::vector<std::string>& argv, const std::map<int, bool>* exitStatusTable,
             int stdoutFd, const Answer* answer = nullptr);

    std::shared_ptr<ZAVSystemUtils> m_systemUtils;
    ILogger& m_logger;
    std::shared_ptr<kernelVersion> m_kernel;
    std::chrono::milliseconds m_timeout;
    std::string m_componentName;
};

} // namespace ZAV
