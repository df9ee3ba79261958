#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "FMPException.h"
#include "RecordingLogger.h"
#include "SFSettingsText.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const char* const kSettings = R"(<?xml version="1.0" encoding="utf-8"?>
<GlobalConfiguration type="1">
  <IsFirewallEnabled>1</IsFirewallEnabled>
  <TCPconTimeout>45</TCPconTimeout>
  <Odd>5x</Odd>
  <Name>  spaced  </Name>
  <HashLimitUptoRate/>
</GlobalConfiguration>
<LoggingInformation type="3">
  <LogPath>/var/log/x</LogPath>
</LoggingInformation>
)";

ZAV::ConfigDefaults defaults()
{
    return {
        {"1",
         {{"GlobalConfiguration.<xmlattr>.type", "1"},
          {"GlobalConfiguration.IsFirewallEnabled", "0"},
          {"GlobalConfiguration.TCPconTimeout", "30"},
          {"GlobalConfiguration.UseFTPinspection", "1"}}},
        {"3",
         {{"LoggingInformation.<xmlattr>.type", "3"},
          {"LoggingInformation.LogPath", "/default"},
          {"LoggingInformation.DebugLogSize", "10"}}},
    };
}

// A utility whose saves fail on demand, over the real file I/O.
class FailingUtility : public ZAV::ConfigStoreUtility {
public:
    using ZAV::ConfigStoreUtility::ConfigStoreUtility;
    bool failWrites = false;
    void writeSettings(const std::string& path, const boost::property_tree::ptree& tree) override
    {
        if (failWrites)
            throw ZAV::FMPException(2, "disk full");
        ZAV::ConfigStoreUtility::writeSettings(path, tree);
    }
};

class ConfigStoreTest : public ::testing::Test {
protected:
    // A store over the file at path; m_initialised says whether it was read.
    std::unique_ptr<ZAV::ConfigStore> open(const std::string& path)
    {
        auto store = std::make_unique<ZAV::ConfigStore>(m_logger);
        store->setConfigStoreUtility(m_utility);
        m_initialised = store->initialise(path, defaults());
        return store;
    }
    std::unique_ptr<ZAV::ConfigStore> openStore(const std::string& content)
    {
        writeFile(m_path, content);
        return open(m_path);
    }

    std::vector<std::string> folderEntries() const
    {
        std::vector<std::string> names;
        DIR* dir = opendir(m_dir.path().c_str());
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
        return names;
    }

    TestSupport::TempDir m_dir;
    std::string m_path = m_dir.file("prefs.xml");
    TestSupport::RecordingLogger m_logger;
    std::shared_ptr<FailingUtility> m_utility = std::make_shared<FailingUtility>(m_logger);
    bool m_initialised = false;
};

