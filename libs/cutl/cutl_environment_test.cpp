#include "cutl_environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "testsupport_logcapture.h"

namespace cutl {
namespace {

TEST(Environment, DataFolderFollowsProgramData) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    ::setenv("PROGRAMDATA", "/srv/pd", 1);
    EXPECT_EQ(commonDataDir(), "/srv/pd");
    EXPECT_EQ(productDataDir(), "/srv/pd/Tessarin/Lumivar");
    EXPECT_EQ(settingsFilePath(), "/srv/pd/Tessarin/Lumivar/Settings");
    EXPECT_EQ(logDir(), "/srv/pd/Tessarin/Lumivar/Logs");

    ::unsetenv("PROGRAMDATA");
    EXPECT_EQ(commonDataDir(), "/var/lib");
    EXPECT_EQ(log.failedChecks(), 0);

    // A variable set to nothing names no folder: reported, never fatal.
    core::Assert::setStopOnFailedCheck(true);
    ::setenv("PROGRAMDATA", "", 1);
    EXPECT_EQ(commonDataDir(), "./data");
    EXPECT_EQ(settingsFilePath(), "./data/Tessarin/Lumivar/Settings");
    EXPECT_EQ(log.count("GASSERT failed at cutl_environment:106 (CHECKF) ()"), 2);
    ::unsetenv("PROGRAMDATA");
}

}  // namespace
}  // namespace cutl
