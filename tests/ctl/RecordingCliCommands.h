#pragma once

// A request layer that records each call with its arguments, in order, and answers true
// except for the call numbered failAt (1-based), so a test can fail a sequence at any step.

#include "ICliCommands.h"
#include "ICommandFMCallback.h"
#include "IFMCommClient.h"

#include <string>
#include <vector>

namespace TestSupport {

class RecordingCliCommands : public StatefulFirewall::ICliCommands {
public:
    std::vector<std::string> calls;
    size_t failAt = 0;

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
    bool getIndividualPref(StatefulFirewall::SFPrefType kind, StatefulFirewall::SFPrefsData*,
                           ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("getIndividualPref(" + std::to_string(kind) + ")");
    }
    bool addModifyRule(ZAV::ICommandFMCallback&, ZAV::IFMCommClient&, const int& command,
                       const StatefulFirewall::SFRule&) override
    {
        return record("addModifyRule(" + std::to_string(command) + ")");
    }
    bool getAllRules(std::string group, std::vector<StatefulFirewall::GUID>&,
                     std::vector<std::string>&, ZAV::ICommandFMCallback&,
                     ZAV::IFMCommClient&) override
    {
        return record("getAllRules(" + group + ")");
    }
    bool deleteRule(std::string guid, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("deleteRule(" + guid + ")");
    }
    bool listAllRules(bool xml, ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("listAllRules(" + flag(xml) + ")");
    }
    bool addToTrustedNetwork(std::list<StatefulFirewall::SFTrustedGroupIP*>,
                             ZAV::ICommandFMCallback&, ZAV::IFMCommClient&) override
    {
        return record("addToTrustedNetwork");
    }
    bool getAllTrustedNetwork(std::vector<std::string>&, ZAV::ICommandFMCallback&,
                              ZAV::IFMCommClient&) override
    {
        return record("getAllTrustedNetwork");
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
    bool record(std::string call)
    {
        calls.push_back(std::move(call));
        return calls.size() != failAt;
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

} // namespace TestSupport
