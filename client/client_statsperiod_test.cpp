// The statistics period and its environment override.

#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "client_loop_testutil.h"
#include "testsupport_logcapture.h"

namespace {

using testutil::ClientHarness;
using testutil::Millis;

bool reportLogged(const testutil::LogLines& log) {
    for (const std::string& text : log.texts()) {
        if (text.rfind("Client::printStats - messages_discarded", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Sets LUMIVAR_STATS_PERIOD_MS to 'value' (unsets it when null) while a
// Client is built.
std::unique_ptr<ClientHarness> clientWith(const char* value) {
    if (value) {
        ::setenv("LUMIVAR_STATS_PERIOD_MS", value, 1);
    } else {
        ::unsetenv("LUMIVAR_STATS_PERIOD_MS");
    }
    auto h = std::make_unique<ClientHarness>();
    ::unsetenv("LUMIVAR_STATS_PERIOD_MS");
    return h;
}

TEST(ClientStatsPeriod, OnlyAPositiveWholeNumberOverridesTheHalfHour) {
    for (const char* value : {"", "0", "-5", "10s", "abc", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(clientWith(value)->client().statsPeriod(), Client::k_STATS_MS)
            << (value ? value : "unset");
    }

    // The shorter period is the report's.
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    std::unique_ptr<ClientHarness> h = clientWith("60000");
    EXPECT_EQ(h->client().statsPeriod(), 60000);
    ClientHarness::skip(60000);
    EXPECT_TRUE(h->runUntil([&] { return reportLogged(log); }, Millis(5000)));
}

}  // namespace
