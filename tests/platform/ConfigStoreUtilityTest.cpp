#include "ConfigStoreUtility.h"
#include "FMPException.h"
#include "MemoryCeiling.h"
#include "RecordingLogger.h"
#include "SFSettingsText.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <tuple>

using boost::property_tree::ptree;
using StatefulFirewall::kMaxSettingsDepth;
using StatefulFirewall::scanXmlNesting;

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

namespace {

// Elements nested in the tree the parser built; its attribute and comment children are not
// elements (no element name can hold their '>').
std::size_t elementDepth(const ptree& tree)
{
    std::size_t deepest = 0;
    for (const auto& child : tree)
        if (child.first != "<xmlattr>" && child.first != "<xmlcomment>")
            deepest = std::max(deepest, 1 + elementDepth(child.second));
    return deepest;
}

// The platform's refusal a step throws, or "none".
template <typename Step>
std::string refusalOf(Step step)
{
    try {
        step();
    } catch (const ZAV::FMPException& e) {
        return e.getMessage();
    }
    return "none";
}

// Each test's own temporary folder, and a utility over the real file I/O.
class ConfigStoreUtilityTest : public ::testing::Test {
protected:
    TestSupport::TempDir m_dir;
    TestSupport::RecordingLogger m_logger;
    ZAV::ConfigStoreUtility m_utility{m_logger};
};

// The point of the scan: for every text the parser (with the settings reader's flags) never
// builds a tree deeper than the scan says, and the scan refuses exactly what the parser
// refuses, so no settings file the parser reads is turned away. Each row's texts are random
// runs of elements and of the pieces of one construct that can hide start tags.
TEST_F(ConfigStoreUtilityTest, NestingScanIsNeverShallowerThanTheTreeTheParserBuilds)
{
    const std::vector<std::pair<const char*, std::vector<std::string>>> constructs = {
        {"processing instruction", {"<?p ", "<?xml ", "<?", "?>", "?", ">"}},
        {"comment", {"<!--", "<!-->", "-->", "--", "-", ">"}},
        {"CDATA", {"<![CDATA[", "]]>", "]]", "]", "[", ">"}},
        {"DOCTYPE internal subset", {"<!DOCTYPE d [", "<!DOCTYPE d ", "[", "]", "]>", ">", "\"", "<!--"}},
        {"quotes in names", {"<a\">", "<a'>", "</a\">", "<a\"/>", "\"", "'", "<b x=\"", "\">", "="}},
        {"odd characters in names and values",
         {"<a<b>", "<a=b>", "<a!>", "</a<b>", "<b x='>'>", "<b x=\"/>\">", "<b x='\"'/>", "<!x", "<!-x",
          "<!DOCTYPEx", "&amp;", "\xEF\xBB\xBF", std::string("\0", 1), "\t", "<", "/", "x"}},
    };
    const std::vector<std::string> elements = {"<a>", "</a>", "<a/>", "<b x='1'>", "</b>", " "};
    std::mt19937 random(1); // fixed: a failure names its text, and reruns the same
    for (const auto& [name, pieces] : constructs) {
        SCOPED_TRACE(name);
        std::size_t parsed = 0;
        std::size_t deepest = 0;
        for (int n = 0; n < 20000; ++n) {
            std::string text;
            for (auto length = random() % 24; length > 0; --length)
                text += random() % 2 == 0 ? elements[random() % elements.size()]
                                          : pieces[random() % pieces.size()];
            const StatefulFirewall::SFXmlNesting scan = scanXmlNesting(text, SIZE_MAX);
            ptree tree;
            try {
                std::istringstream in(text);
                boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
            } catch (const boost::property_tree::xml_parser_error&) {
                ASSERT_FALSE(scan.wellFormed) << "the parser refused what the scan read:\n" << text;
                continue;
            }
            ++parsed;
            const std::size_t depth = elementDepth(tree);
            deepest = std::max(deepest, depth);
            ASSERT_TRUE(scan.wellFormed) << "the scan refused what the parser read:\n" << text;
            ASSERT_GE(scan.depth, depth) << text;
        }
        // Enough of them parse, and deeply enough, for the comparison to mean something.
        EXPECT_GT(parsed, 300u);
        EXPECT_GE(deepest, 3u);
    }

    // The shipped template: three elements deep, read whole.
    const auto scan = scanXmlNesting(
        TestSupport::readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml"), kMaxSettingsDepth);
    EXPECT_TRUE(scan.wellFormed);
    EXPECT_EQ(scan.depth, 3u);
}

// Regression: each of the first three files stays under the size cap and hid its nesting from
// the check that came before the scan, so the parser overflowed its stack at every start of the
// daemon. Text the parser would stop in is refused before it too, with the line where it stops.
TEST_F(ConfigStoreUtilityTest, FilesHidingTheirNestingAreRefusedBeforeParsing)
{
    TestSupport::limitAddressSpace(512);
    const auto repeated = [](const std::string& unit, std::size_t bytes) {
        std::string text;
        while (text.size() + unit.size() <= bytes)
            text += unit;
        return text;
    };
    const std::string deep = ": elements are nested deeper than 32";
    const std::string open31 = repeated("<a>", 3 * 31);
    const std::string close32 = repeated("</a>", 4 * 32);
    const std::vector<std::tuple<const char*, std::string, std::string>> files = {
        // A processing instruction runs to "?>", not to the first '>'.
        {"instruction", repeated(open31 + "<?p" + close32 + "?>", 1039600), deep},
        // A quote in an element name opens nothing.
        {"quoted name", "<a\">" + repeated("<b>", 900000) + "<c\">", deep},
        // A DOCTYPE's internal subset runs to its matching ']'.
        {"internal subset", repeated(open31 + "<!DOCTYPE d [>" + close32 + "]>", 1000000), deep},
        {"cut", "<?xml version=\"1.0\"?>\n<G type=\"1\">\n  <A>1</A\n</G>\n",
         ": not well-formed XML at line 4"},
    };
    for (const auto& [name, text, refusal] : files) {
        SCOPED_TRACE(name);
        ASSERT_LE(text.size(), StatefulFirewall::kMaxSettingsFileBytes);
        TestSupport::writeFile(m_dir.file(name), text);
        EXPECT_EQ(refusalOf([&] { m_utility.readSettings(m_dir.file(name)); }),
                  "Cannot read settings file " + m_dir.file(name) + refusal);
    }
}

// The writer reads its text back before the file is touched: a tree no reader builds, whose
// text would read otherwise (a comment holding "-->"), is refused and the file kept.
TEST_F(ConfigStoreUtilityTest, TextThatWouldReadBackOtherwiseIsNotWritten)
{
    TestSupport::writeFile(m_dir.file("prefs.xml"), "<S/>");
    ptree tree;
    tree.put("S.<xmlcomment>", "ends --> early");
    EXPECT_THROW(m_utility.writeSettings(m_dir.file("prefs.xml"), tree), ZAV::FMPException);
    EXPECT_EQ(TestSupport::readFile(m_dir.file("prefs.xml")), "<S/>");
}

std::string compactText(const ptree& tree)
{
    std::ostringstream out;
    boost::property_tree::write_xml(
        out, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 0));
    return out.str();
}

// A tree whose text without indentation (boost's) is exactly bytes long: values of characters
// escaped up to six times, some elements with attributes after a child as the store once put
// them; 24 levels deep (indented more than twice as large) or in one section (a few percent).
ptree settingsTree(bool deep, std::size_t bytes, std::mt19937& random)
{
    ptree tree;
    ptree* parent = &tree.add_child("Section", ptree());
    for (int level = 0; deep && level < 24; ++level)
        parent = &parent->add_child("n", ptree());
    for (std::size_t size = compactText(tree).size(); size + 1000 < bytes;) {
        ptree alone; // the element by itself, to count its text
        ptree& element = alone.add_child("Item", ptree());
        for (auto n = random() % (deep ? 40 : 200); n > 0; --n)
            element.data() += "ab'&<>\""[random() % 7];
        if (random() % 7 == 0) {
            element.add("c", "x");
            element.add("<xmlattr>.k", "'&");
        }
        size += compactText(alone).size() - compactText(ptree()).size();
        parent->push_back(alone.front());
    }
    const std::size_t padding = bytes - compactText(tree).size() - std::strlen("<Pad></Pad>");
    tree.get_child("Section").add("Pad", std::string(padding, 'x'));
    return tree;
}

// What the writer writes the reader takes, and what the reader takes the writer writes again:
// each tree's text goes to the reader and the tree to the writer. Within the bound both take
// it, and the tree and the tree read are written (indented only when that fits the file bound)
// and read back the same; past it both refuse it, saying its size and the bound.
TEST_F(ConfigStoreUtilityTest, WriterAndReaderTakeTheSameTreesAroundTheBound)
{
    const std::size_t bound = StatefulFirewall::kMaxCompactSettingsBytes;
    std::mt19937 random(7); // fixed: a failure reruns the same trees
    const std::size_t near = 1 + random() % 4000;
    const std::pair<bool, std::size_t> cases[] = {
        {false, bound}, {false, bound + 1}, {false, bound - near}, {true, bound},
        {true, bound + near}, {false, 200000}, {true, 300000}}; // deep, bytes
    const std::string given = m_dir.file("given.xml");
    const std::string written = m_dir.file("written.xml");
    for (const auto& [deep, bytes] : cases) {
        SCOPED_TRACE(std::to_string(bytes) + (deep ? " bytes, deep" : " bytes, wide"));
        const ptree tree = settingsTree(deep, bytes, random);
        TestSupport::writeFile(given, compactText(tree));
        ASSERT_EQ(TestSupport::readFile(given).size(), bytes);
        if (bytes > bound) {
            const std::string tooLarge = std::to_string(bytes) + " bytes without indentation, more than "
                                         "the 983040 bytes the settings may take";
            EXPECT_EQ(refusalOf([&] { m_utility.readSettings(given); }),
                      "Cannot read settings file " + given + ": written again it would be " + tooLarge);
            EXPECT_EQ(refusalOf([&] { m_utility.writeSettings(written, tree); }),
                      "Settings not saved to " + written + ": the file would be " + tooLarge);
            continue;
        }
        const ptree read = m_utility.readSettings(given);
        for (const ptree& source : {tree, read}) {
            m_utility.writeSettings(written, source);
            const std::string file = TestSupport::readFile(written);
            EXPECT_LE(file.size(), StatefulFirewall::kMaxSettingsFileBytes);
            // Indented when that fits the file bound: not deep trees near the bound.
            EXPECT_EQ(file.find("\n  <") != std::string::npos, !deep || bytes < bound / 2);
            EXPECT_TRUE(m_utility.readSettings(written) == read) << "read back otherwise";
        }
    }
}

} // namespace
