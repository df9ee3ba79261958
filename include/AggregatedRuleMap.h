#pragma once

// What adaptive learning hands the daemon for one protocol, kind of remote address and
// direction: service port (the responder's port) -> local subnet ("network/prefix", as the
// interface monitor writes it) -> the remote sources allowed to reach it. A source is a dotted
// address, a network written like a subnet, or the single keyword "any". Ordered maps keep the
// rules the daemon builds from it in a stable order.

#include <map>
#include <string>
#include <vector>

namespace StatefulFirewall {

using AggregatedRuleMap = std::map<int, std::map<std::string, std::vector<std::string>>>;

} // namespace StatefulFirewall
