#include "ConfigStoreUtility.h"
#include "FMPException.h"
#include "MemoryCeiling.h"
#include "RecordingLogger.h"
#include "SFSettingsText.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <random>
#include <sstream>

using StatefulFirewall::kMaxSettingsDepth;
using StatefulFirewall::scanXmlNesting;

TQ_MEMORY_CEILING_SANITIZER_OPTIONS

namespace {

// Elements nested in the tree the parser built; its attribute and comment children are not
// elements (no element name can hold their '>').
std::size_t elementDepth(const boost::property_tree::ptree& tree)
{
    std::size_t deepest = 0;
    for (const auto& child : tree)
        if (child.first != "<xmlattr>" && child.first != "<xmlcomment>")
            deepest = std::max(deepest, 1 + elementDepth(child.second));
    return deepest;
}

// Documents that hide nesting in one construct: elements whose names and attribute values use
// the construct's characters, with the construct itself between them holding markup the
// parser must not see, plus a few pieces dropped in anywhere so the construct ends early or
// not at all.
class DocumentMaker {
public:
    DocumentMaker(std::vector<std::string> names, std::vector<std::string> hiders,
                  std::vector<std::string> pieces, unsigned seed)
        : m_names(std::move(names)), m_hiders(std::move(hiders)), m_pieces(std::move(pieces)),
          m_random(seed)
    {
    }

    std::string document()
    {
        std::string text = element(0);
        for (int drops = pick(3); drops > 0; --drops)
            text.insert(pick(static_cast<int>(text.size()) + 1), any(m_pieces));
        return text;
    }

private:
    std::string element(int depth)
    {
        const std::string& name = any(m_names);
        std::string text = "<" + name + (pick(3) == 0 ? " k='" + any(m_pieces) + "'" : "");
        if (depth > 6 || pick(5) == 0)
            return text + "/>";
        text += ">";
        for (int children = pick(4); children > 0; --children) {
            switch (pick(3)) {
            case 0:
                text += element(depth + 1);
                break;
            case 1: { // the construct, holding start tags and pieces
                std::string hidden;
                for (int n = pick(4); n > 0; --n)
                    hidden += pick(2) == 0 ? "<h>" : any(m_pieces);
                const std::string& hider = any(m_hiders);
                const auto slot = hider.find('|');
                text += hider.substr(0, slot) + hidden + hider.substr(slot + 1);
                break;
            }
            default:
                text += "t &amp; ";
            }
        }
        return text + "</" + name + ">";
    }

    int pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(m_random); }
    const std::string& any(const std::vector<std::string>& from)
    {
        return from[static_cast<std::size_t>(pick(static_cast<int>(from.size())))];
    }

    std::vector<std::string> m_names;
    std::vector<std::string> m_hiders; // '|' marks where the hidden markup goes
    std::vector<std::string> m_pieces;
    std::mt19937 m_random;
};

struct HidingConstruct {
    const char* name;
    std::vector<std::string> names;
    std::vector<std::string> hiders;
    std::vector<std::string> pieces;
};

