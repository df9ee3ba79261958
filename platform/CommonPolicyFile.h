#pragma once

// The common (logging) policy the platform service hands out as command 1000 and pushes as
// command 1001, read from a file of key=value lines.
//
// The keys are the fields the firewall daemon reads: logPath, activityLogging,
// limitActivityLogSize, activityLogSize, debugLogging, limitDebugLogSize, debugLogSize,
// sendEventsToServer, eventLogging, serverLogLevel. Booleans are 0, 1, false or true; numbers
// are decimal and not negative; the log path is at most 4096 bytes and holds no NUL and no
// control character but tab. Blank lines and lines starting with '#' are skipped. Fields the
// file does not name keep the record's defaults. A file over 64 KiB is refused unread.

#include <string>

namespace ZAV {

// The policy as a narrow text archive of one CommonExtPolicyObj, as the daemon reads it.
// False with the file, the line number and the reason in error for an unreadable or too
// large file or the first bad line (unknown or repeated key, missing '=', bad value).
bool readCommonPolicyFile(const std::string& path, std::string& archive, std::string& error);

} // namespace ZAV
