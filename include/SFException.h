#pragma once

// The system's exception: thrown by value, caught by reference. It deliberately has no base
// class, so `catch (const std::exception&)` does not see it; every boundary that must not let
// it escape catches SFException by name.

#include <cstdint>
#include <string>
#include <utility>

namespace StatefulFirewall {

class SFException {
public:
    SFException(int32_t code, std::string message) : code(code), message(std::move(message)) {}

    int32_t code;
    std::string message;
};

} // namespace StatefulFirewall
