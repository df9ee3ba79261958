#include "SFCliTurns.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "ILogger.h"
#include "SFCliCommands.h"
#include "SFCliStringConstants.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/crc.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <thread>
#include <vector>

namespace StatefulFirewall {

namespace C = SFCliStringConstants;

namespace {

const char* const kComponent = "SFCli";
// Far above any record formatTurnRecord writes; a longer text is no record.
constexpr size_t kRecordLimit = 128;
// Of a holder's command line shown to the user.
constexpr std::streamsize kCommandLineLimit = 256;
// A reply bound beyond this is taken as this, so the deadline cannot overflow.
constexpr std::chrono::hours kLongestBound{24};

int lockRetryingInterrupts(int fd, int operation)
{
    int result = 0;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

uint32_t checksum(const std::string& text)
{
    boost::crc_32_type crc;
    crc.process_bytes(text.data(), text.size());
    return crc.checksum();
}

std::string recordFields(const SFCliTurnRecord& record)
{
    return "pid=" + std::to_string(record.pid) + " command=" + std::to_string(record.commandId) +
           " deadline=" + std::to_string(record.deadline.time_since_epoch().count());
}

// The value of "key=value" when token is one, read whole as a decimal (or hexadecimal) number.
template <class T>
bool fieldValue(const std::string& token, const char* key, T& value, int base = 10)
{
    const size_t keyLength = std::strlen(key);
    if (token.size() <= keyLength + 1 || token.compare(0, keyLength, key) != 0 ||
        token[keyLength] != '=')
        return false;
    const char* first = token.data() + keyLength + 1;
    const char* last = token.data() + token.size();
    // from_chars takes a minus sign for signed types; no field is negative.
    if (*first == '-')
        return false;
    const auto [end, error] = std::from_chars(first, last, value, base);
    return error == std::errc() && end == last;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::pwrite(fd, text.data() + done, text.size() - done,
                                         static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    int result = 0;
    do {
        result = ::ftruncate(fd, static_cast<off_t>(text.size()));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

} // namespace

std::string formatTurnRecord(const SFCliTurnRecord& record)
{
    const std::string fields = recordFields(record);
    char check[9];
    std::snprintf(check, sizeof(check), "%08x", checksum(fields));
    return fields + " check=" + check + "\n";
}

std::optional<SFCliTurnRecord> parseTurnRecord(const std::string& text)
{
    if (text.size() > kRecordLimit || text.empty() || text.back() != '\n')
        return std::nullopt;
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, text.substr(0, text.size() - 1), boost::is_any_of(" "));
    SFCliTurnRecord record;
    std::chrono::steady_clock::rep deadline = 0;
    uint32_t check = 0;
    if (tokens.size() != 4 || !fieldValue(tokens[0], "pid", record.pid) || record.pid <= 0 ||
        !fieldValue(tokens[1], "command", record.commandId) ||
        !fieldValue(tokens[2], "deadline", deadline) || tokens[3].size() != 6 + 8 ||
        !fieldValue(tokens[3], "check", check, 16))
        return std::nullopt;
    using Clock = std::chrono::steady_clock;
    record.deadline = Clock::time_point(Clock::duration(deadline));
    // The check covers the fields as written, so a record read half-rewritten fails it.
    if (checksum(recordFields(record)) != check ||
        text.compare(0, text.find(" check="), recordFields(record)) != 0)
        return std::nullopt;
    return record;
}

SFCliTurns::SFCliTurns(ZAV::ICommandFMCallback& sender, ZAV::ILogger& logger, ReplyBound replyBound,
                       std::ostream& notices, std::string lockPath, SFCliTurnTiming timing)
    : m_sender(sender),
      m_logger(logger),
      m_replyBound(std::move(replyBound)),
      m_notices(notices),
      m_lockPath(std::move(lockPath)),
      m_timing(timing)
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
    if (!m_gaveUp.empty()) {
        // The holder that outlasted its bound would hold up this request the same way.
        response.clearReceivedReply();
        m_logger.logMessage(4, kComponent, "Command " + std::to_string(request.getCommandId()) +
                                               " not sent: an earlier wait for the turn ran out");
        return;
    }
    const Turn turn = takeTurn(request.getCommandId());
    if (turn == Turn::GaveUp) {
        response.clearReceivedReply();
        return;
    }
    try {
        m_sender.sendCommandRequest(request, response, sourceFmId, client, sendFlag);
    } catch (...) {
        if (turn == Turn::Held)
            giveTurnBack();
        throw;
    }
    if (turn == Turn::Held)
        giveTurnBack();
}

SFCliTurns::Turn SFCliTurns::takeTurn(int commandId)
{
    if (m_fd < 0) {
        m_fd = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            m_logger.logMessage(4, kComponent, "Sending without taking turns: cannot open " +
                                                   m_lockPath + ": " + std::strerror(errno));
            return Turn::Untaken;
        }
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::optional<SFCliTurnRecord> seen;
    Clock::time_point seenSince = start;
    bool announced = false;
    for (bool first = true;; first = false) {
        if (!first)
            std::this_thread::sleep_for(m_timing.poll);
        if (lockRetryingInterrupts(m_fd, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK) {
            m_logger.logMessage(4, kComponent, "Sending without taking turns: cannot lock " +
                                                   m_lockPath + ": " + std::strerror(errno));
            return Turn::Untaken;
        }
        if (first)
            m_logger.logMessage(5, kComponent,
                                "Command " + std::to_string(commandId) +
                                    " waits for another tqctl's request to be answered");
        const Clock::time_point now = Clock::now();
        // Each holder is given its own bound, counted from when it was first seen holding.
        const std::optional<SFCliTurnRecord> current = holder();
        if (!(current == seen)) {
            seen = current;
            seenSince = now;
        }
        const Clock::time_point longest = seenSince + m_timing.unknownHolderBound;
        const Clock::time_point limit = (seen ? std::min(seen->deadline, longest) : longest) +
                                        m_timing.margin;
        if (!announced && now - start >= m_timing.announceAfter) {
            m_notices << C::CLI_TURN_WAITING_MSG << describe(seen) << std::endl;
            announced = true;
        }
        if (now >= limit) {
            m_gaveUp = C::CLI_TURN_TIMEOUT_MSG + describe(seen);
            m_logger.logMessage(4, kComponent, "Command " + std::to_string(commandId) +
                                                   " not sent: " + m_gaveUp);
            return Turn::GaveUp;
        }
    }

    SFCliTurnRecord record;
    record.pid = ::getpid();
    record.commandId = commandId;
    std::chrono::seconds bound = m_replyBound
                                     ? m_replyBound(commandId)
                                     : std::chrono::duration_cast<std::chrono::seconds>(
                                           m_timing.unknownHolderBound);
    bound = std::clamp<std::chrono::seconds>(bound, std::chrono::seconds(0), kLongestBound);
    record.deadline = Clock::now() + bound;
    if (!writeAll(m_fd, formatTurnRecord(record)))
        // Waiters then see a holder without record, which they give the longest bound.
        m_logger.logMessage(4, kComponent, "The turn is held without its record: cannot write " +
                                               m_lockPath + ": " + std::strerror(errno));
    return Turn::Held;
}

void SFCliTurns::giveTurnBack()
{
    // The record goes before the lock, so it never outlives this holder's turn.
    int result = 0;
    do {
        result = ::ftruncate(m_fd, 0);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        m_logger.logMessage(4, kComponent, "Cannot clear the turn's record in " + m_lockPath +
                                               ": " + std::strerror(errno));
    if (lockRetryingInterrupts(m_fd, LOCK_UN) != 0) {
        // Closing the file gives the lock back in any case.
        ::close(m_fd);
        m_fd = -1;
    }
}

std::optional<SFCliTurnRecord> SFCliTurns::holder() const
{
    char buffer[kRecordLimit + 1];
    ssize_t size = 0;
    do {
        size = ::pread(m_fd, buffer, sizeof(buffer), 0);
    } while (size < 0 && errno == EINTR);
    if (size <= 0)
        return std::nullopt;
    std::optional<SFCliTurnRecord> record =
        parseTurnRecord(std::string(buffer, static_cast<size_t>(size)));
    // A record whose process is gone was left by a holder that died; whoever holds the file
    // now left none.
    if (record && ::kill(record->pid, 0) != 0 && errno == ESRCH)
        return std::nullopt;
    return record;
}

std::string SFCliTurns::describe(const std::optional<SFCliTurnRecord>& holder)
{
    if (!holder)
        return C::CLI_TURN_HOLDER_UNKNOWN;
    std::string text = "process " + std::to_string(holder->pid);
    std::ifstream file("/proc/" + std::to_string(holder->pid) + "/cmdline", std::ios::binary);
    std::string commandLine(static_cast<size_t>(kCommandLineLimit), '\0');
    file.read(&commandLine[0], kCommandLineLimit);
    commandLine.resize(static_cast<size_t>(file.gcount()));
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    while (!commandLine.empty() && commandLine.back() == ' ')
        commandLine.pop_back();
    if (!commandLine.empty())
        text += " (" + SFCliCommands::terminalSafeText(commandLine) + ")";
    return text;
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
