#include "core_socketerror.h"

#include <gtest/gtest.h>

#include "testsupport_logcapture.h"

namespace core {
namespace {

TEST(GetSocketError, MapsTheWinsockTableAndWarnsOnUnknownCodes) {
    const std::pair<int, int> rows[] = {
        {0, 0},       {10004, 4},   {10009, 9},   {10013, 13},  {10014, 14},  {10022, 22},
        {10024, 24},  {10035, 140}, {10036, 112}, {10037, 103}, {10038, 128}, {10039, 109},
        {10040, 115}, {10041, 136}, {10042, 123}, {10043, 135}, {10045, 130}, {10047, 102},
        {10048, 100}, {10049, 101}, {10050, 116}, {10051, 118}, {10052, 117}, {10053, 106},
        {10054, 108}, {10055, 119}, {10056, 113}, {10057, 126}, {10060, 138}, {10061, 107},
        {10062, 114}, {10063, 38},  {10065, 110}, {10066, 41}};
    testutil::LogLines log;
    for (const auto& [code, number] : rows) {
        EXPECT_EQ(GetSocketError(code), number) << code;
    }
    EXPECT_TRUE(log.lines().empty());
    // An unknown code maps to "bad address".
    EXPECT_EQ(GetSocketError(10101), 14);
    EXPECT_EQ(log.texts(LOG_WARN),
              std::vector<std::string>{"core::GetSocketError - unhandled Winsock error 10101"});
}

TEST(SocketErrorText, NamesTheMeaningOfEachNumber) {
    EXPECT_STREQ(socketErrorText(107), "Connection refused");
    EXPECT_STREQ(socketErrorText(108), "Connection reset by peer");
    EXPECT_STREQ(socketErrorText(140), "Resource temporarily unavailable");
    EXPECT_STREQ(socketErrorText(138), "Connection timed out");
    EXPECT_STREQ(socketErrorText(38), "File name too long");
    EXPECT_STREQ(socketErrorText(999), "Unknown error 999");
}

}  // namespace
}  // namespace core
