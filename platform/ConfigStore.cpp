#include "ConfigStore.h"

#include "FMPException.h"
#include "ILogger.h"
#include "IConfigStoreUtility.h"

#include <boost/lexical_cast.hpp>

namespace ZAV {

namespace {

using boost::property_tree::ptree;

constexpr int kNotLoaded = 10;
constexpr int kMissingKey = 11;
constexpr int kWrongSection = 12;
constexpr int kBadValue = 13;

// Paths use '.' between section and key; ptree's own default separator is the same, but being
// explicit keeps a key containing another character from being split.
ptree::path_type treePath(const std::string& path)
{
    return ptree::path_type(path, '.');
}

std::string sectionOf(const std::string& path)
{
    return path.substr(0, path.find('.'));
}

// The id a section is tagged with, or nothing when the section or its tag is absent.
boost::optional<std::string> sectionId(const ptree& tree, const std::string& section)
{
    auto node = tree.get_child_optional(treePath(section));
    if (!node)
        return boost::none;
    return node->get_optional<std::string>(treePath("<xmlattr>.type"));
}

// Puts value at path. The file holds a node's attributes in its start tag, so the reader
// makes its <xmlattr> child the first; put would add a missing one after the node's other
// children. One created here goes first, so the tree in memory is the tree the file reads
// back as, which is what the writer checks its text against.
void putSetting(ptree& tree, const std::string& path, const std::string& value)
{
    const std::string attributes = ".<xmlattr>.";
    const auto at = path.find(attributes);
    if (at != std::string::npos) {
        const auto ownerPath = treePath(path.substr(0, at));
        auto owner = tree.get_child_optional(ownerPath);
        ptree& node = owner ? *owner : tree.put_child(ownerPath, ptree());
        if (node.find("<xmlattr>") == node.not_found())
            node.push_front(ptree::value_type("<xmlattr>", ptree()));
    }
    tree.put(treePath(path), value);
}

} // namespace

ConfigStore::ConfigStore(ILogger& logger, std::string componentName)
    : m_logger(logger), m_componentName(std::move(componentName))
{
}

std::string ConfigStore::readText(const std::string& sectionIdText, const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_loaded)
        throw FMPException(kNotLoaded, "Settings are not loaded; cannot read " + path);
    const auto id = sectionId(m_tree, sectionOf(path));
    if (id && *id != sectionIdText)
        throw FMPException(kWrongSection, "Section " + sectionOf(path) + " has id " + *id +
                                              ", not " + sectionIdText + "; cannot read " + path);
    auto node = m_tree.get_child_optional(treePath(path));
    if (!node || !id)
        throw FMPException(kMissingKey, "No setting " + path + " in section id " + sectionIdText);
    return node->data();
}

bool ConfigStore::getBoolValue(const std::string& sectionIdText, const std::string& path)
{
    const std::string text = readText(sectionIdText, path);
    if (text == "1" || text == "true")
        return true;
    if (text == "0" || text == "false")
        return false;
    throw FMPException(kBadValue, "Setting " + path + " holds \"" + text + "\", not a boolean");
}

int ConfigStore::getIntValue(const std::string& sectionIdText, const std::string& path)
{
    const std::string text = readText(sectionIdText, path);
    try {
        // lexical_cast converts the whole text or throws: "5x", " 5" and "" are refused.
        return boost::lexical_cast<int>(text);
    } catch (const boost::bad_lexical_cast&) {
        throw FMPException(kBadValue, "Setting " + path + " holds \"" + text + "\", not an integer");
    }
}

std::string ConfigStore::getStringValue(const std::string& sectionIdText, const std::string& path)
{
    return readText(sectionIdText, path);
}

void ConfigStore::writeText(const std::string& attributeName,
                            const std::vector<ConfigValue>& values)
{
    // The callers log only that a write failed; why it failed is said here.
    try {
        storeText(attributeName, values);
    } catch (const FMPException& e) {
        m_logger.logMessage(2, m_componentName, e.getMessage());
        throw;
    }
}

