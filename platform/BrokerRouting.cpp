// Registrations, and the routing of requests and responses between connections.

#include "Broker.h"

#include "ILogger.h"

#include <climits>
#include <vector>

namespace ZAV {

namespace {

const char kComponent[] = "ZAVBroker";

constexpr int32_t kServiceFmId = 1;
// The command-line tool: many may run at once, so its id is shared and never a destination.
constexpr int32_t kToolFmId = 3000;

ResponseFrame notCompleted(const RequestRecord& request)
{
    ResponseFrame response;
    response.type = kAltResponseType;
    response.record.commandId = request.commandId;
    response.record.requesterFmId = request.sourceFmId;
    response.record.responderFmId = request.destFmId;
    response.record.cookie = request.cookie;
    return response;
}

} // namespace

void Broker::handleFrame(Connection& connection, Frame& frame)
{
    if (auto* f = std::get_if<RegisterFrame>(&frame))
        handleRegister(connection, *f);
    else if (auto* f = std::get_if<DeregisterFrame>(&frame))
        handleDeregister(connection, *f);
    else if (auto* f = std::get_if<RequestFrame>(&frame))
        handleRequest(connection, *f);
    else if (auto* f = std::get_if<ResponseFrame>(&frame))
        handleResponse(connection, *f);
    else
        m_logger.logMessage(4, kComponent, "Ignored a registration acknowledgement sent by connection " +
                                               std::to_string(connection.serial) +
                                               ": only the service sends them");
}

Broker::Connection* Broker::forwardTarget(const Connection& connection, const Frame& frame)
{
    const auto* request = std::get_if<RequestFrame>(&frame);
    if (request == nullptr || connection.registration != Registration::Active ||
        request->record.destFmId == kServiceFmId)
        return nullptr;
    return routeOf(request->record);
}

Broker::Connection* Broker::routeOf(const RequestRecord& record)
{
    return record.destFmId == kToolFmId ? nullptr : activeHolder(record.destFmId);
}

void Broker::handleRegister(Connection& connection, const RegisterFrame& frame)
{
    std::string refusal;
    if (frame.fmId == kServiceFmId) {
        refusal = "id 1 is the platform service's own";
    } else if (frame.fmId <= 0) {
        refusal = "it is not a framework-manager id";
    } else if (connection.registration != Registration::None && connection.fmId != frame.fmId) {
        refusal = "the connection is already registered as " + std::to_string(connection.fmId);
    } else if (m_options.ackStatus == 0) {
        refusal = "this service refuses every registration";
    } else if (frame.fmId != kToolFmId) {
        // Held also while waiting for its acknowledgement; a connection closing this turn
        // no longer holds anything.
        const auto it = m_exclusive.find(frame.fmId);
        const Connection* holder = it == m_exclusive.end() ? nullptr : find(it->second);
        if (holder != nullptr && holder != &connection && !holder->dead)
            refusal = "connection " + std::to_string(holder->serial) + " (pid " +
                      std::to_string(holder->registeredPid) + ") holds it";
    }

    const std::string what = "registration of fm id " + std::to_string(frame.fmId) + " by pid " +
                             std::to_string(frame.pid) + " on connection " +
                             std::to_string(connection.serial);
    if (!refusal.empty()) {
        m_logger.logMessage(4, kComponent, "Refused " + what + ": " + refusal);
        queueFrame(connection, RegAckFrame{frame.fmId, 0});
        return;
    }

    connection.fmId = frame.fmId;
    connection.registeredPid = frame.pid;
    if (frame.fmId != kToolFmId)
        m_exclusive[frame.fmId] = connection.serial;
    // A repeated registration keeps an active one routable; only a new one waits for its ack.
    if (connection.registration == Registration::None)
        connection.registration = Registration::Waiting;
    m_logger.logMessage(5, kComponent, "Accepted " + what);

    if (m_options.noAck)
        m_logger.logMessage(5, kComponent, "Not acknowledging the " + what + " (test option)");
    else if (m_options.ackDelaySecs > 0)
        connection.ackDue = Clock::now() + std::chrono::seconds(m_options.ackDelaySecs);
    else
        acknowledge(connection);
}

void Broker::acknowledge(Connection& connection)
{
    // Routing starts only now, so no request reaches a peer that does not yet know it is registered.
    connection.registration = Registration::Active;
    queueFrame(connection, RegAckFrame{connection.fmId, 1});
    m_logger.logMessage(6, kComponent, "Acknowledged fm id " + std::to_string(connection.fmId) +
                                           " on connection " + std::to_string(connection.serial));
}

void Broker::handleDeregister(Connection& connection, const DeregisterFrame& frame)
{
    if (connection.registration == Registration::None || connection.fmId != frame.fmId) {
        m_logger.logMessage(4, kComponent,
                            "Ignored deregistration of fm id " + std::to_string(frame.fmId) +
                                " on connection " + std::to_string(connection.serial) +
                                ": the connection does not hold it");
        return;
    }
    m_logger.logMessage(5, kComponent, "Deregistered fm id " + std::to_string(frame.fmId) + " (pid " +
                                           std::to_string(frame.pid) + ") on connection " +
                                           std::to_string(connection.serial));
    forgetRegistration(connection);
}

void Broker::forgetRegistration(Connection& connection)
{
    if (connection.registration == Registration::None)
        return;
    const auto it = m_exclusive.find(connection.fmId);
    if (it != m_exclusive.end() && it->second == connection.serial)
        m_exclusive.erase(it);
    connection.registration = Registration::None;
    connection.fmId = 0;
    connection.ackDue.reset();
}

Broker::Connection* Broker::activeHolder(int32_t fmId)
{
    const auto it = m_exclusive.find(fmId);
    if (it == m_exclusive.end())
        return nullptr;
    Connection* holder = find(it->second);
    if (holder == nullptr || holder->dead || holder->registration != Registration::Active)
        return nullptr;
    return holder;
}

int32_t Broker::nextCookie()
{
    // Cookies stay positive and skip those still owed an answer, so no two pending requests
    // ever share one, even after the counter wraps.
    do {
        m_lastCookie = m_lastCookie == INT32_MAX ? 1 : m_lastCookie + 1;
    } while (m_pending.count(m_lastCookie) != 0);
    return m_lastCookie;
}

void Broker::answerNotCompleted(Connection& connection, const RequestRecord& record)
{
    queueFrame(connection, notCompleted(record));
}

void Broker::handleRequest(Connection& connection, RequestFrame& frame)
{
    RequestRecord& record = frame.record;
    if (connection.registration != Registration::Active) {
        m_logger.logMessage(4, kComponent, "Command " + std::to_string(record.commandId) +
                                               " from unregistered connection " +
                                               std::to_string(connection.serial) +
                                               " answered as not completed");
        answerNotCompleted(connection, record);
        return;
    }
    // The sender is who registered on this connection, whatever the record says.
    record.sourceFmId = connection.fmId;
    if (record.destFmId == kServiceFmId) {
        answerServiceCommand(connection, frame);
        return;
    }
    Connection* destination = routeOf(record);
    if (destination == nullptr) {
        m_logger.logMessage(6, kComponent, "Command " + std::to_string(record.commandId) + " from fm id " +
                                               std::to_string(record.sourceFmId) + " to absent fm id " +
                                               std::to_string(record.destFmId) +
                                               " answered as not completed");
        answerNotCompleted(connection, record);
        return;
    }
    // Requesters choose their cookies independently; the broker's own cookie tells the
    // answers apart, and the requester gets its cookie back with the answer.
    const int32_t cookie = nextCookie();
    m_pending[cookie] = Pending{connection.serial, record.cookie,         record.sourceFmId,
                                destination->serial, record.destFmId, record.commandId};
    record.cookie = cookie;
    queueFrame(*destination, frame);
}

void Broker::handleResponse(Connection& connection, ResponseFrame& frame)
{
    ResponseRecord& record = frame.record;
    const auto it = m_pending.find(record.cookie);
    if (it == m_pending.end() || it->second.destination != connection.serial) {
        m_logger.logMessage(4, kComponent, "Dropped a response to command " +
                                               std::to_string(record.commandId) + " with cookie " +
                                               std::to_string(record.cookie) + " from connection " +
                                               std::to_string(connection.serial) +
                                               ": no request with that cookie went there");
        return;
    }
    const Pending pending = it->second;
    m_pending.erase(it);
    if (pending.origin == 0) {
        // The service's own push (the common policy) has no requester to hand a refusal to:
        // this line is where the refusal shows.
        const bool done = record.completed != 0 && record.status != 0;
        m_logger.logMessage(done ? 5 : 2, kComponent,
                            "Fm id " + std::to_string(pending.destFmId) + " answered command " +
                                std::to_string(pending.commandId) + ": completed " +
                                std::to_string(record.completed) + ", status " +
                                std::to_string(record.status));
        return;
    }
    Connection* origin = find(pending.origin);
    if (origin == nullptr || origin->dead) {
        m_logger.logMessage(6, kComponent, "Dropped the answer to command " +
                                               std::to_string(pending.commandId) +
                                               ": its requester has gone");
        return;
    }
    record.cookie = pending.originCookie;
    record.requesterFmId = pending.requesterFmId;
    record.responderFmId = pending.destFmId;
    queueFrame(*origin, frame);
}

void Broker::failPendingTo(const Connection& connection)
{
    std::vector<Pending> owed;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.destination == connection.serial) {
            owed.push_back(it->second);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    if (owed.empty())
        return;
    m_logger.logMessage(5, kComponent, "Answering " + std::to_string(owed.size()) +
                                           " requests to closed connection " +
                                           std::to_string(connection.serial) + " as not completed");
    for (const Pending& pending : owed) {
        Connection* origin = pending.origin == 0 ? nullptr : find(pending.origin);
        if (origin == nullptr)
            continue;
        RequestRecord request;
        request.commandId = pending.commandId;
        request.sourceFmId = pending.requesterFmId;
        request.destFmId = pending.destFmId;
        request.cookie = pending.originCookie;
        answerNotCompleted(*origin, request);
    }
}

} // namespace ZAV
