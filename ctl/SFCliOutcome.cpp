#include "SFCliOutcome.h"

#include "ILogger.h"
#include "SFCli.h"
#include "SFCliStringConstants.h"

#include <exception>
#include <iostream>
#include <string>

namespace StatefulFirewall {

namespace {

const std::string kComponent = "SFCli";

} // namespace

int runCommandLine(const std::function<int()>& parse, const std::function<int()>& perform,
                   ZAV::ILogger& logger)
{
    int code = SF_CLI_EXIT_SYNTAX;
    try {
        code = parse();
    } catch (const std::exception& e) {
        logger.logMessage(2, kComponent, "Exception caught while parsing the commands");
        logger.logMessage(2, kComponent, std::string("The exception said: ") + e.what());
        code = SF_CLI_EXIT_SYNTAX;
    } catch (...) {
        logger.logMessage(2, kComponent, "Exception caught while parsing the commands");
        code = SF_CLI_EXIT_SYNTAX;
    }

    if (code == SF_CLI_EXIT_PERFORM) {
        try {
            return perform();
        } catch (const std::exception& e) {
            logger.logMessage(6, kComponent, "Exception caught while performing CLI operation");
            logger.logMessage(6, kComponent, std::string("The exception said: ") + e.what());
        } catch (...) {
            logger.logMessage(6, kComponent, "Exception caught while performing CLI operation");
        }
        return SF_CLI_EXIT_PERFORM;
    }
    if (code == SF_CLI_EXIT_SYNTAX) {
        std::cout << SFCliStringConstants::PARSE_EXCEPTION_MSG << std::endl;
        return code;
    }
    if (code == SF_CLI_EXIT_SUCCESS)
        logger.logMessage(6, kComponent, "Successfully displayed help command");
    return code;
}

} // namespace StatefulFirewall
