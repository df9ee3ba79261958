#include "AgentSpool.h"

#include "ILogger.h"
#include "ISiteListInfoAdaptor.h"
#include "MsgBusEventData.h"
#include "SpoolLines.h"
#include "SFAtomicFile.h"
#include "SFWholeFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ZAV {

namespace {

const char* const kConf = "agent.conf";
const char* const kSiteList = "sitelist.conf";
const char* const kPolicyFolder = "policy.d";
const char* const kPolicyResults = "policy-results.log";
const char* const kCollectRequest = "collect.request";
const char* const kProperties = "properties.txt";
const char* const kEvents = "events.jsonl";

// Digits only: no sign, no blanks, nothing after them.
template <typename Number>
bool parseDigits(const std::string& text, Number& value)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Empty when value is valid for key, else why not.
std::string confProblem(const std::string& key, const std::string& value)
{
    if (key == "managed_mode" || key == "agent_port")
        return std::string();
    if (key == "register.policy" || key == "register.property" || key == "register.agentinfo" ||
        key == "register.sitelist" || key == "sitelist.read")
        return value == "ok" || value == "fail" ? std::string() : "expected ok or fail";
    if (key == "send") {
        int ms = 0;
        if (value == "ok" || value == "fail" || value == "half" || value == "throw" ||
            (value.rfind("block:", 0) == 0 && parseDigits(value.substr(6), ms)))
            return std::string();
        return "expected ok, fail, half, throw or block:<ms>";
    }
    if (key == "register_delay_ms") {
        int ms = 0;
        return parseDigits(value, ms) ? std::string() : "expected a number of milliseconds";
    }
    if (key == "poll_ms") {
        int ms = 0;
        return parseDigits(value, ms) && ms > 0 ? std::string() : "expected a positive number";
    }
    return "unknown key";
}

// Reads a whole file; errno-style error in error (0 on success).
bool readWhole(const std::string& path, std::string& text, int& error)
{
    error = 0;
    return StatefulFirewall::readWholeFile(path, StatefulFirewall::kUnboundedFile, text, error) ==
           StatefulFirewall::WholeFileRead::Read;
}

} // namespace

AgentSpool::AgentSpool(ILogger& logger, std::string component, std::string directory)
    : m_logger(logger), m_component(std::move(component)), m_directory(std::move(directory))
{
}

void AgentSpool::log(int level, const std::string& message) const
{
    m_logger.logMessage(level, m_component, message);
}

bool AgentSpool::reachable() const
{
    struct stat st {};
    return ::stat(m_directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::map<std::string, std::string> AgentSpool::readConf()
{
    std::string text;
    int error = 0;
    if (!readWhole(path(kConf), text, error) && error != ENOENT)
        log(2, "Cannot read " + path(kConf) + ": " + std::strerror(error));

    std::lock_guard<std::mutex> lock(m_confMutex);
    if (m_confRead && text == m_confText)
        return m_conf;
    m_conf.clear();
    forEachLine(text, [&](int number, const std::string& line) {
        const size_t equals = line.find('=');
        std::string problem;
        std::string key;
        if (equals == std::string::npos) {
            problem = "expected key=value";
        } else {
            key = trimmed(line.substr(0, equals));
            problem = confProblem(key, line.substr(equals + 1));
        }
        if (problem.empty())
            m_conf[key] = line.substr(equals + 1);
        else
            log(2, "Skipped line " + std::to_string(number) + " of " + path(kConf) + ": " + problem);
    });
    m_confText = std::move(text);
    m_confRead = true;
    return m_conf;
}

bool AgentSpool::readSiteList(ISiteListInfoAdaptor& siteList)
{
    std::string text;
    int error = 0;
    if (!readWhole(path(kSiteList), text, error)) {
        if (error == ENOENT)
            return true; // the agent knows no sites
        log(2, "Cannot read " + path(kSiteList) + ": " + std::strerror(error));
        return false;
    }
    forEachLine(text, [&](int number, const std::string& line) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1)
            fields.push_back(line.substr(start, bar - start));
        fields.push_back(line.substr(start));

        tag_Site site;
        int kind = 0;
        const bool kindOk = parseDigits(fields[0], kind);
        const auto port = [](const std::string& text, uint32_t& value) {
            value = 0;
            return text.empty() || parseDigits(text, value);
        };
        if (fields.size() != 5 || !kindOk || !port(fields[3], site.firstPort) ||
            !port(fields[4], site.secondPort)) {
            log(2, "Skipped line " + std::to_string(number) + " of " + path(kSiteList) +
                       ": expected kind|name|ipv4|port1|port2 with decimal kind and ports");
            return;
        }
        site.kind = static_cast<SiteKind>(kind);
        site.name = fields[1];
        site.ipAddress = fields[2];
        siteList.addSite(site);
    });
    return true;
}

