#pragma once

// The rule mix every benchmark measures with, so the store and push figures describe the same
// kind of table: single ports and port ranges, single addresses, address ranges and CIDR
// blocks, inbound and outbound, a quarter logged, a tenth treated as intrusions (the blocking
// ones), one in fifty with a working-hours schedule. Seeded, so every run builds the same
// table.

namespace StatefulFirewall {

class SFRuleGroup;
class SFRuleTable;

// Adds the four built-in groups to an empty table and count rules to its client group.
void fillBenchTable(SFRuleTable& table, int count);
// Appends count rules to a group (the client group of a table the daemon saved).
void addBenchRules(SFRuleGroup& client, int count);

} // namespace StatefulFirewall
