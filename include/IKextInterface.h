#pragma once

// The enforcement bridge as the controller sees it: connects to netfilter, applies the rule
// table and the adaptive mode, switches FTP inspection and runs the bridge threads. One
// implementation, created and owned by the daemon's start-up. The order of the operations is
// part of the interface: libraries built apart rely on it.

#include "SFRulesInForce.h"

namespace StatefulFirewall {

class IKextInterface {
public:
    virtual ~IKextInterface() = default;

    // Reads and logs the netfilter version.
    virtual void connectToKext() = 0;
    // From now on pushes change iptables and the bridge threads may run.
    virtual void startHooking() = 0;
    // Sets the built-in policies to ACCEPT, removes every generation, stops and joins every
    // bridge thread and clears the enforced flags of the rule table. What could not be removed
    // is left to the health check (see removeLeftovers).
    virtual void stopHooking() = 0;
    virtual void disconnectFromKext() = 0;
    // Builds a new generation of chains from the whole rule table and the trusted networks and
    // links it; true only when every command it ran succeeded (rules the driver refuses to
    // translate are flagged not enforced and do not count). A failed try is taken back and
    // retried by the health check (see rulesInForceState).
    virtual bool SendRuleAndGroupDataToKext() = 0;
    // Applies the stored firewall mode: starts or stops the adaptive threads and, when the
    // rules in force were built in the other mode, pushes the rule table in this one, judged
    // and retried like SendRuleAndGroupDataToKext. True while not hooked and when the rules
    // of the stored mode are all in force; false otherwise (see rulesInForceState).
    virtual bool SendAdaptiveModeStatusToKext() = 0;
    // Applies the stored FTP inspection setting; false when it could not be applied.
    virtual bool processFtpInspectionSetting() = 0;
    // Switches FTP inspection off when the setting has it on.
    virtual bool stopFtpInspection() = 0;
    virtual bool isKerneltzSupportedInTimeModule() = 0;
    virtual void startIntrusionYalEventQueue() = 0;
    virtual void stopIntrusionYalEventQueue() = 0;
    // Start one thread each; false when it already runs or could not be started.
    virtual bool startReporting() = 0;
    virtual bool startHealthCheck() = 0;
    // While not hooked: sets the built-in policies to ACCEPT, then removes every generation and
    // built-in line the driver knows of, also those an earlier process left behind. Does
    // nothing while hooked; with onlyWhenRecorded, nothing when nothing is known to be left.
    // Returns what is left as an SFRulesInForce value, judged in the same pass, so a health
    // check that runs next cannot change the answer: SF_RULES_IN_FORCE when nothing is (or
    // while hooked), else what stands: the policies could not be set to ACCEPT (then nothing is
    // removed), or a chain or line could not be removed. What is left stays recorded and is
    // removed again by the health check at its period. Failures are logged (never throws).
    virtual int removeLeftovers(bool onlyWhenRecorded) = 0;
    // False while hooked and the last push could not put its generation in force (a command
    // of it failed); true otherwise.
    virtual bool rulesInForce() = 0;
    // An SFRulesInForce value: what of the rules is in force; while not hooked, what of the
    // firewall is left in iptables (SF_RULES_IN_FORCE when nothing).
    virtual int rulesInForceState() = 0;
};

} // namespace StatefulFirewall