void ConfigStore::storeText(const std::string& attributeName,
                            const std::vector<ConfigValue>& values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string paths;
    for (const ConfigValue& value : values)
        paths += (paths.empty() ? "" : ", ") + value.path;
    if (!m_loaded || !m_utility)
        throw FMPException(kNotLoaded, "Settings are not loaded; cannot write " + paths);

    ptree updated = m_tree;
    for (const ConfigValue& value : values) {
        const std::string section = sectionOf(value.path);
        const auto id = sectionId(updated, section);
        if (id && *id != value.sectionId)
            throw FMPException(kWrongSection, "Section " + section + " has id " + *id + ", not " +
                                                  value.sectionId + "; cannot write " + value.path);
        if (!id)
            putSetting(updated, section + ".<xmlattr>." + attributeName, value.sectionId);
        putSetting(updated, value.path, value.text);
    }
    try {
        m_utility->writeSettings(m_path, updated); // throws, leaving m_tree as it was
    } catch (const FMPException& e) {
        // The utility names the file and the reason; which settings were refused is said here.
        throw FMPException(e.getCode(), "Cannot set " + paths + ": " + e.getMessage());
    }
    m_tree.swap(updated);
}

void ConfigStore::setBoolValue(const std::string& attributeName, const std::string& sectionIdText,
                               const std::string& path, bool value)
{
    // Booleans are stored as "0" and "1", which is what every reader of the file expects.
    writeText(attributeName, {{sectionIdText, path, value ? "1" : "0"}});
}

void ConfigStore::setIntValue(const std::string& attributeName, const std::string& sectionIdText,
                              const std::string& path, int value)
{
    writeText(attributeName, {{sectionIdText, path, std::to_string(value)}});
}

void ConfigStore::setStringValue(const std::string& attributeName,
                                 const std::string& sectionIdText, const std::string& path,
                                 const std::string& value)
{
    writeText(attributeName, {{sectionIdText, path, value}});
}

void ConfigStore::setValues(const std::string& attributeName,
                            const std::vector<ConfigValue>& values)
{
    writeText(attributeName, values);
}

void ConfigStore::setConfigStoreUtility(std::shared_ptr<IConfigStoreUtility> utility)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_utility = std::move(utility);
}

bool ConfigStore::initialise(const std::string& path, ConfigDefaults defaults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loaded = false;
    m_tree.clear();
    m_path = path;
    if (!m_utility) {
        m_logger.logMessage(2, m_componentName, "No configuration store utility to read " + path);
        return false;
    }

    ptree tree;
    try {
        tree = m_utility->readSettings(path);
    } catch (const std::exception& e) {
        m_logger.logMessage(2, m_componentName, e.what());
        return false;
    }

    // An empty or blank file parses as an empty tree. Filling every key from the defaults would
    // silently reset every setting, so a file holding none of the sections is refused instead.
    bool anySection = false;
    for (const auto& [id, values] : defaults) {
        for (const auto& entry : values) {
            const std::string section = sectionOf(entry.first);
            if (!tree.get_child_optional(treePath(section)))
                continue;
            anySection = true;
            const auto tag = sectionId(tree, section);
            if (tag && *tag != id) {
                m_logger.logMessage(2, m_componentName,
                                    "Section " + section + " of " + path + " has id " + *tag +
                                        " where " + id + " was expected");
                return false;
            }
            break;
        }
    }
    if (!anySection) {
        m_logger.logMessage(2, m_componentName, "Settings file " + path + " holds no known section");
        return false;
    }

    bool added = false;
    for (const auto& section : defaults) {
        for (const auto& [keyPath, value] : section.second) {
            if (!tree.get_child_optional(treePath(keyPath))) {
                putSetting(tree, keyPath, value);
                added = true;
            }
        }
    }
    if (added) {
        try {
            m_utility->writeSettings(path, tree);
        } catch (const std::exception& e) {
            // Too large to write with the defaults filled in, the settings could not save any
            // later change either: the file is refused like one the reader refuses.
            const auto* refusal = dynamic_cast<const FMPException*>(&e);
            if (refusal != nullptr && refusal->getCode() == kSettingsTooLarge) {
                m_logger.logMessage(2, m_componentName,
                                    "Settings file " + path +
                                        " refused: with the defaults filled in it could not be "
                                        "saved (" + refusal->getMessage() + ")");
                return false;
            }
            // The filled-in values still serve reads; the next successful write saves them.
            m_logger.logMessage(2, m_componentName,
                                std::string("Cannot save defaults added to the settings: ") + e.what());
        }
    }
    m_tree.swap(tree);
    m_loaded = true;
    return true;
}

} // namespace ZAV
