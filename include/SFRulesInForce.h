#pragma once

// What of the firewall's rules the filter table enforces, as the daemon tells it in the
// status reply (100000) after the "rules in force" flag. Values are part of the reply: a tool
// that meets one it does not know treats it like SF_RULES_NOT_IN_FORCE.

namespace StatefulFirewall {

enum SFRulesInForce : int {
    // The latest push is in force, or the firewall is disabled and nothing of it is left in
    // iptables.
    SF_RULES_IN_FORCE = 0,
    // Nothing of the rules is in force: no generation could be linked.
    SF_RULES_NOT_IN_FORCE = 1,
    // The latest push failed and was taken back; the generation of an earlier push stays linked.
    SF_RULES_EARLIER_IN_FORCE = 2,
    // The latest push is linked without the rules whose iptables lines failed again and again;
    // those rules are flagged not enforced.
    SF_RULES_PARTLY_IN_FORCE = 3,
    // The latest push is in force, but the rule table or the trusted networks changed after it
    // copied them: those changes are not applied yet; the health check applies them.
    SF_RULES_CHANGES_NOT_APPLIED = 4,
    // The firewall is disabled, but the policies of INPUT and OUTPUT could not be set back to
    // ACCEPT: they stay DROP, and the firewall's chains and lines stay with them. The health
    // check removes them again.
    SF_RULES_DROP_POLICIES_LEFT = 5,
    // The firewall is disabled and the policies are ACCEPT, but chains of the firewall or lines
    // it placed into INPUT or OUTPUT that accept could not be removed, and INPUT or OUTPUT may
    // still lead to them: they still filter. The health check removes them again.
    SF_RULES_CHAINS_LEFT = 6,
    // The firewall is disabled and the policies are ACCEPT; chains of the firewall could not be
    // removed, but no line of INPUT or OUTPUT leads to them any more: they filter nothing. The
    // health check removes them again.
    SF_RULES_UNLINKED_CHAINS_LEFT = 7,
    // The latest push is linked, but chains or lines that are not in force (of an earlier
    // generation, or of a try taken back) could not be removed, and INPUT or OUTPUT may still
    // lead to them: they may let in what they allowed. The health check removes them again.
    SF_RULES_STALE_CHAINS_LINKED = 8,
    // As SF_RULES_EARLIER_IN_FORCE (the latest push was taken back), and besides the
    // generation in force INPUT or OUTPUT may still lead to chains or lines that are not in
    // force, the taken-back try's among them. The health check removes them again.
    SF_RULES_EARLIER_WITH_STALE_CHAINS = 9,
    // The firewall is disabled and the policies are ACCEPT, but a DROP (or REJECT) line it
    // placed into INPUT or OUTPUT could not be removed: it drops what the chains kept in front
    // of it do not let in. The health check removes them again.
    SF_RULES_DROP_LINE_LEFT = 10,
    // The firewall is disabled and the policies are ACCEPT; lines it placed into INPUT or OUTPUT
    // that only log or mark packets could not be removed (and maybe chains nothing leads to):
    // they filter nothing. The health check removes them again.
    SF_RULES_MARKING_LINES_LEFT = 11,
};

} // namespace StatefulFirewall
