#pragma once

// The platform's exception: a code and a message. Unlike the firewall's own SFException it
// derives from std::exception.

#include <exception>
#include <string>
#include <utility>

namespace ZAV {

class FMPException : public std::exception {
public:
    FMPException(int code, std::string message) : m_code(code), m_message(std::move(message)) {}

    int getCode() const noexcept { return m_code; }
    const std::string& getMessage() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    int m_code;
    std::string m_message;
};

} // namespace ZAV
