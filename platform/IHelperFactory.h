#pragma once

// The callback registry: which receivers get the messages of each type.

#include <vector>

namespace ZAV {

class IFMCallback;

class IHelperFactory {
public:
    virtual ~IHelperFactory() = default;

    // Later messages of messageType also go to callback (not owned; it must outlive every
    // client that uses this registry). Registering the same pair twice changes nothing.
    virtual void addFMCallback(int messageType, IFMCallback* callback) = 0;

    // The receivers of messageType, in the order they were registered.
    virtual std::vector<IFMCallback*> getFMCallbacks(int messageType) const = 0;
};

} // namespace ZAV
