// The preference and version records as both the daemon and the tool see them: the archive
// text of a default preference record, wide text read back through the channel's narrow view,
// and the merge of display contents. Links no daemon library, as the tool does not.

#include "SFCommandPayloads.h"

#include "CommandNWRequest.h"
#include "CommandRequest.h"

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>

#include <gtest/gtest.h>

#include <sstream>

using namespace StatefulFirewall;

namespace {

template <class T> std::string narrowText(const T& value)
{
    std::ostringstream out;
    boost::archive::text_oarchive archive(out, boost::archive::no_header);
    archive << value;
    return out.str();
}

TEST(SFCommandPayloadsTest, ADefaultPreferenceRecordHasItsArchiveOrderAndReadsBack)
{
    // Class information, then the fields in archive order: timeouts, level, size, mode,
    // enabled, trust subnet, spoof, FTP, retain, type 11, present, two spare texts, the
    // unsupported-protocol action and the third spare text.
    EXPECT_EQ(narrowText(SFPrefsData()), "0 0 30 30 0 1 0 1 1 0 0 0 11 0 0  0  1 0 ");

    SFPrefsData changed;
    changed.m_prefType = SF_PREF_TRUST_LOCAL_SUBNET;
    changed.m_prefPresent = true;
    changed.m_trustLocalSubnet = false;
    changed.m_spareText2 = "kept";
    std::istringstream in(narrowText(changed));
    boost::archive::text_iarchive archive(in, boost::archive::no_header);
    SFPrefsData read;
    archive >> read;
    EXPECT_EQ(read.m_prefType, SF_PREF_TRUST_LOCAL_SUBNET);
    EXPECT_TRUE(read.m_prefPresent);
    EXPECT_FALSE(read.m_trustLocalSubnet);
    EXPECT_EQ(read.m_spareText2, "kept");
    EXPECT_EQ(read.m_tcpConTimeout, 30);
    EXPECT_EQ(read.m_unsupportedProtocol, 1);
}

TEST(SFCommandPayloadsTest, WideWrittenRecordsTravelAsUtf8AndReadNarrow)
{
    SFPrefsData prefs;
    prefs.m_fwMode = FW_MODE_ADAPTIVE;
    prefs.m_prefType = SF_PREF_FW_MODE;
    prefs.m_prefPresent = true;
    AboutBoxData about;
    about.m_fmId = 7000;
    about.setAboutBoxDisplayContents({{"StatefulFirewall_Version", "10.6.11"}});

    ZAV::CommandRequest sent(100003, 7000);
    *sent.getWideOutputArchive() << prefs << about;
    ZAV::CommandNWRequest travelling(sent, 3000, 1, true);
    EXPECT_EQ(travelling.getDataKind(), 2);
    ZAV::CommandRequest received(travelling, true);
    ASSERT_NE(received.getNarrowInputArchive(), nullptr);
    SFPrefsData readPrefs;
    AboutBoxData readAbout;
    *received.getNarrowInputArchive() >> readPrefs >> readAbout;
    EXPECT_EQ(readPrefs.m_fwMode, FW_MODE_ADAPTIVE);
    EXPECT_EQ(readPrefs.m_prefType, SF_PREF_FW_MODE);
    EXPECT_TRUE(readPrefs.m_prefPresent);
    EXPECT_EQ(readAbout.m_fmId, 7000);
    EXPECT_EQ(readAbout.m_aboutBoxDisplayContents, about.m_aboutBoxDisplayContents);
}

TEST(SFCommandPayloadsTest, DisplayContentsMergeKeepingLaterValuesAndEveryKey)
{
    AboutBoxData about;
    EXPECT_EQ(about.m_fmId, -1);
    about.setAboutBoxDisplayContents({{"a", "1"}, {"b", "2"}});
    about.setAboutBoxDisplayContents({{"b", "3"}, {"c", "4"}});
    const std::map<std::string, std::string> expected = {{"a", "1"}, {"b", "3"}, {"c", "4"}};
    EXPECT_EQ(about.m_aboutBoxDisplayContents, expected);
    // fmId, then the map as one object: count 3, item version, the pairs.
    EXPECT_EQ(narrowText(about), "0 0 -1 0 0 3 0 0 0 1 a 1 1 1 b 1 3 1 c 1 4");
}

} // namespace
