#include "SFController.h"

#include "IConfigController.h"
#include "IKextInterface.h"
#include "ILogger.h"
#include "INwIFManager.h"
#include "SFException.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"

#include <boost/thread/lock_guard.hpp>

#include <exception>

namespace StatefulFirewall {

std::atomic<SFController*> SFController::m_pSelf{nullptr};
boost::mutex SFController::m_instanceMutex;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

SFController* SFController::getInstance(ZAV::ILogger& logger, IConfigController& config,
                                        IKextInterface* kextInterface)
{
    SFController* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        if (kextInterface == nullptr)
            throw SFException(SF_INVALID_ARGUMENT, "Unable to create SFController Instance");
        self = new SFController(logger, config, kextInterface);
        m_pSelf.store(self);
    }
    return self;
}

void SFController::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

SFController::SFController(ZAV::ILogger& logger, IConfigController& config,
                           IKextInterface* kextInterface)
    : m_kextInterface(kextInterface), m_componentName("Controller"), m_logger(logger),
      m_configController(config), m_enabled(false), m_policyFirewallStatus(false),
      m_policyFirewallStatusSet(false)
{
}

SFController::~SFController() = default;

void SFController::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

// ---------------------------------------------------------------------------------------------
// Enabling and disabling

void SFController::enableStatefulFirewall(INwIFManager& nwIfManager)
{
    Lock lock(m_instanceMutex);
    if (m_enabled.load())
        return;
    m_enabled.store(true);
    log(5, "Enabling Firewall");
    try {
        m_kextInterface->connectToKext();
        m_kextInterface->startHooking();
        processFtpInspectionSetting();
        nwIfManager.startSFFMNwIFManager();
        m_kextInterface->startReporting();
        m_kextInterface->startHealthCheck();
        // A trust-local-subnet change made while disabled was only stored; the push below
        // reads the trusted list, so it is brought in line with the setting first.
        SFTrustedIPGroupManager::getInstance(m_logger, m_configController)
            ->handleShouldTrustLocalSubnet(getShouldTrustLocalSubnet());
        SendRuleAndGroupDataToKext();
        SFRuleManager::getInstance(m_logger, m_configController, true)->updateRuleStore();
        SendAdaptiveModeStatusToKext();
        SFTrustedIPGroupManager::getInstance(m_logger, m_configController)->persistTrustedIPStore();
    } catch (const SFException& e) {
        log(6, "Got exception " + e.message + ". Throwing it upstream.");
        m_enabled.store(false);
        // Threads, chains and DROP policies of the steps already done would otherwise stay
        // while the flag says disabled, and the next disable would not remove them.
        undoEnableSteps(nwIfManager);
        log(5, "SFException occurred while enabling the Firewall - ");
        throw SFException(e.code, e.message);
    }
}

void SFController::disableStatefulFirewall(INwIFManager& nwIfManager)
{
    log(5, "Disabling Firewall");
    Lock lock(m_instanceMutex);
    if (!m_enabled.load())
        return;
    m_enabled.store(false);
    undoEnableSteps(nwIfManager);
}

int SFController::cleanUpWhileDisabled(bool startUp)
{
    Lock lock(m_instanceMutex);
    if (m_enabled.load() || m_kextInterface == nullptr)
        return SF_RULES_IN_FORCE;
    return m_kextInterface->removeLeftovers(startUp);
}

bool SFController::rulesInForce()
{
    return !m_enabled.load() || m_kextInterface == nullptr || m_kextInterface->rulesInForce();
}

int SFController::rulesInForceState()
{
    // Disabled, the bridge tells what of the firewall is still left in iptables.
    return m_kextInterface == nullptr ? SF_RULES_IN_FORCE : m_kextInterface->rulesInForceState();
}

void SFController::undoEnableSteps(INwIFManager& nwIfManager)
{
    auto guarded = [this](const char* step, auto&& action) {
        try {
            action();
        } catch (const SFException& e) {
            log(2, std::string("Ignoring exception while ") + step + " - " + e.message);
        } catch (const std::exception& e) {
            log(2, std::string("Ignoring exception while ") + step + " - " + e.what());
        }
    };
    guarded("stopping the hooking", [this] { m_kextInterface->stopHooking(); });
    guarded("disconnecting from netfilter", [this] { m_kextInterface->disconnectFromKext(); });
    guarded("stopping FTP inspection", [this] { m_kextInterface->stopFtpInspection(); });
    guarded("stopping the interface monitor", [&nwIfManager] { nwIfManager.stopSFFMNwIFManager(); });
}

// ---------------------------------------------------------------------------------------------
// Preference changes

