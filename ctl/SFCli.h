#pragma once

// The front end of tqctl: declares the seventeen commands and their option groups, parses the
// command line in two passes, prints help, hands the one command given to the request layer
// (ICliCommands) or to the rule and trusted-network actions, and turns the outcome into the
// exit code. It also holds the checks of option values used before a rule or trusted network
// is built. One object serves one command line on the tool's main thread; no locks. The
// logger is the caller's and must outlive the object.

#include "SFTypes.h"

#include <boost/program_options.hpp>

#include <string>

namespace ZAV {
class ICommandFMCallback;
class IFMCommClient;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class ICliCommands;
class SFRule;

// Exit codes of the tool.
enum SFCliExitCode {
    SF_CLI_EXIT_SUCCESS = 0,
    SF_CLI_EXIT_PERFORM = 99,      // from the parse only: one command is ready to be performed
    SF_CLI_EXIT_SYNTAX = 100,      // the command line does not parse
    SF_CLI_EXIT_BAD_VALUE = 101,   // a value outside the accepted words or range
    SF_CLI_EXIT_REQUEST_FAILED = 103,
};

class SFCli {
public:
    explicit SFCli(ZAV::ILogger& logger);

    SFCli(const SFCli&) = delete;
    SFCli& operator=(const SFCli&) = delete;

    // Declares the seventeen commands, without values, in the "Options" group.
    void initCli();
    // 0: help or the command list was shown; 99: one command parsed and ready; 100: syntax
    // error. Prints help and syntax messages on standard output.
    int parseAndPerformHelp(int argc, char** argv);
    // Only after parseAndPerformHelp returned 99. Returns the process exit code.
    int performCli(ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                   ZAV::IFMCommClient& client);

    // Rule and trusted-network actions, each returning an exit code.
    int processAddActions(ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                          ZAV::IFMCommClient& client,
                          const boost::program_options::variables_map& vm);
    int processTrustedNetworkAddAction(const boost::program_options::variables_map& vm,
                                       ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                                       ZAV::IFMCommClient& client);
    int processDeleteAction(const boost::program_options::variables_map& vm,
                            ICliCommands& commands, ZAV::ICommandFMCallback& callback,
                            ZAV::IFMCommClient& client);
    int processTrustedNetworkDeleteAction(const boost::program_options::variables_map& vm,
                                          ICliCommands& commands,
                                          ZAV::ICommandFMCallback& callback,
                                          ZAV::IFMCommClient& client);

    // Checks of option values. Each returns false after logging why at level 4; none prints.
    bool isRuleNameValid(std::string name);
    bool isRuleDescValid(std::string description);
    bool isValidSingleIpv4(std::string address);
    bool isValidIpRangev4(std::string start, std::string end);
    bool isValidCidr(std::string address, std::string prefix);
    bool isValidFqdn(std::string name);
    bool isValidService(std::string port);
    bool isValidServiceRange(std::string start, std::string end);
    bool isIcmpMsgTypeValid(SFMsgType type);
    bool isTimeIntervalValid(std::string start, std::string end);
    // True when the time holds a colon; hours get the text before it, minutes at most the two
    // characters after it. Outputs untouched otherwise.
    bool splitTime(const std::string& time, std::string& hours, std::string& minutes);
    // True when every named day is a day; mask and dayList keep what earlier pieces added
    // when a later one is not.
    bool generateDaysMask(const std::string& days, int& mask, std::string& dayList);
    std::string sanitizeRuleNameOrDesc(std::string text);

    // Append one address match (kind 2 local or 4 remote, format 1, 2, 4 or 5) or one port
    // match (kind 1 or 3) per element of a comma-separated list to rule; false at the first
    // element that fails its check (earlier elements stay on the rule).
    bool getIpMatchList(SFwMatchFormat format, const std::string& text, SFwMatchType kind,
                        SFwMatchOp op, SFRule& rule);
    bool getPortMatchList(const std::string& text, SFwMatchType kind, SFwMatchOp op, SFRule& rule);

private:
    // Splits at the first delimiter; false when there is none. The halves are not trimmed.
    static bool splitAtFirst(const std::string& text, const std::string& delimiter,
                             std::string& head, std::string& tail);
    void log(int level, const std::string& message);
    // Prints "Invalid Syntax" and the "Options" group.
    void printInvalidSyntax();
    void printInvalidOption();

    boost::program_options::options_description m_options;
    boost::program_options::variables_map m_firstPass;
    boost::program_options::variables_map m_secondPass;
    ZAV::ILogger& m_logger;
    std::string m_component;
};

} // namespace StatefulFirewall
