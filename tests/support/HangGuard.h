#pragma once

// The only upper bound on wall-clock time a test may assert: a guard against a hang. The suite
// runs beside other builds on shared cores, where a step that takes milliseconds on an idle
// machine can take seconds, so the guard sits far above any such delay. Waits that end as soon
// as their condition holds cost nothing when the code works; only a real hang pays the guard.

#include <chrono>

namespace TestSupport {

inline constexpr std::chrono::seconds kHangGuard{30};

} // namespace TestSupport