void SFController::sfPreferencesCallBack(SFPrefType type, INwIFManager& nwIfManager)
{
    switch (type) {
    case SF_PREF_FW_STATUS:
        if (m_enabled.load()) {
            log(5, "Current status of firewall - Enabled");
            if (!m_configController.getFwEnableStatus()) {
                log(5, "Setting new status of firewall - Disabled");
                disableStatefulFirewall(nwIfManager);
                log(5, "Successfully set new status of firewall - Disabled");
            } else if (m_kextInterface != nullptr && !m_kextInterface->rulesInForce()) {
                // An enable again is the user's way to retry a push that failed.
                log(5, "Firewall rules are not in force. Applying them again");
                SendRuleAndGroupDataToKext();
            }
        } else {
            log(5, "Current status of firewall - Disabled");
            if (m_configController.getFwEnableStatus()) {
                log(5, "Setting new status of firewall - Enabled");
                enableStatefulFirewall(nwIfManager);
                log(5, "Successfully set new status of firewall - Enabled");
            }
        }
        break;
    case SF_PREF_FW_LOG_LEVEL:
        log(6, "Received callback for Firewall Preferences - Logging level");
        setLogLevel(m_configController.getFwLogLevel());
        break;
    case SF_PREF_FTP_INSPECTION:
        if (m_enabled.load()) {
            log(5, "Updating the system with the FTP Inspection mode");
            processFtpInspectionSetting();
        } else {
            log(5, "Firewall is currently disabled. Ignoring the callback to change FTP Inspection mode");
        }
        break;
    case SF_PREF_FW_MODE:
        if (m_enabled.load()) {
            log(5, "Saving mode in datastore and updating the running firewall");
            SendAdaptiveModeStatusToKext();
        } else {
            log(5, "Firewall is currently disabled. Ignoring the callback to change Firewall mode");
        }
        break;
    case SF_PREF_TRUST_LOCAL_SUBNET:
        // The stored status decides, not the enabled flag: the list must follow the setting
        // whenever the firewall is meant to run, also before the first enable.
        if (m_configController.getFwEnableStatus()) {
            log(5, "Saving Trust local subnet setting in datastore and updating the running firewall");
            SFTrustedIPGroupManager* trusted =
                SFTrustedIPGroupManager::getInstance(m_logger, m_configController);
            if (trusted->handleShouldTrustLocalSubnet(getShouldTrustLocalSubnet()) == SF_SUCCESS)
                trusted->persistTrustedIPStore();
        } else {
            log(5, "Firewall is currently disabled. Ignoring the callback to change Trust Local Subnet");
        }
        break;
    default:
        break;
    }
}

void SFController::setLogLevel(int level)
{
    try {
        if (level >= 2 && level <= 4)
            m_configController.setCustomLogEnable(true);
        else if (level == 0)
            m_configController.setCustomLogEnable(false);
        m_configController.setFwLogLevel(level);
    } catch (const SFException& e) {
        log(2, "SFException occurred while setting log level - " + e.message);
    } catch (const std::exception&) {
        log(2, "Unknown exception occurred while setting log level");
    }
}

// ---------------------------------------------------------------------------------------------
// Forwarding to the bridge

bool SFController::SendRuleAndGroupDataToKext()
{
    if (m_kextInterface == nullptr || !m_kextInterface->SendRuleAndGroupDataToKext()) {
        log(2, "SendRuleAndGroupDataToKext sending rule and group data to kext failed");
        return false;
    }
    return true;
}

bool SFController::SendAdaptiveModeStatusToKext()
{
    log(6, "Sending Data to SFKextInterface");
    if (m_kextInterface == nullptr || !m_kextInterface->SendAdaptiveModeStatusToKext()) {
        log(2, "sending adaptive mode status to kext failed");
        return false;
    }
    return true;
}

bool SFController::processFtpInspectionSetting()
{
    log(6, "Sending FTP inspection setting to SFKextInterface");
    if (m_kextInterface == nullptr || !m_kextInterface->processFtpInspectionSetting()) {
        log(2, "Sending FTP inspection to SFKextInterface failed");
        return false;
    }
    return true;
}

void SFController::updateKerneltzSupportStatus()
{
    if (m_kextInterface == nullptr)
        return;
    const bool supported = m_kextInterface->isKerneltzSupportedInTimeModule();
    m_configController.setKerneltzSupportStatus(supported);
    log(6, std::string("Updated Kernel tz status to ") + (supported ? "1" : "0"));
}

// ---------------------------------------------------------------------------------------------
// Settings read through

std::string SFController::getVersionString()
{
    const std::map<std::string, std::string> info = m_configController.getProductInfo();
    const auto version = info.find(SF_KEY_PRODUCT_VERSION);
    return version == info.end() ? std::string() : version->second;
}

bool SFController::getEnableStatefulFirewall()
{
    return m_configController.getFwEnableStatus();
}

bool SFController::getShouldTrustLocalSubnet()
{
    return m_configController.getShouldTrustLocalSubnet();
}

int SFController::getLogLevel()
{
    return m_configController.getFwLogLevel();
}

FW_MODE SFController::getFwMode()
{
    return m_configController.getFwMode();
}

// ---------------------------------------------------------------------------------------------
// Policy status

void SFController::setPolicyFirewallStatus(bool enabled)
{
    m_policyFirewallStatus.store(enabled);
}

bool SFController::getPolicyFirewallStatus() const
{
    return m_policyFirewallStatus.load();
}

void SFController::setPolicyFirewallStatusSet(bool set)
{
    m_policyFirewallStatusSet.store(set);
}

bool SFController::getPolicyFirewallStatusSet() const
{
    return m_policyFirewallStatusSet.load();
}

} // namespace StatefulFirewall
