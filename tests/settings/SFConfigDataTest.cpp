#include "SFConfigData.h"

#include "FakeConfigStore.h"
#include "SettingsFixture.h"
#include "TempDir.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace StatefulFirewall;
using TestSupport::FakeConfigStore;
using TestSupport::fileMode;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const std::string kLastFatalLogged =
    "Fatal error after initialisation failed after default preferences was copied";

class SFConfigDataTest : public TestSupport::SettingsFixture {
protected:
    // Runs the bootstrap; returns the thrown text, or "" when it succeeded.
    std::string bootstrap()
    {
        try {
            SFConfigData data(m_logger, nullptr, m_store);
            return "";
        } catch (const std::string& text) {
            return text;
        }
    }

    std::shared_ptr<FakeConfigStore> m_store = std::make_shared<FakeConfigStore>();
};

// The copy is private whatever the template's mode and the umask.
TEST_F(SFConfigDataTest, MissingLiveFileIsCopiedPrivatelyFromTheTemplateBeforeInitialising)
{
    installTemplate(0644);
    for (mode_t mask : {0177, 0022, 0}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        unlink(SF_LIVE_PREFS_PATH); // a first install: neither file
        unlink(SF_LAST_GOOD_PREFS_PATH);
        m_store = std::make_shared<FakeConfigStore>();
        const mode_t old = umask(mask);
        const std::string result = bootstrap();
        umask(old);
        EXPECT_EQ(result, "");
        EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), templateText());
        EXPECT_EQ(fileMode(SF_LIVE_PREFS_PATH), 0600);
        EXPECT_TRUE(m_store->utilitySet());
        EXPECT_EQ(m_store->initialisedPaths(), std::vector<std::string>{SF_LIVE_PREFS_PATH});
    }
    EXPECT_TRUE(m_logger.lines().empty());
}

TEST_F(SFConfigDataTest, RefusedLiveFileIsKeptAsCorruptAndReplacedByTheTemplate)
{
    writeFile(SF_LIVE_PREFS_PATH, "<GlobalConfiguration type=\"1\"><IsFirewallEnabled>1");
    m_store->scriptInitialise({false, true});

    EXPECT_EQ(bootstrap(), "");
    EXPECT_EQ(m_store->initialiseCount(), 2);
    EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), templateText());
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "<GlobalConfiguration type=\"1\"><IsFirewallEnabled>1");
    EXPECT_EQ(m_logger.count(2), 2u);
    EXPECT_TRUE(m_logger.has(2, std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                                    " was replaced by the template " + SF_TEMPLATE_PREFS_PATH +
                                    ": there is no usable last good copy " +
                                    SF_LAST_GOOD_PREFS_PATH));
    EXPECT_TRUE(m_logger.has(5, "Initialisation was successful after default preferences was copied"));
}

// Regression: a refused settings file was always replaced by the template, so an enabled
// firewall came up disabled and every other setting went back to its default.
TEST_F(SFConfigDataTest, RefusedLiveFileIsReplacedByTheLastGoodCopyWhenThereIsOne)
{
    const std::string lastGood = "<GlobalConfiguration type=\"1\"><IsFirewallEnabled>1"
                                 "</IsFirewallEnabled></GlobalConfiguration>\n";
    writeFile(SF_LAST_GOOD_PREFS_PATH, lastGood);
    writeFile(SF_LIVE_PREFS_PATH, "<GlobalConfiguration type=\"1\"><IsFire");
    m_store->scriptInitialise({false, true});

    EXPECT_EQ(bootstrap(), "");
    EXPECT_EQ(m_store->initialiseCount(), 2);
    EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), lastGood);
    EXPECT_EQ(fileMode(SF_LIVE_PREFS_PATH), 0600);
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "<GlobalConfiguration type=\"1\"><IsFire");
    EXPECT_TRUE(m_logger.has(2, std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                                    " was refused; it is kept as " + SF_CORRUPT_PREFS_PATH));
    EXPECT_TRUE(m_logger.has(2, std::string("Settings file ") + SF_LIVE_PREFS_PATH +
                                    " was restored from the last good copy " +
                                    SF_LAST_GOOD_PREFS_PATH));
    EXPECT_EQ(m_logger.count(2), 2u);

    // A second refusal keeps the first refused file and restores the copy again.
    writeFile(SF_LIVE_PREFS_PATH, "second damage");
    m_store->scriptInitialise({false, true});
    EXPECT_EQ(bootstrap(), "");
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "<GlobalConfiguration type=\"1\"><IsFire");
    EXPECT_EQ(readFile(std::string(SF_CORRUPT_PREFS_PATH) + ".1"), "second damage");
    EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), lastGood);
}

