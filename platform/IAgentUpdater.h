#pragma once

// The agent's updater service. Our stand-in agents offer none, so products get a null pointer.

namespace ZAV {

class IAgentUpdater {
public:
    virtual ~IAgentUpdater() = default;
};

} // namespace ZAV
