#include "SFRulesCommandHelper.h"

#include "ChannelFrame.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "CommonFunc.h"
#include "ILogger.h"
#include "SFController.h"
#include "SFException.h"
#include "SFResultCodes.h"
#include "SFRuleManager.h"
#include "SFCheckedRead.h"
#include "SFSerialization.h"
#include "SFStoreCodec.h"
#include "SFTrustedIPGroupManager.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/archive/archive_exception.hpp>
#include <boost/thread/lock_guard.hpp>

#include <exception>
#include <list>
#include <memory>
#include <vector>

namespace StatefulFirewall {

SFRulesCommandHelper* SFRulesCommandHelper::m_selfInstance = nullptr;

namespace {

constexpr int SF_RULE_ADD = 100006;
constexpr int SF_RULES_DEL = 100007;
constexpr int LIST_ALL_RULES_IN_GROUP = 100015;
constexpr int SF_RULES_UPDATE = 100017;
constexpr int SF_ADD_TRUSTED_GROUP_IPS = 100019;
constexpr int SF_DELETE_TRUSTED_IP_SINGLE_OR_ALL = 100020;
constexpr int SF_LIST_ALL_TRUSTED_IPS = 100021;
constexpr int SF_TRUSTED_IP_UPDATE = 100022;
constexpr int SF_GET_RULE_ENFORCEMENT_STATUS = 100039;

// The store encoders refuse a table whose listing reply the channel could not carry.
static_assert(kLargestReplyData == static_cast<std::size_t>(ZAV::kDefaultMaxDataSize));

// Reads the request's data into value with the checking reader, which refuses the class ids
// that crash boost's own reader; the data is the tool's archive text, narrow or wide alike.
// False (value untouched) without data; throws archive_exception for data that is no such
// value.
template <class T> bool readPayload(ZAV::CommandRequest& request, T& value)
{
    if (!request.hasCustomData())
        return false;
    readCheckedArchive(request.getCustomData(), value);
    return true;
}

// Every reply sets the custom-data flag, then writes its values into the narrow archive.
template <class... T> void writeReply(ZAV::CommandResponse& response, const T&... values)
{
    response.setCustomDataPresent(true);
    response.setNarrowArchiveWritten(true);
    boost::archive::text_oarchive& archive = *response.getNarrowOutputArchive();
    (archive << ... << values);
}

// Frees the loaded entries of a trusted-network list on every path, a decode error midway
// included (the list load leaves the entries it read in the list).
struct TrustedListOwner {
    std::list<SFTrustedGroupIP*> entries;
    ~TrustedListOwner()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
};

} // namespace

SFRulesCommandHelper* SFRulesCommandHelper::getInstance(ZAV::ILogger& logger,
                                                        IConfigController& config)
{
    if (m_selfInstance == nullptr)
        m_selfInstance = new SFRulesCommandHelper(logger, config);
    return m_selfInstance;
}

void SFRulesCommandHelper::releaseInstance()
{
    delete m_selfInstance;
    m_selfInstance = nullptr;
}

SFRulesCommandHelper::SFRulesCommandHelper(ZAV::ILogger& logger, IConfigController& config)
    : m_ruleManager(SFRuleManager::getInstance(logger, config, true)),
      m_trustedManager(SFTrustedIPGroupManager::getInstance(logger, config)),
      m_logger(logger),
      m_componentName("SFRulesCommandHelper"),
      m_configController(config)
{
}

SFRulesCommandHelper::~SFRulesCommandHelper()
{
    try {
        SFRuleManager::releaseInstance();
        SFTrustedIPGroupManager::releaseInstance();
    } catch (const SFException& e) {
        log(2, "Error occurred while releasing instance: " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Error occurred while releasing instance: ") + e.what());
    } catch (...) {
        log(2, "Error occurred while releasing instance");
    }
    m_ruleManager = nullptr;
    m_trustedManager = nullptr;
}

bool SFRulesCommandHelper::handleCommand(ZAV::CommandRequest& request,
                                         ZAV::CommandResponse& response)
{
    switch (request.getCommandId()) {
    case SF_RULE_ADD:
        log(5, "Received SF_RULE_ADD command");
        return handleAddRule(request, response);
    case SF_RULES_DEL:
        log(5, "Received SF_RULES_DEL command");
        handleDelRule(request, response);
        return true;
    case LIST_ALL_RULES_IN_GROUP:
        log(5, "Received LIST_ALL_RULES_IN_GROUP command");
        handleListAllRules(response);
        return true;
    case SF_RULES_UPDATE:
        log(5, "Received SF_RULES_UPDATE command");
        handleUpdate(response);
        return true;
    case SF_ADD_TRUSTED_GROUP_IPS:
        log(5, "Received SF_ADD_TRUSTED_GROUP_IPS command");
        handleAddTrustedGroupIPs(request, response);
        return true;
    case SF_DELETE_TRUSTED_IP_SINGLE_OR_ALL:
        log(5, "Received SF_DELETE_TRUSTED_IP_SINGLE_OR_ALL command");
        handleDeleteTrustedGroupOrIP(request, response);
        return true;
    case SF_LIST_ALL_TRUSTED_IPS:
        log(5, "Received SF_LIST_ALL_TRUSTED_IPS command");
        handleListTrustedGroupIPs(response);
        return true;
    case SF_TRUSTED_IP_UPDATE:
        log(5, "Received SF_TRUSTED_IP_UPDATE command");
        handleUpdateForTrustedIP(response);
        return true;
    case SF_GET_RULE_ENFORCEMENT_STATUS:
        log(5, "Received SF_GET_RULE_ENFORCEMENT_STATUS command");
        handleGetRuleEnforcementStatus(request, response);
        return true;
    default:
        log(5, "Received unrecognised Command");
        return false;
    }
}

bool SFRulesCommandHelper::handleAddRule(ZAV::CommandRequest& request,
                                         ZAV::CommandResponse& response)
{
    // Read straight into the rule the table will own, so a rule of many matches is never held
    // twice.
    auto rule = std::make_unique<SFRule>();
    try {
        readPayload(request, *rule);
    } catch (const SFOverweightException& e) {
        // More than the rule store may hold: refused as a change the store cannot take, with
        // the identifier read before the matches.
        log(2, "The rule " + rule->name + " was not added: it is larger than the rule store can "
               "hold (" + e.what() + ")");
        writeReply(response, rule->ruleId, SF_STORE_WRITE_FAILED);
        return false;
    }
    const GUID ruleId = rule->ruleId;
    const std::string name = rule->name;
    // The group the manager files a rule without one in; taken before the table owns the rule.
    GUID groupId = rule->groupId;
    if (CommonFunc::isGUIDNull(groupId)) {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        groupId = m_ruleManager->m_ruleTable.defaultGroupId;
    }
    const SFContentVersion::Mark before = SFRuleManager::changeMark();
    int result = m_ruleManager->addRule(rule.get());
    // The table owns the rule once it is filed, at its place (150000) or elsewhere (150022).
    if (result == SF_SUCCESS || result == SF_RULE_POSITION_CHANGED) {
        rule.release();
        // Kept only when the store holds it: a rule the store refused would be enforced now
        // and gone after the next start. The store also refuses a table its reader, or the
        // tool's reader of the listing, would refuse.
        if (m_ruleManager->updateRuleStore() != SF_SUCCESS) {
            if (m_ruleManager->delRule(groupId, ruleId) == SF_SUCCESS)
                SFRuleManager::changesUndone(before, 2); // the table is as it was
            log(2, "The rule " + name + " was not added: the rule store could not be written");
            result = SF_STORE_WRITE_FAILED;
        }
    }
    writeReply(response, ruleId, result);
    return result == SF_SUCCESS;
}

void SFRulesCommandHelper::handleDelRule(ZAV::CommandRequest& request,
                                         ZAV::CommandResponse& response)
{
    std::string text;
    readPayload(request, text);
    int result = SF_SUCCESS;
    // Copies of the rules deleted, in order, to put back when the store refuses the deletion.
    std::vector<std::unique_ptr<SFRule>> deleted;
    const SFContentVersion::Mark before = SFRuleManager::changeMark();
    std::string remaining = text;
    for (;;) {
        std::string ruleIdText;
        std::string rest = remaining;
        if (CommonFunc::getEachString(remaining, ruleIdText, rest, ",") < 0) {
            result = SF_INVALID_ARGUMENT;
            break;
        }
        std::string groupIdText;
        std::string next = rest;
        const bool last = CommonFunc::getEachString(rest, groupIdText, next, ",") < 0;
        const GUID ruleId = CommonFunc::getGUIDFromString(ruleIdText);
        const GUID groupId = CommonFunc::getGUIDFromString(groupIdText);
        // Copied out under the table lock: the live rule may go from another thread.
        std::unique_ptr<SFRule> rule = m_ruleManager->copyRule(groupId, ruleId);
        const std::string ruleName = rule ? rule->name : std::string();
        result = m_ruleManager->delRule(groupId, ruleId);
        if (result != SF_SUCCESS) {
            log(5, "Rule Delete Failed for Rule " + ruleName + " and Group ID: " + groupIdText);
            break;
        }
        if (rule)
            deleted.push_back(std::move(rule));
        if (last)
            break;
        remaining = next;
    }
    if (!deleted.empty() && m_ruleManager->updateRuleStore() != SF_SUCCESS) {
        // Put back last-deleted first, each at the place it held, so the group reads as before.
        size_t putBack = 0;
        for (auto it = deleted.rbegin(); it != deleted.rend(); ++it) {
            const std::string name = (*it)->name;
            const int restored = m_ruleManager->addRule(it->get());
            if (restored == SF_SUCCESS || restored == SF_RULE_POSITION_CHANGED) {
                it->release(); // the table owns it again
                ++putBack;
            } else {
                log(2, "The rule " + name + " could not be put back: " + std::to_string(restored));
            }
        }
        if (putBack == deleted.size())
            SFRuleManager::changesUndone(before, 2 * putBack);
        log(2, "No rule was deleted: the rule store could not be written");
        result = SF_STORE_WRITE_FAILED;
    }
    writeReply(response, result);
}

void SFRulesCommandHelper::handleListAllRules(ZAV::CommandResponse& response)
{
    // A deep copy taken under the model locks; archiving it takes them again, so it runs after.
    // Written as the list of groups by value the tool reads, without a second copy.
    const SFRuleTableSnapshot snapshot = m_ruleManager->snapshot();
    writeReply(response, SFListOfValues<decltype(snapshot.groups)>{snapshot.groups});
}

void SFRulesCommandHelper::handleUpdate(ZAV::CommandResponse& response)
{
    SFController* controller = SFController::getInstance(m_logger, m_configController, nullptr);
    // A push that failed is said as iptables' failure, apart from a store that could not be
    // written again, so the tool can tell the user which of the two happened: the change itself
    // was stored before this request, and a failed push leaves the previous rules in force.
    int pushResult = SF_SUCCESS;
    if (controller->getEnableStatefulFirewall() && !controller->SendRuleAndGroupDataToKext()) {
        log(2, " Update sending rule table data to Kext failed");
        pushResult = SF_SYSTEM_COMMAND_FAILED;
    }
    const int storeResult = m_ruleManager->updateRuleStore();
    // After the result, where a reader that does not know it stops: what is in force now (an
    // SFRulesInForce value), so a push taken back is told from one linked without the rules
    // whose commands failed, which puts the change itself in force.
    writeReply(response,
               pushResult != SF_SUCCESS    ? pushResult
               : storeResult != SF_SUCCESS ? SF_STORE_WRITE_FAILED
                                           : SF_SUCCESS,
               controller->rulesInForceState());
}

void SFRulesCommandHelper::handleAddTrustedGroupIPs(ZAV::CommandRequest& request,
                                                    ZAV::CommandResponse& response)
{
    int result = SF_NO_TRUSTED_NETWORKS;
    TrustedListOwner loaded;
    std::vector<SFTrustedGroupIP> accepted; // to withdraw when the store refuses them
    const SFContentVersion::Mark before = SFTrustedIPGroupManager::changeMark();
    bool read = false;
    try {
        read = readPayload(request, loaded.entries);
    } catch (const SFOverweightException& e) {
        log(2, std::string("No trusted network was added: the list is larger than the "
                           "trusted-network store can hold (") + e.what() + ")");
        writeReply(response, SF_STORE_WRITE_FAILED);
        return;
    }
    if (read) {
        for (const SFTrustedGroupIP* entry : loaded.entries) {
            if (entry == nullptr)
                continue;
            auto copy = std::make_unique<SFTrustedGroupIP>(*entry);
            result = m_trustedManager->addTrustedIP(copy.get());
            if (result == SF_SUCCESS) {
                accepted.push_back(*copy);
                copy.release(); // the manager owns an accepted entry
            }
        }
    }
    // Kept only when the store holds them, as for rules.
    if (!accepted.empty() && m_trustedManager->persistTrustedIPStore() != SF_SUCCESS) {
        m_trustedManager->withdrawTrustedIPs(accepted);
        SFTrustedIPGroupManager::changesUndone(before, accepted.size() + 1);
        log(2, "No trusted network was added: the trusted-network store could not be written");
        result = SF_STORE_WRITE_FAILED;
    }
    writeReply(response, result);
}

void SFRulesCommandHelper::handleDeleteTrustedGroupOrIP(ZAV::CommandRequest& request,
                                                        ZAV::CommandResponse& response)
{
    std::string text;
    readPayload(request, text);
    std::vector<SFRemovedTrustedIP> removed; // to put back when the store refuses the removal
    const SFContentVersion::Mark before = SFTrustedIPGroupManager::changeMark();
    int result = boost::algorithm::iequals(text, "all")
                     ? m_trustedManager->flushTrustedIPList(true, &removed)
                     : m_trustedManager->deleteTrustedIP(text, &removed);
    if (!removed.empty() && m_trustedManager->persistTrustedIPStore() != SF_SUCCESS) {
        m_trustedManager->restoreTrustedIPs(removed);
        SFTrustedIPGroupManager::changesUndone(before, 2);
        log(2, "No trusted network was deleted: the trusted-network store could not be written");
        result = SF_STORE_WRITE_FAILED;
    }
    writeReply(response, result);
}

void SFRulesCommandHelper::handleListTrustedGroupIPs(ZAV::CommandResponse& response)
{
    // Entries copied by value under the list lock, then archived with no lock held.
    std::list<SFTrustedGroupIP> entries;
    for (const SFTrustedGroupIP& entry : m_trustedManager->copyTrustedIPList()) {
        entry.logTrustedIPDetails();
        entries.push_back(entry);
    }
    writeReply(response, entries);
}

void SFRulesCommandHelper::handleUpdateForTrustedIP(ZAV::CommandResponse& response)
{
    writeReply(response, m_trustedManager->persistTrustedIPStore());
}

void SFRulesCommandHelper::handleGetRuleEnforcementStatus(ZAV::CommandRequest& request,
                                                          ZAV::CommandResponse& response)
{
    log(5, "Handling get enforcement status");
    SFRule asked;
    readPayload(request, asked);
    const std::unique_ptr<SFRule> rule = m_ruleManager->copyRule(asked.groupId, asked.ruleId);
    const bool enforced = rule ? rule->enforced : false;
    writeReply(response, enforced);
}

void SFRulesCommandHelper::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

} // namespace StatefulFirewall