// Regression: the template's copy was written over the refused last good copy, which was to
// stay for a look by hand.
TEST_F(SFConfigDataTest, RefusedLastGoodCopyIsKeptAsCorruptAndTheTemplateTakesOver)
{
    const std::string keptCopy = std::string(SF_LAST_GOOD_PREFS_PATH) + ".corrupt";
    for (const std::string damage : {"damaged copy", "damaged again"}) {
        SCOPED_TRACE(damage);
        writeFile(SF_LAST_GOOD_PREFS_PATH, damage);
        writeFile(SF_LIVE_PREFS_PATH, "junk");
        m_store->scriptInitialise({false, false, true});
        m_logger.clear();
        const int before = m_store->initialiseCount();

        EXPECT_EQ(bootstrap(), "");
        EXPECT_EQ(m_store->initialiseCount(), before + 3);
        EXPECT_EQ(readFile(SF_LIVE_PREFS_PATH), templateText());
        // The template's copy is the new last good copy; the refused one is kept beside it.
        EXPECT_EQ(readFile(SF_LAST_GOOD_PREFS_PATH), templateText());
        const std::string kept = damage == "damaged copy" ? keptCopy : keptCopy + ".1";
        EXPECT_EQ(readFile(kept), damage);
        EXPECT_TRUE(m_logger.has(2, std::string("The last good settings copy ") +
                                        SF_LAST_GOOD_PREFS_PATH +
                                        " was refused too; it is kept as " + kept));
    }
    EXPECT_EQ(readFile(keptCopy), "damaged copy"); // never replaced by a later one
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "junk");
}

TEST_F(SFConfigDataTest, LiveFileRefusedTwiceIsFatal)
{
    writeFile(SF_LIVE_PREFS_PATH, "junk");
    m_store->scriptInitialise({false, false});

    EXPECT_EQ(bootstrap(), kLastFatalLogged + ".");
    EXPECT_TRUE(m_logger.has(2, kLastFatalLogged));
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "junk");
}

TEST_F(SFConfigDataTest, MissingTemplateAndLiveFileFailBeforeTouchingTheStore)
{
    unlink(SF_TEMPLATE_PREFS_PATH);
    const std::string fatal = "Fatal error after current preferences were missing and default "
                              "preferences could not be used.";
    EXPECT_EQ(bootstrap(), fatal);
    EXPECT_TRUE(m_logger.has(2, fatal));
    EXPECT_FALSE(m_store->utilitySet());
    EXPECT_EQ(m_store->initialiseCount(), 0);
}

TEST_F(SFConfigDataTest, RefusedFileWithoutTemplateIsFatal)
{
    writeFile(SF_LIVE_PREFS_PATH, "junk");
    unlink(SF_TEMPLATE_PREFS_PATH);
    m_store->scriptInitialise({false});
    const std::string fatal = "Fatal error after initialisation failed and default preferences "
                              "could not be copied.";
    EXPECT_EQ(bootstrap(), fatal);
    EXPECT_TRUE(m_logger.has(2, fatal));
    EXPECT_EQ(readFile(SF_CORRUPT_PREFS_PATH), "junk");
}

TEST_F(SFConfigDataTest, StoreRefusingTheUtilityIsFatal)
{
    m_store->failSetUtility();
    EXPECT_EQ(bootstrap(), "Fatal error setting configuration store utility");
    EXPECT_TRUE(m_logger.has(2, "Fatal error setting configuration store utility"));
}

} // namespace
