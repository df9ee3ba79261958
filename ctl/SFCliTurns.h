#pragma once

// Makes tqctl processes take turns at the daemon. The daemon answers one request at a time, so
// a request written while another tool's request (or the push that follows an update) is being
// handled would wait in the daemon's queue, and the tool's reply bound would measure that queue
// instead of the daemon. This sender holds an exclusive lock on a file shared by every tqctl
// from the write of a request until its reply has come (or its bound has passed), so the bound
// starts when the daemon takes the request. The lock is taken per request, not for the whole
// command line: a question on the terminal (a delete without --force) holds up no other tool.
//
// While it holds the turn, the tool keeps a record in the lock file: its pid, the command and
// the steady-clock time at which its own reply bound ends. A tool that waits for the turn says
// so on standard error after a few seconds, naming the holder, and gives up once the holder has
// kept the turn a margin past the end of its bound (a holder that is stopped, or under a
// debugger, would otherwise hold up every tool for ever). A holder that left no record is given
// the longest reply bound. Each new holder restarts the count, so a queue of tools that all get
// their answers in time keeps moving. After giving up, later requests of the run are not sent.
// When the lock file cannot be opened or locked the request is sent without a turn, as before,
// and the log says why.
//
// Ownership: borrows the callback that sends, the logger and the notice stream. Threads: the
// sending thread only.

#include "ICommandFMCallback.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

// Where every tqctl takes its turn: /run is local to the host and empty after a boot.
inline const char* const SF_CLI_TURN_LOCK_PATH = "/run/tqctl.lock";

// What the holder of the turn writes into the lock file. The deadline is on the steady clock
// (CLOCK_MONOTONIC), which every process of the host shares.
struct SFCliTurnRecord {
    pid_t pid = 0;
    int commandId = 0;
    std::chrono::steady_clock::time_point deadline;

    bool operator==(const SFCliTurnRecord& other) const
    {
        return pid == other.pid && commandId == other.commandId && deadline == other.deadline;
    }
};

// One line with a CRC-32 of its fields, so a waiter that reads it while it is being rewritten
// finds it invalid instead of mixing two holders.
std::string formatTurnRecord(const SFCliTurnRecord& record);
// The record of a line formatTurnRecord wrote; nothing for any other text.
std::optional<SFCliTurnRecord> parseTurnRecord(const std::string& text);

// The waiting tool's delays.
struct SFCliTurnTiming {
    // Before the waiting line: a turn handed on within this goes unmentioned.
    std::chrono::milliseconds announceAfter{3000};
    // Past the holder's deadline: its giving back the turn after its reply, or after its wait
    // ran out, takes this little.
    std::chrono::milliseconds margin{5000};
    // For a holder that left no record (another program holding the file): the channel's
    // longest reply bound, that of the commands that push the rule table.
    std::chrono::milliseconds unknownHolderBound{300000};
    // Between tries: the turn changes hands within this.
    std::chrono::milliseconds poll{50};
};

class SFCliTurns : public ZAV::ICommandFMCallback {
public:
    // The wrapped sender's bound on the wait for the reply to a command id.
    using ReplyBound = std::function<std::chrono::seconds(int commandId)>;

    SFCliTurns(ZAV::ICommandFMCallback& sender, ZAV::ILogger& logger, ReplyBound replyBound,
               std::ostream& notices, std::string lockPath = SF_CLI_TURN_LOCK_PATH,
               SFCliTurnTiming timing = {});
    ~SFCliTurns() override;

    SFCliTurns(const SFCliTurns&) = delete;
    SFCliTurns& operator=(const SFCliTurns&) = delete;

    // Waits for the turn, sends through the wrapped callback, then gives the turn back. When
    // the wait runs out, or ran out earlier in the run, nothing is sent and the response stays
    // as it was given (not sent).
    void sendCommandRequest(ZAV::CommandRequest& request, ZAV::CommandResponse& response,
                            const int& sourceFmId, ZAV::IFMCommClient& client,
                            bool sendFlag) override;
    // Responses go to the wrapped callback, which is the one registered for them.
    std::list<int> getSupportedFMMessageTypes() override;
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    void connectionClosed() override;

    // Empty until a wait for the turn ran out; then the sentence that says so, naming the holder.
    const std::string& gaveUp() const { return m_gaveUp; }

private:
    enum class Turn { Held, Untaken, GaveUp };
    Turn takeTurn(int commandId);
    void giveTurnBack();
    // The current holder's record, when it is valid and its process still lives.
    std::optional<SFCliTurnRecord> holder() const;
    // The holder by pid and command line, for the user.
    static std::string describe(const std::optional<SFCliTurnRecord>& holder);

    ZAV::ICommandFMCallback& m_sender;
    ZAV::ILogger& m_logger;
    ReplyBound m_replyBound;
    std::ostream& m_notices;
    std::string m_lockPath;
    SFCliTurnTiming m_timing;
    int m_fd = -1;
    std::string m_gaveUp;
};

} // namespace StatefulFirewall
