#include "SFCliTurns.h"

#include "CommandRequest.h"
#include "ILogger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace StatefulFirewall {

namespace {

const char* const kComponent = "SFCli";

int lockRetryingInterrupts(int fd, int operation)
{
    int result = 0;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

} // namespace

SFCliTurns::SFCliTurns(ZAV::ICommandFMCallback& sender, ZAV::ILogger& logger, std::string lockPath)
    : m_sender(sender), m_logger(logger), m_lockPath(std::move(lockPath))
{
}

SFCliTurns::~SFCliTurns()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SFCliTurns::sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                                    const int& sourceFmId, ZAV::IFMCommClient& client,
                                    bool sendFlag)
{
    const bool held = takeTurn(request.getCommandId());
    try {
        m_sender.sendCommandRequest(request, response, sourceFmId, client, sendFlag);
    } catch (...) {
        if (held)
            giveTurnBack();
        throw;
    }
    if (held)
        giveTurnBack();
}

bool SFCliTurns::takeTurn(int commandId)
{
    if (m_fd < 0) {
        m_fd = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            m_logger.logMessage(4, kComponent, "Sending without taking turns: cannot open " +
                                                   m_lockPath + ": " + std::strerror(errno));
            return false;
        }
    }
    if (lockRetryingInterrupts(m_fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        m_logger.logMessage(4, kComponent, "Sending without taking turns: cannot lock " +
                                               m_lockPath + ": " + std::strerror(errno));
        return false;
    }
    m_logger.logMessage(5, kComponent, "Command " + std::to_string(commandId) +
                                           " waits for another tqctl's request to be answered");
    if (lockRetryingInterrupts(m_fd, LOCK_EX) != 0) {
        m_logger.logMessage(4, kComponent, "Sending without taking turns: cannot lock " +
                                               m_lockPath + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

void SFCliTurns::giveTurnBack()
{
    if (lockRetryingInterrupts(m_fd, LOCK_UN) != 0) {
        // Closing the file gives the lock back in any case.
        ::close(m_fd);
        m_fd = -1;
    }
}

std::list<int> SFCliTurns::getSupportedFMMessageTypes()
{
    return m_sender.getSupportedFMMessageTypes();
}

int SFCliTurns::callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                           const int& status)
{
    return m_sender.callbackFMToProcessMessage(type, data, size, status);
}

void SFCliTurns::connectionClosed()
{
    m_sender.connectionClosed();
}

} // namespace StatefulFirewall
