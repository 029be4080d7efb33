#include "core_stacktrace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport_logcapture.h"

namespace core {

// Outside the anonymous namespace so that its name is exported to the stack.
__attribute__((noinline)) std::string stackFromNamedFunction() {
    return StackTrace::currentStack();
}

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(StackTrace, NamesTheCallingFunctions) {
    const std::string stack = stackFromNamedFunction();
    EXPECT_THAT(stack, StartsWith("#0 "));
    EXPECT_THAT(stack, HasSubstr("core::stackFromNamedFunction"));
    EXPECT_THAT(stack, HasSubstr("\n#1 "));
}

// Its destructor proves that the output was let go before the abort.
class ReportingImpl : public LogImpl {
  public:
    void log(int, unsigned, const char*, int, std::string_view text) override {
        d_lines += std::string(text) + "|";
    }
    ~ReportingImpl() override { std::fprintf(stderr, "released: %s\n", d_lines.c_str()); }
    std::string d_lines;
};

TEST(StackTraceDeathTest, AbortLogsReasonAndStackAndReleasesTheOutput) {
    EXPECT_DEATH(
        {
            MasterLogger::setImpl(std::make_unique<ReportingImpl>());
            StackTrace::abortWithStack("kern::WatchdogThread", "Watchdog thread - dump then abort");
        },
        "released: kern::WatchdogThread - Watchdog thread - dump then abort\\|core::StackTrace - "
        "stack of thread 0:\n#0 ");
}

TEST(StackTrace, ExclusionListLookup) {
    StackTrace::setExclusions({{"b", 2}, {"a", 9}, {"a", 1}});
    EXPECT_TRUE(StackTrace::isExcluded("a", 1));
    EXPECT_TRUE(StackTrace::isExcluded("a", 9));
    EXPECT_TRUE(StackTrace::isExcluded("b", 2));
    EXPECT_FALSE(StackTrace::isExcluded("a", 2));
    EXPECT_FALSE(StackTrace::isExcluded("c", 1));
    StackTrace::setExclusions({});
    EXPECT_FALSE(StackTrace::isExcluded("a", 1));
}

}  // namespace
}  // namespace core
