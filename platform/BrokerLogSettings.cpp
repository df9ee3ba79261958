#include "BrokerLogSettings.h"

#include "SFAtomicFile.h"
#include "SFPrefKeys.h"

#include <charconv>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace ZAV {

BrokerLogSettings::BrokerLogSettings(std::string path) : m_path(std::move(path)) {}

bool BrokerLogSettings::isValid(const std::string& key, int value)
{
    if (key == "maxProductLogSize")
        return StatefulFirewall::isValidLogSizeMiB(value);
    if (key == "productLog" || key == "debugLog" || key == "useSyslog")
        return value == 0 || value == 1;
    return false;
}

void BrokerLogSettings::load(std::vector<std::string>& problems)
{
    m_values.clear();
    std::ifstream in(m_path);
    if (!in) {
        const int error = errno;
        if (error != ENOENT)
            problems.push_back("cannot read " + m_path + ": " + std::strerror(error));
        return;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty())
            continue;
        const auto equals = line.find('=');
        int value = 0;
        bool good = equals != std::string::npos;
        if (good) {
            const char* begin = line.data() + equals + 1;
            const char* end = line.data() + line.size();
            const auto result = std::from_chars(begin, end, value);
            good = begin != end && result.ec == std::errc() && result.ptr == end &&
                   isValid(line.substr(0, equals), value);
        }
        if (!good) {
            problems.push_back(m_path + ", line " + std::to_string(number) + ": \"" + line +
                               "\" is not a known setting with a valid value");
            continue;
        }
        m_values[line.substr(0, equals)] = value;
    }
}

bool BrokerLogSettings::set(const std::string& key, int value, std::string& error)
{
    std::map<std::string, int> next = m_values;
    next[key] = value;
    std::string content;
    for (const auto& [name, setting] : next)
        content += name + "=" + std::to_string(setting) + "\n";
    if (!StatefulFirewall::writeFileAtomically(m_path, content, error))
        return false;
    m_values = std::move(next);
    return true;
}

} // namespace ZAV
