#pragma once

// The command-line tool's command callback: it sends the tool's requests and takes their
// responses (types 8 and 16). It receives no requests.
//
// Ownership: borrows the logger. Threads: as CommandExchange.

#include "CommandExchange.h"
#include "ICommandFMCallback.h"

#include <list>

namespace ZAV {

class ILogger;

class CommandCallbackForCLIFM : public ICommandFMCallback {
public:
    explicit CommandCallbackForCLIFM(ILogger& logger);

    std::list<int> getSupportedFMMessageTypes() override;
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    void sendCommandRequest(CommandRequest& request, CommandResponse& response,
                            const int& sourceFmId, IFMCommClient& client, bool sendFlag) override;
    void connectionClosed() override;

private:
    CommandExchange m_exchange;
};

} // namespace ZAV
