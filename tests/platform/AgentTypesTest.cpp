// The agent's value types: policy ordering that plug-ins key maps by, the event record's
// refusals, wide-text narrowing, and the stand-in sections handle's policy text.

#include "FMPException.h"
#include "MsgBusEventData.h"
#include "PolicyTypes.h"
#include "RecordingLogger.h"
#include "StandInSectionsHandle.h"
#include "WStringUtils.h"

#include <gtest/gtest.h>

#include <map>

using ZAV::PolicyObject;
using ZAV::PolicySetting;

namespace {

PolicySetting setting(std::string a, std::string b, std::string type = "101", std::string name = "n")
{
    return PolicySetting{std::move(a), std::move(b), "", "", std::move(type), std::move(name)};
}

} // namespace

TEST(AgentTypesTest, PolicySettingsOrderByTheirJoinedTextsBytewise)
{
    // Joined texts equal: one setting, whichever way the texts were cut.
    EXPECT_FALSE(setting("a", "bc") < setting("ab", "c"));
    EXPECT_FALSE(setting("ab", "c") < setting("a", "bc"));
    std::map<PolicySetting, std::string> stamps;
    stamps[setting("a", "bc")] = "first";
    stamps[setting("ab", "c")] = "second";
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps.begin()->second, "second");

    // A proper prefix sorts first; bytes compare unsigned, so 0xC3 sorts after 'z'.
    EXPECT_TRUE(setting("ab", "", "", "") < setting("ab", "", "", "x"));
    EXPECT_TRUE(setting("z", "") < setting("\xC3", ""));

    // Objects compare text by text, not joined.
    EXPECT_TRUE((PolicyObject{"a", "bc", ""} < PolicyObject{"ab", "c", ""}));
    EXPECT_FALSE((PolicyObject{"ab", "c", ""} < PolicyObject{"a", "bc", ""}));
}

TEST(AgentTypesTest, EventRecordRefusesCustomFieldsWithoutATable)
{
    ZAV::MsgBusEventData event("18001", 2);
    try {
        event.addCustomFieldToEvent("BladeName", "x");
        FAIL() << "no exception";
    } catch (const ZAV::FMPException& e) {
        EXPECT_EQ(e.getCode(), 3);
        EXPECT_EQ(e.getMessage(), "Custom Field Table name should be set first");
    }
    try {
        event.setCustomFieldTableName("");
        FAIL() << "no exception";
    } catch (const ZAV::FMPException& e) {
        EXPECT_EQ(e.getCode(), 3);
        EXPECT_EQ(e.getMessage(), "Custom Field Table name cannot be empty");
    }
    event.setCustomFieldTableName("T");
    event.addCustomFieldToEvent("k", "1");
    event.addCustomFieldToEvent("k", "2");
    EXPECT_EQ(event.getCustomFields().at("k"), "2");
    EXPECT_EQ(event.getEventName(), "18001");
    EXPECT_EQ(event.getEventSeverity(), 2);
}

TEST(AgentTypesTest, WideTextNarrowsToUtf8)
{
    EXPECT_EQ(ZAV::wstringToString(L"0a1b-EMPTY"), "0a1b-EMPTY");
    EXPECT_EQ(ZAV::wstringToString(L"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(ZAV::wstringToString(std::wstring(1, static_cast<wchar_t>(0xD800))), "?");
}

TEST(AgentTypesTest, PolicyTextGivesSectionsObjectsAndSettingKeys)
{
    TestSupport::RecordingLogger logger;
    const std::string text =
        "# a comment\n"
        "software OTHER_ID\n"
        "section 8 FWStatus=1\n"
        "section 8 Note=a = b # kept\n"
        "section 8 Empty=\n"
        "key 101 GUID=too early\n"
        "object HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|Rules | one\n"
        "setting f|c|t|s1|101|rule one\n"
        "key 101 GUID={abc}\n"
        "key 101 Action=BLOCK\n"
        "setting f|c|t|s2|100|seq\n"
        "bogus line\n"
        "section nokey\n";
    ZAV::StandInSectionsHandle handle;
    std::string software = "HVRT_FW_1060QUIL";
    handle.readPolicyText(text, "p.txt", logger, "Agent", software);
    EXPECT_EQ(software, "OTHER_ID");

    bool found = false;
    EXPECT_EQ(handle.getValue("8", "FWStatus", found), "1");
    EXPECT_TRUE(found);
    EXPECT_EQ(handle.getValue("8", "Note", found), "a = b # kept");
    EXPECT_EQ(handle.getValue("8", "Empty", found), "");
    EXPECT_TRUE(found);
    handle.getValue("8", "Missing", found);
    EXPECT_FALSE(found);

    const auto objects = handle.getPolicyObjects();
    ASSERT_EQ(objects.size(), 1u);
    const ZAV::PolicyInfo info =
        handle.getPolicyInfo({"HVRT_FW_META_FW", "Tovalith_FW_Rules", "Tovalith_FW_Rules"});
    EXPECT_EQ(info.policyName, "Rules | one");
    ASSERT_EQ(info.settings.size(), 2u);
    const PolicySetting& rule = info.settings.front();
    EXPECT_EQ(rule.settingType, "101");
    EXPECT_EQ(rule.settingName, "rule one");
    EXPECT_EQ(handle.getValue(rule, "101", "GUID", found), "{abc}");
    EXPECT_TRUE(found);
    handle.getValue(info.settings.back(), "101", "GUID", found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(handle.getPolicyInfo({"x", "y", "z"}).settings.empty());

    EXPECT_TRUE(logger.has(2, "Skipped line 6 of p.txt: a key before any setting"));
    EXPECT_TRUE(logger.has(2, "Skipped line 12 of p.txt: unknown directive 'bogus'"));
    EXPECT_TRUE(logger.has(2, "Skipped line 13 of p.txt: expected section <name> <key>=<value>"));
    EXPECT_EQ(logger.count(2), 3u);
}
