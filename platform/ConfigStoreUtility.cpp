#include "ConfigStoreUtility.h"

#include "FMPException.h"
#include "ILogger.h"
#include "SFAtomicFile.h"
#include "SFSettingsText.h"

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <sstream>

namespace ZAV {

namespace {

constexpr int kReadFailed = 1;
constexpr int kWriteFailed = 2;

} // namespace

ConfigStoreUtility::ConfigStoreUtility(ILogger& logger)
    : m_logger(logger), m_componentName("ConfigStoreUtility")
{
}

boost::property_tree::ptree ConfigStoreUtility::readSettings(const std::string& path)
{
    // The parser descends one call per nested element and holds the whole text: both are
    // bounded before it runs, so a hostile or runaway file is refused instead of crashing.
    std::string text;
    std::string error;
    if (!StatefulFirewall::readBoundedFile(path, StatefulFirewall::kMaxSettingsFileBytes, text,
                                           error))
        throw FMPException(kReadFailed, "Cannot read settings file " + path + ": " + error);
    // The scan follows the parser's own rules; where it sees the parser stop with an error,
    // the text is refused here, so the parser only ever reads text the scan walked to its end.
    const StatefulFirewall::SFXmlNesting nesting =
        StatefulFirewall::scanXmlNesting(text, StatefulFirewall::kMaxSettingsDepth);
    if (nesting.depth > StatefulFirewall::kMaxSettingsDepth)
        throw FMPException(kReadFailed, "Cannot read settings file " + path +
                                            ": elements are nested deeper than " +
                                            std::to_string(StatefulFirewall::kMaxSettingsDepth));
    if (!nesting.wellFormed) {
        const auto line = 1 + std::count(text.begin(), text.begin() + nesting.stoppedAt, '\n');
        throw FMPException(kReadFailed, "Cannot read settings file " + path +
                                            ": not well-formed XML at line " +
                                            std::to_string(line));
    }
    boost::property_tree::ptree tree;
    try {
        // trim_whitespace undoes the pretty printing of writeSettings.
        std::istringstream in(text);
        boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(kReadFailed, "Cannot read settings file " + path + ": " + e.what());
    }
    return tree;
}

void ConfigStoreUtility::writeSettings(const std::string& path,
                                       const boost::property_tree::ptree& tree)
{
    std::ostringstream text;
    try {
        boost::property_tree::write_xml(
            text, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 2));
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(kWriteFailed, "Cannot format settings for " + path + ": " + e.what());
    }

    // A crash or a full disk leaves either the old file or the new one, never half of one.
    std::string error;
    if (!StatefulFirewall::writeFileAtomically(path, text.str(), error))
        throw FMPException(kWriteFailed, error);
}

} // namespace ZAV
