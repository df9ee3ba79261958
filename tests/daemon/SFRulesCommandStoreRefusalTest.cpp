// Rule and trusted-network changes whose store cannot be written, through the dispatcher with
// the real managers on a temporary store folder: each is answered 150001 and leaves the table
// or list as it was (places and enforcement included), and the same request succeeds once the
// folder is back. Rules too large for the store are refused alike, within a memory ceiling.

#include "RulesCommandFixture.h"

#include "ArchiveTexts.h"
#include "MemoryCeiling.h"
#include "SFCheckedRead.h"
#include "SFResultCodes.h"
#include "SFStoreCodec.h"

#include <boost/archive/text_oarchive.hpp>

#include <sstream>

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

using namespace StatefulFirewall;
using namespace TestSupport;
using namespace TestSupport::model;

namespace {

SFRule allowRule(const std::string& name)
{
    SFRule rule;
    rule.ruleId = CommonFunc::generateGUID();
    rule.groupId = kClient;
    rule.name = name;
    rule.enabled = true;
    rule.position = -1;
    rule.action = FW_ACTION_ALLOW;
    return rule;
}

// The names of the client group's rules in a rule store file, without the group's own rules
// (those the settings add, whose names are not the test's).
std::vector<std::string> storedClientRuleNames(const std::string& path)
{
    SFRuleTable table;
    decodeRuleStore(readFile(path), table);
    std::vector<std::string> names;
    for (const SFRuleGroup* group : table.groups)
        if (CommonFunc::textGUID(group->groupId) == CommonFunc::textGUID(kClient))
            for (const SFRule* rule : group->rules)
                if (rule->name == "first" || rule->name == "second" || rule->name == "third" ||
                    rule->name == "unkept")
                    names.push_back(rule->name);
    return names;
}

class SFRulesCommandStoreRefusalTest : public RulesCommandFixture {
protected:
    // Root ignores file modes: the folder goes, so no write into it can succeed.
    void breakStores() { boost::filesystem::remove_all(m_dir.file("stores")); }
    void mendStores() { boost::filesystem::create_directories(m_dir.file("stores")); }

    // The int result of a reply whose data starts with it, and the reply's status flag.
    int result(const ZAV::CommandRequest& request, bool* status = nullptr)
    {
        const CapturedReply reply = run(request);
        if (status != nullptr)
            *status = reply.record.status != 0;
        return code(reply);
    }

    // The client group's rules as name, place and enforcement.
    std::vector<std::string> clientRules()
    {
        std::vector<std::string> rows;
        const std::unique_ptr<SFRuleGroup> group = m_rules->copyGroup(kClient);
        if (group)
            for (const SFRule* rule : group->rules)
                rows.push_back(rule->name + "@" + std::to_string(rule->position) +
                               (rule->enforced ? " enforced" : ""));
        return rows;
    }
    std::vector<std::string> trustedValues()
    {
        std::vector<std::string> values;
        for (const SFTrustedGroupIP& entry :
             SFTrustedIPGroupManager::getInstance(m_logger, m_config)->copyTrustedIPList())
            values.push_back(entry.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET
                                 ? "LOCAL_SUBNET"
                                 : entry.getTrustedIPValueString());
        return values;
    }
};

} // namespace

TEST_F(SFRulesCommandStoreRefusalTest, RuleChangesTheStoreRefusesLeaveTheTableAsItWas)
{
    const SFRule first = allowRule("first");
    const SFRule second = allowRule("second");
    const SFRule third = allowRule("third");
    for (const SFRule* rule : {&first, &second, &third})
        ASSERT_EQ(addRule(*rule), SF_SUCCESS);
    m_rules->setRuleEnforced(kClient, first.ruleId, true);
    m_rules->setRuleEnforced(kClient, third.ruleId, true);
    const std::vector<std::string> before = clientRules();
    const std::vector<std::string> stored = {"first", "second", "third"};
    ASSERT_EQ(storedClientRuleNames(m_dir.file("stores/rules")), stored);

    breakStores();
    bool status = true;
    EXPECT_EQ(addRule(allowRule("unkept"), &status), SF_STORE_WRITE_FAILED);
    EXPECT_FALSE(status);
    EXPECT_EQ(clientRules(), before);
    // The first and the third rule in one request: both come back where they were, enforced.
    EXPECT_EQ(result(*narrowRequest(100007, deletePair(first) + "," + deletePair(third)), &status),
              SF_STORE_WRITE_FAILED);
    EXPECT_TRUE(status) << "a delete is always answered with the status set";
    EXPECT_EQ(clientRules(), before);
    // A pair then a lone id: the pair's deletion is undone as well.
    EXPECT_EQ(result(*narrowRequest(100007, deletePair(second) + "," +
                                                 CommonFunc::textGUID(third.ruleId))),
              SF_STORE_WRITE_FAILED);
    EXPECT_EQ(clientRules(), before);
    EXPECT_TRUE(m_logger.has(2, "No rule was deleted: the rule store could not be written"));

    // Once the folder is back the same requests succeed, once, and the store holds them.
    mendStores();
    EXPECT_EQ(addRule(allowRule("unkept")), SF_SUCCESS);
    EXPECT_EQ(result(*narrowRequest(100007, deletePair(first))), SF_SUCCESS);
    const std::vector<std::string> names = {"second", "third", "unkept"};
    EXPECT_EQ(storedClientRuleNames(m_dir.file("stores/rules")), names);
}

