#pragma once

// A request layer that records each call with its arguments, in order, and answers true
// except for the call numbered failAt (1-based) and calls to the operations named in failing,
// so a test can fail a sequence at any step. It keeps a copy of every rule and trusted-network
// entry sent, and answers the list and mode reads with the canned values below.

#include "ICliCommands.h"
#include "ICommandFMCallback.h"
#include "IFMCommClient.h"
#include "SFRule.h"
#include "SFTrustedGroupIP.h"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TestSupport {

class RecordingCliCommands : public StatefulFirewall::ICliCommands {
public:
    std::vector<std::string> calls;
    size_t failAt = 0;
    std::set<std::string> failing; // operation names, e.g. "getIndividualPref"
    // Called with each call's text as it is recorded, before the answer.
    std::function<void(const std::string&)> onCall;

    // Copies of what was sent.
    std::vector<std::unique_ptr<StatefulFirewall::SFRule>> rules;
    std::vector<StatefulFirewall::SFTrustedGroupIP> trustedEntries;

    // Canned answers of the reads.
    std::vector<StatefulFirewall::GUID> ruleIds;
    std::vector<std::string> ruleNames;
    std::vector<std::string> trustedList;
    int mode = StatefulFirewall::FW_MODE_REGULAR;

    bool showVersion(bool xml, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("showVersion(" + flag(xml) + ")");
    }
    bool getPrefs(bool xml, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("getPrefs(" + flag(xml) + ")");
    }
    bool setIndividualPrefData(const StatefulFirewall::SFPrefType& kind, const std::string& value,
                               ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("setIndividualPrefData(" + std::to_string(kind) + "," + value + ")");
    }
    bool getIndividualPref(StatefulFirewall::SFPrefType kind, StatefulFirewall::SFPrefsData* out,
                           ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        if (!record("getIndividualPref(" + std::to_string(kind) + ")"))
            return false;
        out->m_prefType = kind;
        out->m_prefPresent = true;
        out->m_fwMode = mode;
        return true;
    }
    bool addModifyRule(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, const int& command,
                       const StatefulFirewall::SFRule& rule) override
    {
        rules.push_back(std::make_unique<StatefulFirewall::SFRule>(rule));
        return record("addModifyRule(" + std::to_string(command) + ")");
    }
    bool getAllRules(std::string group, std::vector<StatefulFirewall::GUID>& ids,
                     std::vector<std::string>& names, ZAV::ICommandFMCallback&,
                     ZAV::IFMCommClient&) override
    {
        if (!record("getAllRules(" + group + ")"))
            return false;
        ids = ruleIds;
        names = ruleNames;
        return true;
    }
    bool deleteRule(std::string guid, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("deleteRule(" + guid + ")");
    }
    bool listAllRules(bool xml, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("listAllRules(" + flag(xml) + ")");
    }
    bool addToTrustedNetwork(std::list<StatefulFirewall::SFTrustedGroupIP*> entries,
                             ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        for (const StatefulFirewall::SFTrustedGroupIP* entry : entries)
            trustedEntries.push_back(*entry);
        return record("addToTrustedNetwork");
    }
    bool getAllTrustedNetwork(std::vector<std::string>& values, ZAV::ICommandFMCallback&,
                              ZAV::IFMCommClient&) override
    {
        if (!record("getAllTrustedNetwork"))
            return false;
        values = trustedList;
        return true;
    }
    bool deleteFromTrustedNetwork(std::string value, ZAV::ICommandFMCallback&,
                                  ZAV::IFMCommClient&) override
    {
        return record("deleteFromTrustedNetwork(" + value + ")");
    }
    bool listTrustedNetwork(bool xml, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("listTrustedNetwork(" + flag(xml) + ")");
    }
    bool getLogSettings(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("getLogSettings");
    }
    bool setZAVProductLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setZAVProductLogConfig(" + flag(on) + ")");
    }
    bool setFWProductLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setFWProductLogConfig(" + flag(on) + ")");
    }
    bool setZAVDebugLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setZAVDebugLogConfig(" + flag(on) + ")");
    }
    bool setFWDebugLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setFWDebugLogConfig(" + flag(on) + ")");
    }
    bool setZAVUseSysLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setZAVUseSysLogConfig(" + flag(on) + ")");
    }
    bool setFWUseSysLogConfig(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, bool on) override
    {
        return record("setFWUseSysLogConfig(" + flag(on) + ")");
    }
    bool setZAVMaxProductLogSize(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, int mb) override
    {
        return record("setZAVMaxProductLogSize(" + std::to_string(mb) + ")");
    }
    bool setMaxProductLogSize(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, int mb) override
    {
        return record("setMaxProductLogSize(" + std::to_string(mb) + ")");
    }

private:
    static std::string flag(bool b) { return b ? "1" : "0"; }
    // The operation's name is the call's text up to its arguments.
    bool record(std::string call)
    {
        const std::string operation = call.substr(0, call.find('('));
        if (onCall)
            onCall(call);
        calls.push_back(std::move(call));
        return calls.size() != failAt && failing.count(operation) == 0;
    }
};

// Sender and client that the recording request layer never uses.
class UnusedCommandCallback : public ZAV::ICommandFMCallback {
public:
    std::list<int> getSupportedFMMessageTypes() override { return {}; }
    int callbackFMToProcessMessage(const int&, void*, unsigned long, const int&) override
    {
        return 0;
    }
    void sendCommandRequest(ZAV::CommandRequest&, ZAV::CommandResponse&, const int&,
                            ZAV::IFMCommClient&, bool) override
    {
    }
    void connectionClosed() override {}
};

class UnusedCommClient : public ZAV::IFMCommClient {
public:
    void sendRawMessage(const void*, unsigned long) override {}
    bool isActive() const override { return false; }
    bool isRunLoopThread() const override { return false; }
};

// A command line as main receives it: "tqctl" and args, with argv pointing into storage.
struct CommandLine {
    explicit CommandLine(const std::vector<std::string>& args) : storage{"tqctl"}
    {
        storage.insert(storage.end(), args.begin(), args.end());
        for (std::string& word : storage)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }

    std::vector<std::string> storage;
    std::vector<char*> argv;
};

} // namespace TestSupport
