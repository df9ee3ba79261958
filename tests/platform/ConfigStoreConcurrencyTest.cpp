#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "RecordingLogger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Readers and writers hammer one store; every read must see a whole value, and the file must
// end up parseable and holding each writer's last value.
TEST(ConfigStoreConcurrencyTest, ReadersAndWritersKeepTheFileWhole)
{
    TestSupport::TempDir dir;
    TestSupport::RecordingLogger logger;
    const std::string path = dir.file("prefs.xml");
    TestSupport::writeFile(path, R"(<GlobalConfiguration type="1"><A>0</A><B>0</B></GlobalConfiguration>)");
    ZAV::ConfigStore store(logger);
    store.setConfigStoreUtility(std::make_shared<ZAV::ConfigStoreUtility>(logger));
    ASSERT_TRUE(store.initialise(path, {{"1", {{"GlobalConfiguration.<xmlattr>.type", "1"}}}}));

    constexpr int kRounds = 2000;
    std::atomic<bool> badRead{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            const std::string key = w == 0 ? "GlobalConfiguration.A" : "GlobalConfiguration.B";
            for (int i = 1; i <= kRounds; ++i)
                store.setIntValue("type", "1", key, i);
        });
    for (int r = 0; r < 8; ++r)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                const int a = store.getIntValue("1", "GlobalConfiguration.A");
                if (a < 0 || a > kRounds)
                    badRead = true;
            }
        });
    for (auto& t : threads)
        t.join();

    EXPECT_FALSE(badRead);
    ZAV::ConfigStore reader(logger);
    reader.setConfigStoreUtility(std::make_shared<ZAV::ConfigStoreUtility>(logger));
    ASSERT_TRUE(reader.initialise(path, {{"1", {{"GlobalConfiguration.<xmlattr>.type", "1"}}}}));
    EXPECT_EQ(reader.getIntValue("1", "GlobalConfiguration.A"), kRounds);
    EXPECT_EQ(reader.getIntValue("1", "GlobalConfiguration.B"), kRounds);
}

} // namespace