std::vector<std::string> AgentSpool::pendingPolicies() const
{
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(path(kPolicyFolder), error);
    if (error)
        return names; // no policy folder: nothing waits
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0 &&
            it->is_regular_file(typeError))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool AgentSpool::readText(const std::string& name, std::string& text) const
{
    int error = 0;
    if (readWhole(path(name), text, error))
        return true;
    log(2, "Cannot read " + path(name) + ": " + std::strerror(error));
    return false;
}

bool AgentSpool::finishPolicy(const std::string& name, const std::string& softwareId, int result)
{
    const std::string from = path(std::string(kPolicyFolder) + "/" + name);
    bool renamed = true;
    if (::rename(from.c_str(), (from + ".done").c_str()) != 0) {
        log(2, "Cannot rename " + from + ": " + std::strerror(errno));
        renamed = false;
    }
    append(kPolicyResults, std::to_string(static_cast<long long>(std::time(nullptr))) + " " + name +
                               " software=" + softwareId + " result=" + std::to_string(result) + "\n");
    return renamed;
}

bool AgentSpool::readCollectRequest(bool& all)
{
    std::string text;
    int error = 0;
    if (!readWhole(path(kCollectRequest), text, error)) {
        if (error != ENOENT)
            log(2, "Cannot read " + path(kCollectRequest) + ": " + std::strerror(error));
        // An unreadable request still asks for a collection, of everything.
        all = true;
        return error != ENOENT;
    }
    all = true;
    forEachLine(text, [&](int number, const std::string& line) {
        const std::string entry = trimmed(line);
        if (entry == "all=0" || entry == "all=1")
            all = entry == "all=1";
        else
            log(2, "Skipped line " + std::to_string(number) + " of " + path(kCollectRequest) +
                       ": expected all=0 or all=1");
    });
    return true;
}

void AgentSpool::removeCollectRequest()
{
    if (::unlink(path(kCollectRequest).c_str()) != 0 && errno != ENOENT)
        log(2, "Cannot remove " + path(kCollectRequest) + ": " + std::strerror(errno));
}

bool AgentSpool::writeProperties(const std::vector<StandInSectionsHandle::Property>& properties)
{
    std::string bytes;
    for (const auto& p : properties)
        bytes += p.section + "|" + p.name + "|" + p.value + "\n";
    std::string error;
    if (StatefulFirewall::writeFileAtomically(path(kProperties), bytes, error))
        return true;
    log(2, error);
    return false;
}

bool AgentSpool::appendEvents(const std::string& softwareId, const std::string& productName,
                              const std::string& productVersion,
                              const std::vector<MsgBusEventData>& events)
{
    const std::time_t now = std::time(nullptr);
    std::string bytes;
    for (const MsgBusEventData& event : events)
        bytes += eventLine(now, softwareId, productName, productVersion, event) + "\n";
    return append(kEvents, bytes);
}

bool AgentSpool::append(const std::string& name, const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(m_appendMutex);
    const std::string file = path(name);
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        log(2, "Cannot open " + file + ": " + std::strerror(errno));
        return false;
    }
    int failure = 0;
    // The file may have been made by hand with a wider mode; what it holds is the host's.
    if (::fchmod(fd, 0600) != 0)
        failure = errno;
    if (failure == 0)
        failure = StatefulFirewall::writeAll(fd, bytes);
    ::close(fd);
    if (failure != 0) {
        log(2, "Cannot write " + file + ": " + std::strerror(failure));
        return false;
    }
    return true;
}

std::string AgentSpool::jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string AgentSpool::eventLine(std::time_t when, const std::string& softwareId,
                                  const std::string& productName, const std::string& productVersion,
                                  const MsgBusEventData& event)
{
    std::string line = "{\"t\":" + std::to_string(static_cast<long long>(when));
    line += ",\"software\":" + jsonString(softwareId);
    line += ",\"product\":" + jsonString(productName);
    line += ",\"version\":" + jsonString(productVersion);
    line += ",\"name\":" + jsonString(event.getEventName());
    line += ",\"severity\":" + std::to_string(event.getEventSeverity());
    line += ",\"std\":{";
    const char* separator = "";
    for (const auto& field : event.getStandardFields()) {
        line += separator + jsonString(std::to_string(field.first)) + ":" + jsonString(field.second);
        separator = ",";
    }
    line += "},\"table\":" + jsonString(event.getCustomFieldTableName());
    line += ",\"custom\":{";
    separator = "";
    for (const auto& field : event.getCustomFields()) {
        line += separator + jsonString(field.first) + ":" + jsonString(field.second);
        separator = ",";
    }
    line += "}}";
    return line;
}

} // namespace ZAV
