// The typed setters raced from several threads over the real settings file. Each compares the
// stored value with the new one and writes only when they differ; both steps must be one, or
// two writers that read the same old value are both told they changed it (or one is told
// "already set" while the file holds another value). The store locks each read and write on
// its own, so a split step is no data race: what the callers were told is checked instead.

#include "SFConfigController.h"

#include "ConfigStore.h"
#include "ConfigStoreUtility.h"
#include "SFConfigData.h"
#include "SFResultCodes.h"
#include "SettingsFixture.h"
#include "TempDir.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace StatefulFirewall;
using TestSupport::readFile;

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 40;

// The change callback is a plain function pointer: it counts into globals, by change type.
std::atomic<int> g_changes[16];

void countChange(SFPrefType type)
{
    if (type >= 0 && type < 16)
        ++g_changes[type];
}

struct Answers {
    int changed = 0;   // 150000
    int unchanged = 0; // 150080
    int other = 0;
};

class SFConfigControllerConcurrencyTest : public TestSupport::SettingsFixture {
protected:
    void SetUp() override
    {
        SettingsFixture::SetUp();
        for (auto& count : g_changes)
            count = 0;
    }

    std::unique_ptr<SFConfigController> controller()
    {
        auto made = std::make_unique<SFConfigController>(
            m_logger, std::make_unique<ZAV::ConfigStoreUtility>(m_logger),
            std::make_unique<ZAV::ConfigStore>(m_logger));
        made->registerCallBack(countChange);
        return made;
    }

    // Runs set on kThreads threads released together; what they were answered.
    static Answers race(const std::function<int()>& set)
    {
        std::atomic<int> ready{0};
        std::atomic<int> changed{0};
        std::atomic<int> unchanged{0};
        std::atomic<int> other{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                ++ready;
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                const int result = set();
                ++(result == SF_SUCCESS ? changed : result == SF_PREF_ALREADY_SET ? unchanged : other);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return {changed.load(), unchanged.load(), other.load()};
    }
};

// Each round every thread asks for the same new value: exactly one is told it changed it and
// raises the change, the others are told it is already set. The last round's value is what a
// new controller reads from the file.
TEST_F(SFConfigControllerConcurrencyTest, OfWritersRacingToOneValueExactlyOneIsToldItChangedIt)
{
    auto shared = controller();
    ASSERT_FALSE(shared->getFwEnableStatus());
    ASSERT_EQ(shared->getFwTCPConTimeout(), 30);

    bool enabled = false;
    int seconds = 30;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        enabled = !enabled;
        seconds = seconds == 30 ? 77 : 30;
        const int statusChanges = g_changes[SF_PREF_FW_STATUS].load();
        const int timeoutChanges = g_changes[SF_PREF_TCP_CON_TIMEOUT].load();

        const Answers status = race([&] { return shared->setFwEnableStatus(enabled); });
        const Answers timeout = race([&] { return shared->setFwTCPConTimeout(seconds); });

        for (const Answers* answers : {&status, &timeout}) {
            EXPECT_EQ(answers->changed, 1);
            EXPECT_EQ(answers->unchanged, kThreads - 1);
            EXPECT_EQ(answers->other, 0);
        }
        EXPECT_EQ(g_changes[SF_PREF_FW_STATUS].load() - statusChanges, 1);
        EXPECT_EQ(g_changes[SF_PREF_TCP_CON_TIMEOUT].load() - timeoutChanges, 1);
        if (HasFailure())
            break;
    }

    shared.reset();
    auto fresh = controller();
    EXPECT_EQ(fresh->getFwEnableStatus(), enabled);
    EXPECT_EQ(fresh->getFwTCPConTimeout(), seconds);
    const std::string file = readFile(SF_LIVE_PREFS_PATH);
    EXPECT_NE(file.find(std::string("<IsFirewallEnabled>") + (enabled ? "1" : "0") + "<"),
              std::string::npos);
    EXPECT_NE(file.find("<TCPconTimeout>" + std::to_string(seconds) + "<"), std::string::npos);
}

} // namespace
