#include "SFConfigData.h"
#include "SFPrefKeys.h"

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

using namespace StatefulFirewall;

namespace {

using Section = std::map<std::string, std::string>;

// The published defaults, written out by hand: a change to the key table must be deliberate.
const Section kGlobal = {
    {"GlobalConfiguration.<xmlattr>.type", "1"},
    {"GlobalConfiguration.ActivityLogSize", "1"},
    {"GlobalConfiguration.AggrTimeoutSecs", "300"},
    {"GlobalConfiguration.EnableIPspoofProtection", "0"},
    {"GlobalConfiguration.FirewallLogLevel", "5"},
    {"GlobalConfiguration.FtpInspectionPorts", "21"},
    {"GlobalConfiguration.HashLimitUptoRate", "5/hour"},
    {"GlobalConfiguration.IptablesRuleLogLevel", "4"},
    {"GlobalConfiguration.IsFirewallEnabled", "0"},
    {"GlobalConfiguration.IsRegularOrAdaptive", "0"},
    {"GlobalConfiguration.ReportingTimeoutSecs", "300"},
    {"GlobalConfiguration.RetainExistingClientRules", "1"},
    {"GlobalConfiguration.RuleStorePath", "/var/Varnik/kyv/fw/rule-store.data"},
    {"GlobalConfiguration.ShouldTrustLocalSubnet", "1"},
    {"GlobalConfiguration.TCPconTimeout", "30"},
    {"GlobalConfiguration.TrustedIPStorePath", "/var/Varnik/kyv/fw/trustedip-store.data"},
    {"GlobalConfiguration.UDPandICMPechoConTimeout", "30"},
    {"GlobalConfiguration.UnsupportedProtocol", "1"},
    {"GlobalConfiguration.UseFTPinspection", "1"},
    {"GlobalConfiguration.ZAVSocketPath", "/var/Varnik/kyv/zav/zavsocket"},
    {"GlobalConfiguration.HealthCheckTimerInSecs", "300"},
};

const Section kProduct = {
    {"ProductInformation.<xmlattr>.type", "2"},
    {"ProductInformation.ProductBinDir", "bin"},
    {"ProductInformation.ProductCLIName", "tqctl"},
    {"ProductInformation.ProductCopyright", "Copyright (c) 2026 Varnik LLC. All rights reserved."},
    {"ProductInformation.ProductInstallDir", "/opt/Varnik/kyv/fw"},
    {"ProductInformation.ProductName", "StatefulFirewall"},
    {"ProductInformation.ProductNameForEvent", "Varnik Brevant"},
    {"ProductInformation.ProductVarDir", "/var/Varnik/kyv/fw"},
    {"ProductInformation.ProductVersion", "10.6.11"},
    {"ProductInformation.VendorName", "Varnik LLC"},
    {"ProductInformation.HotFixes.HotFix", ""},
};

const Section kLogging = {
    {"LoggingInformation.<xmlattr>.type", "3"},
    {"LoggingInformation.ActivityLogSize", "1"},
    {"LoggingInformation.FirewallLogLevel", "5"},
    {"LoggingInformation.IptablesRuleLogLevel", "4"},
    {"LoggingInformation.CustomLogEnable", "1"},
    {"LoggingInformation.SendEventsToYal", "1"},
    {"LoggingInformation.EnableActivityLogging", "1"},
    {"LoggingInformation.LimitActivityLogSize", "1"},
    {"LoggingInformation.EnableDebugLoggingForFW", "0"},
    {"LoggingInformation.LimitDebugLogSize", "1"},
    {"LoggingInformation.DebugLogSize", "10"},
    {"LoggingInformation.EnableEventLogging", "1"},
    {"LoggingInformation.LogPath", "/var/Varnik/kyv/log/fw"},
    {"LoggingInformation.YalLogLevelForFW", "3"},
    {"LoggingInformation.ProductMaxLogFileSize", "10"},
    {"LoggingInformation.ProductMaxRotatedLogFileCount", "5"},
    {"LoggingInformation.EnableDebugLoggingForMsgBus", "0"},
};

// Every leaf of a tree, by full dotted path.
void flatten(const boost::property_tree::ptree& tree, const std::string& prefix, Section& out)
{
    for (const auto& child : tree) {
        const std::string path = prefix.empty() ? child.first : prefix + "." + child.first;
        if (child.second.empty())
            out[path] = child.second.data();
        else
            flatten(child.second, path, out);
    }
}

TEST(SFPrefKeysTest, DefaultsHoldEveryKeyOfEachSectionUnderItsId)
{
    const ZAV::ConfigDefaults defaults = SFConfigData::defaultPreferences();
    ASSERT_EQ(defaults.size(), 3u);
    EXPECT_EQ(defaults.at("1"), kGlobal);
    EXPECT_EQ(defaults.at("2"), kProduct);
    EXPECT_EQ(defaults.at("3"), kLogging);
}

TEST(SFPrefKeysTest, TemplateHoldsExactlyTheDefaults)
{
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml", tree,
                                   boost::property_tree::xml_parser::trim_whitespace);
    Section expected = kGlobal;
    expected.insert(kProduct.begin(), kProduct.end());
    expected.insert(kLogging.begin(), kLogging.end());
    Section actual;
    flatten(tree, "", actual);
    EXPECT_EQ(actual, expected);
}

} // namespace
