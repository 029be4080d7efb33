// The statistics period and its environment override.

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "client_loop_testutil.h"
#include "cutl_logcapture_testutil.h"

namespace {

using testutil::ClientHarness;
using testutil::Millis;

bool reportLogged(const cutl::LogLines& log) {
    for (const auto& [type, text] : log.lines()) {
        if (text.rfind("Client::printStats - messages_discarded", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Runs a Client built with LUMIVAR_STATS_PERIOD_MS = 'value' (unset when
// null), skips 'skipMs' on the timers' clock and answers whether a report
// was logged.
bool reportAfter(const char* value, int64_t skipMs, Millis wait) {
    if (value) {
        ::setenv("LUMIVAR_STATS_PERIOD_MS", value, 1);
    } else {
        ::unsetenv("LUMIVAR_STATS_PERIOD_MS");
    }
    cutl::LogLines log;
    ClientHarness h;
    ::unsetenv("LUMIVAR_STATS_PERIOD_MS");
    ClientHarness::skip(skipMs);
    return h.runUntil([&] { return reportLogged(log); }, wait);
}

TEST(ClientStatsPeriod, OverrideShortensThePeriod) {
    EXPECT_TRUE(reportAfter("60000", 60000, Millis(5000)));
    // Not yet due at 59 s.
    EXPECT_FALSE(reportAfter("60000", 59000, Millis(200)));
}

TEST(ClientStatsPeriod, MalformedOrAbsentValuesKeepTheHalfHour) {
    for (const char* value : {"", "0", "-5", "10s", "abc"}) {
        EXPECT_FALSE(reportAfter(value, 60000, Millis(200))) << "'" << value << "'";
    }
    EXPECT_FALSE(reportAfter(nullptr, Client::k_STATS_MS - 1000, Millis(200)));
    EXPECT_TRUE(reportAfter(nullptr, Client::k_STATS_MS, Millis(5000)));
}

}  // namespace
