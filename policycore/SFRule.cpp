#include "SFRule.h"

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"

#include <cstring>

namespace StatefulFirewall {

boost::mutex SFRule::m_guardMatchList;

bool sameGuidBytes(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

bool sameGuidText(const GUID& a, const GUID& b)
{
    // The text form prints every field in full (and every null identifier as "EMPTY"), so two
    // texts are equal exactly when the fields are: compare those and skip the formatting, which
    // table walks and rule filing would otherwise do for every group and rule.
    return sameGuidBytes(a, b);
}

SFRule::SFRule()
    : groupId(), ruleId(), keep(false), position(-1), enabled(false), action(FW_ACTION_INVALID),
      jumpTarget(), transport(FW_TRANS_PROTO_NOT_SET), netProto(NET_PROTO_ANY),
      msgType(FW_MSG_TYPE_UNKNOWN), logEnabled(false), enforced(false), treatAsIntrusion(false),
      adaptiveKey(SF_NO_ADAPTIVE_KEY)
{
}

SFRule::SFRule(const SFRule& other)
    : groupId(other.groupId), ruleId(other.ruleId), keep(other.keep), position(other.position),
      enabled(other.enabled), name(other.name), description(other.description),
      action(other.action), jumpTarget(other.jumpTarget), transport(other.transport),
      netProto(other.netProto), msgType(other.msgType), logEnabled(other.logEnabled),
      enforced(other.enforced), treatAsIntrusion(other.treatAsIntrusion),
      adaptiveKey(other.adaptiveKey)
{
    for (const SFMatch* match : other.matches)
        if (match != nullptr)
            matches.push_back(new SFMatch(*match));
}

SFRule::SFRule(const KSFRule& flat)
    : groupId(), ruleId(fromKGUID(flat.ruleId)), keep(false), position(flat.position),
      enabled(flat.enabled != 0), name(flat.name, strnlen(flat.name, sizeof(flat.name) - 1)),
      action(flat.action), jumpTarget(fromKGUID(flat.jumpTarget)), transport(flat.transport),
      netProto(flat.netProto), msgType(flat.msgType), logEnabled(flat.logEnabled != 0),
      enforced(true), treatAsIntrusion(flat.treatAsIntrusion != 0), adaptiveKey(flat.adaptiveKey)
{
}

SFRule::~SFRule()
{
    removeAllMatches();
}

int SFRule::addMatch(SFMatch* match)
{
    if (match == nullptr)
        return SF_NO_MATCH_FOR_RULE;
    boost::lock_guard<boost::mutex> lock(m_guardMatchList);
    matches.push_back(match);
    return SF_SUCCESS;
}

void SFRule::removeAllMatches()
{
    std::list<SFMatch*> doomed;
    {
        boost::lock_guard<boost::mutex> lock(m_guardMatchList);
        doomed.swap(matches);
    }
    for (SFMatch* match : doomed)
        delete match;
}

bool SFRule::operator==(const SFRule& other) const
{
    if (!sameGuidBytes(ruleId, other.ruleId) || !sameGuidText(groupId, other.groupId) ||
        enabled != other.enabled || name != other.name || action != other.action)
        return false;
    if (action == FW_ACTION_JUMP && !sameGuidText(jumpTarget, other.jumpTarget))
        return false;
    if (transport != other.transport || netProto != other.netProto || msgType != other.msgType ||
        logEnabled != other.logEnabled || treatAsIntrusion != other.treatAsIntrusion ||
        matches.size() != other.matches.size())
        return false;
    auto mine = matches.begin();
    for (const SFMatch* theirs : other.matches) {
        const SFMatch* match = *mine++;
        if (match == nullptr || theirs == nullptr ? match != theirs : !(*match == *theirs))
            return false;
    }
    return true;
}

KSFRule SFRule::GetData() const
{
    KSFRule flat;
    std::memset(&flat, 0, sizeof(flat));
    flat.ruleId = toKGUID(ruleId);
    flat.jumpTarget = toKGUID(jumpTarget);
    flat.position = position;
    flat.adaptiveKey = adaptiveKey;
    // A longer name is cut: the record keeps 103 characters and the terminator.
    std::strncpy(flat.name, name.c_str(), sizeof(flat.name) - 1);
    flat.action = action;
    flat.transport = transport;
    flat.netProto = netProto;
    flat.msgType = msgType;
    flat.enabled = enabled ? 1 : 0;
    flat.logEnabled = logEnabled ? 1 : 0;
    flat.treatAsIntrusion = treatAsIntrusion ? 1 : 0;
    flat.matchCount = static_cast<int>(matches.size());
    return flat;
}

} // namespace StatefulFirewall
