#pragma once

// The property plug-in a product registers with the agent. The agent calls it on its own
// thread, one call at a time, and owns it once it accepted the registration.

#include <string>

namespace ZAV {

class ISectionsHandle;

class IAgentPropertyCollection {
public:
    virtual ~IAgentPropertyCollection() = default;

    // Adds the product's properties to sections; all asks for every property rather than the
    // changed ones. True when the collection ran to its end.
    virtual bool collectProperties(bool all, ISectionsHandle& sections) = 0;
    virtual bool isSoftwareExists(const std::string& softwareId) = 0;
};

} // namespace ZAV
