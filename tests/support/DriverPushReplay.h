#pragma once

// Drives the iptables driver the way the enforcement bridge does, so the driver is tested in
// the order it is used: a full push (flush of the built-in lines, generation switch, top and
// block-event chains, groups reached from the primary group's jumps, their rules with marks
// from 257, optional adaptive chains, redirection, DROP policies, removal of older generations)
// and a disable. Rule tables are plain descriptions; matches are owned by them.

#include "INetfilter.h"
#include "SFMatch.h"

#include <string>
#include <vector>

namespace StatefulFirewall {
class IConfigController;
}

namespace TestSupport {

struct ReplayRule {
    std::string name;
    int action = StatefulFirewall::FW_ACTION_ALLOW;
    int transport = StatefulFirewall::FW_TRANS_PROTO_ANY;
    int icmpType = StatefulFirewall::FW_MSG_TYPE_UNKNOWN;
    bool log = false;
    bool intrusion = false;
    std::vector<StatefulFirewall::SFMatch> matches;
    int jumpTo = -1; // index into ReplayTable::groups: a jump rule of the primary group
};

struct ReplayGroup {
    std::string chainName; // the name the driver gets: "QTZ_Client", "QTZ_Group_1", ...
    int transport = StatefulFirewall::FW_TRANS_PROTO_ANY;
    int icmpType = StatefulFirewall::FW_MSG_TYPE_UNKNOWN;
    std::vector<StatefulFirewall::SFMatch> matches;
    std::vector<ReplayRule> rules;
};

struct ReplayTable {
    ReplayGroup primary;             // its rules and jumps, in order
    std::vector<ReplayGroup> groups; // walked after the primary group, in this order
    std::vector<std::string> trusted;
    std::string adaptiveGroup;       // when set: the adaptive chains are added for this group
};

// Match builders.
StatefulFirewall::SFMatch portMatch(int kind, uint16_t port, uint16_t lastPort = 0);
StatefulFirewall::SFMatch directionMatch(int direction);
StatefulFirewall::SFMatch mediumMatch(int medium);
StatefulFirewall::SFMatch rangeMatch(int kind, const char* first, const char* last);
StatefulFirewall::SFMatch singleMatch(int kind, const char* address);
StatefulFirewall::SFMatch scheduleMatch(const char* start, const char* end, const char* days,
                                        int action);

struct ReplayResult {
    bool switched = false; // the generation switch (up to the block-event chains) went through
    bool pushed = false;   // the whole push ran and its last ordinary rule was enforced
    std::vector<unsigned short> marks; // marks given to the enforced rules, in walk order
};

ReplayResult replayPush(StatefulFirewall::INetfilter& driver,
                        StatefulFirewall::IConfigController& config, const ReplayTable& table);
void replayDisable(StatefulFirewall::INetfilter& driver);

} // namespace TestSupport