TEST_F(SFRulesCommandStoreRefusalTest, TrustedChangesTheStoreRefusesLeaveTheListAsItWas)
{
    SFTrustedGroupIP a = singleTrusted("10.1.1.1");
    SFTrustedGroupIP b = singleTrusted("10.1.1.2");
    ASSERT_EQ(addTrusted({&a, &b}), SF_SUCCESS);
    const std::vector<std::string> before = {"LOCAL_SUBNET", "10.1.1.1", "10.1.1.2"};
    ASSERT_EQ(trustedValues(), before);

    breakStores();
    SFTrustedGroupIP c = singleTrusted("10.1.1.3");
    SFTrustedGroupIP d = singleTrusted("10.1.1.4");
    EXPECT_EQ(addTrusted({&c, &d}), SF_STORE_WRITE_FAILED);
    EXPECT_EQ(trustedValues(), before);
    // A duplicate is refused as before, with nothing to write.
    EXPECT_EQ(addTrusted({&a}), SF_TRUSTED_IP_REFUSED);
    EXPECT_EQ(result(*narrowRequest(100020, std::string("10.1.1.1"))), SF_STORE_WRITE_FAILED);
    EXPECT_EQ(trustedValues(), before);
    EXPECT_EQ(result(*narrowRequest(100020, std::string("all"))), SF_STORE_WRITE_FAILED);
    EXPECT_EQ(trustedValues(), before);
    EXPECT_EQ(result(*narrowRequest(100020, std::string("10.9.9.9"))), SF_TRUSTED_LIST_UNCHANGED);

    mendStores();
    EXPECT_EQ(addTrusted({&c}), SF_SUCCESS);
    EXPECT_EQ(result(*narrowRequest(100020, std::string("10.1.1.1"))), SF_SUCCESS);
    const std::vector<std::string> after = {"LOCAL_SUBNET", "10.1.1.2", "10.1.1.3"};
    EXPECT_EQ(trustedValues(), after);
    // The local-subnet entry has no address text.
    const std::vector<std::string> stored = {"NOT SET", "10.1.1.2", "10.1.1.3"};
    EXPECT_EQ(storedValues(m_dir.file("stores/trusted")), stored);
}

namespace {

// The narrow archive text of a rule of matches bare "remote = trusted" matches, padded with
// blanks to size characters, made without building the matches.
std::string manyMatchRuleText(const SFRule& rule, std::size_t matches, std::size_t size)
{
    auto text = [&rule](std::size_t count) {
        SFRule copy(rule);
        for (std::size_t i = 0; i < count; ++i) {
            auto* match = new SFMatch();
            match->matchType = FW_MATCH_REMOTE_IP_ADDRESS;
            match->addressType = FW_ADDRESS_TYPE_TRUSTED;
            copy.addMatch(match);
        }
        std::ostringstream out;
        boost::archive::text_oarchive(out) << static_cast<const SFRule&>(copy);
        return out.str();
    };
    const std::string many = withElementRepeated(text(1), text(2), matches);
    EXPECT_LE(many.size(), size);
    return paddedWithBlanks(many, size - std::min(size, many.size()));
}

} // namespace

// One rule of many bare matches padded with blanks, as in a hostile add: the most a rule may
// hold is stored; more is answered 150001 with nothing stored. Either way the store and the
// listing read back, and no add grows the process by more than ten times its data plus 64 MiB
// (1,900,000 matches in 63 MiB once grew it by 1.7 GB and left every rule unreadable).
TEST_F(SFRulesCommandStoreRefusalTest, ManyMatchAddsAreStoredOnlyWhereTheyReadBackWithinMemory)
{
    constexpr std::size_t MiB = std::size_t(1) << 20;
    limitAddressSpace(1024); // plain builds: a runaway add fails instead of taking the machine
    const struct {
        std::size_t matches;
        std::size_t size;
        int result;
    } rows[] = {
        {kMaxMatchesPerList, 16 * MiB, SF_SUCCESS},
        {kMaxMatchesPerList + 1, 16 * MiB, SF_STORE_WRITE_FAILED},
        {600000, 16 * MiB, SF_STORE_WRITE_FAILED},
        {1900000, 63 * MiB, SF_STORE_WRITE_FAILED},
    };
    const std::string path = m_dir.file("stores/rules");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.matches) + " matches");
        const SFRule rule = allowRule("many");
        const std::unique_ptr<ZAV::CommandRequest> request =
            rawRequest(100006, manyMatchRuleText(rule, row.matches, row.size));
        const std::string before = readFile(path);
        const ResidentGrowth resident;
        const CapturedReply reply = run(*request);
        EXPECT_LE(resident.peak(), 10 * row.size + 64 * MiB);
        GUID answered{};
        int code = 0;
        const auto response = asResponse(reply);
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> answered >> code;
        EXPECT_EQ(code, row.result);
        EXPECT_EQ(reply.record.status != 0, row.result == SF_SUCCESS);
        EXPECT_TRUE(sameGuidBytes(answered, rule.ruleId));
        if (row.result != SF_SUCCESS) {
            EXPECT_EQ(readFile(path), before) << "nothing stored";
        }
        SFRuleTable stored;
        ASSERT_NO_THROW(decodeRuleStore(readFile(path), stored));
        bool kept = false;
        for (const SFRuleGroup* group : stored.groups)
            for (const SFRule* each : group->rules)
                kept |= sameGuidBytes(each->ruleId, rule.ruleId) &&
                        each->matches.size() == row.matches;
        EXPECT_EQ(kept, row.result == SF_SUCCESS);
        std::list<SFRuleGroup> listed;
        EXPECT_NO_THROW(readCheckedArchive(run(*emptyRequest(100015)).data, listed));
    }
}
