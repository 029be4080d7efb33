// wmi_text_test.cpp
#include "wmi_com.h"
#include "wmi_standin.h"

#include <gtest/gtest.h>

using namespace wmi;

namespace {

TEST(TextTest, Utf8AndUtf16RoundTripAndRepairBadInput) {
    const std::string samples[] = {"",
                                   "plain",
                                   "caf\xc3\xa9",
                                   "\xe2\x82\xac 5",
                                   "\xf0\x9f\x94\x91 key",
                                   std::string("nul\0inside", 10)};
    for (const std::string& s : samples) {
        Bstr b = toBstr(s);
        ASSERT_NE(nullptr, b.get());
        EXPECT_EQ(s, fromBstr(b.get()));
    }
    // A code point above U+FFFF is a surrogate pair; lengths count UTF-16 units.
    Bstr key = toBstr("\xf0\x9f\x94\x91");
    EXPECT_EQ(2u, SysStringLen(key.get()));
    EXPECT_EQ(0xD83D, key.get()[0]);
    EXPECT_EQ(0xDD11, key.get()[1]);
    EXPECT_EQ(0, key.get()[2]);
    EXPECT_EQ(4u, SysStringByteLen(key.get()));
    // Malformed UTF-8 (stray continuation, truncated sequence, overlong form,
    // encoded surrogate) becomes U+FFFD one byte at a time.
    EXPECT_EQ(
        "a\xef\xbf\xbd"
        "b",
        fromOleStr(toOleString("a\x80"
                               "b")
                       .c_str()));
    EXPECT_EQ("\xef\xbf\xbd", fromOleStr(toOleString("\xe2\x82").c_str()).substr(0, 3));
    EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd", fromOleStr(toOleString("\xc0\xaf").c_str()));
    EXPECT_EQ(3u, toOleString("\xed\xa0\x80").size());
    // An unpaired surrogate from the other side is repaired too.
    const OLECHAR lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ("x\xef\xbf\xbdy", fromOleStr(lone));
    EXPECT_EQ("", fromOleStr(nullptr));
    EXPECT_EQ("", fromBstr(nullptr));
}

TEST(TextTest, BstrHolderOwnsExactlyOneString) {
    const int before = standin::liveStrings();
    {
        Bstr a = toBstr("x");
        Bstr b = std::move(a);
        EXPECT_EQ(nullptr, a.get());
        b = toBstr("y");
        EXPECT_EQ(before + 1, standin::liveStrings());
        BSTR raw = b.release();
        EXPECT_EQ(nullptr, b.get());
        SysFreeString(raw);
    }
    EXPECT_EQ(before, standin::liveStrings());
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    SysFreeString(nullptr);
    EXPECT_EQ(0u, SysStringLen(nullptr));
}

TEST(TextTest, ErrorMessagesDescribeKnownCodes) {
    EXPECT_EQ("Access denied.", errorMessage(WBEM_E_ACCESS_DENIED));
    EXPECT_EQ("Invalid namespace.", errorMessage(static_cast<HRESULT>(0x8004100Eu)));
    EXPECT_EQ("Invalid query.", errorMessage(WBEM_E_INVALID_QUERY));
    EXPECT_EQ("Invalid method.", errorMessage(WBEM_E_INVALID_METHOD));
    EXPECT_NE(std::string::npos, errorMessage(RPC_E_TOO_LATE).find("Security"));
    EXPECT_EQ("Unknown error 0x80049999", errorMessage(static_cast<HRESULT>(0x80049999u)));
    EXPECT_EQ("Unknown error 0x7", errorMessage(7));
}

}  // namespace
