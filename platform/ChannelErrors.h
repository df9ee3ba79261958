#pragma once

// FMPException codes of the command channel's sockets, client and command objects. The frame
// codes (kMalformedFrame, kInvalidFrame, kFrameBufferFull) are in ChannelFrame.h.

namespace ZAV {

// The socket has no open connection (never connected, or closed after a break or a stop).
constexpr int kNotConnected = 23;
// Nobody accepts connections on the socket's path, or the path cannot be used.
constexpr int kConnectFailed = 24;
// Writing to or reading from the connection failed; the system's error text is in the message.
constexpr int kSocketIoFailed = 25;
// The connection ended while the client's run loop was reading it.
constexpr int kConnectionBroken = 26;
// A command was sent from the thread that delivers its reply, which could therefore never come.
constexpr int kSendFromRunLoop = 27;
// Wide archive text that cannot travel as UTF-8 (a character that is no Unicode code point,
// which is what a wide archive makes of a non-ASCII byte of a std::string).
constexpr int kWideTextNotEncodable = 28;
// A second run loop was started on a client whose loop is already running.
constexpr int kAlreadyRunning = 29;

} // namespace ZAV
