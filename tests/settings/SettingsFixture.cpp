#include "SettingsFixture.h"

#include "SFConfigData.h"
#include "SandboxGuard.h"
#include "TempDir.h"

#include <boost/filesystem.hpp>

#include <sys/stat.h>

namespace TestSupport {

void SettingsFixture::SetUp()
{
    TQ_REQUIRE_SANDBOX();
    resetProductPaths();
    installTemplate();
}

std::string SettingsFixture::templateText()
{
    return readFile(std::string(TQ_SOURCE_DIR) + "/settings/prefs.xml");
}

void SettingsFixture::installTemplate(int mode)
{
    boost::filesystem::create_directories("/opt/Varnik/kyv/fw/etc");
    writeFile(StatefulFirewall::SF_TEMPLATE_PREFS_PATH, templateText());
    chmod(StatefulFirewall::SF_TEMPLATE_PREFS_PATH, static_cast<mode_t>(mode));
}

} // namespace TestSupport
