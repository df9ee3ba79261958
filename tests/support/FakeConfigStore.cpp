#include "FakeConfigStore.h"

#include "FMPException.h"

#include <boost/lexical_cast.hpp>

namespace TestSupport {

std::string FakeConfigStore::read(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failReads.count(path))
        throw ZAV::FMPException(1, "injected read failure of " + path);
    auto it = m_values.find(path);
    if (it == m_values.end())
        throw ZAV::FMPException(2, "no setting " + path);
    return it->second;
}

void FakeConfigStore::write(const std::string& path, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failWrites.count(path))
        throw ZAV::FMPException(3, "injected write failure of " + path);
    m_values[path] = text;
    ++m_writes;
}

bool FakeConfigStore::getBoolValue(const std::string&, const std::string& path)
{
    const std::string text = read(path);
    if (text == "1" || text == "true")
        return true;
    if (text == "0" || text == "false")
        return false;
    throw ZAV::FMPException(4, "not a boolean: " + text);
}

int FakeConfigStore::getIntValue(const std::string&, const std::string& path)
{
    const std::string text = read(path);
    try {
        return boost::lexical_cast<int>(text);
    } catch (const boost::bad_lexical_cast&) {
        throw ZAV::FMPException(4, "not an integer: " + text);
    }
}

std::string FakeConfigStore::getStringValue(const std::string&, const std::string& path)
{
    return read(path);
}

void FakeConfigStore::setBoolValue(const std::string&, const std::string&, const std::string& path,
                                   bool value)
{
    write(path, value ? "1" : "0");
}

void FakeConfigStore::setIntValue(const std::string&, const std::string&, const std::string& path,
                                  int value)
{
    write(path, std::to_string(value));
}

void FakeConfigStore::setStringValue(const std::string&, const std::string&,
                                     const std::string& path, const std::string& value)
{
    write(path, value);
}

void FakeConfigStore::setValues(const std::string&, const std::vector<ZAV::ConfigValue>& values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const ZAV::ConfigValue& value : values)
        if (m_failWrites.count(value.path))
            throw ZAV::FMPException(3, "injected write failure of " + value.path);
    for (const ZAV::ConfigValue& value : values)
        m_values[value.path] = value.text;
    ++m_writes;
}

void FakeConfigStore::setConfigStoreUtility(std::shared_ptr<ZAV::IConfigStoreUtility>)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failSetUtility)
        throw ZAV::FMPException(5, "injected utility failure");
    m_utilitySet = true;
}

bool FakeConfigStore::initialise(const std::string& path, ZAV::ConfigDefaults defaults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_initialisedPaths.push_back(path);
    bool result = true;
    if (!m_initResults.empty()) {
        result = m_initResults.front();
        m_initResults.pop_front();
    }
    if (result && m_loadDefaults)
        for (const auto& section : defaults)
            for (const auto& entry : section.second)
                m_values.emplace(entry.first, entry.second);
    return result;
}

void FakeConfigStore::set(const std::string& path, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[path] = text;
}

void FakeConfigStore::erase(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.erase(path);
}

std::string FakeConfigStore::value(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(path);
    return it == m_values.end() ? std::string() : it->second;
}

bool FakeConfigStore::has(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(path) != 0;
}

int FakeConfigStore::writeCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

int FakeConfigStore::initialiseCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_initialisedPaths.size());
}

bool FakeConfigStore::utilitySet() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_utilitySet;
}

std::vector<std::string> FakeConfigStore::initialisedPaths() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_initialisedPaths;
}

} // namespace TestSupport
