#pragma once

// The system calls behind the channel's socket. Stateless, so any thread may use it.

#include "ISocketUtils.h"

namespace ZAV {

class UnixDomainSocketUtils : public ISocketUtils {
public:
    int openStreamSocket(int& error) override;
    int connectSocket(int fd, const std::string& path) override;
    int sendAll(int fd, const char* bytes, std::size_t size) override;
    long receiveSome(int fd, char* buffer, std::size_t capacity, int& error) override;
    int shutdownSocket(int fd) override;
    int closeSocket(int fd) override;
};

} // namespace ZAV
