#pragma once

// The command-line tool's request layer: every request the tool makes of the daemon or the
// platform service. Each operation sends through the given sender and client, reports its
// outcome on the terminal and in the log, catches every exception and returns true when the
// request did what was asked. Called on the tool's main thread only.

#include "SFCommandPayloads.h"
#include "SFPrefType.h"
#include "SFTypes.h"

#include <list>
#include <string>
#include <vector>

namespace ZAV {
class ICommandFMCallback;
class IFMCommClient;
} // namespace ZAV

namespace StatefulFirewall {

class SFRule;
class SFTrustedGroupIP;

class ICliCommands {
public:
    virtual ~ICliCommands() = default;

    virtual bool showVersion(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    virtual bool getPrefs(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    virtual bool setIndividualPrefData(const SFPrefType& kind, const std::string& value,
                                       ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    virtual bool getIndividualPref(SFPrefType kind, SFPrefsData* out, ZAV::ICommandFMCallback& cb,
                                   ZAV::IFMCommClient& client) = 0;
    virtual bool addModifyRule(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                               const int& command, const SFRule& rule) = 0;
    virtual bool getAllRules(std::string groupGuid, std::vector<GUID>& ids,
                             std::vector<std::string>& names, ZAV::ICommandFMCallback& cb,
                             ZAV::IFMCommClient& client) = 0;
    virtual bool deleteRule(std::string guid, ZAV::ICommandFMCallback& cb,
                            ZAV::IFMCommClient& client) = 0;
    virtual bool listAllRules(bool xml, ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    // The entries stay the caller's.
    virtual bool addToTrustedNetwork(std::list<SFTrustedGroupIP*> entries,
                                     ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    virtual bool getAllTrustedNetwork(std::vector<std::string>& values, ZAV::ICommandFMCallback& cb,
                                      ZAV::IFMCommClient& client) = 0;
    virtual bool deleteFromTrustedNetwork(std::string value, ZAV::ICommandFMCallback& cb,
                                          ZAV::IFMCommClient& client) = 0;
    virtual bool listTrustedNetwork(bool xml, ZAV::ICommandFMCallback& cb,
                                    ZAV::IFMCommClient& client) = 0;
    virtual bool getLogSettings(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client) = 0;
    virtual bool setZAVProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                        bool on) = 0;
    virtual bool setFWProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                       bool on) = 0;
    virtual bool setZAVDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                      bool on) = 0;
    virtual bool setFWDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                     bool on) = 0;
    virtual bool setZAVUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                       bool on) = 0;
    virtual bool setFWUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                      bool on) = 0;
    virtual bool setZAVMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                         int megabytes) = 0;
    virtual bool setMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                      int megabytes) = 0;
};

} // namespace StatefulFirewall
