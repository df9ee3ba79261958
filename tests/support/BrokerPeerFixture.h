#pragma once

// Fixture of the suites that drive an in-process broker on a temporary socket from raw-frame
// peers. The broker serves root peers only, so the suites are skipped for other users.

#include "ChannelTestClient.h"
#include "InProcessBroker.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

namespace TestSupport {

class BrokerPeerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the broker serves root peers only";
    }

    // Starts the broker with options, its socket in the test's folder.
    void startBroker(ZAV::BrokerOptions options = {})
    {
        options.socketPath = m_dir.file("zav/zavsocket");
        m_broker = std::make_unique<InProcessBroker>(options);
        m_broker->start();
    }

    const std::string& path() const { return m_broker->socketPath(); }

    // A connection registered as fmId; the test fails when the broker refuses it.
    std::unique_ptr<ChannelTestClient> registered(int32_t fmId)
    {
        auto client = std::make_unique<ChannelTestClient>(path());
        EXPECT_EQ(client->registerAs(fmId), 1) << "registering " << fmId;
        return client;
    }

    TempDir m_dir;
    std::unique_ptr<InProcessBroker> m_broker;
};

} // namespace TestSupport
