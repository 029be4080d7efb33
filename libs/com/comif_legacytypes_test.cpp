#include "comif_legacytypes.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testsupport_logcapture.h"

namespace com {
namespace {

using testutil::FailureRecorder;

TEST(Endpoint, TextFormShowsAPositivePortOnly) {
    EXPECT_EQ(Endpoint("10.1.2.3", 5000).text(), "10.1.2.3:5000");
    EXPECT_EQ(Endpoint("10.1.2.3", 0).text(), "10.1.2.3");
    EXPECT_EQ(Endpoint("10.1.2.3", -4).text(), "10.1.2.3");
    EXPECT_EQ(Endpoint(nullptr, 1).text(), ":1");
}

TEST(CopyHostBounded, CopiesShortTextPaddedAndCutsLongTextOnACharacterBoundary) {
    char dest[Endpoint::k_HOST_SIZE];
    std::memset(dest, 'x', sizeof dest);
    EXPECT_TRUE(copyHostBounded(dest, "1.2.3.4", Endpoint::k_HOST_SIZE));
    EXPECT_STREQ(dest, "1.2.3.4");
    for (size_t i = 7; i < sizeof dest; ++i) {
        EXPECT_EQ(dest[i], '\0');
    }
    // 19 bytes still fit.
    EXPECT_TRUE(copyHostBounded(dest, "1234567890123456789", Endpoint::k_HOST_SIZE));
    EXPECT_STREQ(dest, "1234567890123456789");

    // Longer text is reported and cut without splitting a character.
    testutil::FailureRecorder failures;
    EXPECT_FALSE(copyHostBounded(dest, "nvr.example.internal.lan", Endpoint::k_HOST_SIZE));
    EXPECT_STREQ(dest, "nvr.example.interna");
    EXPECT_EQ(failures.takeMessages(), std::vector<std::string>{"20 'nvr.example.internal.lan'"});

    // 18 ASCII bytes, then a two-byte character across the cut at 19.
    const std::string twoByte = std::string(18, 'a') + "\xC3\xA9" + "zz";
    EXPECT_FALSE(copyHostBounded(dest, twoByte.c_str(), Endpoint::k_HOST_SIZE));
    EXPECT_EQ(std::string(dest), std::string(18, 'a'));
    // 17 ASCII bytes, a two-byte character that ends at 19: kept.
    const std::string fits = std::string(17, 'a') + "\xC3\xA9" + "zz";
    EXPECT_FALSE(copyHostBounded(dest, fits.c_str(), Endpoint::k_HOST_SIZE));
    EXPECT_EQ(std::string(dest), std::string(17, 'a') + "\xC3\xA9");
    // A four-byte character begun at 17: its lead and continuation go.
    const std::string fourByte = std::string(17, 'a') + "\xF0\x9F\x98\x80" + "z";
    EXPECT_FALSE(copyHostBounded(dest, fourByte.c_str(), Endpoint::k_HOST_SIZE));
    EXPECT_EQ(std::string(dest), std::string(17, 'a'));
    EXPECT_EQ(testutil::FailureRecorder::failures().size(), 3u);
    // The report never stops the process.
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr, "CHECKF");
}

TEST(ResolveEndpoint, UsesTheEndpointPortOrAPositiveDefault) {
    testutil::FailureRecorder failures;
    std::string host;
    int port = 0;
    core::GSharedBuf preamble = core::GSharedBuf::copyOf("stale");
    ASSERT_TRUE(resolveEndpoint(Endpoint("10.0.0.1", 5000), 80, &host, &port, &preamble));
    EXPECT_EQ(host, "10.0.0.1");
    EXPECT_EQ(port, 5000);
    EXPECT_TRUE(preamble.empty());
    ASSERT_TRUE(resolveEndpoint(Endpoint("10.0.0.1", 0), 80, &host, &port, &preamble));
    EXPECT_EQ(port, 80);
    EXPECT_FALSE(resolveEndpoint(Endpoint("10.0.0.1", 0), 0, &host, &port, &preamble));
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr, "default_port > 0");
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_message, "10.0.0.1");
}

}  // namespace
}  // namespace com
