// Builds the configuration controller the way the daemon does (umask 0177, the platform logger
// at the daemon's log path, the real configuration store at the real settings path) and runs
// one operation on it. Used by scripts/demo inside the sandbox.
//
//   tq-settings-probe show
//   tq-settings-probe enable 0|1

#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "FMPLogger.h"
#include "SFConfigController.h"
#include "ZAVSystemUtils.h"

#include <sys/stat.h>

#include <cstring>
#include <iostream>

using namespace StatefulFirewall;

int main(int argc, char** argv)
{
    umask(0177);
    if (argc < 2) {
        std::cerr << "usage: tq-settings-probe show | enable 0|1\n";
        return 2;
    }

    ZAV::FMPLogger logger(std::make_shared<ZAV::ZAVSystemUtils>());
    ZAV::loggerConfig settings;
    settings.logBaseName = "/var/Varnik/kyv/log/fw/tqd";
    settings.logFilePath = "/var/Varnik/kyv/log/fw/tqd.log";
    settings.maxFileSize = 10485760;
    settings.maxTotalSize = 52428800;
    settings.auxiliarySize = 10485760;
    logger.setLoggerSettings(&settings);
    if (!logger.initialize(6, 6, "StatefulFirewall", "10.6.11")) {
        std::cerr << "Failed to initialize log library\n";
        return 1;
    }

    try {
        SFConfigController controller(logger, std::make_unique<ZAV::ConfigStoreUtility>(logger),
                                      std::make_unique<ZAV::ConfigStore>(logger));
        const std::string command = argv[1];
        if (command == "show") {
            std::cout << "firewall enabled: " << controller.getFwEnableStatus() << "\n"
                      << "mode: " << controller.getFwMode() << "\n"
                      << "rule store: " << controller.getRuleStorePath() << "\n"
                      << "version: " << controller.getProductInfo()["ProductInformation.ProductVersion"]
                      << "\n";
            return 0;
        }
        if (command == "enable" && argc == 3) {
            std::cout << "result: " << controller.setFwEnableStatus(std::strcmp(argv[2], "1") == 0)
                      << "\n";
            return 0;
        }
        std::cerr << "unknown command " << command << "\n";
        return 2;
    } catch (const char* text) {
        std::cerr << text << "\n";
        return 1;
    }
}
