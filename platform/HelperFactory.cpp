#include "HelperFactory.h"

#include "ILogger.h"

#include <algorithm>
#include <string>

namespace ZAV {

namespace {
const char* const kComponent = "HelperFactory";
}

HelperFactory::HelperFactory(ILogger& logger) : m_logger(logger) {}

void HelperFactory::addFMCallback(int messageType, IFMCallback* callback)
{
    if (callback == nullptr) {
        m_logger.logMessage(2, kComponent,
                            "Refused a null receiver for message type " + std::to_string(messageType));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& receivers = m_callbacks[messageType];
        if (std::find(receivers.begin(), receivers.end(), callback) != receivers.end())
            return;
        receivers.push_back(callback);
    }
    m_logger.logMessage(6, kComponent,
                        "Registered a receiver for message type " + std::to_string(messageType));
}

std::vector<IFMCallback*> HelperFactory::getFMCallbacks(int messageType) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_callbacks.find(messageType);
    return found == m_callbacks.end() ? std::vector<IFMCallback*>() : found->second;
}

} // namespace ZAV
