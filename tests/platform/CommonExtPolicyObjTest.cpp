#include "CommonExtPolicyObj.h"

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/archive/text_woarchive.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using ZAV::CommonExtPolicyObj;

namespace {

std::string narrowArchive(const CommonExtPolicyObj& policy)
{
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out);
        archive << policy;
    }
    return out.str();
}

CommonExtPolicyObj readNarrow(const std::string& text)
{
    std::istringstream in(text);
    boost::archive::text_iarchive archive(in);
    CommonExtPolicyObj policy;
    archive >> policy;
    return policy;
}

// A record whose every field differs from the default, so a field read from the wrong place
// shows.
CommonExtPolicyObj distinctPolicy()
{
    CommonExtPolicyObj p;
    p.m_logPath = "/var/log/fw";
    p.m_activityLogging = false;
    p.m_limitActivityLogSize = false;
    p.m_activityLogSize = 4;
    p.m_carried5 = p.m_carried6 = p.m_carried7 = true;
    p.m_debugLogging = true;
    p.m_limitDebugLogSize = false;
    p.m_debugLogSize = 10;
    p.m_sendEventsToServer = true;
    p.m_eventLogging = false;
    p.m_carried13 = 13;
    p.m_carried14 = 14;
    p.m_carried15 = 15;
    p.m_carried16 = 16;
    p.m_serverLogLevel = 17;
    p.m_carried18 = 18;
    p.m_carried19 = false;
    p.m_carried20 = p.m_carried21 = true;
    p.m_carried22 = "v22";
    p.m_carried23 = "v23";
    p.m_carried24 = {"a", "bc"};
    p.m_carried25 = true;
    p.m_carried26 = "v26";
    p.m_carried27 = "v27";
    return p;
}

// The archive's tokens after the header and the object's tracking and version words.
std::vector<std::string> fieldTokens(const std::string& archive)
{
    std::istringstream in(archive);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;)
        tokens.push_back(token);
    return std::vector<std::string>(tokens.begin() + 5, tokens.end());
}

TEST(CommonExtPolicyObjTest, FieldsTravelInArchiveOrderWithTheirDefaults)
{
    // Header (3 words), tracking and version, then the 27 fields. Strings carry their length
    // first; the list is one object: its own tracking and version words, count, item version.
    EXPECT_EQ(fieldTokens(narrowArchive(CommonExtPolicyObj())),
              (std::vector<std::string>{"0", "1", "1", "0", "0", "0", "0", "0", "1", "0",
                                        "0", "1", "0", "0", "0", "0", "0", "0", "1", "0",
                                        "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}));
    EXPECT_EQ(fieldTokens(narrowArchive(distinctPolicy())),
              (std::vector<std::string>{"11", "/var/log/fw", "0", "0", "4", "1", "1", "1", "1",
                                        "0", "10", "1", "0", "13", "14", "15", "16", "17", "18",
                                        "0", "1", "1", "3", "v22", "3", "v23", "0", "0", "2", "0", "1", "a",
                                        "2", "bc", "1", "3", "v26", "3", "v27"}));

    const CommonExtPolicyObj back = readNarrow(narrowArchive(distinctPolicy()));
    EXPECT_EQ(narrowArchive(back), narrowArchive(distinctPolicy()));

    // The same order in a wide archive.
    std::wostringstream wideOut;
    {
        boost::archive::text_woarchive archive(wideOut);
        archive << distinctPolicy();
    }
    std::wistringstream wideIn(wideOut.str());
    boost::archive::text_wiarchive wideArchive(wideIn);
    CommonExtPolicyObj wideBack;
    wideArchive >> wideBack;
    EXPECT_EQ(narrowArchive(wideBack), narrowArchive(distinctPolicy()));
}

TEST(CommonExtPolicyObjTest, RecordCutAtAFieldBoundaryKeepsTheRemainingDefaults)
{
    const std::string full = narrowArchive(distinctPolicy());
    // Cut right after field 4 (the activity log size "4"): "11 /var/log/fw 0 0 4".
    const std::string afterField4 = full.substr(0, full.find(" 4 ") + 2);
    const CommonExtPolicyObj cut = readNarrow(afterField4);
    EXPECT_EQ(cut.m_logPath, "/var/log/fw");
    EXPECT_FALSE(cut.m_activityLogging);
    EXPECT_FALSE(cut.m_limitActivityLogSize);
    EXPECT_EQ(cut.m_activityLogSize, 4);
    // Everything after field 4 is a fresh record's.
    CommonExtPolicyObj expected = CommonExtPolicyObj();
    expected.m_logPath = cut.m_logPath;
    expected.m_activityLogging = false;
    expected.m_limitActivityLogSize = false;
    expected.m_activityLogSize = 4;
    EXPECT_EQ(narrowArchive(cut), narrowArchive(expected));

    // Cut inside the list (its count says two, one element is there): the list and the
    // fields after it keep their defaults.
    const std::string inList = full.substr(0, full.find(" a ") + 2);
    const CommonExtPolicyObj cutList = readNarrow(inList);
    EXPECT_EQ(cutList.m_carried23, "v23");
    EXPECT_TRUE(cutList.m_carried24.empty());
    EXPECT_TRUE(cutList.m_carried26.empty());

    // Nothing but the object's words: all defaults.
    const std::string header = full.substr(0, full.find(" 11 "));
    EXPECT_EQ(narrowArchive(readNarrow(header)), narrowArchive(CommonExtPolicyObj()));
}

} // namespace