TEST_F(ConfigStoreTest, InitialiseReadsTypedValuesAndEmptyElementsAsEmptyTextAndSavesMissingKeysOnce)
{
    auto store = openStore(kSettings);
    ASSERT_TRUE(m_initialised);
    EXPECT_TRUE(store->getBoolValue("1", "GlobalConfiguration.IsFirewallEnabled")); // kept
    EXPECT_EQ(store->getIntValue("1", "GlobalConfiguration.TCPconTimeout"), 45);
    EXPECT_EQ(store->getStringValue("3", "LoggingInformation.LogPath"), "/var/log/x");
    EXPECT_EQ(store->getStringValue("1", "GlobalConfiguration.HashLimitUptoRate"), "");
    EXPECT_TRUE(store->getBoolValue("1", "GlobalConfiguration.UseFTPinspection")); // filled
    EXPECT_EQ(store->getIntValue("3", "LoggingInformation.DebugLogSize"), 10);
    const std::string saved = readFile(m_path);
    EXPECT_NE(saved.find("<UseFTPinspection>1</UseFTPinspection>"), std::string::npos);
    EXPECT_NE(saved.find("<DebugLogSize>10</DebugLogSize>"), std::string::npos);
    EXPECT_NE(saved.find("<TCPconTimeout>45</TCPconTimeout>"), std::string::npos);

    // A complete file is left untouched, not rewritten.
    struct stat before {};
    stat(m_path.c_str(), &before);
    open(m_path);
    ASSERT_TRUE(m_initialised);
    struct stat after {};
    stat(m_path.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(readFile(m_path), saved);
}

TEST_F(ConfigStoreTest, RefusesMissingKeysWrongSectionIdsPartialNumbersAndFailedSavesKeepingTheOldValue)
{
    auto store = openStore(kSettings);
    EXPECT_THROW(store->getIntValue("1", "GlobalConfiguration.Missing"), ZAV::FMPException);
    EXPECT_THROW(store->getIntValue("3", "GlobalConfiguration.TCPconTimeout"), ZAV::FMPException);
    EXPECT_THROW(store->getIntValue("1", "GlobalConfiguration.Odd"), ZAV::FMPException);
    EXPECT_THROW(store->getBoolValue("1", "GlobalConfiguration.TCPconTimeout"), ZAV::FMPException);
    EXPECT_THROW(store->setIntValue("type", "2", "GlobalConfiguration.TCPconTimeout", 1),
                 ZAV::FMPException);
    EXPECT_EQ(store->getIntValue("1", "GlobalConfiguration.TCPconTimeout"), 45);

    // A failed save throws and keeps the old value in memory and on disk.
    const std::string before = readFile(m_path);
    m_utility->failWrites = true;
    EXPECT_THROW(store->setIntValue("type", "1", "GlobalConfiguration.TCPconTimeout", 7), ZAV::FMPException);
    EXPECT_EQ(store->getIntValue("1", "GlobalConfiguration.TCPconTimeout"), 45);
    EXPECT_EQ(readFile(m_path), before);
}

// A refused file is left as it was, and nothing is read from it; the last rows are refused
// before parsing, with the reason logged.
TEST_F(ConfigStoreTest, InitialiseRefusesUnusableFiles)
{
    // Within the settings' bound, but not with the defaults filled in.
    const std::string full = "<GlobalConfiguration type=\"1\"><P>" +
                             std::string(StatefulFirewall::kMaxCompactSettingsBytes - 100, 'x') +
                             "</P></GlobalConfiguration>";
    // Regression: 200,000 nested elements overflowed the parser's stack at every start.
    std::string deep = "<GlobalConfiguration type=\"1\">";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    const std::string large = std::string(kSettings) + "<!--" + std::string(1024 * 1024, 'x') + "-->";
    const std::vector<std::pair<std::string, std::string>> files = { // content, refusal logged
        {"", ""}, {"   \n", ""}, {"<GlobalConfiguration type=\"1\">", ""}, {"<Other>1</Other>", ""},
        {"<GlobalConfiguration type=\"2\"><A>1</A></GlobalConfiguration>", ""}, {full, ""},
        {deep, ": elements are nested deeper than 32"}, {large, ": " + m_path + " is larger than 1048576 bytes"}};
    for (const auto& [content, refusal] : files) {
        auto store = openStore(content);
        EXPECT_FALSE(m_initialised) << "content: " << content.substr(0, 80);
        EXPECT_THROW(store->getIntValue("1", "GlobalConfiguration.TCPconTimeout"), ZAV::FMPException);
        EXPECT_EQ(readFile(m_path), content) << "a refused file must be left as it was";
        EXPECT_TRUE(refusal.empty() || m_logger.has(2, "Cannot read settings file " + m_path + refusal)) << refusal;
    }
    open(m_dir.file("absent.xml"));
    EXPECT_FALSE(m_initialised);
}

// A save replaces the file by a private one, leaves no temporary file and creates a missing
// section tagged with its id.
TEST_F(ConfigStoreTest, WritesPersistPrivatelyAsZeroOneAndAreReadByANewInstance)
{
    auto store = openStore(kSettings);
    chmod(m_path.c_str(), 0644);
    store->setBoolValue("type", "1", "GlobalConfiguration.IsFirewallEnabled", false);
    store->setIntValue("type", "1", "GlobalConfiguration.TCPconTimeout", 99);
    store->setStringValue("type", "3", "LoggingInformation.LogPath", "/new/path");
    store->setStringValue("type", "2", "ProductInformation.ProductVersion", "1.2.3");
    EXPECT_EQ(store->getStringValue("2", "ProductInformation.ProductVersion"), "1.2.3");
    const std::string saved = readFile(m_path);
    EXPECT_NE(saved.find("<IsFirewallEnabled>0</IsFirewallEnabled>"), std::string::npos);
    EXPECT_NE(saved.find("<ProductInformation type=\"2\">"), std::string::npos);
    EXPECT_EQ(TestSupport::fileMode(m_path), 0600);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"prefs.xml"});

    auto reader = open(m_path);
    ASSERT_TRUE(m_initialised);
    EXPECT_FALSE(reader->getBoolValue("1", "GlobalConfiguration.IsFirewallEnabled"));
    EXPECT_EQ(reader->getIntValue("1", "GlobalConfiguration.TCPconTimeout"), 99);
    EXPECT_EQ(reader->getStringValue("3", "LoggingInformation.LogPath"), "/new/path");
}

TEST_F(ConfigStoreTest, SaveIntoAMissingFolderFailsWithoutLeavingFiles)
{
    auto store = openStore(kSettings);
    ZAV::ConfigStoreUtility utility(m_logger);
    boost::property_tree::ptree tree;
    tree.put("A.B", "1");
    EXPECT_THROW(utility.writeSettings(m_dir.file("no/such/prefs.xml"), tree), ZAV::FMPException);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"prefs.xml"});
}

TEST_F(ConfigStoreTest, NestingCountSkipsCommentsDeclarationsAndQuotedBrackets)
{
    // Thirty-one levels inside the section, with everything the count must not mistake for a
    // start tag around them: still accepted.
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE x>\n<!-- <a><a><a> -->\n"
                       "<GlobalConfiguration type=\"1\" note=\"a>b/\">\n"
                       "<IsFirewallEnabled>1</IsFirewallEnabled><Empty/><![CDATA[<a><a>]]>";
    for (int i = 0; i < 31; ++i)
        text += "<n k='>'>";
    for (int i = 0; i < 31; ++i)
        text += "</n>";
    text += "</GlobalConfiguration>\n";
    auto store = openStore(text);
    ASSERT_TRUE(m_initialised);
    EXPECT_TRUE(store->getBoolValue("1", "GlobalConfiguration.IsFirewallEnabled"));

    // One level more is refused.
    text.insert(text.find("<n "), "<n>");
    text.insert(text.rfind("</GlobalConfiguration>"), "</n>");
    store = openStore(text);
    EXPECT_FALSE(m_initialised);
}

TEST_F(ConfigStoreTest, SaveThroughALinkReplacesTheFileItNames)
{
    const std::string target = m_dir.file("real-prefs.xml");
    writeFile(target, kSettings);
    ASSERT_EQ(::symlink(target.c_str(), m_path.c_str()), 0);
    auto store = open(m_path);
    ASSERT_TRUE(m_initialised);
    store->setIntValue("type", "1", "GlobalConfiguration.TCPconTimeout", 7);

    struct stat st {};
    ASSERT_EQ(::lstat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(readFile(target).find("<TCPconTimeout>7</TCPconTimeout>"), std::string::npos);
}

} // namespace
