#include "SFBlockEventQueue.h"

#include "ILogger.h"
#include "IQueueVerdictSink.h"
#include "SFException.h"
#include "SFQueueMessages.h"
#include "SFQueuePacket.h"
#include "SFRuleManager.h"

#include <boost/thread/lock_guard.hpp>

#include <libmnl/libmnl.h>
#include <sys/time.h>

#include <exception>

namespace StatefulFirewall {

std::atomic<SFBlockEventQueue*> SFBlockEventQueue::m_pSelf{nullptr};
boost::mutex SFBlockEventQueue::m_instanceMutex;
std::queue<RuleEventInfo> SFBlockEventQueue::blockEventQueue;
boost::mutex SFBlockEventQueue::m_blockEventQueueMutex;
SFQueueRunner SFBlockEventQueue::m_netlinkSocket;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

constexpr char COMPONENT_NAME[] = "SFBlockEventQueue";

} // namespace

SFBlockEventQueue::SFBlockEventQueue(ZAV::ILogger& logger, IConfigController& config)
    : m_logger(logger), m_componentName(COMPONENT_NAME), m_configController(config)
{
}

SFBlockEventQueue* SFBlockEventQueue::getInstance(ZAV::ILogger& logger, IConfigController& config)
{
    SFBlockEventQueue* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        self = new SFBlockEventQueue(logger, config);
        m_pSelf.store(self);
    }
    return self;
}

void SFBlockEventQueue::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

int SFBlockEventQueue::startBlockEventQueue()
{
    // The run takes copies and the daemon's logger and controller, never the instance, which may
    // be released while the loop runs. Taken under m_instanceMutex, so a release racing this
    // start comes wholly after.
    ZAV::ILogger* logger = nullptr;
    IConfigController* config = nullptr;
    std::string component;
    {
        Lock lock(m_instanceMutex);
        logger = &m_logger;
        config = &m_configController;
        component = m_componentName;
    }
    try {
        MarkLookup lookup = [logger, config](uint16_t mark, KGUID* ruleId) {
            try {
                return SFRuleManager::getInstance(*logger, *config, true)->getNfMarkVsRuleUid(mark, ruleId);
            } catch (const SFException& e) {
                logger->logMessage(2, COMPONENT_NAME, "The rule manager could not be made to look up mark " +
                                                          std::to_string(mark) + ": " + e.message);
            } catch (const std::exception& e) {
                logger->logMessage(2, COMPONENT_NAME, "The rule manager could not be made to look up mark " +
                                                          std::to_string(mark) + ": " + e.what());
            }
            return false;
        };
        m_netlinkSocket.run(
            *logger, component, kBlockEventQueueNumber,
            [logger, lookup](const nlmsghdr* message, IQueueVerdictSink& verdicts) {
                queueHandler(message, verdicts, *logger, lookup);
            },
            false);
    } catch (const std::exception& e) {
        // Only the opening can throw (out of memory); the loop catches its own.
        logger->logMessage(2, COMPONENT_NAME, std::string("Starting the block-event queue failed: ") + e.what());
    }
    return 0;
}

bool SFBlockEventQueue::stopBlockEventQueue()
{
    return m_netlinkSocket.stop(m_logger, m_componentName);
}

void SFBlockEventQueue::clearBlockEventQueue()
{
    Lock lock(m_blockEventQueueMutex);
    blockEventQueue = std::queue<RuleEventInfo>();
}

bool SFBlockEventQueue::readAndRemoveBlockEventQueueEntry(RuleEventInfo* out)
{
    Lock lock(m_blockEventQueueMutex);
    if (out == nullptr || blockEventQueue.empty())
        return false;
    *out = blockEventQueue.front();
    blockEventQueue.pop();
    return true;
}

int SFBlockEventQueue::queueHandler(const nlmsghdr* message, IQueueVerdictSink& verdicts, ZAV::ILogger& logger,
                                    const MarkLookup& lookup)
{
    SFQueuePacket packet;
    if (!SFNetfilterSocket::parseQueuedPacket(message, packet, logger, COMPONENT_NAME))
        return MNL_CB_OK;
    try {
        recordPacket(packet, logger, lookup);
    } catch (const SFException& e) {
        logger.logMessage(2, COMPONENT_NAME, "The block event was not recorded: " + e.message);
    } catch (const std::exception& e) {
        logger.logMessage(2, COMPONENT_NAME, std::string("The block event was not recorded: ") + e.what());
    }
    // Dropped in every case: the rule that queued the packet blocks it.
    blockQueueTraffic(verdicts, logger, packet.queueNumber(), packet.packetId());
    return MNL_CB_OK;
}

void SFBlockEventQueue::recordPacket(const SFQueuePacket& packet, ZAV::ILogger& logger, const MarkLookup& lookup)
{
    {
        Lock lock(m_blockEventQueueMutex);
        if (blockEventQueue.size() >= kMaxEntries)
            return;
    }
    // The block-event chains mark every packet they queue; one without a mark names no rule.
    if (!packet.hasMark())
        return;
    // Rules are numbered in the low 16 bits; the high bits belong to other users of the mark.
    const uint32_t mark = packet.mark();
    const auto key = static_cast<uint16_t>(mark & 0xFFFF);
    KGUID ruleId{};
    if (!lookup || !lookup(key, &ruleId)) {
        logger.logMessage(5, COMPONENT_NAME, "Received packet had a mark of " + std::to_string(key) +
                                                 ", which is not part of an existing rule. Ignoring this packet");
        return;
    }
    logger.logMessage(5, COMPONENT_NAME, "netfilter Mark - " + std::to_string(mark));

    RuleEventInfo event{};
    if (!packet.toBlockEvent(event))
        return;
    event.ruleId = ruleId;
    timeval now{};
    gettimeofday(&now, nullptr);
    event.time = now.tv_sec;

    logger.logMessage(5, COMPONENT_NAME, "Adding data to BlockEvent Queue");
    Lock lock(m_blockEventQueueMutex);
    // Only this loop appends, so the room seen above is still there; checked again all the same.
    if (blockEventQueue.size() < kMaxEntries)
        blockEventQueue.push(event);
}

bool SFBlockEventQueue::blockQueueTraffic(IQueueVerdictSink& verdicts, ZAV::ILogger& logger, uint16_t queueNumber,
                                          uint32_t packetId)
{
    if (verdicts.dropPacket(queueNumber, packetId))
        return true;
    logger.logMessage(2, COMPONENT_NAME, "Error in sending block verdict to netlink queue socket");
    return false;
}

} // namespace StatefulFirewall
