#include "TqStoreBridgeRules.h"

#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "TqStoreBridgeOutput.h"

namespace StatefulFirewall {

namespace {

const TqStoreBridgeTexts RULE_STORE_TEXTS = {
    "Unable to open output file to migrate rule store",
    "Boost exception caught while saving rule store - ",
    "Unknown exception caught while saving rule store - ",
};

} // namespace

TqStoreBridgeRules::TqStoreBridgeRules() = default;
TqStoreBridgeRules::~TqStoreBridgeRules() = default;

int TqStoreBridgeRules::saveRuleStore(SFRuleTable& table, std::string& path)
{
    return TqStoreBridgeOutput::save([&table] { return encodeRuleStore(table); }, path,
                                     RULE_STORE_TEXTS);
}

} // namespace StatefulFirewall
