// Adds the benchmark's rule mix to the client group of a rule store tqd saved (with its
// built-in groups and the default group's jumps) and writes it back with the stores' own codec
// and file writer, so tqd loads the table at start-up as if it had saved it itself.
//
//   tq-bench-push-store <rules> <store path>
//   tq-bench-push-store --intrusion-udp <port> <store path>
//       one rule instead: block inbound UDP to the local port and treat it as an intrusion
//       (the block-event benchmark's target)

#include "BenchRuleMix.h"
#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "SFStoreFile.h"

#include <boost/lexical_cast.hpp>

#include <iostream>
#include <string>

using namespace StatefulFirewall;

namespace {

int number(const char* text)
{
    try {
        return boost::lexical_cast<int>(text);
    } catch (const boost::bad_lexical_cast&) {
        return -1;
    }
}

void addIntrusionRule(SFRuleGroup& client, int port)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = client.groupId;
    rule->name = "Intrusion UDP " + std::to_string(port);
    rule->enabled = true;
    rule->action = FW_ACTION_BLOCK_PACKET;
    rule->transport = FW_TRANS_PROTO_UDP;
    rule->netProto = NET_PROTO_IP;
    rule->treatAsIntrusion = true;
    auto* direction = new SFMatch();
    direction->matchType = FW_MATCH_DIRECTION;
    direction->matchOp = FW_MATCH_OP_EQUAL;
    direction->value.intValue = FW_DIRECTION_INBOUND;
    rule->matches.push_back(direction);
    auto* local = new SFMatch();
    local->matchType = FW_MATCH_LOCAL_PORT;
    local->addressType = FW_ADDRESS_TYPE_SINGLE;
    local->matchOp = FW_MATCH_OP_EQUAL;
    local->setPortNumber(static_cast<uint16_t>(port), 0);
    rule->matches.push_back(local);
    client.rules.push_back(rule);
    client.updateAllRuleIndex();
}

} // namespace

int main(int argc, char** argv)
{
    const bool intrusion = argc == 4 && std::string(argv[1]) == "--intrusion-udp";
    if (argc != 3 && !intrusion) {
        std::cerr << "usage: tq-bench-push-store <rules> <store path>\n"
                     "       tq-bench-push-store --intrusion-udp <port> <store path>\n";
        return 2;
    }
    const int value = number(argv[argc - 2]);
    if (value < 0 || (intrusion && (value == 0 || value > 65535))) {
        std::cerr << "tq-bench-push-store: bad number " << argv[argc - 2] << '\n';
        return 2;
    }
    const int count = intrusion ? 1 : value;
    const SFStoreFile file(argv[argc - 1]);
    std::string bytes;
    std::string error;
    if (file.read(bytes, error) != SFStoreFile::ReadResult::Read) {
        std::cerr << "tq-bench-push-store: cannot read " << argv[argc - 1] << ": " << error << '\n';
        return 1;
    }
    SFRuleTable table;
    decodeRuleStore(bytes, table);
    SFRuleGroup* client = table.findGroup(table.clientGroupId);
    if (client == nullptr) {
        std::cerr << "tq-bench-push-store: " << argv[argc - 1] << " has no client group\n";
        return 1;
    }
    const size_t builtIn = client->rules.size();
    if (intrusion)
        addIntrusionRule(*client, value);
    else
        addBenchRules(*client, count);
    bytes = encodeRuleStore(table);

    // Read back and counted: the push measured later must start from these rules.
    SFRuleTable check;
    decodeRuleStore(bytes, check);
    const SFRuleGroup* written = check.findGroup(table.clientGroupId);
    if (written == nullptr || written->rules.size() != builtIn + static_cast<size_t>(count)) {
        std::cerr << "tq-bench-push-store: the encoded store does not hold " << count << " rules\n";
        return 1;
    }
    if (!file.replace(bytes, error)) {
        std::cerr << "tq-bench-push-store: cannot write " << argv[argc - 1] << ": " << error << '\n';
        return 1;
    }
    std::cout << bytes.size() << '\n';
    return 0;
}
