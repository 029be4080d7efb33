#include "core_assert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core_testutil.h"

namespace core {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(AssertDeathTest, FailedCheckStopsTheProcessByDefault) {
    EXPECT_TRUE(Assert::stopOnFailedCheck());
    EXPECT_DEATH(CHECKF(1 + 1 == 3, "boom %d", 7),
                 "GASSERT failed at core_assert_test:[0-9]+ \\(CHECKF\\) \\(boom 7\\)");
    EXPECT_DEATH(GASSERT(2 < 1), "GASSERT failed at core_assert_test:[0-9]+ \\(2 < 1\\) \\(\\)");
    // A format mismatch is a failed check as well.
    EXPECT_DEATH(strFormat("%d", "x"),
                 "core_varargs:16 \\(CHECKF\\) \\(core_varargs:249: ch=d format='%d'\\)");
}

TEST(Assert, NonStoppingCheckReportsAndGoesOn) {
    RecordingLog log;
    testing::internal::CaptureStdout();
    const int line = __LINE__ + 1;
    EXPECT_FALSE(CHECKF_NOSTOP(1 > 2, "outside value %s", "v"));
    EXPECT_TRUE(CHECKF_NOSTOP(2 > 1, "never built %d", 1));
    EXPECT_FALSE(CHECKF_NOSTOP_AT(false, "lnl_packer", 120));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string expected =
        "core::Assert::failDefault - GASSERT failed at core_assert_test:" + std::to_string(line) +
        " (CHECKF) (outside value v)";
    EXPECT_THAT(log.texts(LOG_CRIT), ElementsAre(expected,
                                                 "core::Assert::failDefault - GASSERT failed at "
                                                 "lnl_packer:120 (CHECKF) ()"));
    EXPECT_THAT(out, HasSubstr("[CRIT] " + expected + "\n"));
    // Each report carries the stack of the failing thread.
    const auto stacks = log.texts(LOG_INFO);
    ASSERT_EQ(stacks.size(), 2u);
    EXPECT_THAT(stacks[0], HasSubstr("core::StackTrace - stack of thread 0:\n#0 "));
    EXPECT_TRUE(Assert::stopOnFailedCheck());

    // Rate-limited (what a peer can repeat): in full once per period of the
    // class, each time followed by the count since the last full report.
    log.clear();
    static int64_t s_now_ms = 0;
    MasterLogger::setMonotonicClock([] { return s_now_ms; });
    Assert::setNoStopRateClass(6);
    for (int i = 0; i < 3; ++i) {
        CHECKF_NOSTOP_AT(false, "lnl_packer", 73);
    }
    s_now_ms += 60000;
    CHECKF_NOSTOP_AT(false, "lnl_packer", 73);
    Assert::setNoStopRateClass(0);
    MasterLogger::setMonotonicClock(nullptr);
    const std::string full =
        "core::Assert::failDefault - GASSERT failed at lnl_packer:73 (CHECKF) ()";
    const std::string count = "core::Assert::failDefault - failed checks at lnl_packer:73 [";
    EXPECT_THAT(log.texts(LOG_CRIT), ElementsAre(full, count + "1 times in 0 seconds]", full,
                                                 count + "3 times in 60 seconds]"));
    EXPECT_EQ(log.texts(LOG_INFO).size(), 2u);
}

TEST(Assert, StopSettingOffLetsChecksContinue) {
    RecordingLog log;
    Assert::setStopOnFailedCheck(false);
    EXPECT_FALSE(CHECKF_AT(false, "kern_kernel", 42, "is already running"));
    EXPECT_FALSE(GASSERT(1 == 2));
    EXPECT_EQ(strFormat("[%s]", 3), "[]");
    const auto crit = log.texts(LOG_CRIT);
    ASSERT_EQ(crit.size(), 3u);
    EXPECT_EQ(crit[0],
              "core::Assert::failDefault - GASSERT failed at kern_kernel:42 (CHECKF) (is already "
              "running)");
    EXPECT_THAT(crit[1], HasSubstr("(1 == 2) ()"));
    EXPECT_THAT(crit[2], HasSubstr("at core_varargs:16 (CHECKF) (core_varargs:336: ch=s"));
}

TEST(Assert, ExclusionsNullExpressionAndCheckLevel) {
    RecordingLog log;
    Assert::setExclusions({{"zeta", 9}, {"alpha", 5}, {"kern_timer", 77}});
    EXPECT_FALSE(CHECKF_AT(false, "kern_timer", 77, "known"));
    EXPECT_FALSE(CHECKF_AT(false, "alpha", 5));
    Assert::fail(nullptr, "file", 3, 0, "m");
    EXPECT_THAT(log.texts(LOG_CRIT),
                ElementsAre("core::Assert::failDefault - EXCLUDED_ASSERT failed at kern_timer:77 "
                            "(CHECKF) (known)",
                            "core::Assert::failDefault - EXCLUDED_ASSERT failed at alpha:5 "
                            "(CHECKF)",
                            "core::Assert::failDefault - ERROR!! ASSERT failed at file:3"));
    log.clear();

    // Severity above the level is not reported; the level is clamped to 0..1.
    FailureRecorder failures;
    Assert::fail("E", "f", 1, 1, "sev1");
    Assert::setCheckLevel(0);
    Assert::fail("E", "f", 2, 1, "dropped");
    Assert::fail("E", "f", 3, 0, "sev0");
    Assert::setCheckLevel(5);
    EXPECT_EQ(Assert::checkLevel(), 1);
    Assert::setCheckLevel(-3);
    EXPECT_EQ(Assert::checkLevel(), 0);
    EXPECT_THAT(failures.takeMessages(), ElementsAre("sev1", "sev0"));
}

class CheckingImpl : public LogImpl {
  public:
    void log(int type, unsigned, const char*, int, std::string_view) override {
        if (type == LOG_CRIT) {
            CHECKF_NOSTOP(false, "inner");
        }
    }
};

TEST(Assert, FailureInsideTheHandlerIsNotReentered) {
    MasterLogger::setImpl(std::make_unique<CheckingImpl>());
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CHECKF_NOSTOP(false, "outer"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Assert:failDefault - recursive call\n");
    MasterLogger::setImpl(nullptr);
}

TEST(Assert, HandlersAlertsAndLocking) {
    RecordingLog log;
    testing::internal::CaptureStderr();
    Assert::setFailureHandler();
    EXPECT_FALSE(CHECKF_AT(false, "utl_ini", 8, "bad %s", "line"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "GASSERT failed at utl_ini:8 (bad line)\n");
    EXPECT_TRUE(log.lines().empty());

    Assert::lockHandlers(true);
    Assert::setFailureHandler(&Assert::failDefault);
    Assert::lockHandlers(false);
    EXPECT_THAT(log.texts(LOG_WARN),
                ElementsAre("core::Assert::setFailureHandler - handler locked"));

    const int line = __LINE__ + 1;
    EXPECT_FALSE(GALERT(1 > 2));
    EXPECT_FALSE(GALERT(false, "why %d", 1));
    EXPECT_TRUE(GALERT(true));
    Assert::alert("x", "f", 2, "");
    const auto crit = log.texts(LOG_CRIT);
    ASSERT_EQ(crit.size(), 3u);
    EXPECT_EQ(crit[0], "core::Assert::alertDefault - GALERT at core_assert_test:" +
                           std::to_string(line) + " (1 > 2)");
    EXPECT_THAT(crit[1], HasSubstr("(false) (why 1)"));
    EXPECT_EQ(crit[2], "core::Assert::alertDefault - GALERT at f:2 (x)");
}

TEST(Assert, FileStemDropsFoldersAndExtension) {
    static_assert(fileStem("libs/core/core_varargs.cpp") == "core_varargs");
    static_assert(fileStem("C:\\src\\client\\lnl_packer.cpp") == "lnl_packer");
    static_assert(fileStem("noext") == "noext");
    EXPECT_EQ(CORE_FILE_STEM, "core_assert_test");
}

}  // namespace
}  // namespace core
