#include "CommonPolicyFile.h"

#include "CommonExtPolicyObj.h"
#include "SFSettingsText.h"

#include <boost/archive/text_oarchive.hpp>

#include <charconv>
#include <cstdint>
#include <limits>
#include <set>
#include <sstream>
#include <vector>

namespace ZAV {

namespace {

constexpr std::size_t kMaxCommonPolicyFileBytes = 64 * 1024;

std::string trimmed(const std::string& text)
{
    const char* space = " \t\r";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool parseBool(const std::string& text, bool& value)
{
    if (text == "1" || text == "true")
        value = true;
    else if (text == "0" || text == "false")
        value = false;
    else
        return false;
    return true;
}

bool parseCount(const std::string& text, int& value)
{
    int parsed = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || parsed < 0)
        return false;
    value = parsed;
    return true;
}

// Sets the field named key; empty when done, otherwise what is wrong with the value or key.
std::string setField(CommonExtPolicyObj& record, const std::string& key, const std::string& value)
{
    struct BoolKey {
        const char* name;
        bool CommonExtPolicyObj::*field;
    };
    struct IntKey {
        const char* name;
        int CommonExtPolicyObj::*field;
    };
    static const BoolKey boolKeys[] = {
        {"activityLogging", &CommonExtPolicyObj::m_activityLogging},
        {"limitActivityLogSize", &CommonExtPolicyObj::m_limitActivityLogSize},
        {"debugLogging", &CommonExtPolicyObj::m_debugLogging},
        {"limitDebugLogSize", &CommonExtPolicyObj::m_limitDebugLogSize},
        {"sendEventsToServer", &CommonExtPolicyObj::m_sendEventsToServer},
        {"eventLogging", &CommonExtPolicyObj::m_eventLogging},
    };
    static const IntKey intKeys[] = {
        {"activityLogSize", &CommonExtPolicyObj::m_activityLogSize},
        {"debugLogSize", &CommonExtPolicyObj::m_debugLogSize},
        {"serverLogLevel", &CommonExtPolicyObj::m_serverLogLevel},
    };
    if (key == "logPath") {
        // The daemon stores the path in its settings file and refuses a policy whose path it
        // could not store; the value is not repeated (long or unprintable).
        const std::string fault = StatefulFirewall::logPathFault(value);
        if (!fault.empty())
            return "logPath: the log path " + fault;
        record.m_logPath = value;
        return {};
    }
    for (const auto& k : boolKeys) {
        if (key == k.name)
            return parseBool(value, record.*k.field) ? std::string()
                                                     : "\"" + value + "\" is not 0, 1, false or true";
    }
    for (const auto& k : intKeys) {
        if (key == k.name)
            return parseCount(value, record.*k.field)
                       ? std::string()
                       : "\"" + value + "\" is not a number from 0 to " +
                             std::to_string(std::numeric_limits<int>::max());
    }
    return "unknown key \"" + key + "\"";
}

} // namespace

bool readCommonPolicyFile(const std::string& path, std::string& archive, std::string& error)
{
    // Read whole, so bounded first: a real policy is a dozen short lines.
    std::string text;
    std::string failure;
    if (!StatefulFirewall::readBoundedFile(path, kMaxCommonPolicyFileBytes, text, failure)) {
        error = "common policy file: " + failure;
        return false;
    }
    std::istringstream in(text);
    CommonExtPolicyObj record;
    std::set<std::string> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#')
            continue;
        const auto equals = content.find('=');
        std::string problem;
        if (equals == std::string::npos) {
            problem = "no '=' in \"" + content + "\"";
        } else {
            const std::string key = trimmed(content.substr(0, equals));
            if (!seen.insert(key).second)
                problem = "key \"" + key + "\" given twice";
            else
                problem = setField(record, key, trimmed(content.substr(equals + 1)));
        }
        if (!problem.empty()) {
            error = "common policy file " + path + ", line " + std::to_string(number) + ": " + problem;
            return false;
        }
    }

    std::ostringstream out;
    {
        boost::archive::text_oarchive writer(out);
        const CommonExtPolicyObj& constRecord = record;
        writer << constRecord;
    }
    archive = out.str();
    return true;
}

} // namespace ZAV
