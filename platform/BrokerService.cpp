// The commands the platform service answers itself (destination id 1) and the common policy.

#include "Broker.h"

#include "BrokerLogSettings.h"
#include "CommonPolicyFile.h"
#include "ILogger.h"
#include "SFArchiveSignature.h"

#include <boost/archive/text_iarchive.hpp>

#include <sstream>
#include <type_traits>

namespace ZAV {

namespace {

const char kComponent[] = "ZAVBroker";

constexpr int32_t kServiceFmId = 1;
constexpr int32_t kDaemonFmId = 7000;

constexpr int32_t kGetCommonPolicy = 1000;
constexpr int32_t kCommonPolicyUpdate = 1001;

// The log settings commands, each with its state-file key and the kind of value it carries.
struct LogSettingCommand {
    int32_t commandId;
    const char* key;
    bool isBool;
    const char* description;
};

constexpr LogSettingCommand kLogSettingCommands[] = {
    {1002, "maxProductLogSize", false, "maximum product log size (MB)"},
    {1003, "productLog", true, "product log"},
    {1004, "debugLog", true, "debug log"},
    {1005, "useSyslog", true, "use of syslog"},
};

// Reads the one value a log-setting request carries: a narrow text archive holding an int or a
// bool. Wide requests travel UTF-8 encoded, which for a number is the same text. The signature
// is checked before boost reads the header, whose stated length boost would otherwise allocate;
// an int or a bool has no stored length of its own, so nothing else in the data sizes anything.
template <typename T> T readValue(const std::string& data)
{
    static_assert(std::is_same_v<T, int> || std::is_same_v<T, bool>,
                  "only values without a stored length are read this way");
    StatefulFirewall::checkArchiveSignature(data);
    std::istringstream in(data);
    boost::archive::text_iarchive archive(in);
    T value{};
    archive >> value;
    return value;
}

} // namespace

bool Broker::loadCommonPolicy(std::string& error)
{
    if (m_options.commonPolicyFile.empty())
        return true;
    std::string archive;
    if (!readCommonPolicyFile(m_options.commonPolicyFile, archive, error))
        return false;
    m_commonPolicy = std::move(archive);
    return true;
}

void Broker::answerServiceCommand(Connection& connection, const RequestFrame& request)
{
    const RequestRecord& in = request.record;
    ResponseFrame response;
    response.type = kAltResponseType;
    ResponseRecord& out = response.record;
    out.commandId = in.commandId;
    out.requesterFmId = in.sourceFmId;
    out.responderFmId = kServiceFmId;
    out.cookie = in.cookie;
    out.completed = 1;

    if (in.commandId == kGetCommonPolicy) {
        // Without a policy file there is no policy to give: status 0 tells the daemon to keep
        // its own settings.
        if (!m_commonPolicy.empty()) {
            out.status = 1;
            out.dataKind = kDataKindNarrow;
            out.flags = kUtf8DataPresentFlag;
            out.dataSize = static_cast<int32_t>(m_commonPolicy.size());
            response.data = m_commonPolicy;
        }
    } else if (in.commandId >= 1002 && in.commandId <= 1005) {
        out.status = storeLogSetting(in.commandId, in.dataKind == kDataKindNone ? std::string() : request.data);
    } else {
        m_logger.logMessage(4, kComponent, "Command " + std::to_string(in.commandId) + " from fm id " +
                                               std::to_string(in.sourceFmId) +
                                               " is not one the platform service knows");
    }
    queueFrame(connection, response);
}

int32_t Broker::storeLogSetting(int32_t commandId, const std::string& data)
{
    const LogSettingCommand* command = nullptr;
    for (const auto& c : kLogSettingCommands) {
        if (c.commandId == commandId)
            command = &c;
    }
    if (command == nullptr)
        return 0;
    const std::string what = "command " + std::to_string(commandId) + " (" + command->description + ")";
    if (data.empty()) {
        m_logger.logMessage(4, kComponent, "Refused " + what + ": it carries no value");
        return 0;
    }
    int value = 0;
    try {
        value = command->isBool ? static_cast<int>(readValue<bool>(data)) : readValue<int>(data);
    } catch (const std::exception& e) {
        m_logger.logMessage(4, kComponent, "Refused " + what + ": its value cannot be read: " + e.what());
        return 0;
    }
    if (!BrokerLogSettings::isValid(command->key, value)) {
        m_logger.logMessage(4, kComponent, "Refused " + what + ": value " + std::to_string(value) +
                                               " is out of range");
        return 0;
    }
    std::string error;
    if (!m_logSettings->set(command->key, value, error)) {
        m_logger.logMessage(2, kComponent, "Refused " + what + ": " + error);
        return 0;
    }
    m_logger.logMessage(5, kComponent, std::string("Platform log setting ") + command->key + " is now " +
                                           std::to_string(value));
    return 1;
}

void Broker::pushCommonPolicy()
{
    if (m_options.commonPolicyFile.empty()) {
        m_logger.logMessage(5, kComponent, "No common policy file to read again");
        return;
    }
    std::string error;
    if (!loadCommonPolicy(error)) {
        m_logger.logMessage(2, kComponent, "Kept the previous common policy: " + error);
        return;
    }
    Connection* daemon = activeHolder(kDaemonFmId);
    if (daemon == nullptr) {
        m_logger.logMessage(5, kComponent, "Read the common policy again; fm id 7000 is not registered to get it");
        return;
    }
    RequestFrame request;
    RequestRecord& record = request.record;
    record.commandId = kCommonPolicyUpdate;
    record.sourceFmId = kServiceFmId;
    record.destFmId = kDaemonFmId;
    record.cookie = nextCookie();
    record.dataKind = kDataKindNarrow;
    record.flags = kUtf8DataPresentFlag;
    record.dataSize = static_cast<int32_t>(m_commonPolicy.size());
    request.data = m_commonPolicy;
    m_pending[record.cookie] = Pending{0, 0, kServiceFmId, daemon->serial, kDaemonFmId, kCommonPolicyUpdate};
    queueFrame(*daemon, request);
    m_logger.logMessage(5, kComponent, "Pushed the common policy to fm id 7000");
}

} // namespace ZAV
