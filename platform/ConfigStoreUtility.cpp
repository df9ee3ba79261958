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

using boost::property_tree::ptree;

constexpr int kReadFailed = 1;
constexpr int kWriteFailed = 2;

const char* const kAttributes = "<xmlattr>";
const char* const kComment = "<xmlcomment>";

// The tree of a settings text, parsed as the settings file is read. Throws FMPException with
// what the message begins with and the reason.
ptree parseSettingsText(const std::string& text, const std::string& failure)
{
    // The scan follows the parser's own rules; where it sees the parser stop with an error,
    // the text is refused here, so the parser only ever reads text the scan walked to its end.
    const StatefulFirewall::SFXmlNesting nesting =
        StatefulFirewall::scanXmlNesting(text, StatefulFirewall::kMaxSettingsDepth);
    if (nesting.depth > StatefulFirewall::kMaxSettingsDepth)
        throw FMPException(kReadFailed, failure + ": elements are nested deeper than " +
                                            std::to_string(StatefulFirewall::kMaxSettingsDepth));
    if (!nesting.wellFormed) {
        const auto line = 1 + std::count(text.begin(), text.begin() + nesting.stoppedAt, '\n');
        throw FMPException(kReadFailed,
                           failure + ": not well-formed XML at line " + std::to_string(line));
    }
    ptree tree;
    try {
        // trim_whitespace undoes the pretty printing of writeSettings.
        std::istringstream in(text);
        boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(kReadFailed, failure + ": " + e.what());
    }
    return tree;
}

// What a node of the tree stands for in the file: element text is trimmed and folded by the
// reader, attribute values and comments are read back as written.
enum class Part { Element, Attributes, Text };

Part partOf(Part parent, const std::string& key)
{
    if (parent != Part::Element)
        return Part::Text;
    if (key == kAttributes)
        return Part::Attributes;
    return key == kComment ? Part::Text : Part::Element;
}

// Where the tree holds text the file cannot carry, and why; empty when it holds none. The
// walk goes as deep as the tree, which the reader bounds (kMaxSettingsDepth).
std::string treeFault(const ptree& node, const std::string& where, Part part)
{
    const std::string fault = part == Part::Element
                                  ? StatefulFirewall::settingsValueFault(node.data())
                                  : StatefulFirewall::settingsTextFault(node.data());
    if (!fault.empty())
        return where + " " + fault;
    for (const auto& [key, child] : node) {
        const std::string path = where.empty() ? key : where + "." + key;
        std::string found = StatefulFirewall::settingsTextFault(key);
        if (!found.empty())
            return "the name " + path + " " + found;
        found = treeFault(child, path, partOf(part, key));
        if (!found.empty())
            return found;
    }
    return {};
}