// The point of the scan: for every text, the parser (with the settings reader's flags) never
// builds a tree deeper than the scan says, and the scan refuses exactly what the parser refuses,
// so no settings file it reads is turned away.
TEST(ConfigStoreUtilityTest, NestingScanIsNeverShallowerThanTheTreeTheParserBuilds)
{
    const std::vector<HidingConstruct> constructs = {
        {"processing instruction", {"a"}, {"<?p |?>", "<?xml |?>", "<?|?>"},
         {"<a>", "</a>", ">", "?", "?>", "<?p"}},
        {"comment", {"a"}, {"<!--|-->", "<!-->|-->"}, {"<a>", "</a>", ">", "-", "--", "-->"}},
        {"CDATA", {"a"}, {"<![CDATA[|]]>"}, {"<a>", "</a>", ">", "]", "]]", "]]>", "["}},
        {"DOCTYPE internal subset", {"a"}, {"<!DOCTYPE d [|]>", "<!DOCTYPE d [[|]]>"},
         {"<a>", "</a>", ">", "[", "]", "]>", "\"", "<!--"}},
        {"quotes in names", {"a\"", "a'", "\"", "a\"b'"}, {"<q\"|>", "<q x=\"|\">"},
         {"<a>", "</a>", ">", "\"", "'", "=", "<a\">", "</a'>"}},
        {"odd characters in names and values", {"a<b", "a=b", "a!", "[a]", "a&amp;", "-"},
         {"<v k='|'/>", "<v k=\"|\"></v>", "<!x|>", "<!-|>", "<!DOCTYPEx|>", "\xEF\xBB\xBF|"},
         {"<a>", "</a>", ">", "/>", "'", "\"", "<", "&amp;", std::string("\0<a>", 4), "\t"}},
    };
    unsigned seed = 1;
    for (const HidingConstruct& construct : constructs) {
        SCOPED_TRACE(construct.name);
        DocumentMaker maker(construct.names, construct.hiders, construct.pieces, seed++);
        int parsed = 0;
        int deepest = 0;
        const int documents = 2000;
        for (int n = 0; n < documents; ++n) {
            const std::string text = maker.document();
            const StatefulFirewall::SFXmlNesting scan = scanXmlNesting(text, SIZE_MAX);
            boost::property_tree::ptree tree;
            try {
                std::istringstream in(text);
                boost::property_tree::read_xml(in, tree,
                                               boost::property_tree::xml_parser::trim_whitespace);
            } catch (const boost::property_tree::xml_parser_error&) {
                ASSERT_FALSE(scan.wellFormed) << "the parser refused what the scan read:\n" << text;
                continue;
            }
            ++parsed;
            const std::size_t depth = elementDepth(tree);
            deepest = std::max(deepest, static_cast<int>(depth));
            ASSERT_TRUE(scan.wellFormed) << "the scan refused what the parser read:\n" << text;
            ASSERT_GE(scan.depth, depth) << text;
        }
        // Enough of them parse, and deeply enough, for the comparison to mean something.
        EXPECT_GT(parsed, documents / 5);
        EXPECT_GE(deepest, 5);
    }

    // The shipped template: three elements deep, read whole.
    const auto scan = scanXmlNesting(
        TestSupport::readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml"), kMaxSettingsDepth);
    EXPECT_TRUE(scan.wellFormed);
    EXPECT_EQ(scan.depth, 3u);
}

// Regression: each file stays under the size cap and hid its nesting from the check that came
// before the scan, so the parser overflowed its stack at every start of the daemon.
TEST(ConfigStoreUtilityTest, FilesHidingTheirNestingAreRefusedBeforeParsing)
{
    TestSupport::limitAddressSpace(512);
    const auto repeated = [](const std::string& unit, std::size_t bytes) {
        std::string text;
        while (text.size() + unit.size() <= bytes)
            text += unit;
        return text;
    };
    const auto times = [](const std::string& part, int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += part;
        return text;
    };
    const std::string thirtyOneDeep = times("<a>", 31);
    const std::vector<std::pair<const char*, std::string>> files = {
        // A processing instruction runs to "?>", not to the first '>'.
        {"instruction", repeated(thirtyOneDeep + "<?p" + times("</a>", 32) + "?>", 1039600)},
        // A quote in an element name opens nothing.
        {"quoted name", "<a\">" + times("<b>", 300000) + "<c\">"},
        // A DOCTYPE's internal subset runs to its matching ']'.
        {"internal subset", repeated(thirtyOneDeep + "<!DOCTYPE d [>" + times("</a>", 32) + "]>",
                                     1000000)},
    };
    TestSupport::TempDir dir;
    TestSupport::RecordingLogger logger;
    ZAV::ConfigStoreUtility utility(logger);
    for (const auto& [name, text] : files) {
        SCOPED_TRACE(name);
        ASSERT_LE(text.size(), StatefulFirewall::kMaxSettingsFileBytes);
        const std::string path = dir.file(name);
        TestSupport::writeFile(path, text);
        try {
            utility.readSettings(path);
            ADD_FAILURE() << "read without a refusal";
        } catch (const ZAV::FMPException& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot read settings file " + path +
                                                 ": elements are nested deeper than 32");
        }
    }

    // Text the parser would stop in is refused before it, with the line where it stops.
    const std::string path = dir.file("cut");
    TestSupport::writeFile(path, "<?xml version=\"1.0\"?>\n<G type=\"1\">\n  <A>1</A\n</G>\n");
    try {
        utility.readSettings(path);
        ADD_FAILURE() << "read without a refusal";
    } catch (const ZAV::FMPException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot read settings file " + path + ": not well-formed XML at line 4");
    }
}

} // namespace
