#pragma once

// Checks that a test runs inside tests/sandbox before it touches iptables, netlink, sockets or
// the product's fixed paths, so a test run by hand outside the sandbox cannot harm the host.

#include <string>

namespace TestSupport {

// Empty when this process runs inside the sandbox: the sandbox's marker is set, the network
// namespace differs from the host's one recorded before unshare, and /opt/Varnik, /var/Varnik,
// /etc/wz.d and /run are tmpfs mounts. Otherwise a sentence saying what is wrong.
std::string sandboxProblem();

// Empties the product's fixed folders and lays out the sandbox's fresh state again (the
// iptables link below /opt/Varnik/kyv/fw/bin, /var/Varnik/kyv/{fw,zav,log/fw}). Refuses, by
// throwing std::runtime_error, unless sandboxProblem() is empty.
void resetProductPaths();

} // namespace TestSupport

// Fails the current test at once when not inside the sandbox.
#define TQ_REQUIRE_SANDBOX() ASSERT_EQ(::TestSupport::sandboxProblem(), std::string())
