#pragma once

// Shared set-up of the settings tests that run at the product's fixed paths in the sandbox:
// fresh product folders and the shipped template in place.

#include "RecordingLogger.h"

#include <gtest/gtest.h>

#include <string>

namespace TestSupport {

class SettingsFixture : public ::testing::Test {
protected:
    void SetUp() override;

    // Copies the checked-in template to the product's template path with the given mode.
    static void installTemplate(int mode = 0644);
    static std::string templateText();

    RecordingLogger m_logger;
};

} // namespace TestSupport
