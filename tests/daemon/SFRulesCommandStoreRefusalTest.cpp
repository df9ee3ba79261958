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

// The narrow archive text of a rule of the given number of bare "remote = trusted" matches,
// padded with blanks to size characters, made without building the matches.
std::string manyMatchRuleText(const SFRule& rule, std::size_t matches, std::size_t size)
{
    auto text = [&rule](std::size_t count) {
        SFRule copy(rule);
        for (std::size_t i = 0; i < count; ++i) {
            auto* match = new SFMatch();
            match->matchType = FW_MATCH_REMOTE_IP_ADDRESS;
            match->addressType = FW_ADDRESS_TYPE_TRUSTED;
            match->matchOp = FW_MATCH_OP_EQUAL;
            copy.addMatch(match);
        }
        std::ostringstream out;
        boost::archive::text_oarchive archive(out);
        archive << static_cast<const SFRule&>(copy);
        return out.str();
    };
    const std::string rule1 = text(1);
    std::string many = withElementRepeated(rule1, text(2), matches);
    EXPECT_LE(many.size(), size);
    return paddedWithBlanks(many, size > many.size() ? size - many.size() : 0);
}

} // namespace

// One rule of many bare matches padded with blanks, as in a hostile add: the most matches a rule
// may hold is stored, listed, found again after a restart and deleted; more is answered 150001
// with nothing stored, and the store and the listing still read. No add grows the process by
// more than ten times its data plus 64 MiB (1,900,000 matches in 63 MiB once grew it by 1.7 GB).
TEST_F(SFRulesCommandStoreRefusalTest, ManyMatchAddsAreStoredOnlyWhereTheyReadBackWithinMemory)
{
    constexpr std::size_t MiB = std::size_t(1) << 20;
    // Plain builds: a runaway add fails with bad_alloc instead of taking the machine's memory.
    limitAddressSpace(1024);
    const struct {
        const char* what;
        std::size_t matches;
        std::size_t size;
        int result;
    } rows[] = {
        {"the most a rule may hold", kMaxMatchesPerList, 16 * MiB, SF_SUCCESS},
        {"one match more", kMaxMatchesPerList + 1, 16 * MiB, SF_STORE_WRITE_FAILED},
        {"600,000 matches", 600000, 16 * MiB, SF_STORE_WRITE_FAILED},
        {"1,900,000 matches", 1900000, 63 * MiB, SF_STORE_WRITE_FAILED},
    };
    const std::string path = m_dir.file("stores/rules");
    GUID kept{};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const SFRule rule = allowRule("many");
        ZAV::CommandNWRequest arrived =
            arriving(*rawRequest(100006, manyMatchRuleText(rule, row.matches, row.size)));
        const std::string storeBefore = readFile(path);
        m_socket.clear();
        {
            const ResidentGrowth growth;
            EXPECT_TRUE(m_dispatcher->processCommandForFM(arrived, true));
#ifndef TQ_SANITIZED_BUILD
            if (growth.valid()) {
                EXPECT_LE(growth.peak(), 10 * row.size + 64 * MiB);
            }
#endif
        }
        ASSERT_EQ(m_socket.sends().size(), 1u);
        GUID answered{};
        int result = 0;
        const auto response = asResponse(decodeReply(m_socket.sends().back()));
        if (auto* archive = response->getNarrowInputArchive())
            *archive >> answered >> result;
        EXPECT_EQ(result, row.result);
        EXPECT_TRUE(sameGuidBytes(answered, rule.ruleId));
        if (row.result == SF_SUCCESS) {
            kept = rule.ruleId;
        } else {
            EXPECT_EQ(readFile(path), storeBefore) << "nothing stored";
        }

        std::size_t stored = 0;
        SFRuleTable table;
        ASSERT_NO_THROW(decodeRuleStore(readFile(path), table));
        for (const SFRuleGroup* group : table.groups)
            for (const SFRule* each : group->rules)
                stored += each->name == "many";
        EXPECT_EQ(stored, 1u);
        std::list<SFRuleGroup> listed;
        EXPECT_NO_THROW(readCheckedArchive(run(*emptyRequest(100015)).data, listed));
        EXPECT_FALSE(listed.empty());
    }

    m_dispatcher.reset();
    SFRulesCommandHelper::releaseInstance();
    m_dispatcher = std::make_unique<SFCommandRequestImpl>(m_socket, m_logger, m_config, m_monitor);
    m_rules = SFRuleManager::getInstance();
    const std::unique_ptr<SFRule> restarted = m_rules->copyRule(kClient, kept);
    ASSERT_NE(restarted, nullptr) << "the stored rule is read at the next start";
    EXPECT_EQ(restarted->matches.size(), kMaxMatchesPerList);
    SFRule named;
    named.ruleId = kept;
    named.groupId = kClient;
    EXPECT_EQ(result(*narrowRequest(100007, deletePair(named))), SF_SUCCESS);
}