// boost's writer escapes markup characters but writes blanks as they are, and the reader
// (trim_whitespace) folds a run of blanks in element text into one space and drops those at
// its ends. Blanks written as character references are expanded after that folding, so each
// blank of element text the reader would fold or drop goes out as a reference. The writer would
// escape the '&' of a reference put into the tree, so each such blank goes in as a control
// character that no checked tree holds (treeFault), and is swapped for its reference in the
// formatted text.
struct BlankReference {
    char blank;
    char standIn;
    const char* reference;
};
constexpr BlankReference kBlankReferences[] = {
    {'\t', '\x01', "&#9;"},
    {'\n', '\x02', "&#10;"},
    {'\r', '\x03', "&#13;"},
    {' ', '\x04', "&#32;"},
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Puts stand-ins for the blanks of element text that the reader would not keep as they are:
// every one but a single space between two other characters.
void standInForBlanks(ptree& node)
{
    std::string& text = node.data();
    const std::string original = text;
    for (std::size_t i = 0; i < original.size(); ++i) {
        const char c = original[i];
        if (!isBlank(c))
            continue;
        const bool keptAsIs = c == ' ' && i > 0 && i + 1 < original.size() &&
                              !isBlank(original[i - 1]) && !isBlank(original[i + 1]);
        if (keptAsIs)
            continue;
        for (const BlankReference& blank : kBlankReferences)
            if (blank.blank == c)
                text[i] = blank.standIn;
    }
    for (auto& [key, child] : node)
        if (key != kAttributes && key != kComment)
            standInForBlanks(child);
}

std::string referencesForStandIns(const std::string& formatted)
{
    std::string text;
    text.reserve(formatted.size());
    for (const char c : formatted) {
        const auto blank = std::find_if(std::begin(kBlankReferences), std::end(kBlankReferences),
                                        [c](const BlankReference& b) { return b.standIn == c; });
        if (blank == std::end(kBlankReferences))
            text += c;
        else
            text += blank->reference;
    }
    return text;
}

// The settings file's text for tree, indent spaces a level (0: none, and no line breaks),
// each blank of element text the reader would not keep as it is written as a reference. The
// writer formats with it what it writes, the reader what it would write again. Throws
// FMPException with code and the message beginning with failure.
std::string formatSettings(const ptree& tree, int indent, int code, const std::string& failure)
{
    ptree standIns = tree;
    standInForBlanks(standIns);
    std::ostringstream formatted;
    try {
        boost::property_tree::write_xml(
            formatted, standIns,
            boost::property_tree::xml_writer_make_settings<std::string>(' ', indent));
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(code, failure + ": cannot format the settings: " + e.what());
    }
    return referencesForStandIns(formatted.str());
}

// Whether readBack is tree as its file holds it. The writer puts a node's attributes in its
// start tag wherever its <xmlattr> child stands (the one find gives, as for the writer), and the
// reader makes that child the first; everything else keeps its order. The walk goes no deeper
// than readBack, which the reader bounded.
bool readsBackAs(const ptree& readBack, const ptree& tree)
{
    if (readBack.size() != tree.size() || readBack.data() != tree.data())
        return false;
    auto next = readBack.begin();
    const auto attributes = tree.find(kAttributes);
    const bool hasAttributes = attributes != tree.not_found();
    if (hasAttributes) {
        if (next->first != kAttributes || next->second != attributes->second)
            return false;
        ++next;
    }
    for (auto child = tree.begin(); child != tree.end(); ++child) {
        if (hasAttributes && child == tree.to_iterator(attributes))
            continue;
        if (next->first != child->first || !readsBackAs(next->second, child->second))
            return false;
        ++next;
    }
    return true;
}

std::string tooLarge(std::size_t bytes)
{
    return std::to_string(bytes) + " bytes without indentation, more than the " +
           std::to_string(StatefulFirewall::kMaxCompactSettingsBytes) +
           " bytes the settings may take";
}

// The text writeSettings writes for tree: indented for a reader's eyes when that fits the file
// the reader takes, compact when only that does (the compact form is never longer, so it is
// formatted only when the indented one passes its bound). The reader runs it on every tree it
// reads, so the two take the same trees. Throws FMPException, its message beginning with
// failure: faultCode when the tree holds what the file cannot carry or its text would read back
// otherwise, sizeCode (after wouldBe) when its text without indentation passes the bound.
std::string savedText(const ptree& tree, const std::string& failure, const std::string& wouldBe,
                      int faultCode, int sizeCode)
{
    const std::string fault = tree.data().empty() ? treeFault(tree, "", Part::Element)
                                                  : std::string("text outside the sections");
    if (!fault.empty())
        throw FMPException(faultCode,
                           failure + ": " + fault + ", which the settings file cannot hold");

    std::string text = formatSettings(tree, 2, faultCode, failure);
    if (text.size() > StatefulFirewall::kMaxCompactSettingsBytes) {
        std::string compact = formatSettings(tree, 0, faultCode, failure);
        if (compact.size() > StatefulFirewall::kMaxCompactSettingsBytes)
            throw FMPException(sizeCode, failure + ": " + wouldBe + tooLarge(compact.size()));
        if (text.size() > StatefulFirewall::kMaxSettingsFileBytes)
            text.swap(compact);
    }

    // What replaces the file must read back as the settings written, or the next start would
    // refuse it or read other values.
    ptree readBack;
    try {
        readBack = parseSettingsText(text, failure);
    } catch (const FMPException& e) {
        throw FMPException(faultCode, e.getMessage() + " (in the text that would be written)");
    }
    if (!readsBackAs(readBack, tree))
        throw FMPException(faultCode, failure + ": the text written would read back otherwise");
    return text;
}

} // namespace

ConfigStoreUtility::ConfigStoreUtility(ILogger& logger)
    : m_logger(logger), m_componentName("ConfigStoreUtility")
{
}

boost::property_tree::ptree ConfigStoreUtility::readSettings(const std::string& path)
{
    // The parser descends one call per nested element and holds the whole text: both are
    // bounded before it runs, so a hostile or runaway file is refused instead of crashing.
    const std::string failure = "Cannot read settings file " + path;
    std::string text;
    std::string error;
    if (!StatefulFirewall::readBoundedFile(path, StatefulFirewall::kMaxSettingsFileBytes, text,
                                           error))
        throw FMPException(kReadFailed, failure + ": " + error);
    ptree tree = parseSettingsText(text, failure);
    // Text between the sections (a CDATA section there) holds no setting, and no writer could
    // put it back where it stood: it is left out, so the next save leaves it out too.
    const bool textOutside = !tree.data().empty();
    tree.data().clear();
    // Whatever the writer would refuse to write is refused here too: a value the file cannot
    // carry (a control character or a NUL, raw or as a reference; element text ending in a
    // space, from a reference or CDATA), text that would read back otherwise, or a tree whose
    // text without indentation passes the bound (escapes make that up to six times the file).
    // Taken, such a file could never be saved again, so the daemon could change none of its
    // settings; refused, the daemon sets it aside and takes its last good copy.
    savedText(tree, failure, "written again it would be ", kReadFailed, kReadFailed);
    if (textOutside)
        m_logger.logMessage(4, m_componentName,
                            "Settings file " + path + ": text outside the sections is left out");
    return tree;
}

void ConfigStoreUtility::writeSettings(const std::string& path,
                                       const boost::property_tree::ptree& tree)
{
    const std::string failure = "Settings not saved to " + path;
    // Checked before the file is touched: a refused tree leaves the old file in place.
    const std::string text =
        savedText(tree, failure, "the file would be ", kWriteFailed, kSettingsTooLarge);

    // A crash or a full disk leaves either the old file or the new one, never half of one.
    std::string error;
    if (!StatefulFirewall::writeFileAtomically(path, text, error))
        throw FMPException(kWriteFailed, error);
}

} // namespace ZAV
