#pragma once

// The callback registry: message type -> receivers, in registration order.
//
// Ownership: borrows the receivers and the logger. Threads: any thread may register while the
// command client's run loop reads the registry (the tool registers its command callback after
// the loop started); m_mutex guards the table.

#include "IHelperFactory.h"

#include <map>
#include <mutex>
#include <vector>

namespace ZAV {

class ILogger;

class HelperFactory : public IHelperFactory {
public:
    explicit HelperFactory(ILogger& logger);

    void addFMCallback(int messageType, IFMCallback* callback) override;
    std::vector<IFMCallback*> getFMCallbacks(int messageType) const override;

private:
    ILogger& m_logger;
    mutable std::mutex m_mutex;
    std::map<int, std::vector<IFMCallback*>> m_callbacks; // guarded by m_mutex
};

} // namespace ZAV
